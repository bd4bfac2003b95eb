#include "platform/AtomicFile.h"

namespace quillane::host {

std::size_t removeLeftoverTemporaryFiles(const std::filesystem::path& file) {
    // The platform writers name their temporary file "<name>.tmp-<process id>".
    const auto prefix = file.filename().native() + std::filesystem::path(".tmp-").native();
    const auto folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::size_t removed = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().native();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0) {
            std::error_code ignored;
            removed += std::filesystem::remove(it->path(), ignored) ? 1 : 0;
        }
    }
    return removed;
}

}  // namespace quillane::host
