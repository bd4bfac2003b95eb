#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "common/StreamIdAllocator.h"

namespace quillane::host {

// The stream ids whose capture runs, on either path (client request or host
// window), and the one allocator of ids for new streams: an id is handed out
// only when it neither runs nor is reserved for a start, checked and taken
// under one lock. The streaming priority boost follows the running set: raised
// when it becomes non-empty, restored when it becomes empty, both under the
// set's lock so two threads never both boost or both restore.
// Threads: any thread; one mutex guards the set, the ids and the boost.
class RunningStreams {
public:
    using PriorityFn = std::function<void(bool boost)>;

    explicit RunningStreams(PriorityFn priority = {});

    void setPriorityHook(PriorityFn priority);

    // An id for a new stream, taken until add() makes it run or release() gives it back; none
    // when all 256 are taken.
    std::optional<std::uint8_t> reserve();
    // Before a start under this id: false when it runs; otherwise it is taken for the caller
    // (a reserved id is taken to be the caller's own reservation).
    bool takeForStart(std::uint8_t streamId);
    // Gives back an id whose start did not happen or failed; an id that runs stays taken.
    void release(std::uint8_t streamId);

    // True when the id was not running before; the window is recorded either way. When the
    // boost throws, nothing is recorded.
    bool add(std::uint8_t streamId, std::uint32_t windowId = 0);
    // True when the id was running, and is free again; removing an id that is not running
    // changes nothing.
    bool remove(std::uint8_t streamId);

    bool contains(std::uint8_t streamId) const;
    // The window the stream captures; 0 when it is not running.
    std::uint32_t windowOf(std::uint8_t streamId) const;
    std::size_t size() const;
    bool boosted() const;
    std::vector<std::uint8_t> ids() const;

private:
    mutable std::mutex mutex;
    std::bitset<256> running;
    StreamIdAllocator allocator;  // every running id is taken in it
    std::array<std::uint32_t, 256> windows{};
    bool priorityBoosted = false;
    PriorityFn priority;
};

}  // namespace quillane::host
