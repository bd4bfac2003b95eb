#pragma once

#include <cstddef>
#include <cstdint>

// The Win32 window system itself lives in Win32WindowSystem.cpp, reached through
// createWindowSystem (capture/WindowSystem.h); its icon step is here for the tests.

namespace quillane::host {

// An icon drawn onto black in a 32-bit top-down BGRA bitmap comes out in one of
// two ways. With an alpha channel the colours are premultiplied by it: they are
// divided back out, since PNG keeps straight alpha. Without one (icons made of
// a colour and a mask bitmap) every alpha byte is 0, which would make the
// picture invisible: alpha then comes from the icon's mask drawn onto white
// (white where transparent), or is opaque when there is no mask drawing.
void finishIconPixels(std::uint8_t* bgra, std::size_t pixelCount, const std::uint8_t* maskBgra);

}  // namespace quillane::host
