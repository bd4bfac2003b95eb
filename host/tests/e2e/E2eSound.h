#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include "E2eProcess.h"

namespace quillane::host::test {

// A 48 kHz stereo 16-bit WAV file holding a sine tone.
inline void writeToneWav(const std::string& path, double hz, double seconds, double amplitude = 0.5) {
    const auto frames = static_cast<std::uint32_t>(seconds * 48000);
    std::ofstream out(path, std::ios::binary);
    auto put = [&](std::uint32_t v, int bytes) { out.write(reinterpret_cast<const char*>(&v), bytes); };
    out.write("RIFF", 4);
    put(36 + frames * 4, 4);
    out.write("WAVEfmt ", 8);
    // Chunk size, PCM, 2 channels, 48 kHz, bytes per second, 4-byte frames of 16-bit samples.
    const std::pair<std::uint32_t, int> format[] = {{16, 4}, {1, 2}, {2, 2}, {48000, 4}, {192000, 4}, {4, 2}, {16, 2}};
    for (const auto& [v, bytes] : format) put(v, bytes);
    out.write("data", 4);
    put(frames * 4, 4);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const auto v = static_cast<std::int16_t>(amplitude * 32767 * std::sin(2 * std::numbers::pi * hz * i / 48000));
        put(static_cast<std::uint16_t>(v) * 0x10001u, 4);  // both channels
    }
}

// Plays a WAV file into the default sink of the sound server the environment names.
inline std::unique_ptr<PipedChildProcess> playWav(const std::string& path,
                                             const std::map<std::string, std::string>& env = {}) {
    return std::make_unique<PipedChildProcess>("/usr/bin/paplay", std::vector<std::string>{path}, env);
}

// A sound server of its own on `dir`/pulse/native with one 48 kHz null sink, ended by its pid when
// the process object goes. `env` is what its clients need to reach it.
struct PrivateSoundServer {
    explicit PrivateSoundServer(const std::string& dir)
        : dir(dir), socket(dir + "/pulse/native"),
          env{{"HOME", dir + "/home"}, {"XDG_RUNTIME_DIR", dir + "/runtime"}, {"PULSE_SERVER", "unix:" + socket}} {}

    void start() {
        for (const char* sub : {"/home", "/runtime", "/pulse"}) mkdir((dir + sub).c_str(), 0700);
        log = dir + "/pulse.log";
        process = std::make_unique<PipedChildProcess>(
            "/usr/bin/pulseaudio",
            std::vector<std::string>{"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                     "--disallow-exit", "-L",
                                     "module-native-protocol-unix socket=" + socket + " auth-anonymous=1", "-L",
                                     "module-null-sink sink_name=late rate=48000 channels=2"},
            env, log);
    }

    std::string dir;
    std::string socket;
    std::map<std::string, std::string> env;
    std::string log;
    std::unique_ptr<PipedChildProcess> process;
};

}  // namespace quillane::host::test
