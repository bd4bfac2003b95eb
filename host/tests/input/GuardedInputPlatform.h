#pragma once

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "FakeInputPlatform.h"

namespace quillane::host::test {

// The scripted desktop used from the input thread while the test looks at it: what both touch
// (the inputs sent, the window under the pointer) goes through one lock, and the sleeps of a focus
// attempt or of the wait for a raised window can be held until the test lets them go, as a slow
// desktop would.
class GuardedInputPlatform : public FakeInputPlatform {
public:
    template <class F>
    auto with(F f) {
        std::lock_guard lock(mutex);
        return f(static_cast<FakeInputPlatform&>(*this));
    }
    void holdSleeps(bool hold) {
        {
            std::lock_guard lock(mutex);
            held = hold;
        }
        gateChanged.notify_all();
    }
    // True while a sleep waits for holdSleeps(false).
    bool sleepHeld() { return with([this](auto&) { return waiting > 0; }); }

    // The next sendInputs throws, as a desktop might that fails unexpectedly.
    void throwOnNextSend() { with([this](auto&) { throwing = true; }); }

    std::uint32_t sendInputs(std::span<const SyntheticInput> in) override {
        return with([&](auto& d) {
            if (std::exchange(throwing, false)) throw std::runtime_error("the desktop failed");
            return d.FakeInputPlatform::sendInputs(in);
        });
    }
    NativeWindow windowFromPoint(std::int32_t x, std::int32_t y) override {
        return with([&](auto& d) { return d.FakeInputPlatform::windowFromPoint(x, y); });
    }
    void bringToTop(NativeWindow w) override { with([&](auto& d) { d.FakeInputPlatform::bringToTop(w); }); }
    void sleepMs(std::int32_t milliseconds) override {
        std::unique_lock lock(mutex);
        FakeInputPlatform::sleepMs(milliseconds);
        ++waiting;
        gateChanged.wait(lock, [this] { return !held; });
        --waiting;
    }

private:
    std::mutex mutex;
    std::condition_variable gateChanged;
    bool held = false;
    bool throwing = false;
    int waiting = 0;
};

}  // namespace quillane::host::test
