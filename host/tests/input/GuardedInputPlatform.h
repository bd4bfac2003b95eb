#pragma once

#include <condition_variable>
#include <mutex>

#include "FakeInputPlatform.h"

namespace quillane::host::test {

// The scripted desktop used from the input thread while the test looks at it: every call runs
// under one lock, and the sleeps of a focus attempt or of the wait for a raised window can be
// held until the test lets them go, as a slow desktop would.
class GuardedInputPlatform : public InputPlatform {
public:
    // Runs f on the scripted desktop under the lock.
    template <class F>
    auto with(F f) {
        std::lock_guard lock(mutex);
        return f(fake);
    }
    void holdSleeps() {
        std::lock_guard lock(gateMutex);
        held = true;
    }
    void releaseSleeps() {
        {
            std::lock_guard lock(gateMutex);
            held = false;
        }
        gateChanged.notify_all();
    }
    // True once a sleep waits for releaseSleeps.
    bool sleepHeld() {
        std::lock_guard lock(gateMutex);
        return waiting > 0;
    }

    bool isWindow(NativeWindow w) override { return with([&](auto& d) { return d.isWindow(w); }); }
    std::optional<WindowRect> windowRect(NativeWindow w, std::uint32_t& error) override {
        return with([&](auto& d) { return d.windowRect(w, error); });
    }
    WindowRect adjustClientRect(NativeWindow w, const WindowRect& c) override {
        return with([&](auto& d) { return d.adjustClientRect(w, c); });
    }
    WindowSize minimumTrackingSize(NativeWindow w) override {
        return with([&](auto& d) { return d.minimumTrackingSize(w); });
    }
    WindowSize primaryScreenSize() override { return with([&](auto& d) { return d.primaryScreenSize(); }); }
    bool setWindowPos(NativeWindow w, std::int32_t x, std::int32_t y, WindowSize outer, bool keep,
                      std::uint32_t& error) override {
        return with([&](auto& d) { return d.setWindowPos(w, x, y, outer, keep, error); });
    }
    std::uint32_t sendInputs(std::span<const SyntheticInput> inputs) override {
        return with([&](auto& d) { return d.sendInputs(inputs); });
    }
    VirtualScreen virtualScreen() override { return with([&](auto& d) { return d.virtualScreen(); }); }
    std::optional<WindowRect> mappingRect(NativeWindow w) override {
        return with([&](auto& d) { return d.mappingRect(w); });
    }
    NativeWindow windowFromPoint(std::int32_t x, std::int32_t y) override {
        return with([&](auto& d) { return d.windowFromPoint(x, y); });
    }
    NativeWindow rootWindow(NativeWindow w) override { return with([&](auto& d) { return d.rootWindow(w); }); }
    bool sameApplication(NativeWindow w, NativeWindow o) override {
        return with([&](auto& d) { return d.sameApplication(w, o); });
    }
    std::uint16_t scanCode(std::uint8_t vk) override { return with([&](auto& d) { return d.scanCode(vk); }); }
    NativeWindow foregroundWindow() override { return with([&](auto& d) { return d.foregroundWindow(); }); }
    bool isIconic(NativeWindow w) override { return with([&](auto& d) { return d.isIconic(w); }); }
    bool isVisible(NativeWindow w) override { return with([&](auto& d) { return d.isVisible(w); }); }
    void showWindow(NativeWindow w, bool restore) override { with([&](auto& d) { d.showWindow(w, restore); }); }
    void bringToTop(NativeWindow w) override { with([&](auto& d) { d.bringToTop(w); }); }
    bool setForeground(NativeWindow w) override { return with([&](auto& d) { return d.setForeground(w); }); }
    std::uint32_t lastError() override { return with([&](auto& d) { return d.lastError(); }); }
    std::uint32_t windowThread(NativeWindow w) override { return with([&](auto& d) { return d.windowThread(w); }); }
    std::uint32_t currentThread() override { return with([&](auto& d) { return d.currentThread(); }); }
    bool attachThreadInput(std::uint32_t from, std::uint32_t to, bool attach) override {
        return with([&](auto& d) { return d.attachThreadInput(from, to, attach); });
    }
    void setFocus(NativeWindow w) override { with([&](auto& d) { d.setFocus(w); }); }
    void setActiveWindow(NativeWindow w) override { with([&](auto& d) { d.setActiveWindow(w); }); }
    void sleepMs(std::int32_t milliseconds) override {
        with([&](auto& d) { d.sleepMs(milliseconds); });
        std::unique_lock lock(gateMutex);
        ++waiting;
        gateChanged.wait(lock, [this] { return !held; });
        --waiting;
    }

private:
    std::mutex mutex;
    FakeInputPlatform fake;
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool held = false;
    int waiting = 0;
};

}  // namespace quillane::host::test
