// The user's browser through the shell's "open" verb.

#include "app/UrlOpener.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>

#include "common/Utf8.h"

namespace quillane::host {
namespace {

class ShellExecuteUrlOpener final : public UrlOpener {
public:
    bool open(const std::string& url) override {
        const std::wstring wide = utf8ToWide(url);
        const auto result = reinterpret_cast<std::intptr_t>(
            ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
        return result > 32;
    }
};

}  // namespace

std::unique_ptr<UrlOpener> createUrlOpener() { return std::make_unique<ShellExecuteUrlOpener>(); }

}  // namespace quillane::host
