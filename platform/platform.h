// Operating-system services the plug-in needs, behind one small interface with a Windows and a
// POSIX implementation: yielding and sleeping for waits off the audio thread, telling a
// real-time thread from others, waking the plug-in's worker thread, the library's own path, and
// the path separator used to place "debug.txt" and "log.csv" beside the library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

/// Gives up the rest of the time slice (Sleep(0) on Windows).
void yieldThread();

/// Sleeps for about one millisecond (Sleep(1) on Windows).
void sleepBriefly();

/// True when the calling thread runs at real-time priority: SCHED_FIFO or SCHED_RR on Linux; on
/// Windows a priority of "highest" or above (time-critical, or raised by the multimedia class
/// scheduler) or the real-time priority class. Hosts run their audio threads so; a host call
/// made on such a thread must not wait. Never blocks.
bool isRealtimeThread();

/// A number that identifies the calling thread among the process's living threads (never 0).
/// Never blocks; no system call on Linux.
std::uint64_t currentThreadId();

/// Wakes a thread that sleeps until there is work. post() never blocks, locks or allocates and
/// may be called from the audio thread; wait() sleeps until at least one post since the last
/// wait returned.
class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    void post();
    void wait();

  private:
    void* handle = nullptr;
};

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
/// The library's module handle (HINSTANCE) on Windows; null elsewhere. Found from an address
/// inside the module unless the library's start-up recorded it.
void* moduleInstance();
/// Records the module handle the library's process-attach notification received (Windows).
void recordModuleInstance(void* instance);
} // namespace platform

namespace platform {
/// Asks for a full repaint of a window without erasing it (InvalidateRect); nothing where no
/// window system is used.
void invalidateWindow(void* window);
} // namespace platform
