#include "platform/ComputerName.h"

#include <unistd.h>

#include <array>

namespace quillane::host {

std::string computerName() {
    std::array<char, 256> buffer{};
    if (gethostname(buffer.data(), buffer.size() - 1) != 0) return {};
    return std::string(buffer.data());
}

}  // namespace quillane::host
