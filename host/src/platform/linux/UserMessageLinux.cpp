#include "platform/UserMessage.h"

#include <cstdio>

namespace quillane::host {

void showUserMessage(UserMessageKind kind, const std::string& title, const std::string& text) {
    if (kind == UserMessageKind::Error) {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
        std::fflush(stderr);
    } else {
        std::fprintf(stdout, "%s\n", text.c_str());
        std::fflush(stdout);
    }
}

} // namespace quillane::host
