#include "instrument/change_worker.h"

ChangeWorker::ChangeWorker(Work work, void* context)
    : work(work), context(context), thread([this] { run(); }) {}

ChangeWorker::~ChangeWorker() {
    stop();
}

void ChangeWorker::stop() {
    if (!thread.joinable()) return;
    stopping.store(true);
    signal.post();
    thread.join();
}

void ChangeWorker::run() {
    for (;;) {
        signal.wait();
        if (stopping.load()) return;
        work(context);
    }
}
