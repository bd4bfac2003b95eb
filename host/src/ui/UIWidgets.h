#pragma once

#include "ui/UITheme.h"

#include <imgui.h>

#include <string_view>

// Small drawing helpers the pages share.
namespace quillane::host::widgets {

inline void textColored(const ImVec4& colour, std::string_view text) {
    ImGui::PushStyleColor(ImGuiCol_Text, colour);
    ImGui::TextUnformatted(text.data(), text.data() + text.size());
    ImGui::PopStyleColor();
}

// Text in `font` (when there is one) and the primary colour.
inline void heading(ImFont* font, std::string_view text) {
    if (font) ImGui::PushFont(font);
    textColored(palette::TextPrimary, text);
    if (font) ImGui::PopFont();
}

inline void hint(std::string_view text) { textColored(palette::TextHint, text); }

inline void gap(float height) { ImGui::Dummy(ImVec2(0, height)); }

// A button of at least `size` that always holds its label in the UI's fonts.
inline bool button(const char* label, ImVec2 size) {
    const ImVec2 text = ImGui::CalcTextSize(label, nullptr, true);
    const ImVec2 padding = ImGui::GetStyle().FramePadding;
    size.x = size.x > text.x + 2 * padding.x ? size.x : text.x + 2 * padding.x;
    size.y = size.y > text.y + 2 * padding.y ? size.y : text.y + 2 * padding.y;
    return ImGui::Button(label, size);
}

}  // namespace quillane::host::widgets
