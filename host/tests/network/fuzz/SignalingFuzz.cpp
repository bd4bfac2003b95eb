// libFuzzer target: one received signalling message, as the server hands it
// to its message handler, plus the log-text escaping every client text goes
// through. Built by scripts/fuzz.sh; the seed corpus also runs as a test.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "common/StreamIdAllocator.h"
#include "network/LogText.h"
#include "network/SignalingMessageHandler.h"

namespace quillane::host::test {

namespace {

using quillane::host::SignalingMessageHandler;
using quillane::host::StreamIdAllocator;

SignalingMessageHandler& handler() {
    static SignalingMessageHandler* instance = [] {
        spdlog::set_default_logger(std::make_shared<spdlog::logger>(
            "fuzz", std::make_shared<spdlog::sinks::null_sink_mt>()));
        auto* h = new SignalingMessageHandler();
        h->setWindowListCallback([] {
            quillane::protocol::WindowInfo window;
            window.id = 0x1001;
            window.title = "T\xFFitle";  // invalid UTF-8 travels as U+FFFD
            window.x = -5;
            return std::vector<quillane::protocol::WindowInfo>{window};
        });
        // The owner's allocator, kept as the host keeps it: started ids stay taken until stopped.
        static StreamIdAllocator ids;
        h->setStreamIdReserveCallback([] { return ids.reserve(); });
        h->setStreamIdReleaseCallback([](std::uint8_t streamId) { ids.release(streamId); });
        h->setStreamRequestCallback([](std::uint32_t windowId, std::uint8_t streamId) {
            const bool started = (windowId ^ streamId) % 3 != 0;
            if (!started) ids.release(streamId);
            return started;
        });
        h->setStreamStopCallback([](std::uint8_t streamId) { ids.release(streamId); });
        h->setClientConnectedCallback([](const std::string&) {});
        h->setWindowResizeCallback([](std::uint32_t, std::uint32_t width, std::uint32_t) { return width % 2 == 0; });
        h->setKeyframeRequestCallback([](std::uint8_t) {});
        h->setStreamIdInUseCallback([](std::uint8_t streamId) { return streamId % 7 == 0; });
        return h;
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const auto reply = handler().handleMessage(text, "198.51.100.7")) {
        // Every answer is one JSON object with a string type.
        const auto parsed = nlohmann::json::parse(*reply, nullptr, false);
        if (parsed.is_discarded() || !parsed.is_object() || !parsed.contains("type") ||
            !parsed.at("type").is_string()) {
            std::abort();
        }
    }

    // Log text keeps no control byte and stays bounded.
    const std::string safe = quillane::host::logSafeText(text);
    for (const char c : safe) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            std::abort();
        }
    }
    if (safe.size() > 4 * quillane::host::kLogTextLimit + 32) {
        std::abort();
    }
    return 0;
}

}  // namespace quillane::host::test
