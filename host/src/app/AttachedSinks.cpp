#include "app/AttachedSinks.h"

namespace quillane::host {
namespace {

thread_local bool t_inside = false;

class Inside {
public:
    Inside() { t_inside = true; }
    ~Inside() { t_inside = false; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
};

}  // namespace

void AttachedSinks::add(std::shared_ptr<spdlog::sinks::sink> sink) {
    std::lock_guard lock(mutex);
    auto next = std::make_shared<List>(*attached);
    next->push_back(std::move(sink));
    attached = std::move(next);
}

std::size_t AttachedSinks::size() const { return snapshot()->size(); }

std::shared_ptr<const AttachedSinks::List> AttachedSinks::snapshot() const {
    std::lock_guard lock(mutex);
    return attached;
}

void AttachedSinks::log(const spdlog::details::log_msg& msg) {
    if (t_inside) return;
    Inside inside;
    const auto sinks = snapshot();
    for (const auto& sink : *sinks)
        if (sink->should_log(msg.level)) sink->log(msg);
}

void AttachedSinks::flush() {
    if (t_inside) return;
    Inside inside;
    const auto sinks = snapshot();
    for (const auto& sink : *sinks) sink->flush();
}

}  // namespace quillane::host
