#include "platform/UserMessage.h"

#include "platform/windows/Win32Shell.h"

namespace quillane::host {

std::wstring toWide(std::string_view utf8) {
    if (utf8.empty()) {
        return {};
    }
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

void showUserMessage(UserMessageKind kind, const std::string& title, const std::string& text) {
    UINT icon = kind == UserMessageKind::Error ? MB_ICONERROR : MB_ICONINFORMATION;
    MessageBoxW(nullptr, toWide(text).c_str(), toWide(title).c_str(), icon);
}

} // namespace quillane::host
