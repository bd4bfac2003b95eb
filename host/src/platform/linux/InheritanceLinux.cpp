#include "platform/Inheritance.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <cerrno>

namespace quillane::host {
namespace {

int setCloseOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) return errno;
    return 0;
}

}  // namespace

int keepSocketFromChildren(std::uintptr_t nativeSocket) {
    return setCloseOnExec(static_cast<int>(nativeSocket));
}

int keepFileFromChildren(std::FILE* file) {
    if (file == nullptr) return EBADF;
    return setCloseOnExec(fileno(file));
}

int keepOpenDescriptorsFromChildren() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return errno;
    int firstError = 0;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd <= STDERR_FILENO || fd == own) continue;
        // One closed by another thread since the listing is gone already.
        if (const int error = setCloseOnExec(fd); error != 0 && error != EBADF && firstError == 0) firstError = error;
    }
    closedir(dir);
    return firstError;
}

}  // namespace quillane::host
