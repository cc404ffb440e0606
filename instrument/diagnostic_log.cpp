#include "instrument/diagnostic_log.h"

#include "platform/platform.h"
#include "instrument/plugin_core.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {
std::FILE* logStream = nullptr;
// Opening, writing and closing are serialised so that two threads never open the file twice
// or write through a stream another thread is closing.
std::mutex logMutex;
} // namespace

void writeLog(const char* format, ...) {
    std::lock_guard<std::mutex> lock(logMutex);
    if (!format) {
        if (logStream) {
            std::fclose(logStream);
            logStream = nullptr;
        }
        return;
    }
    if (!logStream) {
        char path[kModulePathLength];
        platform::siblingPath(modulePathBuffer, kLogFileName, path, sizeof(path));
        if (!path[0]) return;
        logStream = std::fopen(path, "w");
        if (!logStream) return;
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(logStream, format, args);
    va_end(args);
}
