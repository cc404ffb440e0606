#include "platform/platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <semaphore.h>
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

bool isRealtimeThread() {
    // Asked of the kernel for the calling thread, however its policy was set (chrt, the host's
    // sched_setscheduler or pthread_setschedparam). One system call; it never blocks.
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR;
}

std::uint64_t currentThreadId() {
    return static_cast<std::uint64_t>(pthread_self());
}

WakeSignal::WakeSignal() {
    auto* semaphore = new sem_t;
    sem_init(semaphore, 0, 0);
    handle = semaphore;
}

WakeSignal::~WakeSignal() {
    auto* semaphore = static_cast<sem_t*>(handle);
    sem_destroy(semaphore);
    delete semaphore;
}

void WakeSignal::post() {
    sem_post(static_cast<sem_t*>(handle));
}

void WakeSignal::wait() {
    auto* semaphore = static_cast<sem_t*>(handle);
    while (sem_wait(semaphore) != 0 && errno == EINTR) {
    }
    // Several posts before this wait are one wake-up: the work they announce is done at once.
    while (sem_trywait(semaphore) == 0) {
    }
}

void* moduleInstance() {
    return nullptr;
}

void recordModuleInstance(void*) {}

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
