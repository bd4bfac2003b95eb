#pragma once

#include <cstdint>
#include <span>

namespace quillane::host {

// One Windows virtual-key code and the X keysym that it types unshifted on a US layout.
struct VkKeysym {
    std::uint8_t vk;
    std::uint32_t keysym;
};

// Every virtual key a client can send that X has a keysym for, sorted by vk.
std::span<const VkKeysym> x11KeyTable();
// 0 for a virtual key without a keysym.
std::uint32_t keysymForVk(std::uint8_t vk);
// The keysym that types a Unicode character (Latin-1 directly, the rest in the Unicode range).
std::uint32_t keysymForCodepoint(std::uint32_t codepoint);

}  // namespace quillane::host
