#include "platform/platform.h"

#include <windows.h>

namespace {
HINSTANCE moduleHandle = nullptr;

/// Address inside this module, used to find the module handle when no DllMain ran.
void moduleAnchor() {}
} // namespace

namespace platform {

void recordModuleInstance(void* instance) {
    moduleHandle = static_cast<HINSTANCE>(instance);
}

void yieldThread() {
    Sleep(0);
}

void sleepBriefly() {
    Sleep(1);
}

bool isRealtimeThread() {
    const int priority = GetThreadPriority(GetCurrentThread());
    return (priority != THREAD_PRIORITY_ERROR_RETURN && priority >= THREAD_PRIORITY_HIGHEST) ||
           GetPriorityClass(GetCurrentProcess()) == REALTIME_PRIORITY_CLASS;
}

std::uint64_t currentThreadId() {
    return static_cast<std::uint64_t>(GetCurrentThreadId()) + 1;
}

WakeSignal::WakeSignal() {
    handle = CreateSemaphoreA(nullptr, 0, 0x7FFFFFFF, nullptr);
}

WakeSignal::~WakeSignal() {
    if (handle) CloseHandle(static_cast<HANDLE>(handle));
}

void WakeSignal::post() {
    if (handle) ReleaseSemaphore(static_cast<HANDLE>(handle), 1, nullptr);
}

void WakeSignal::wait() {
    if (!handle) return;
    WaitForSingleObject(static_cast<HANDLE>(handle), INFINITE);
    // Several posts before this wait are one wake-up: the work they announce is done at once.
    while (WaitForSingleObject(static_cast<HANDLE>(handle), 0) == WAIT_OBJECT_0) {
    }
}

void* moduleInstance() {
    if (!moduleHandle) {
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCSTR>(&moduleAnchor), &moduleHandle);
    }
    return moduleHandle;
}

void libraryPath(char* buffer, std::size_t size) {
    if (!buffer || size == 0) return;
    buffer[0] = 0;
    DWORD n = GetModuleFileNameA(static_cast<HMODULE>(moduleInstance()), buffer,
                                 static_cast<DWORD>(size));
    if (n == 0 || n >= size) buffer[size - 1] = 0;
}

} // namespace platform

namespace platform {
void invalidateWindow(void* window) {
    if (window) InvalidateRect(static_cast<HWND>(window), nullptr, FALSE);
}
} // namespace platform
