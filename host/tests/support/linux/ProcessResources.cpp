#include "ProcessResources.h"

#include <filesystem>
#include <system_error>

namespace quillane::host::test {

namespace {

std::optional<std::size_t> countEntries(const char* path) {
    std::error_code ec;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        ++count;
    }
    if (ec) {
        return std::nullopt;
    }
    return count;
}

}  // namespace

std::optional<std::size_t> openDescriptorCount() {
    // The listing holds one descriptor of its own while it runs; it is counted every time alike.
    return countEntries("/proc/self/fd");
}

std::optional<std::size_t> threadCount() {
    return countEntries("/proc/self/task");
}

bool runningUnderWine() { return false; }

}  // namespace quillane::host::test
