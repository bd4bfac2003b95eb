#pragma once

#include <array>
#include <bitset>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "common/RateLimiter.h"
#include "input/InputRouter.h"

namespace quillane::host {

// The one thread that acts on the clients' input: focus steps, waiting for a raised window and
// injection all run here, so the connections' threads only decode and post. Each connection's
// records keep their order. The notices of ended streams and connections go before every record:
// what an end releases is let go as soon as the record in hand is done, and the records of the
// ended stream or connection still waiting are dropped, so nothing of them acts after the end.
// Each record carries the time it arrived, so the router can keep a late one from waiting for
// the desktop.
//
// A move merges into its connection's last queued record when that is a move of the same stream,
// so a stream of moves takes one place however far behind the desktop is. Each connection has room
// of its own. The input connection's records are never dropped: beyond kCapacity its server stops
// reading (roomOrCallBack) until the thread has caught up, so the client's socket pushes back. The
// video connection never waits: beyond kVideoCapacity a press is dropped together with its release
// (a repeat of a key or button already down or queued takes no release with it); the release owed
// to every press that went in, and a move after another kind of record, still go in (each press
// owes one release, so they stay bounded). Notices are never dropped; a connection's end notice
// that is still waiting takes in its later ones.
//
// Threads: post from any thread, never waiting for the input thread; start and stop from the
// owner's thread. The resume hook runs on the input thread with no lock of this class held.
class InputThread {
public:
    // The input connection's records that may wait before its server is asked to stop reading.
    static constexpr std::size_t kCapacity = 256;
    // The video connection's records that may wait: room for any burst a person can cause.
    static constexpr std::size_t kVideoCapacity = 4096;

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
    // True while the input connection's records have room. Otherwise false, and `resume` is called
    // once when they have room again; a later call replaces it, stop drops it. Must not wait.
    bool roomOrCallBack(const std::function<void()>& resume);
    void postStreamEnded(std::uint8_t streamId, NativeWindow window);
    void postConnectionEnded(InputRoad road);

private:
    enum class Kind : std::uint8_t { Record, StreamEnded, ConnectionEnded };
    struct Item {
        Kind kind = Kind::Record;
        InputRoad road = InputRoad::Video;
        std::uint8_t streamId = 0;
        InputPacket packet{};
        NativeWindow window = 0;
        InputRouter::Clock::time_point arrived{};
    };
    // Per stream of the video connection: what its queued records press (a bit per key and per
    // button), and the presses dropped, whose releases go the same way.
    struct Presses {
        std::bitset<512> queued;
        std::bitset<512> dropped;
    };

    void run();
    // The next notice, else the next record; under mutex, with something waiting.
    Item take();
    void handle(const Item& item);
    void postNotice(Item item);
    // Runs work; what it throws is logged, and the thread goes on.
    template <class Work>
    void guarded(Work&& work);
    void logFailure(const char* what);
    // Under mutex: false when a video connection's record does not go in as it stands.
    bool admit(const Item& item);
    bool mergeMove(const Item& item);
    // The connection's last queued record, if any.
    Item* lastOf(InputRoad road);
    // Under mutex: drops the waiting records that match.
    template <class Match>
    void dropRecords(Match&& match);

    std::shared_ptr<InputRouter> router;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Item> queue;    // records
    std::deque<Item> notices;  // ends, taken before any record
    std::array<std::size_t, 2> records{};  // the records in queue, by InputRoad
    std::array<bool, 2> endQueued{};       // a connection-ended notice waits in notices, by InputRoad
    bool running = false;
    std::map<std::uint8_t, Presses> presses;  // by stream, for the video connection
    std::function<void()> resume;             // the paused input connection's
    LogRateLimiter dropLog{std::chrono::seconds(10)};
    LogRateLimiter failureLog{std::chrono::seconds(10)};
    std::thread thread;
};

}  // namespace quillane::host
