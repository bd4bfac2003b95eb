#pragma once

#include <memory>
#include <string>

namespace quillane::host {

// Opens a web address in the user's browser.
class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    // `url` is already checked (UpdateChecker::openDownloadPage); true when the
    // browser was asked to open it.
    virtual bool open(const std::string& url) = 0;
};

std::unique_ptr<UrlOpener> createUrlOpener();

}  // namespace quillane::host
