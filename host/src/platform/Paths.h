#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillane::host {

// The program's own folder for its settings file: "Quillane" under the user's
// configuration folder (Linux: $XDG_CONFIG_HOME, default ~/.config; Windows: the
// local application data folder). Empty when the user's folder is unknown.
// Nothing is created.
std::filesystem::path appConfigFolder();

// The program's own folder for logs and crash reports (Linux: $XDG_STATE_HOME,
// default ~/.local/state; Windows: the local application data folder), with
// "Quillane" appended. Empty when unknown. Nothing is created.
std::filesystem::path appStateFolder();

// The folder of the running executable; empty when it cannot be told.
std::filesystem::path executableFolder();

// Text crosses subsystem boundaries as UTF-8; these convert at the file-system
// boundary so that non-ASCII user names reach the same file on both platforms.
std::string pathToUtf8(const std::filesystem::path& path);
std::filesystem::path pathFromUtf8(std::string_view utf8);

}  // namespace quillane::host
