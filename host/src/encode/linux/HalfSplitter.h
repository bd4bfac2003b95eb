#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quillane::host {

// Runs one job on two halves of the work at once: half 1 on a helper thread that
// lives as long as the object, half 0 on the calling thread. Used for the colour
// conversion, which would otherwise run on one core before x264's slice threads
// start.
class HalfSplitter {
public:
    HalfSplitter();
    ~HalfSplitter();
    HalfSplitter(const HalfSplitter&) = delete;
    HalfSplitter& operator=(const HalfSplitter&) = delete;

    // Returns when both halves are done. One caller at a time.
    void run(const std::function<void(int half)>& job);

private:
    void loop();

    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    const std::function<void(int)>* currentJob = nullptr;
    bool pending = false;
    bool stop = false;
    std::thread thread;
};

}  // namespace quillane::host
