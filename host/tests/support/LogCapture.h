#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/common.h>

namespace quillane::host::test {

struct LogEntry {
    spdlog::level::level_enum level;
    std::string text;  // the formatted message, without pattern decorations
};

// Sees every line logged through the default logger from its construction on. The logger is
// installed once and never removed, so late logging threads never meet a destroyed one.
// QH_TEST_LOG=1 also prints the lines.
class LogCapture {
public:
    LogCapture();

    std::vector<LogEntry> entries() const;
    // Lines seen so far; with textSince, what a step adds.
    std::size_t size() const;
    // The lines after the first `count` seen, one per line of text.
    std::string textSince(std::size_t count) const;
    // Lines that contain `needle`.
    std::vector<LogEntry> matching(std::string_view needle) const;
    std::size_t count(std::string_view needle) const;
    bool contains(std::string_view needle) const { return count(needle) > 0; }
    // Waits until a line containing `needle` has been logged.
    bool waitFor(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

private:
    std::size_t start;
};

}  // namespace quillane::host::test
