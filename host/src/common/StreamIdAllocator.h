#pragma once

#include <bitset>
#include <cstdint>
#include <optional>

namespace quillane::host {

// Stream ids for new streams: the next value of an 8-bit counter (from 1, 255
// wrapping to 0) that is not taken. An id stays taken from its reservation
// until it is released (its start failed or its stream ended), so no two
// streams ever share one. The counter moves on for every id handed out, used
// or not, so refused starts do not make a client see an id twice in a row.
// Threads: none of its own; the owner serialises the calls.
class StreamIdAllocator {
public:
    explicit StreamIdAllocator(std::uint8_t first = 1) : next(first) {}

    // Takes the counter's next free id; none when all 256 are taken.
    std::optional<std::uint8_t> reserve() {
        for (int attempt = 0; attempt < 256; ++attempt) {
            const std::uint8_t candidate = next++;
            if (!taken.test(candidate)) {
                taken.set(candidate);
                return candidate;
            }
        }
        return std::nullopt;
    }
    // Takes this id if it is free; false when it is taken.
    bool claim(std::uint8_t id) {
        if (taken.test(id)) return false;
        taken.set(id);
        return true;
    }
    void release(std::uint8_t id) { taken.reset(id); }
    bool isTaken(std::uint8_t id) const { return taken.test(id); }

private:
    std::uint8_t next;
    std::bitset<256> taken;
};

}  // namespace quillane::host
