// The plug-in's own thread. It sleeps until woken and then runs one pass of its work: the
// changes that host calls made on a real-time thread handed over (see host_requests.h). wake()
// may be called from the audio thread; it never blocks.
#pragma once

#include "platform/platform.h"

#include <atomic>
#include <thread>

class ChangeWorker {
  public:
    using Work = void (*)(void* context);

    ChangeWorker(Work work, void* context);
    /// Stops and joins the thread.
    ~ChangeWorker();
    ChangeWorker(const ChangeWorker&) = delete;
    ChangeWorker& operator=(const ChangeWorker&) = delete;

    /// Asks for a pass of the work. Never blocks, locks or allocates.
    void wake() { signal.post(); }
    /// Ends the thread after its current pass; later wakes do nothing.
    void stop();

  private:
    void run();

    Work work;
    void* context;
    platform::WakeSignal signal;
    std::atomic<bool> stopping{false};
    std::thread thread;
};
