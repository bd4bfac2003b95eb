#pragma once

#include <cstdint>
#include <memory>

#include "input/InputPlatform.h"

namespace quillane::host {

// Turns the client's requests into desktop input. For now it resizes windows;
// the platform's calls go through InputPlatform, so the logic here is the same
// on every platform.
class InputInjector {
public:
    explicit InputInjector(std::shared_ptr<InputPlatform> platform);
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Gives the window a client area of the given size: in place when
    // keepPosition is set, otherwise centred on the primary screen. Never
    // smaller than the window's minimum tracking size. Uses no state of the
    // injector, so any thread may call it.
    bool resizeWindow(NativeWindow window, std::uint32_t clientWidth, std::uint32_t clientHeight,
                      bool keepPosition);

private:
    std::shared_ptr<InputPlatform> platform;
};

}  // namespace quillane::host
