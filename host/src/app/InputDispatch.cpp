#include "app/InputDispatch.h"

#include <spdlog/spdlog.h>

#include <utility>

#include "input/FocusManager.h"
#include "input/InputInjector.h"
#include "network/TcpInputServer.h"
#include "network/TransportTypes.h"

namespace quillane::host {

InputDispatch::InputDispatch(std::shared_ptr<InputPlatform> platform, StreamWindowLookup streamWindow)
    : platform(std::move(platform)), streamWindow(std::move(streamWindow)) {}

InputDispatch::~InputDispatch() {
    if (auto worker = thread.take()) worker->stop();  // it calls back into this
    focus.take().reset();
    injector.take().reset();
}

bool InputDispatch::start() {
    SPDLOG_INFO("Initializing input injector...");
    auto inject = std::make_shared<InputInjector>(platform);
    injector.set(inject);
    if (!inject->initialize(InputInjectorConfig{})) {
        SPDLOG_ERROR("Failed to initialize input injector");
        return false;
    }
    SPDLOG_INFO("Initializing focus manager...");
    auto focusing = std::make_shared<FocusManager>(platform);
    focus.set(focusing);
    if (!focusing->initialize(FocusManagerConfig{10, 10, false})) {
        SPDLOG_ERROR("Failed to initialize focus manager");
        return false;
    }
    focusing->setFocusFailedCallback(
        [this](NativeWindow window, const std::string& hint) { onFocusFailed(window, hint); });
    auto routing = std::make_shared<InputRouter>(platform, inject, focusing, streamWindow);
    routing->setClickMismatchCallback(
        [this](NativeWindow intended, NativeWindow actual) { onClickMismatch(intended, actual); });
    auto worker = std::make_shared<InputThread>(routing);
    if (!worker->start()) return false;
    thread.set(worker);
    return true;
}

void InputDispatch::stop() {
    if (auto worker = thread.take()) worker->stop();
    auto focusing = focus.take();
    auto inject = injector.take();
    if (focusing) focusing->shutdown();
    if (inject) inject->releaseAll();  // a key left held would repeat forever
}

void InputDispatch::onClientInput(const ClientInput& input) {
    if (auto worker = thread.get()) {
        worker->postRecord(InputRoad::Video, input.streamId, InputPacket{input.deviceType, input.action, input.x,
                                                                         input.y, input.code, input.modifiers,
                                                                         input.wheelDelta});
    }
}

void InputDispatch::onInputEvent(const InputEvent& event) {
    if (auto worker = thread.get()) {
        worker->postRecord(InputRoad::Input, event.streamId, InputPacket{event.deviceType, event.action, event.x,
                                                                         event.y, event.code, event.modifiers,
                                                                         event.wheelDelta});
    }
}

void InputDispatch::onClientGone(InputRoad road) {
    if (auto worker = thread.get()) worker->postConnectionEnded(road);
}

bool InputDispatch::roomForInput(const std::function<void()>& resume) {
    auto worker = thread.get();
    return !worker || worker->roomOrCallBack(resume);
}

void InputDispatch::streamStarted(NativeWindow window) {
    if (auto inject = injector.get()) inject->setTargetWindow(window);
}

void InputDispatch::streamEnded(std::uint8_t streamId, NativeWindow window) {
    if (auto worker = thread.get()) worker->postStreamEnded(streamId, window);
}

void InputDispatch::updateScreenMetrics() {
    if (auto inject = injector.get()) inject->updateScreenMetrics();
}

bool InputDispatch::isWindow(NativeWindow window) const { return platform && platform->isWindow(window); }

bool InputDispatch::resizeWindow(NativeWindow window, std::uint32_t width, std::uint32_t height) {
    auto inject = injector.get();
    return inject && inject->resizeWindow(window, width, height, true);
}

void InputDispatch::onClickMismatch(NativeWindow intended, NativeWindow actual) {
    SPDLOG_WARN("Click mismatch: intended {:x}, actual {:x} - z-order or coordinate issue", intended, actual);
}

void InputDispatch::onFocusFailed(NativeWindow window, const std::string& hint) {
    std::size_t suppressed = 0;
    if (focusFailedLog.allow(suppressed)) SPDLOG_WARN("Focus failed for window {:x}: {}", window, hint);
}

}  // namespace quillane::host
