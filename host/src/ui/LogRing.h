#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace quillane::host {

// One line of the log view.
struct LogEntry {
    std::uint64_t id = 0;  // stable for the line's life, so clicks reach the right line
    int level = 2;         // spdlog's numbers: 0 trace ... 5 critical
    std::string timestamp; // local "HH:MM:SS.mmm" of arrival, milliseconds without leading zeros
    std::string message;
};

// The log view's lines, oldest first, at most kCapacity.
// Threads: any thread adds; the UI thread reads snapshots, clears and copies.
// Each call holds the ring's mutex only for the copy it makes.
class LogRing {
public:
    static constexpr std::size_t kCapacity = 1000;

    void add(int level, std::string message);
    void clear();
    // Copies the lines into `out` when they changed since `version`; returns
    // the current version.
    std::uint64_t snapshot(std::vector<LogEntry>& out, std::uint64_t version) const;
    std::uint64_t version() const;
    std::size_t size() const;
    // Every line as "timestamp tag message\n", oldest first.
    std::string copyAll() const;

    // The view's tag of a level, 7 characters ("[INFO] ", "[???]  ").
    static const char* tag(int level);
    // Whether a line of `level` passes the filter (0 All, 1 Debug+ ... 4 Error+).
    static bool passes(int level, int filter) { return filter < 1 || level >= filter; }
    static std::string lineText(const LogEntry& entry);
    // "HH:MM:SS." plus milliseconds without leading zeros (5 ms -> ".5").
    static std::string formatTimestamp(std::int64_t unixMillis);

private:
    mutable std::mutex mutex;
    std::deque<LogEntry> lines;
    std::uint64_t nextId = 1;
    std::uint64_t changes = 0;
};

}  // namespace quillane::host
