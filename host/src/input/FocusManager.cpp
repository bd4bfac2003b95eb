#include "input/FocusManager.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <utility>

namespace quillane::host {
namespace {

constexpr std::uint32_t kErrorInvalidHandle = 6;
constexpr std::int32_t kRestoreSettleMs = 10;
constexpr std::int32_t kAttachBudgetMs = 50;
constexpr const char* kFocusHint = "Click inside this panel once to enable typing";

}  // namespace

FocusManager::FocusManager(std::shared_ptr<InputPlatform> platform) : platform(std::move(platform)) {}

FocusManager::~FocusManager() {
    restoreSavedForeground();
}

bool FocusManager::initialize(const FocusManagerConfig& newConfig) {
    config = newConfig;
    // A zero interval would divide by zero and poll without pause.
    config.pollIntervalMs = std::max(1, config.pollIntervalMs);
    config.pollCount = std::max(0, config.pollCount);
    initialized = true;
    SPDLOG_INFO("FocusManager initialized (poll: {}ms x {}, save/restore: {})", config.pollIntervalMs,
                config.pollCount, config.saveRestoreForeground);
    return true;
}

void FocusManager::setFocusFailedCallback(FocusFailedCallback callback) {
    focusFailedCallback = std::move(callback);
}

bool FocusManager::isForeground(NativeWindow window) {
    if (window == 0 || !platform) return false;
    const NativeWindow foreground = platform->foregroundWindow();
    if (foreground == 0) return false;
    if (foreground == window) return true;
    const NativeWindow root = platform->rootWindow(window);
    return root != 0 && platform->rootWindow(foreground) == root;
}

bool FocusManager::poll(NativeWindow window, std::int32_t polls) {
    for (std::int32_t i = 0; i < polls; ++i) {
        if (isForeground(window)) return true;
        platform->sleepMs(config.pollIntervalMs);
    }
    return isForeground(window);
}

FocusResult FocusManager::focusWindow(NativeWindow window) {
    if (window == 0 || !platform || !platform->isWindow(window)) {
        std::size_t held = 0;
        if (invalidLog.allow(held)) SPDLOG_WARN("focusWindow called with invalid hwnd");
        return {false, 0, kErrorInvalidHandle};
    }
    if (isForeground(window)) return {true, static_cast<std::uint32_t>(FocusStrategy::AlreadyForeground), 0};
    if (config.saveRestoreForeground && savedForeground == 0) savedForeground = platform->foregroundWindow();

    const bool iconic = platform->isIconic(window);
    if (iconic || !platform->isVisible(window)) {
        platform->showWindow(window, iconic);
        platform->sleepMs(kRestoreSettleMs);
        if (isForeground(window)) return {true, static_cast<std::uint32_t>(FocusStrategy::RestoreWindow), 0};
    }

    platform->showWindow(window, false);
    platform->bringToTop(window);
    platform->setForeground(window);
    // The time budget pollIntervalMs x pollCount in polls of pollIntervalMs.
    if (poll(window, std::max(1, config.pollCount))) {
        return {true, static_cast<std::uint32_t>(FocusStrategy::SetForeground), 0};
    }
    if (tryAttachThreadInput(window)) {
        return {true, static_cast<std::uint32_t>(FocusStrategy::AttachThreadInput), 0};
    }

    const std::uint32_t error = platform->lastError();
    std::size_t held = 0;
    if (!failedLog.allow(held)) return {false, 0, error};
    SPDLOG_WARN("All focus strategies failed for hwnd {:x}", window);
    if (focusFailedCallback) focusFailedCallback(window, kFocusHint);
    return {false, 0, error};
}

bool FocusManager::tryAttachThreadInput(NativeWindow window) {
    const std::int32_t polls = std::max(1, kAttachBudgetMs / config.pollIntervalMs);
    const NativeWindow foreground = platform->foregroundWindow();
    if (foreground == 0) {
        platform->setForeground(window);
        return poll(window, polls);
    }
    const std::uint32_t foregroundThread = platform->windowThread(foreground);
    const std::uint32_t targetThread = platform->windowThread(window);
    const std::uint32_t current = platform->currentThread();
    bool attached = false;
    if (foregroundThread != current) attached = platform->attachThreadInput(current, foregroundThread, true);

    platform->bringToTop(window);
    platform->setForeground(window);
    if (targetThread == current || attached) {
        platform->setFocus(window);
        platform->setActiveWindow(window);
    }
    const bool success = poll(window, polls);
    if (attached) platform->attachThreadInput(current, foregroundThread, false);
    return success;
}

void FocusManager::restoreSavedForeground() {
    if (!initialized) return;
    if (config.saveRestoreForeground && savedForeground != 0 && platform && platform->isWindow(savedForeground)) {
        platform->setForeground(savedForeground);
    }
    savedForeground = 0;
}

void FocusManager::shutdown() {
    restoreSavedForeground();
    initialized = false;
}

}  // namespace quillane::host
