#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "E2eProcess.h"

namespace qhtest {

// A 48 kHz stereo 16-bit WAV file holding a sine tone.
inline void writeToneWav(const std::string& path, double hz, double seconds, double amplitude = 0.5) {
    const auto frames = static_cast<std::uint32_t>(seconds * 48000);
    const std::uint32_t dataBytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + dataBytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(2);
    u32(48000);
    u32(48000 * 4);
    u16(4);
    u16(16);
    out.write("data", 4);
    u32(dataBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(amplitude * 32767 * std::sin(2 * std::numbers::pi * hz * i / 48000));
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v));
    }
}

// Plays a WAV file into the default sink of the sound server the environment names.
inline std::unique_ptr<ChildProcess> playWav(const std::string& path,
                                             const std::map<std::string, std::string>& env = {}) {
    return std::make_unique<ChildProcess>("/usr/bin/paplay", std::vector<std::string>{path}, env);
}

// A sound server of its own on `dir`/pulse/native with one 48 kHz null sink, ended by its pid when
// the process object goes. `env` is what its clients need to reach it.
struct PrivateSoundServer {
    explicit PrivateSoundServer(const std::string& dir)
        : socket(dir + "/pulse/native"),
          env{{"HOME", dir + "/home"}, {"XDG_RUNTIME_DIR", dir + "/runtime"}, {"PULSE_SERVER", "unix:" + socket}} {}

    void start() {
        const std::string dir = socket.substr(0, socket.size() - std::string("/pulse/native").size());
        for (const char* sub : {"/home", "/runtime", "/pulse"}) mkdir((dir + sub).c_str(), 0700);
        log = dir + "/pulse.log";
        process = std::make_unique<ChildProcess>(
            "/usr/bin/pulseaudio",
            std::vector<std::string>{"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                     "--disallow-exit", "-L",
                                     "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                                     "module-null-sink sink_name=late rate=48000 channels=2"},
            env, log);
    }

    std::string socket;
    std::map<std::string, std::string> env;
    std::string log;
    std::unique_ptr<ChildProcess> process;
};

}  // namespace qhtest
