#include "platform/platform.h"

#include <cstring>

namespace platform {

void siblingPath(const char* path, const char* fileName, char* out, std::size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    std::size_t keep = 0;
    if (path) {
        const char* last = std::strrchr(path, pathSeparator);
        if (last) keep = static_cast<std::size_t>(last - path) + 1;
    }
    std::size_t nameLength = std::strlen(fileName);
    if (keep + nameLength + 1 > size) return; // does not fit: leave the empty string
    if (keep) std::memcpy(out, path, keep);
    std::memcpy(out + keep, fileName, nameLength + 1);
}

} // namespace platform
