#include "app/Logging.h"

#include "RecordingSink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>


namespace quillane::host::test {

// The UI's sink is attached after threads that log have started.
TEST(LoggingConcurrency, SinksAttachWhileOtherThreadsLog) {
    initializeLogging("QuillaneHost", false, 6, "");  // console off: only the attached sinks matter
    spdlog::default_logger()->set_level(spdlog::level::info);
    std::atomic<bool> stop{false};
    std::atomic<int> started{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            ++started;
            for (int i = 0; !stop; ++i) SPDLOG_INFO("thread {} line {}", t, i);
        });
    while (started < 4) std::this_thread::yield();

    std::vector<std::shared_ptr<RecordingSink>> sinks;
    for (int i = 0; i < 20; ++i) {
        sinks.push_back(std::make_shared<RecordingSink>());
        addLogSink(sinks.back());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Every sink, even the last one, gets lines from the running threads.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sinks.back()->lines().size() < 100 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    for (auto& t : threads) t.join();
    shutdownLogging();
    for (auto& sink : sinks) EXPECT_GE(sink->lines().size(), 100u);
    // The earliest sink saw at least as much as the latest.
    EXPECT_GE(sinks.front()->lines().size(), sinks.back()->lines().size());
}

}  // namespace quillane::host::test
