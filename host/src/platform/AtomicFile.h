#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quillane::host {

struct AtomicWriteResult {
    enum class Status { Written, OpenFailed, WriteFailed, ReplaceFailed };
    Status status = Status::Written;
    std::string error;  // what failed, for the log; empty when written

    explicit operator bool() const { return status == Status::Written; }
};

// Replaces the file's content so that a reader, or a crash or kill at any
// moment, finds either the complete old content or the complete new one: the
// text goes to a temporary file beside it, is flushed to the disk, and the
// temporary file is then renamed over the old one. Lines in `text` end with
// '\n'; the file gets the platform's line ending (CR LF on Windows).
AtomicWriteResult writeTextFileAtomically(const std::filesystem::path& file, std::string_view text);

// Removes temporary files that a process killed in the middle of
// writeTextFileAtomically left beside the file. Returns how many were removed.
std::size_t removeLeftoverTemporaryFiles(const std::filesystem::path& file);

}  // namespace quillane::host
