#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quillane::host {

// A small pool that splits per-frame pixel work (sharpening, padding copies) into
// parts. Several capture threads may submit at once; each submitter also works
// on its own job, so a job never waits for an idle worker to start.
class PixelWorkers {
public:
    // threads: worker threads besides the submitting one (0 runs everything inline).
    explicit PixelWorkers(unsigned threads);
    ~PixelWorkers();
    PixelWorkers(const PixelWorkers&) = delete;
    PixelWorkers& operator=(const PixelWorkers&) = delete;

    // Calls part(i) for every i in [0, parts) and returns when all calls have returned.
    void run(std::size_t parts, const std::function<void(std::size_t)>& part);

    // Worker threads plus the submitter.
    unsigned concurrency() const { return static_cast<unsigned>(threads.size()) + 1; }

    // Threads for this machine: up to four in all, leaving cores to encoding.
    static unsigned defaultThreads();

private:
    struct Job;
    void workerLoop();
    static void work(Job& job);

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Job>> queue;
    bool stopping = false;
    std::vector<std::thread> threads;
};

}  // namespace quillane::host
