#include "app/StreamTable.h"

#include <algorithm>

namespace quillane::host {

void StreamTable::registerClientStream(std::uint8_t streamId, std::uint32_t windowId) {
    std::lock_guard lock(streamsMutex);
    streamConfigSent[streamId] = false;
    streamWindows[streamId] = windowId;
}

void StreamTable::erase(std::uint8_t streamId) {
    std::lock_guard lock(streamsMutex);
    streamConfigSent.erase(streamId);
    streamWindows.erase(streamId);
}

void StreamTable::markConfigDue(std::uint8_t streamId) {
    std::lock_guard lock(streamsMutex);
    streamConfigSent[streamId] = false;
}

bool StreamTable::announceIfDue(std::uint8_t streamId, const AnnounceFn& announce) {
    std::lock_guard lock(streamsMutex);
    const auto it = streamConfigSent.find(streamId);
    if (it == streamConfigSent.end() || it->second) return false;
    const auto window = streamWindows.find(streamId);
    const std::uint32_t windowId = window == streamWindows.end() ? 0 : window->second;
    if (!announce(streamId, windowId)) return false;
    it->second = true;
    return true;
}

bool StreamTable::hasClientStream(std::uint8_t streamId) const {
    std::lock_guard lock(streamsMutex);
    return streamWindows.contains(streamId);
}

std::uint32_t StreamTable::windowOf(std::uint8_t streamId) const {
    std::lock_guard lock(streamsMutex);
    const auto it = streamWindows.find(streamId);
    return it == streamWindows.end() ? 0 : it->second;
}

std::vector<std::uint8_t> StreamTable::clientStreams() const {
    std::lock_guard lock(streamsMutex);
    std::vector<std::uint8_t> ids;
    ids.reserve(streamWindows.size());
    for (const auto& [id, window] : streamWindows) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

void StreamTable::forEachClientStream(
    const std::function<void(std::uint8_t, std::uint32_t)>& fn) const {
    std::lock_guard lock(streamsMutex);
    for (const auto& [id, window] : streamWindows) fn(id, window);
}

}  // namespace quillane::host
