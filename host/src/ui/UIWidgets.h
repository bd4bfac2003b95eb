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

}  // namespace quillane::host::widgets
