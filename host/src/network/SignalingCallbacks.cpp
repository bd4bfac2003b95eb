#include "network/SignalingCallbacks.h"

namespace quillane::host {

void SignalingCallbacks::setWindowListCallback(WindowListCallback callback) {
    std::lock_guard lock(hooks->mutex);
    hooks->windowList = std::move(callback);
    ++hooks->windowListGeneration;
}

std::uint64_t SignalingCallbacks::windowListGeneration() const {
    std::lock_guard lock(hooks->mutex);
    return hooks->windowListGeneration;
}

}  // namespace quillane::host
