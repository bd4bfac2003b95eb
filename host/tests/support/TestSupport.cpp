#include "TestSupport.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

namespace quillane::host::test {

TempFolder::TempFolder() {
    std::random_device random;
    std::mt19937_64 rng(random());
    for (;;) {
        std::ostringstream name;
        name << "qh-test-" << std::hex << rng();
        path_ = std::filesystem::temp_directory_path() / name.str();
        if (std::filesystem::create_directories(path_)) break;
    }
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::uint16_t freeTcpPort() {
    // Linux hands out outgoing ports from 32768 and Windows from 49152.
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<int> pick(20000, 32000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = static_cast<std::uint16_t>(pick(random));
        if (tcpPortBindable(port)) return port;
    }
    return 0;
}

std::array<std::uint16_t, 4> writeFreePortSettings(const std::filesystem::path& folder) {
    std::array<std::uint16_t, 4> ports{};
    for (std::size_t found = 0; found < ports.size();) {
        const std::uint16_t port = freeTcpPort();
        if (port != 0 && std::find(ports.begin(), ports.begin() + found, port) == ports.begin() + found)
            ports[found++] = port;
    }
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "settings.json") << "{\"signalingPort\": " << ports[0] << ", \"videoPort\": " << ports[1]
                                            << ", \"audioPort\": " << ports[2] << ", \"inputPort\": " << ports[3]
                                            << ", \"autoCheckUpdates\": false}";
    return ports;
}

FreePortSettings::FreePortSettings(std::filesystem::path folder)
    : settingsFolder(std::move(folder)), freePorts(writeFreePortSettings(settingsFolder)) {}

FreePortSettings::~FreePortSettings() {
    std::error_code ec;
    std::filesystem::remove(settingsFolder / "settings.json", ec);
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(file));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace quillane::host::test
