#include "LogCapture.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

namespace quillane::host::test {

namespace {

class CaptureSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogEntry> since(std::size_t index) {
        std::lock_guard lock(mutex_);
        if (index >= lines.size()) {
            return {};
        }
        return {lines.begin() + static_cast<std::ptrdiff_t>(index), lines.end()};
    }

    std::size_t size() {
        std::lock_guard lock(mutex_);
        return lines.size();
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
    }
    void flush_() override {}

private:
    std::vector<LogEntry> lines;
};

CaptureSink& sink() {
    static const auto instance = [] {
        auto capture = std::make_shared<CaptureSink>();
        std::vector<spdlog::sink_ptr> sinks{capture};
        if (const char* print = std::getenv("QH_TEST_LOG"); print && *print && *print != '0') {
            sinks.push_back(std::make_shared<spdlog::sinks::stdout_sink_mt>());
        }
        auto logger = std::make_shared<spdlog::logger>("test", sinks.begin(), sinks.end());
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
        return capture;
    }();
    return *instance;
}

}  // namespace

LogCapture::LogCapture() : start(sink().size()) {}

std::vector<LogEntry> LogCapture::entries() const {
    return sink().since(start);
}

std::size_t LogCapture::size() const {
    return sink().size() - start;
}

std::string LogCapture::textSince(std::size_t count) const {
    std::string text;
    for (const auto& entry : sink().since(start + count)) text += entry.text + "\n";
    return text;
}

std::vector<LogEntry> LogCapture::matching(std::string_view needle) const {
    std::vector<LogEntry> found;
    for (auto& entry : entries()) {
        if (entry.text.find(needle) != std::string::npos) {
            found.push_back(std::move(entry));
        }
    }
    return found;
}

std::size_t LogCapture::count(std::string_view needle) const {
    return matching(needle).size();
}

bool LogCapture::waitFor(std::string_view needle, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!contains(needle)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace quillane::host::test
