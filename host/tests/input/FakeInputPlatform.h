#pragma once

#include <string>
#include <vector>

#include "input/InputPlatform.h"

namespace quillane::host::test {

// An InputPlatform with a scripted desktop that records what it was asked.
class FakeInputPlatform : public InputPlatform {
public:
    struct SetPos {
        NativeWindow window;
        std::int32_t x, y;
        WindowSize outer;
        bool keepPosition;
    };

    // The scripted desktop.
    NativeWindow existing = 0x1234;
    WindowRect rect{100, 50, 916, 689};
    std::uint32_t rectError = 0;  // non-zero: windowRect fails with it
    // Frame that adjustClientRect adds on each side.
    WindowRect frame{8, 31, 8, 8};
    WindowSize minimum{};
    WindowSize screen{1920, 1080};
    std::uint32_t setPosError = 0;  // non-zero: setWindowPos fails with it

    // What it saw.
    std::vector<std::string> calls;
    std::vector<WindowRect> adjusted;
    std::vector<SetPos> positions;

    bool isWindow(NativeWindow window) override {
        calls.push_back("isWindow");
        return window == existing;
    }
    std::optional<WindowRect> windowRect(NativeWindow, std::uint32_t& error) override {
        calls.push_back("windowRect");
        error = rectError;
        return rectError == 0 ? std::optional(rect) : std::nullopt;
    }
    WindowRect adjustClientRect(NativeWindow, const WindowRect& client) override {
        calls.push_back("adjustClientRect");
        adjusted.push_back(client);
        return WindowRect{client.left - frame.left, client.top - frame.top, client.right + frame.right,
                          client.bottom + frame.bottom};
    }
    WindowSize minimumTrackingSize(NativeWindow) override {
        calls.push_back("minimumTrackingSize");
        return minimum;
    }
    WindowSize primaryScreenSize() override {
        calls.push_back("primaryScreenSize");
        return screen;
    }
    bool setWindowPos(NativeWindow window, std::int32_t x, std::int32_t y, WindowSize outer, bool keepPosition,
                      std::uint32_t& error) override {
        calls.push_back("setWindowPos");
        positions.push_back(SetPos{window, x, y, outer, keepPosition});
        error = setPosError;
        return setPosError == 0;
    }
};

}  // namespace quillane::host::test
