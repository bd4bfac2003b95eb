// Stands in for a program the host starts (xdg-open): writes the descriptors it was started with,
// one a line as "<number> <target>", then "SIGPIPE ignored" or "SIGPIPE default", to the file
// named by QH_DESCRIPTOR_LIST. Written under another name and renamed, so a reader sees it whole.
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

int main() {
    const char* out = std::getenv("QH_DESCRIPTOR_LIST");
    if (out == nullptr) return 2;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 3;
    std::vector<std::pair<int, std::string>> found;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd == own) continue;
        char target[512] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) < 0) target[0] = '?';
        found.emplace_back(fd, target);
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    struct sigaction pipeAction {};
    sigaction(SIGPIPE, nullptr, &pipeAction);

    const std::string part = std::string(out) + ".part";
    std::FILE* file = std::fopen(part.c_str(), "w");
    if (file == nullptr) return 4;
    for (const auto& [fd, target] : found) std::fprintf(file, "%d %s\n", fd, target.c_str());
    std::fprintf(file, "SIGPIPE %s\n", pipeAction.sa_handler == SIG_IGN ? "ignored" : "default");
    std::fclose(file);
    return std::rename(part.c_str(), out) == 0 ? 0 : 5;
}
