#pragma once

#include <string>
#include <string_view>

#include "LogCapture.h"

namespace quillane::host::test {

// The lines a test caused, looked up by level and exact text, as the encoder
// tests check their messages.
class EncodeLog {
public:
    // Lines of that level whose text equals `text`.
    int count(spdlog::level::level_enum level, std::string_view text) const {
        int n = 0;
        for (const LogEntry& entry : capture_.entries()) {
            n += (entry.level == level && entry.text == text) ? 1 : 0;
        }
        return n;
    }
    bool has(spdlog::level::level_enum level, std::string_view text) const { return count(level, text) > 0; }
    // Lines of that level whose text starts with `prefix`.
    int countPrefix(spdlog::level::level_enum level, std::string_view prefix) const {
        int n = 0;
        for (const LogEntry& entry : capture_.entries()) {
            n += (entry.level == level && entry.text.rfind(prefix, 0) == 0) ? 1 : 0;
        }
        return n;
    }
    // Lines at that level or above.
    int countAtLeast(spdlog::level::level_enum level) const {
        int n = 0;
        for (const LogEntry& entry : capture_.entries()) {
            n += entry.level >= level ? 1 : 0;
        }
        return n;
    }
    // Forgets what was logged so far.
    void clear() { capture_ = LogCapture(); }

private:
    LogCapture capture_;
};

}  // namespace quillane::host::test
