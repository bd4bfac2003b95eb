#pragma once

#include <cstddef>
#include <optional>

namespace quillane::host::test {

// Open descriptors (handles on Windows) and threads of this process, for tests that check that
// repeated work leaks neither. Empty when the platform cannot tell.
std::optional<std::size_t> openDescriptorCount();
std::optional<std::size_t> threadCount();

// True when this Windows program runs under Wine, whose own threads and handles
// come and go with socket use.
bool runningUnderWine();

}  // namespace quillane::host::test
