#pragma once

#include "capture/WindowSystem.h"

#include <cstddef>
#include <cstdint>

namespace quillane::host {

// The Win32 desktop: EnumWindows, the window styles, the Desktop Window
// Manager's cloaking, the owning process and the window's icon drawn with GDI
// and encoded with the Windows Imaging Component.
class Win32WindowSystem final : public WindowSystem {
public:
    void forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) override;
    bool isVisible(NativeWindow window) override;
    std::size_t titleLength(NativeWindow window) override;
    std::wstring title(NativeWindow window) override;
    std::wstring className(NativeWindow window) override;
    WindowStyle style(NativeWindow window) override;
    bool isCloaked(NativeWindow window) override;
    std::optional<WindowRect> rect(NativeWindow window) override;
    bool isMinimized(NativeWindow window) override;
    bool isMaximized(NativeWindow window) override;
    std::wstring processImagePath(NativeWindow window) override;
    WindowIconPng iconPng(NativeWindow window) override;
};

// An icon drawn onto black in a 32-bit top-down BGRA bitmap comes out in one of
// two ways. With an alpha channel the colours are premultiplied by it: they are
// divided back out, since PNG keeps straight alpha. Without one (icons made of
// a colour and a mask bitmap) every alpha byte is 0, which would make the
// picture invisible: alpha then comes from the icon's mask drawn onto white
// (white where transparent), or is opaque when there is no mask drawing.
void finishIconPixels(std::uint8_t* bgra, std::size_t pixelCount, const std::uint8_t* maskBgra);

}  // namespace quillane::host
