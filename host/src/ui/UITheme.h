#pragma once

#include <imgui.h>

// The UI's fixed palette.
namespace quillane::host::palette {
inline const ImVec4 Background{0.06f, 0.06f, 0.10f, 1.0f};
inline const ImVec4 BackgroundDeep{0.05f, 0.05f, 0.08f, 1.0f};
inline const ImVec4 Surface{0.10f, 0.10f, 0.16f, 1.0f};
inline const ImVec4 SurfaceRaised{0.12f, 0.12f, 0.20f, 1.0f};
inline const ImVec4 Field{0.15f, 0.15f, 0.22f, 1.0f};
inline const ImVec4 Outline{0.20f, 0.20f, 0.30f, 1.0f};
inline const ImVec4 Accent{0.45f, 0.35f, 0.90f, 1.0f};
inline const ImVec4 AccentBright{0.55f, 0.40f, 0.98f, 1.0f};
inline const ImVec4 AccentDeep{0.35f, 0.25f, 0.70f, 1.0f};
inline const ImVec4 AccentLight{0.60f, 0.45f, 1.00f, 1.0f};
inline const ImVec4 AccentGrab{0.50f, 0.40f, 0.95f, 1.0f};
inline const ImVec4 TextPrimary{0.95f, 0.95f, 0.98f, 1.0f};
inline const ImVec4 TextSecondary{0.65f, 0.65f, 0.75f, 1.0f};
inline const ImVec4 TextHint{0.45f, 0.45f, 0.55f, 1.0f};
inline const ImVec4 Success{0.30f, 0.85f, 0.55f, 1.0f};
inline const ImVec4 Warning{0.95f, 0.75f, 0.25f, 1.0f};
inline const ImVec4 Danger{0.95f, 0.35f, 0.40f, 1.0f};
inline const ImVec4 Transparent{0.0f, 0.0f, 0.0f, 0.0f};
}  // namespace quillane::host::palette
