#include "input/linux/X11KeyTable.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>

namespace quillane::host {
namespace {

constexpr auto buildTable() {
    std::array<VkKeysym, 256> t{};
    std::size_t n = 0;
    const auto add = [&](std::uint8_t vk, std::uint32_t keysym) { t[n++] = VkKeysym{vk, keysym}; };
    add(0x03, XK_Cancel);
    add(0x08, XK_BackSpace);
    add(0x09, XK_Tab);
    add(0x0C, XK_Clear);
    add(0x0D, XK_Return);
    add(0x10, XK_Shift_L);
    add(0x11, XK_Control_L);
    add(0x12, XK_Alt_L);
    add(0x13, XK_Pause);
    add(0x14, XK_Caps_Lock);
    add(0x1B, XK_Escape);
    add(0x20, XK_space);
    add(0x21, XK_Prior);
    add(0x22, XK_Next);
    add(0x23, XK_End);
    add(0x24, XK_Home);
    add(0x25, XK_Left);
    add(0x26, XK_Up);
    add(0x27, XK_Right);
    add(0x28, XK_Down);
    add(0x29, XK_Select);
    add(0x2A, XK_Print);
    add(0x2B, XK_Execute);
    add(0x2C, XK_Print);  // Print Screen
    add(0x2D, XK_Insert);
    add(0x2E, XK_Delete);
    add(0x2F, XK_Help);
    for (std::uint8_t d = 0; d < 10; ++d) add(0x30 + d, XK_0 + d);
    for (std::uint8_t c = 0; c < 26; ++c) add(0x41 + c, XK_a + c);
    add(0x5B, XK_Super_L);
    add(0x5C, XK_Super_R);
    add(0x5D, XK_Menu);
    add(0x5F, XF86XK_Sleep);
    for (std::uint8_t d = 0; d < 10; ++d) add(0x60 + d, XK_KP_0 + d);
    add(0x6A, XK_KP_Multiply);
    add(0x6B, XK_KP_Add);
    add(0x6C, XK_KP_Separator);
    add(0x6D, XK_KP_Subtract);
    add(0x6E, XK_KP_Decimal);
    add(0x6F, XK_KP_Divide);
    for (std::uint8_t f = 0; f < 24; ++f) add(0x70 + f, XK_F1 + f);
    add(0x90, XK_Num_Lock);
    add(0x91, XK_Scroll_Lock);
    add(0xA0, XK_Shift_L);
    add(0xA1, XK_Shift_R);
    add(0xA2, XK_Control_L);
    add(0xA3, XK_Control_R);
    add(0xA4, XK_Alt_L);
    add(0xA5, XK_Alt_R);
    add(0xA6, XF86XK_Back);
    add(0xA7, XF86XK_Forward);
    add(0xA8, XF86XK_Refresh);
    add(0xA9, XF86XK_Stop);
    add(0xAA, XF86XK_Search);
    add(0xAB, XF86XK_Favorites);
    add(0xAC, XF86XK_HomePage);
    add(0xAD, XF86XK_AudioMute);
    add(0xAE, XF86XK_AudioLowerVolume);
    add(0xAF, XF86XK_AudioRaiseVolume);
    add(0xB0, XF86XK_AudioNext);
    add(0xB1, XF86XK_AudioPrev);
    add(0xB2, XF86XK_AudioStop);
    add(0xB3, XF86XK_AudioPlay);
    add(0xB4, XF86XK_Mail);
    add(0xB5, XF86XK_AudioMedia);
    add(0xB6, XF86XK_MyComputer);
    add(0xB7, XF86XK_Calculator);
    add(0xBA, XK_semicolon);
    add(0xBB, XK_equal);
    add(0xBC, XK_comma);
    add(0xBD, XK_minus);
    add(0xBE, XK_period);
    add(0xBF, XK_slash);
    add(0xC0, XK_grave);
    add(0xDB, XK_bracketleft);
    add(0xDC, XK_backslash);
    add(0xDD, XK_bracketright);
    add(0xDE, XK_apostrophe);
    add(0xE2, XK_less);  // the extra key of 102-key layouts
    add(0xFA, XF86XK_AudioPlay);  // Play
    return std::pair{t, n};
}

constexpr auto kTable = buildTable();

}  // namespace

std::span<const VkKeysym> x11KeyTable() {
    return std::span(kTable.first.data(), kTable.second);
}

std::uint32_t keysymForVk(std::uint8_t vk) {
    const auto table = x11KeyTable();
    const auto it = std::lower_bound(table.begin(), table.end(), vk,
                                     [](const VkKeysym& entry, std::uint8_t key) { return entry.vk < key; });
    return it != table.end() && it->vk == vk ? it->keysym : 0;
}

std::uint32_t keysymForCodepoint(std::uint32_t codepoint) {
    if ((codepoint >= 0x20 && codepoint <= 0x7E) || (codepoint >= 0xA0 && codepoint <= 0xFF)) return codepoint;
    switch (codepoint) {
    case '\b': return XK_BackSpace;
    case '\t': return XK_Tab;
    case '\n':
    case '\r': return XK_Return;
    case 0x1B: return XK_Escape;
    case 0x7F: return XK_Delete;
    default: break;
    }
    if (codepoint < 0x100 || codepoint > 0x10FFFF) return 0;
    return 0x01000000 | codepoint;
}

}  // namespace quillane::host
