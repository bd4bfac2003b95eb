#include "platform/CrashHandlerCommon.h"

#include <algorithm>
#include <atomic>

namespace quillane::host {
namespace {

constexpr int kMaxCleanups = 8;
std::atomic<CrashCleanup> g_cleanups[kMaxCleanups];
std::atomic<int> g_cleanupCount{0};

}  // namespace

bool registerCrashCleanup(CrashCleanup cleanup) {
    if (!cleanup) return false;
    const int slot = g_cleanupCount.fetch_add(1);
    if (slot >= kMaxCleanups) {
        g_cleanupCount.store(kMaxCleanups);
        return false;
    }
    g_cleanups[slot].store(cleanup);
    return true;
}

void runCrashCleanups() noexcept {
    const int count = std::min(g_cleanupCount.load(), kMaxCleanups);
    for (int i = 0; i < count; ++i)
        if (CrashCleanup cleanup = g_cleanups[i].load()) cleanup();
}

std::filesystem::path crashFolder(const CrashHandlerOptions& options) {
    if (!options.folder.empty()) return options.folder;
    const auto state = appStateFolder();
    return state.empty() ? std::filesystem::path() : state / "crashes";
}

void formatCrashTime(char* out, const CrashTime& t) {
    // YYYYMMDD_HHMMSS, by hand: no locale, no allocation.
    auto put = [&out](unsigned value, int digits) {
        for (int i = digits - 1; i >= 0; --i) {
            out[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        out += digits;
    };
    put(static_cast<unsigned>(t.year), 4);
    put(static_cast<unsigned>(t.month), 2);
    put(static_cast<unsigned>(t.day), 2);
    *out++ = '_';
    put(static_cast<unsigned>(t.hour), 2);
    put(static_cast<unsigned>(t.minute), 2);
    put(static_cast<unsigned>(t.second), 2);
    *out = '\0';
}

}  // namespace quillane::host
