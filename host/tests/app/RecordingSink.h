#pragma once

// Records every line it is given, as an attached UI sink would show it.

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace quillane::host::test {

class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    struct Line {
        spdlog::level::level_enum level;
        std::string text;
    };
    std::vector<Line> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool contains(spdlog::level::level_enum level, const std::string& part) {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const Line& l) {
            return l.level == level && l.text.find(part) != std::string::npos;
        });
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        lines_.push_back({msg.level, std::string(msg.payload.begin(), msg.payload.end())});
    }
    void flush_() override {}

private:
    std::vector<Line> lines_;
};

}  // namespace quillane::host::test
