#include "encode/linux/HalfSplitter.h"
#include "platform/CrashHandler.h"

namespace quillane::host {

HalfSplitter::HalfSplitter() : thread_([this] { loop(); }) {}

HalfSplitter::~HalfSplitter() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void HalfSplitter::run(const std::function<void(int half)>& job) {
    {
        std::lock_guard lock(mutex_);
        job_ = &job;
        pending_ = true;
    }
    wake_.notify_one();
    job(0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return !pending_; });
    job_ = nullptr;
}

void HalfSplitter::loop() {
    prepareThreadForCrashHandling();
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return stop_ || pending_; });
        if (stop_) {
            return;
        }
        const std::function<void(int)>* job = job_;
        lock.unlock();
        (*job)(1);
        lock.lock();
        pending_ = false;
        done_.notify_one();
    }
}

}  // namespace quillane::host
