#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "input/InputPlatform.h"

namespace quillane::host::test {

// An InputPlatform with a scripted desktop that records what it was asked.
class FakeInputPlatform : public InputPlatform {
public:
    struct SetPos { NativeWindow window; std::int32_t x, y; WindowSize outer; bool keepPosition; };

    NativeWindow existing = 0x1234;
    WindowRect rect{100, 50, 916, 689};
    std::uint32_t rectError = 0;  // non-zero: windowRect fails with it
    // Frame that adjustClientRect adds on each side.
    WindowRect frame{8, 31, 8, 8};
    WindowSize minimum{};
    WindowSize screen{1920, 1080};
    std::uint32_t setPosError = 0;  // non-zero: setWindowPos fails with it

    VirtualScreen screenMetrics{0, 0, 1920, 1080};
    std::optional<WindowRect> mapping = WindowRect{100, 50, 900, 650};
    NativeWindow underPoint = 0x1234;
    NativeWindow underPointAfterRaise = 0;  // non-zero: what lies under the point once raised
    std::map<NativeWindow, NativeWindow> roots;  // window -> root; absent: itself
    std::map<NativeWindow, int> applications;    // window -> its application; absent: one of its own
    std::uint32_t insertLimit = ~0u;             // sendInputs inserts at most this many
    NativeWindow foreground = 0;
    bool iconic = false;
    // The foreground after setForeground calls: becomes the window at that call (1-based), 0 never.
    int foregroundAfterSetForeground = 1;
    bool focusAfterRestore = false;

    // What it saw.
    std::vector<std::vector<SyntheticInput>> sent;  // one entry per sendInputs call
    std::vector<std::int32_t> sleeps;
    int setForegroundCalls = 0;
    int foregroundQueries = 0;
    std::vector<std::string> calls;
    std::vector<WindowRect> adjusted;
    std::vector<SetPos> positions;

    bool isWindow(NativeWindow window) override {
        calls.push_back("isWindow");
        return window == existing;
    }
    std::optional<WindowRect> windowRect(NativeWindow, std::uint32_t& error) override {
        calls.push_back("windowRect");
        return (error = rectError) == 0 ? std::optional(rect) : std::nullopt;
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
        return (error = setPosError) == 0;
    }

    std::uint32_t sendInputs(std::span<const SyntheticInput> inputs) override {
        sent.emplace_back(inputs.begin(), inputs.end());
        return std::min<std::uint32_t>(static_cast<std::uint32_t>(inputs.size()), insertLimit);
    }
    VirtualScreen virtualScreen() override { return screenMetrics; }
    std::optional<WindowRect> mappingRect(NativeWindow) override { return mapping; }
    NativeWindow windowFromPoint(std::int32_t, std::int32_t) override { return underPoint; }
    NativeWindow rootWindow(NativeWindow window) override {
        const auto it = roots.find(window);
        return it != roots.end() ? it->second : window;
    }
    bool sameApplication(NativeWindow window, NativeWindow other) override {
        calls.push_back("sameApplication");
        const auto a = applications.find(window);
        const auto b = applications.find(other);
        return a != applications.end() && b != applications.end() && a->second == b->second;
    }
    std::uint16_t scanCode(std::uint8_t vk) override { return static_cast<std::uint16_t>(vk + 0x100); }

    NativeWindow foregroundWindow() override {
        ++foregroundQueries;
        return foreground;
    }
    bool isIconic(NativeWindow) override { return iconic; }
    bool isVisible(NativeWindow) override { return true; }
    void showWindow(NativeWindow window, bool restore) override {
        calls.push_back(restore ? "showWindow(restore)" : "showWindow(show)");
        if (focusAfterRestore && iconic) foreground = window;
        iconic = false;
    }
    void bringToTop(NativeWindow) override {
        calls.push_back("bringToTop");
        if (underPointAfterRaise != 0) underPoint = underPointAfterRaise;
    }
    bool setForeground(NativeWindow window) override {
        calls.push_back("setForeground");
        if (++setForegroundCalls == foregroundAfterSetForeground) foreground = window;
        return true;
    }
    std::uint32_t lastError() override { return 5; }
    std::uint32_t windowThread(NativeWindow window) override { return window == foreground ? 2 : 3; }
    std::uint32_t currentThread() override { return 1; }
    bool attachThreadInput(std::uint32_t, std::uint32_t, bool attach) override {
        calls.push_back(attach ? "attach" : "detach");
        return true;
    }
    void setFocus(NativeWindow) override { calls.push_back("setFocus"); }
    void setActiveWindow(NativeWindow) override { calls.push_back("setActiveWindow"); }
    void sleepMs(std::int32_t milliseconds) override { sleeps.push_back(milliseconds); }
};

// The scripted desktop, injected into by the host's threads while the test reads what it got.
class SharedDesktop : public FakeInputPlatform {
public:
    std::uint32_t sendInputs(std::span<const SyntheticInput> inputs) override {
        std::lock_guard lock(mutex);
        return FakeInputPlatform::sendInputs(inputs);
    }
    // Every input sent so far, in order.
    std::vector<SyntheticInput> inputs() {
        std::lock_guard lock(mutex);
        std::vector<SyntheticInput> all;
        for (const auto& call : sent) all.insert(all.end(), call.begin(), call.end());
        return all;
    }

private:
    std::mutex mutex;
};

inline std::string keyUp(std::uint16_t vk) { return "key " + std::to_string(vk) + " up"; }

// The key and left-button releases among the inputs.
inline std::vector<std::string> releases(const std::vector<SyntheticInput>& inputs) {
    std::vector<std::string> out;
    for (const auto& in : inputs) {
        const bool keyboard = in.kind == SyntheticInput::Kind::Keyboard;
        if (keyboard && (in.flags & key_flags::kKeyUp) != 0) out.push_back(keyUp(in.vk));
        if (!keyboard && in.flags == mouse_flags::kLeftUp) out.push_back("left button up");
    }
    return out;
}

}  // namespace quillane::host::test
