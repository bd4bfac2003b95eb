#include "input/InputThread.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

namespace quillane::host {
namespace {

// The paused input connection reads again once its records are down to this.
constexpr std::size_t kResumeMark = InputThread::kCapacity / 2;

std::size_t index(InputRoad road) { return static_cast<std::size_t>(road); }

enum class Effect : std::uint8_t { Press, Release, Move, Other };

Effect effectOf(const InputPacket& packet) {
    if (packet.deviceType == static_cast<std::uint8_t>(InputDeviceType::Mouse)) {
        switch (static_cast<MouseAction>(packet.action)) {
        case MouseAction::Move: return Effect::Move;
        case MouseAction::ButtonDown: return Effect::Press;
        case MouseAction::ButtonUp: return Effect::Release;
        default: return Effect::Other;
        }
    }
    if (packet.deviceType == static_cast<std::uint8_t>(InputDeviceType::Keyboard)) {
        if (packet.action == static_cast<std::uint8_t>(KeyAction::KeyDown)) return Effect::Press;
        if (packet.action == static_cast<std::uint8_t>(KeyAction::KeyUp)) return Effect::Release;
    }
    return Effect::Other;
}

// Keys first, then the buttons.
std::size_t pressBit(const InputPacket& packet) {
    const bool mouse = packet.deviceType == static_cast<std::uint8_t>(InputDeviceType::Mouse);
    return (mouse ? 256u : 0u) + packet.code;
}

}  // namespace

InputThread::InputThread(std::shared_ptr<InputRouter> router) : router(std::move(router)) {}

InputThread::~InputThread() { stop(); }

bool InputThread::start() {
    {
        std::lock_guard lock(mutex);
        if (running) return true;
        running = true;
    }
    try {
        thread = std::thread([this] { run(); });
    } catch (const std::system_error& e) {
        std::lock_guard lock(mutex);
        running = false;
        SPDLOG_ERROR("Failed to start the input thread: {}", e.what());
        return false;
    }
    return true;
}

void InputThread::stop() {
    std::function<void()> dropped;
    {
        std::lock_guard lock(mutex);
        running = false;
        queue.clear();
        notices.clear();
        records = {};
        endQueued = {};
        presses.clear();
        dropped = std::move(resume);
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

void InputThread::postRecord(InputRoad road, std::uint8_t streamId, const InputPacket& packet) {
    const Item item{Kind::Record, road, streamId, packet, 0, InputRouter::Clock::now()};
    bool dropped = false;
    {
        std::lock_guard lock(mutex);
        if (!running) return;
        if (mergeMove(item)) return;  // the input thread is behind: only the last position counts
        if (road == InputRoad::Input || admit(item)) {
            queue.push_back(item);
            ++records[index(road)];
        } else {
            dropped = true;
        }
    }
    if (!dropped) {
        wake.notify_one();
        return;
    }
    std::size_t held = 0;
    if (dropLog.allow(held)) SPDLOG_WARN("Input queue full, record dropped{}", heldNote(held));
}

void InputThread::postStreamEnded(std::uint8_t streamId, NativeWindow window) {
    postNotice(Item{Kind::StreamEnded, {}, streamId, {}, window});
}

void InputThread::postConnectionEnded(InputRoad road) {
    postNotice(Item{Kind::ConnectionEnded, road, 0, {}, 0});
}

bool InputThread::roomOrCallBack(const std::function<void()>& callback) {
    std::lock_guard lock(mutex);
    if (!running || records[index(InputRoad::Input)] < kCapacity) return true;
    resume = callback;  // copied only when the connection has to wait
    return false;
}

void InputThread::postNotice(Item item) {
    {
        std::lock_guard lock(mutex);
        if (!running) return;
        if (item.kind == Kind::ConnectionEnded) {
            // Its client is gone: nothing it sent may act any more.
            dropRecords([&](const Item& record) { return record.road == item.road; });
            // Everything is let go when it acts: later releases owe nothing to earlier presses.
            if (item.road == InputRoad::Video) presses.clear();
            // The paused connection is the one that ended.
            if (item.road == InputRoad::Input) resume = nullptr;
            // The waiting notice releases everything: with nothing of its connection left between
            // them, a second adds nothing.
            if (std::exchange(endQueued[index(item.road)], true)) return;
        } else {
            dropRecords([&](const Item& record) { return record.streamId == item.streamId; });
            presses.erase(item.streamId);
        }
        notices.push_back(item);
    }
    wake.notify_one();
}

template <class Match>
void InputThread::dropRecords(Match&& match) {
    const auto end = std::remove_if(queue.begin(), queue.end(), [&](const Item& record) {
        if (!match(record)) return false;
        --records[index(record.road)];
        return true;
    });
    queue.erase(end, queue.end());
}

bool InputThread::admit(const Item& item) {
    Presses& book = presses[item.streamId];
    const std::size_t records = this->records[index(InputRoad::Video)];
    const bool room = records < kVideoCapacity;
    const std::size_t bit = pressBit(item.packet);
    switch (effectOf(item.packet)) {
    case Effect::Press:
        if (room) {
            book.queued.set(bit);
            book.dropped.reset(bit);
        } else if (!book.queued.test(bit)) {
            book.dropped.set(bit);  // else a repeat: the first press's release is still owed
        }
        return room;
    case Effect::Release:
        if (book.dropped.test(bit)) {
            book.dropped.reset(bit);
            return false;
        }
        // Owed to a press that went in: never refused, and only one per press.
        if (!room && !book.queued.test(bit)) return false;
        book.queued.reset(bit);
        return true;
    case Effect::Move: {
        // The pointer ends where the client left it: a move goes in beyond the room after
        // another kind of record of its connection (the next ones merge into it).
        const Item* last = lastOf(item.road);
        return room || (last != nullptr && effectOf(last->packet) != Effect::Move);
    }
    case Effect::Other:
        break;
    }
    return room;
}

bool InputThread::mergeMove(const Item& item) {
    if (effectOf(item.packet) != Effect::Move) return false;
    // Only into the connection's last record, so that nothing of it moves ahead of the move.
    Item* last = lastOf(item.road);
    if (last == nullptr || effectOf(last->packet) != Effect::Move || last->streamId != item.streamId) return false;
    last->packet = item.packet;
    return true;
}

InputThread::Item* InputThread::lastOf(InputRoad road) {
    for (auto it = queue.rbegin(); it != queue.rend(); ++it) {
        if (it->road == road) return &*it;
    }
    return nullptr;
}

void InputThread::run() {
    for (;;) {
        Item item;
        std::function<void()> resumeNow;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return !running || !notices.empty() || !queue.empty(); });
            if (!running) return;
            item = take();
            if (resume && records[index(InputRoad::Input)] <= kResumeMark) resumeNow = std::exchange(resume, nullptr);
        }
        if (resumeNow) guarded(resumeNow);
        guarded([&] { handle(item); });
    }
}

