#pragma once

#include <cstdint>
#include <string>

namespace quillane::protocol {

// One capturable window, as the client, the host window and the capture code see it.
struct WindowInfo {
    std::uint32_t id = 0;      // low 32 bits of the native window handle
    std::string title;         // UTF-8
    std::string processName;   // executable file name, empty when unreadable
    std::string className;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool isMinimized = false;
    bool isMaximized = false;
    bool isVisible = false;
    std::string iconBase64;    // PNG, Base64 without line breaks; empty when there is no icon

    bool operator==(const WindowInfo&) const = default;
};

}  // namespace quillane::protocol
