#include "app/PictureSettings.h"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "app/Settings.h"
#include "capture/CaptureOrchestrator.h"

namespace quillane::host {

PictureSettings::PictureSettings(Settings& settings, Held<CaptureOrchestrator>& orchestrator)
    : settings(settings), orchestrator(orchestrator) {}

void PictureSettings::applyTo(CaptureOrchestrator& capture, const SettingsValues& values) {
    capture.setSharpeningEnabled(values.sharpeningEnabled);
    capture.setSharpness(values.sharpness);
    capture.setVSyncEnabled(values.vsyncEnabled);
    capture.setFullRangeColor(values.fullRangeColor);
}

void PictureSettings::setSharpening(bool enabled, float sharpness) {
    SPDLOG_INFO("Applying sharpening settings: enabled={}, sharpness={:.2f}", enabled, sharpness);
    settings.update([&](SettingsValues& v) {
        v.sharpeningEnabled = enabled;
        v.sharpness = std::max(std::min(sharpness, 1.0f), 0.0f);
    });
    if (auto capture = orchestrator.get()) {
        capture->setSharpeningEnabled(enabled);
        capture->setSharpness(sharpness);
    }
}

void PictureSettings::setVSync(bool enabled) {
    SPDLOG_INFO("Applying VSync settings: enabled={}", enabled);
    settings.update([&](SettingsValues& v) { v.vsyncEnabled = enabled; });
    if (auto capture = orchestrator.get()) capture->setVSyncEnabled(enabled);
}

void PictureSettings::setFullRangeColor(bool enabled) {
    SPDLOG_INFO("Applying full range color settings: enabled={}", enabled);
    settings.update([&](SettingsValues& v) { v.fullRangeColor = enabled; });
    if (auto capture = orchestrator.get()) capture->setFullRangeColor(enabled);
}

}  // namespace quillane::host
