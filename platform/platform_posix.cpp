#include "platform/platform.h"

#include <dlfcn.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {
/// Address inside this module, looked up with dladdr to find the library file.
void moduleAnchor() {}
} // namespace

namespace platform {

void yieldThread() {
    sched_yield();
}

void sleepBriefly() {
    timespec t{0, 1000000};
    nanosleep(&t, nullptr);
}

void* moduleInstance() {
    return nullptr;
}

void libraryPath(char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    buffer[0] = 0;
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&moduleAnchor), &info) && info.dli_fname &&
        std::strchr(info.dli_fname, '/')) {
        std::strncpy(buffer, info.dli_fname, size - 1);
        buffer[size - 1] = 0;
        return;
    }
    // Linked into a program rather than a library: the program's own file.
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    buffer[n > 0 ? n : 0] = 0;
}

} // namespace platform

namespace platform {
void invalidateWindow(void*) {}
} // namespace platform
