#pragma once

#include <spdlog/sinks/sink.h>

#include <memory>
#include <mutex>
#include <vector>

namespace quillane::host {

// The logger's last sink, to which sinks created later (the UI's log view) are
// attached while other threads log. Unlike the library's distributing sink it
// holds no lock while it hands a line on, and a thread that is already inside
// it (a sink that logs from its own callback, or a crash inside a sink whose
// handler then logs) is not let in again: it would wait for itself forever.
// Threads: any thread logs and adds; each line runs on the thread that logs it.
class AttachedSinks final : public spdlog::sinks::sink {
public:
    void add(std::shared_ptr<spdlog::sinks::sink> sink);
    std::size_t size() const;

    void log(const spdlog::details::log_msg& msg) override;
    void flush() override;
    // Attached sinks keep their own patterns.
    void set_pattern(const std::string&) override {}
    void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

private:
    using List = std::vector<std::shared_ptr<spdlog::sinks::sink>>;
    std::shared_ptr<const List> snapshot() const;

    mutable std::mutex mutex;  // guards the pointer only, never held while a sink runs
    std::shared_ptr<const List> attached = std::make_shared<const List>();
};

}  // namespace quillane::host
