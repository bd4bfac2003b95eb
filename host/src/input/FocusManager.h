#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "common/RateLimiter.h"
#include "input/InputPlatform.h"

namespace quillane::host {

struct FocusManagerConfig {
    std::int32_t pollCount = 10;       // polls after the plain foreground request
    std::int32_t pollIntervalMs = 10;  // slept between polls; at least 1
    bool saveRestoreForeground = true; // give the foreground back at shutdown
};

enum class FocusStrategy : std::uint32_t {
    AlreadyForeground = 0,
    RestoreWindow = 1,
    SetForeground = 2,
    AttachThreadInput = 3,
};

struct FocusResult {
    bool success = false;
    std::uint32_t strategy = 0;  // FocusStrategy that succeeded; 0 when none did
    std::uint32_t errorCode = 0; // 6 for a null or dead window; the last error when all failed
};

// (window, hint text), when every strategy failed.
using FocusFailedCallback = std::function<void(NativeWindow window, const std::string& hint)>;

// Brings a window to the foreground before input is injected into it, trying stronger means one
// after another and polling whether the window became the foreground window.
//
// Threads: focusWindow runs and sleeps on its caller's thread and is not called from several
// threads at once; initialize and shutdown run on the main thread while no focus attempt runs.
class FocusManager {
public:
    explicit FocusManager(std::shared_ptr<InputPlatform> platform);
    ~FocusManager();
    FocusManager(const FocusManager&) = delete;
    FocusManager& operator=(const FocusManager&) = delete;

    bool initialize(const FocusManagerConfig& config);
    FocusResult focusWindow(NativeWindow window);
    // The window, or one with the same top-level root, is the foreground window.
    bool isForeground(NativeWindow window);
    void shutdown();
    void setFocusFailedCallback(FocusFailedCallback callback);

private:
    bool tryAttachThreadInput(NativeWindow window);
    // Up to polls tests of the foreground with a sleep after each failed one, then a final test.
    bool poll(NativeWindow window, std::int32_t polls);
    void restoreSavedForeground();

    std::shared_ptr<InputPlatform> platform;
    FocusManagerConfig config;
    NativeWindow savedForeground = 0;
    bool initialized = false;
    FocusFailedCallback focusFailedCallback;
    // A client's records can ask for focus again and again: warnings at most every 10 s.
    LogRateLimiter invalidLog{std::chrono::seconds(10)};
    LogRateLimiter failedLog{std::chrono::seconds(10)};
};

}  // namespace quillane::host
