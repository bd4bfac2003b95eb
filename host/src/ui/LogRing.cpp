#include "ui/LogRing.h"

#include <fmt/chrono.h>

#include <chrono>
#include <ctime>

namespace quillane::host {

void LogRing::add(int level, std::string message) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    std::string stamp = formatTimestamp(now);
    std::lock_guard lock(mutex);
    lines.push_back(LogEntry{nextId++, level, std::move(stamp), std::move(message)});
    if (lines.size() > kCapacity) lines.pop_front();
    ++changes;
}

void LogRing::clear() {
    std::lock_guard lock(mutex);
    lines.clear();
    ++changes;
}

std::uint64_t LogRing::snapshot(std::vector<LogEntry>& out, std::uint64_t version) const {
    std::lock_guard lock(mutex);
    if (version != changes) out.assign(lines.begin(), lines.end());
    return changes;
}

std::uint64_t LogRing::version() const {
    std::lock_guard lock(mutex);
    return changes;
}

std::size_t LogRing::size() const {
    std::lock_guard lock(mutex);
    return lines.size();
}

std::string LogRing::copyAll() const {
    std::string text;
    std::lock_guard lock(mutex);
    for (const auto& entry : lines) {
        text += lineText(entry);
        text += '\n';
    }
    return text;
}

const char* LogRing::tag(int level) {
    static const char* const tags[] = {"[TRACE]", "[DEBUG]", "[INFO] ", "[WARN] ", "[ERROR]", "[CRIT] "};
    return level >= 0 && level <= 5 ? tags[level] : "[???]  ";
}

std::string LogRing::lineText(const LogEntry& entry) {
    return entry.timestamp + " " + tag(entry.level) + " " + entry.message;
}

std::string LogRing::formatTimestamp(std::int64_t unixMillis) {
    const std::time_t seconds = static_cast<std::time_t>(unixMillis / 1000);
    const std::tm local = fmt::localtime(seconds);
    char buffer[32];
    std::strftime(buffer, sizeof(buffer), "%H:%M:%S", &local);
    return std::string(buffer) + "." + std::to_string(unixMillis % 1000);
}

}  // namespace quillane::host
