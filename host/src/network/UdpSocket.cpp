#include "network/UdpSocket.h"

namespace quillane::host {

std::string formatIpv4(std::uint32_t address) {
    return std::to_string((address >> 24) & 0xFF) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

}  // namespace quillane::host
