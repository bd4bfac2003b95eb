#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace quillane::host {

// The stream ids whose capture runs, on either path (client request or host
// window). Stream ids are handed out only when not in this set, and the
// streaming priority boost follows it: raised when it becomes non-empty,
// restored when it becomes empty, both under the set's lock so two threads
// never both boost or both restore.
// Threads: any thread; one mutex guards the set and the boost.
class RunningStreams {
public:
    using PriorityFn = std::function<void(bool boost)>;

    explicit RunningStreams(PriorityFn priority = {});

    void setPriorityHook(PriorityFn priority);

    // True when the id was not running before; the window is recorded either way (a restart
    // under a running id may capture another window).
    bool add(std::uint8_t streamId, std::uint32_t windowId = 0);
    // True when the id was running; removing an id that is not running changes nothing.
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
    std::array<std::uint32_t, 256> windows{};
    bool priorityBoosted = false;
    PriorityFn priority;
};

}  // namespace quillane::host
