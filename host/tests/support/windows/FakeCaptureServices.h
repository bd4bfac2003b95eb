#pragma once

// The Application's capture services on Windows for tests under Wine, which has
// no window capture: WindowCapture on the tests' own Windows.Graphics.Capture and
// the Media Foundation encoder on fake hardware H.264 transforms (its users put
// host/tests/encode/windows on their include path).

#include "FakeGraphicsCapture.h"
#include "FakeH264Transform.h"
#include "capture/CaptureServices.h"
#include "capture/windows/WindowCapture.h"
#include "encode/windows/QuickSyncEncoder.h"

#include <memory>
#include <mutex>
#include <vector>

namespace quillane::host::test {

// Keeps every transform its encoders were given; must outlive the services it made.
class FakeCaptureSystem {
public:
    FakeCaptureSystem() = default;
    ~FakeCaptureSystem() {
        for (FakeH264Transform* t : made) t->Release();
    }
    FakeCaptureSystem(const FakeCaptureSystem&) = delete;
    FakeCaptureSystem& operator=(const FakeCaptureSystem&) = delete;

    // Lists only `windows`; whether a window exists is the desktop's answer.
    CaptureServices services(std::vector<protocol::WindowInfo> windows) {
        CaptureServices s;
        auto system = runtime;
        s.createCapture = [system] { return std::make_unique<WindowCapture>(system); };
        s.windowExists = [](std::uint32_t id) { return WindowCapture::windowExists(id); };
        s.enumerateWindows = [windows] { return windows; };
        s.getAvailableEncoders = [](EncoderDevice) { return std::vector<EncoderType>{EncoderType::QuickSync}; };
        s.createBestEncoder = [this](EncoderDevice device, const EncoderConfig& config) -> std::unique_ptr<EncoderBase> {
            auto encoder = std::make_unique<QuickSyncEncoder>([this](std::uint32_t flags) { return candidate(flags); });
            if (!encoder->initialize(device, config)) return nullptr;
            return encoder;
        };
        return s;
    }

    // One per encoder made, in order.
    std::vector<FakeH264Transform*> transforms() {
        std::lock_guard lock(mutex);
        return made;
    }

    const std::shared_ptr<FakeGraphicsCaptureRuntime> runtime = std::make_shared<FakeGraphicsCaptureRuntime>();

private:
    MftCandidate candidate(std::uint32_t flags) {
        MftCandidate found;
        if (!(flags & MFT_ENUM_FLAG_HARDWARE)) return found;
        auto* transform = new FakeH264Transform(true);
        std::lock_guard lock(mutex);
        made.push_back(transform);
        transform->AddRef();
        found.found = true;
        found.transform = transform;
        found.friendlyName = L"Fake Hardware H.264 Encoder";
        return found;
    }

    std::mutex mutex;
    std::vector<FakeH264Transform*> made;
};

// A window the fake system lists: its id, title and size, shown.
inline protocol::WindowInfo listedWindow(HWND window, const char* title, std::uint32_t width, std::uint32_t height) {
    protocol::WindowInfo info;
    info.id = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(window));
    info.title = title;
    info.width = width;
    info.height = height;
    info.isVisible = true;
    return info;
}

}  // namespace quillane::host::test
