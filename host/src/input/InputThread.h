#pragma once

#include <array>
#include <bitset>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "common/RateLimiter.h"
#include "input/InputRouter.h"

namespace quillane::host {

// The one thread that acts on the clients' input: focus steps, waiting for a raised window and
// injection all run here, so the connections' threads only decode and post. Records and the
// notices of ended streams and connections share one queue, so a notice acts after the records
// posted before it, and each connection's records keep their order.
//
// The queue is small. A move merges into its connection's last queued record when that is a move
// of the same stream, so a stream of moves takes one place however far behind the desktop is.
// When the queue is full, a press is dropped together with its release; a release of something
// queued as pressed, and a move after another kind of record, still go in (they are bounded by
// what can be held). Notices are never dropped.
//
// Threads: post from any thread, never waiting for the input thread; start and stop from the
// owner's thread.
class InputThread {
public:
    // Records that may wait; beyond them only releases of queued presses go in.
    static constexpr std::size_t kCapacity = 256;

    explicit InputThread(std::shared_ptr<InputRouter> router);
    ~InputThread();
    InputThread(const InputThread&) = delete;
    InputThread& operator=(const InputThread&) = delete;

    // False with one error line when the thread cannot be created.
    bool start();
    // Drops what waits, lets the item in progress end (a focus attempt lasts about 160 ms) and
    // joins; later posts are dropped.
    void stop();

    void postRecord(InputRoad road, std::uint8_t streamId, const InputPacket& packet);
    void postStreamEnded(std::uint8_t streamId, NativeWindow window);
    void postConnectionEnded();

private:
    enum class Kind : std::uint8_t { Record, StreamEnded, ConnectionEnded };
    struct Item {
        Kind kind = Kind::Record;
        InputRoad road = InputRoad::Video;
        std::uint8_t streamId = 0;
        InputPacket packet{};
        NativeWindow window = 0;
    };
    // Per connection: what its queued records press (a bit per key and per button), and the
    // presses dropped, whose releases go the same way.
    struct Presses {
        std::bitset<512> queued;
        std::bitset<512> dropped;
    };

    void run();
    void handle(const Item& item);
    void postNotice(Item item);
    // Under mutex: false when the record does not go in as it stands.
    bool admit(const Item& item);
    bool mergeMove(const Item& item);
    // The connection's last queued record after the last notice, if any.
    Item* lastOf(InputRoad road);

    std::shared_ptr<InputRouter> router;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;
    std::size_t records = 0;  // the records in queue
    bool running = false;
    std::array<Presses, 2> presses;  // by InputRoad
    LogRateLimiter dropLog{std::chrono::seconds(10)};
    std::thread thread;
};

}  // namespace quillane::host
