#pragma once

#include "app/Held.h"

namespace quillane::host {

class CaptureOrchestrator;
class Settings;
struct SettingsValues;

// The picture's settings: sharpening, VSync frame pacing and full-range colour,
// kept in the settings (the caller saves) and handed to the capture orchestrator.
// Threads: the main thread (start-up and the host window's settings).
class PictureSettings {
public:
    PictureSettings(Settings& settings, Held<CaptureOrchestrator>& orchestrator);

    // The settings file's picture values, to a new orchestrator before any stream starts.
    static void applyTo(CaptureOrchestrator& orchestrator, const SettingsValues& values);

    // The settings keep the sharpness within 0 to 1.
    void setSharpening(bool enabled, float sharpness);
    void setVSync(bool enabled);
    void setFullRangeColor(bool enabled);

private:
    Settings& settings;
    Held<CaptureOrchestrator>& orchestrator;
};

}  // namespace quillane::host
