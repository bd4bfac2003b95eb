#pragma once

#include <spdlog/sinks/base_sink.h>

#include <functional>
#include <mutex>
#include <string>

namespace quillane::host {

using UILogCallback = std::function<void(int level, const std::string& text)>;

// Hands each log record, formatted with the library's default pattern and
// without its line end, to a callback (the UI's log view). The callback runs on
// the logging thread with the sink's mutex held; setCallback takes that mutex
// too, so once it returns with an empty callback no record reaches the old one.
template <typename Mutex>
class UISink final : public spdlog::sinks::base_sink<Mutex> {
public:
    void setCallback(UILogCallback cb) {
        std::lock_guard<Mutex> lock(this->mutex_);
        callback = std::move(cb);
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (!callback) return;
        spdlog::memory_buf_t formatted;
        this->formatter_->format(msg, formatted);
        std::string text(formatted.data(), formatted.size());
        if (!text.empty() && text.back() == '\n') text.pop_back();
        callback(static_cast<int>(msg.level), text);
    }
    void flush_() override {}

private:
    UILogCallback callback;
};

using UISinkMt = UISink<std::mutex>;

}  // namespace quillane::host
