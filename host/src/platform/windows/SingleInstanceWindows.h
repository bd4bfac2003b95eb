#pragma once

#include "platform/SingleInstance.h"

#include <string>

namespace quillane::host {

// One host per session through the named mutex "QuillaneHost_SingleInstance_Mutex".
// A later process restores and raises the running host's window itself and tells
// the user in a message box.
class Win32SingleInstance final : public SingleInstance {
public:
    static constexpr const wchar_t* kMutexName = L"QuillaneHost_SingleInstance_Mutex";

    explicit Win32SingleInstance(std::wstring mutexName = kMutexName);
    ~Win32SingleInstance() override;

    bool acquire() override;
    void handOverToRunningInstance() override;
    void pollRequests(const std::function<void()>&) override {}
    void release() override;

private:
    std::wstring mutexName;
    // Only the holder releases: the handle lives in a process-wide global.
    bool held = false;
};

} // namespace quillane::host