InputThread::Item InputThread::take() {
    Item item;
    if (!notices.empty()) {
        item = notices.front();
        notices.pop_front();
        if (item.kind == Kind::ConnectionEnded) endQueued[index(item.road)] = false;
    } else {
        item = queue.front();
        queue.pop_front();
        --records[index(item.road)];
    }
    return item;
}

template <class Work>
void InputThread::guarded(Work&& work) {
    // One record the desktop chokes on must not end the program, nor the input of later ones.
    try {
        work();
    } catch (const std::exception& e) {
        logFailure(e.what());
    } catch (...) {
        logFailure("unknown exception");
    }
}

void InputThread::logFailure(const char* what) {
    if (std::size_t held = 0; failureLog.allow(held)) SPDLOG_ERROR("Input thread error: {}{}", what, heldNote(held));
}

void InputThread::handle(const Item& item) {
    switch (item.kind) {
    case Kind::Record:
        if (item.road == InputRoad::Video) {
            router->routeClientInput(item.streamId, item.packet, item.arrived);
        } else {
            router->routeInputEvent(item.streamId, item.packet, item.arrived);
        }
        break;
    case Kind::StreamEnded:
        router->streamEnded(item.streamId, item.window);
        break;
    case Kind::ConnectionEnded:
        router->connectionEnded();
        break;
    }
}

}  // namespace quillane::host
