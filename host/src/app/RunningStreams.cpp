#include "app/RunningStreams.h"

#include <utility>

namespace quillane::host {

RunningStreams::RunningStreams(PriorityFn priorityFn) : priority(std::move(priorityFn)) {}

void RunningStreams::setPriorityHook(PriorityFn priorityFn) {
    std::lock_guard lock(mutex);
    priority = std::move(priorityFn);
}

std::optional<std::uint8_t> RunningStreams::reserve() {
    std::lock_guard lock(mutex);
    return allocator.reserve();
}

bool RunningStreams::takeForStart(std::uint8_t streamId) {
    std::lock_guard lock(mutex);
    if (running.test(streamId)) return false;
    allocator.claim(streamId);
    return true;
}

void RunningStreams::release(std::uint8_t streamId) {
    std::lock_guard lock(mutex);
    if (!running.test(streamId)) allocator.release(streamId);
}

bool RunningStreams::add(std::uint8_t streamId, std::uint32_t windowId) {
    std::lock_guard lock(mutex);
    if (running.test(streamId)) {
        windows[streamId] = windowId;
        return false;
    }
    // The boost first: when it throws, nothing is recorded and the caller's start is undone whole.
    if (!priorityBoosted) {
        if (priority) priority(true);
        priorityBoosted = true;
    }
    windows[streamId] = windowId;
    running.set(streamId);
    allocator.claim(streamId);
    return true;
}

bool RunningStreams::remove(std::uint8_t streamId) {
    std::lock_guard lock(mutex);
    if (!running.test(streamId)) return false;
    running.reset(streamId);
    allocator.release(streamId);
    windows[streamId] = 0;
    if (running.none() && priorityBoosted) {
        priorityBoosted = false;
        if (priority) priority(false);
    }
    return true;
}

bool RunningStreams::contains(std::uint8_t streamId) const {
    std::lock_guard lock(mutex);
    return running.test(streamId);
}

std::uint32_t RunningStreams::windowOf(std::uint8_t streamId) const {
    std::lock_guard lock(mutex);
    return running.test(streamId) ? windows[streamId] : 0;
}

std::size_t RunningStreams::size() const {
    std::lock_guard lock(mutex);
    return running.count();
}

bool RunningStreams::boosted() const {
    std::lock_guard lock(mutex);
    return priorityBoosted;
}

std::vector<std::uint8_t> RunningStreams::ids() const {
    std::lock_guard lock(mutex);
    std::vector<std::uint8_t> out;
    for (unsigned i = 0; i < 256; ++i)
        if (running.test(i)) out.push_back(static_cast<std::uint8_t>(i));
    return out;
}

}  // namespace quillane::host
