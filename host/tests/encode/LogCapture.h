#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace quillane::host::test {

// Replaces the default logger for the lifetime of the object and records every
// line, so tests can check what the code logged and at which level.
class LogCapture {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };

    LogCapture() : sink_(std::make_shared<Sink>()), previous_(spdlog::default_logger()) {
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<Line> lines() const { return sink_->lines(); }

    // Lines of that level whose text equals `text` exactly.
    int count(spdlog::level::level_enum level, const std::string& text) const {
        int n = 0;
        for (const Line& line : lines()) {
            n += (line.level == level && line.text == text) ? 1 : 0;
        }
        return n;
    }
    bool has(spdlog::level::level_enum level, const std::string& text) const { return count(level, text) > 0; }

    // Lines of that level whose text starts with `prefix`.
    int countPrefix(spdlog::level::level_enum level, const std::string& prefix) const {
        int n = 0;
        for (const Line& line : lines()) {
            n += (line.level == level && line.text.rfind(prefix, 0) == 0) ? 1 : 0;
        }
        return n;
    }
    int countAtLeast(spdlog::level::level_enum level) const {
        int n = 0;
        for (const Line& line : lines()) {
            n += line.level >= level ? 1 : 0;
        }
        return n;
    }
    void clear() { sink_->clear(); }

private:
    class Sink : public spdlog::sinks::base_sink<std::mutex> {
    public:
        std::vector<Line> lines() {
            std::lock_guard lock(mutex_);
            return lines_;
        }
        void clear() {
            std::lock_guard lock(mutex_);
            lines_.clear();
        }

    protected:
        void sink_it_(const spdlog::details::log_msg& msg) override {
            lines_.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
        }
        void flush_() override {}

    private:
        std::vector<Line> lines_;
    };

    std::shared_ptr<Sink> sink_;
    std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace quillane::host::test
