#include "capture/PixelWorkers.h"
#include "platform/CrashHandler.h"

#include <algorithm>
#include <atomic>

namespace quillane::host {

struct PixelWorkers::Job {
    const std::function<void(std::size_t)>* part = nullptr;
    std::size_t parts = 0;
    std::atomic<std::size_t> next{0};
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    std::size_t done = 0;  // guarded by doneMutex
};

PixelWorkers::PixelWorkers(unsigned count) {
    threads.reserve(count);
    for (unsigned i = 0; i < count; ++i) threads.emplace_back([this] { workerLoop(); });
}

PixelWorkers::~PixelWorkers() {
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    for (auto& t : threads) t.join();
}

unsigned PixelWorkers::defaultThreads() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return std::min(cores, 4u) - 1;
}

void PixelWorkers::work(Job& job) {
    std::size_t finished = 0;
    for (std::size_t i = job.next.fetch_add(1); i < job.parts; i = job.next.fetch_add(1)) {
        (*job.part)(i);
        ++finished;
    }
    if (finished == 0) return;
    std::lock_guard lock(job.doneMutex);
    job.done += finished;
    if (job.done == job.parts) job.doneSignal.notify_all();
}

void PixelWorkers::run(std::size_t parts, const std::function<void(std::size_t)>& part) {
    if (parts == 0) return;
    if (threads.empty() || parts == 1) {
        for (std::size_t i = 0; i < parts; ++i) part(i);
        return;
    }
    auto job = std::make_shared<Job>();
    job->part = &part;
    job->parts = parts;
    {
        std::lock_guard lock(mutex);
        queue.push_back(job);
    }
    wake.notify_all();
    work(*job);
    {
        std::unique_lock lock(job->doneMutex);
        job->doneSignal.wait(lock, [&] { return job->done == job->parts; });
    }
    std::lock_guard lock(mutex);
    auto it = std::find(queue.begin(), queue.end(), job);
    if (it != queue.end()) queue.erase(it);
}

void PixelWorkers::workerLoop() {
    prepareThreadForCrashHandling();
    std::unique_lock lock(mutex);
    for (;;) {
        wake.wait(lock, [&] { return stopping || !queue.empty(); });
        if (stopping) return;
        // Take the oldest job that still has unclaimed parts; drop exhausted ones.
        auto job = queue.front();
        if (job->next.load() >= job->parts) {
            queue.pop_front();
            continue;
        }
        lock.unlock();
        work(*job);
        lock.lock();
    }
}

}  // namespace quillane::host
