#include "common/LineSource.h"

#include <functional>
#include <string_view>
#include <utility>

namespace quillane::host {
namespace {

thread_local std::uint64_t currentClient = 0;
thread_local PeerLineLimiter* currentWindowLimiter = nullptr;
thread_local std::uint32_t currentWindow = 0;

}  // namespace

std::uint64_t addressSource(std::string_view address) {
    return std::hash<std::string_view>{}(address);
}

ClientLineScope::ClientLineScope(std::string_view clientAddress)
    : outer(std::exchange(currentClient, addressSource(clientAddress))) {}

ClientLineScope::~ClientLineScope() {
    currentClient = outer;
}

std::uint64_t ClientLineScope::current() {
    return currentClient;
}

WindowLineScope::WindowLineScope(PeerLineLimiter& limiter, std::uint32_t windowId)
    : outerLimiter(std::exchange(currentWindowLimiter, &limiter)),
      outerWindow(std::exchange(currentWindow, windowId)) {}

WindowLineScope::~WindowLineScope() {
    currentWindowLimiter = outerLimiter;
    currentWindow = outerWindow;
}

bool WindowLineScope::allow(std::size_t& held) {
    held = 0;
    return currentWindowLimiter == nullptr || currentWindowLimiter->allow(currentWindow, held);
}

}  // namespace quillane::host
