#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillane::host {
namespace {

std::string describe(const char* what, const std::filesystem::path& path, int error) {
    return std::string(what) + " " + path.string() + ": " + std::strerror(error);
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

AtomicWriteResult writeTextFileAtomically(const std::filesystem::path& file, std::string_view text) {
    using Status = AtomicWriteResult::Status;
    // The process id keeps two processes that save at once off each other's temporary file.
    std::filesystem::path temp = file;
    temp += ".tmp-" + std::to_string(::getpid());

    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return {Status::OpenFailed, describe("cannot create", temp, errno)};

    if (!writeAll(fd, text) || ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return {Status::WriteFailed, describe("cannot write", temp, error)};
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return {Status::WriteFailed, describe("cannot write", temp, error)};
    }
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        return {Status::ReplaceFailed, describe("cannot replace", file, error)};
    }
    // Make the rename itself durable; failing here loses nothing already written.
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

}  // namespace quillane::host
