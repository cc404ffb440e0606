// Operating-system services the plug-in needs, behind one small interface with a Windows and a
// POSIX implementation: yielding and sleeping for the busy-flag waits, the library's own path,
// and the path separator used to place "debug.txt" and "log.csv" beside the library.
#pragma once

#include <cstddef>

namespace platform {

/// Gives up the rest of the time slice (Sleep(0) on Windows).
void yieldThread();

/// Sleeps for about one millisecond (Sleep(1) on Windows).
void sleepBriefly();

/// Writes the full path of the loaded plug-in library into buffer (at most size - 1 characters
/// and a terminating zero). Writes an empty string when the path is unknown.
void libraryPath(char* buffer, std::size_t size);

/// The separator between directory and file name in paths returned by libraryPath.
constexpr char pathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

/// Replaces everything after the last path separator of path (at most size characters with
/// the zero) by fileName; a path without a separator is replaced by the file name alone.
void siblingPath(const char* path, const char* fileName, char* out, std::size_t size);

} // namespace platform

namespace platform {
/// The library's module handle (HINSTANCE) on Windows; null elsewhere.
void* moduleInstance();
} // namespace platform

namespace platform {
/// Asks for a full repaint of a window without erasing it (InvalidateRect); nothing where no
/// window system is used.
void invalidateWindow(void* window);
} // namespace platform
