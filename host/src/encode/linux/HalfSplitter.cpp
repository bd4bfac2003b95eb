#include "encode/linux/HalfSplitter.h"
#include "platform/CrashHandler.h"

namespace quillane::host {

HalfSplitter::HalfSplitter() : thread([this] { loop(); }) {}

HalfSplitter::~HalfSplitter() {
    {
        std::lock_guard lock(mutex);
        stop = true;
    }
    wake.notify_one();
    thread.join();
}

void HalfSplitter::run(const std::function<void(int half)>& job) {
    {
        std::lock_guard lock(mutex);
        currentJob = &job;
        pending = true;
    }
    wake.notify_one();
    job(0);
    std::unique_lock lock(mutex);
    done.wait(lock, [this] { return !pending; });
    currentJob = nullptr;
}

void HalfSplitter::loop() {
    prepareThreadForCrashHandling();
    std::unique_lock lock(mutex);
    while (true) {
        wake.wait(lock, [this] { return stop || pending; });
        if (stop) {
            return;
        }
        const std::function<void(int)>* job = currentJob;
        lock.unlock();
        (*job)(1);
        lock.lock();
        pending = false;
        done.notify_one();
    }
}

}  // namespace quillane::host
