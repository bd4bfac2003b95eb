#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "capture/WindowInfo.h"

namespace quillane::host {

// Hooks through which the signalling server reaches its owner. An empty
// function counts as not installed.
using WindowListCallback = std::function<std::vector<protocol::WindowInfo>()>;
using StreamRequestCallback = std::function<bool(std::uint32_t windowId, std::uint8_t streamId)>;
using StreamStopCallback = std::function<void(std::uint8_t streamId)>;
using ClientConnectedCallback = std::function<void(const std::string& clientAddress)>;
using WindowResizeCallback = std::function<bool(std::uint32_t windowId, std::uint32_t width, std::uint32_t height)>;
// Shared with the TCP video server.
using KeyframeRequestCallback = std::function<void(std::uint8_t streamId)>;
// True while a stream with this id runs (started on any path); the server
// never hands such an id to a new stream.
using StreamIdInUseCallback = std::function<bool(std::uint8_t streamId)>;

}  // namespace quillane::host
