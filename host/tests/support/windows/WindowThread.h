#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quillane::host::test {

// A window of another program, as it were: a thread of its own makes it with
// `create` and serves its messages (the host's threads ask windows for their
// titles) until this goes; then that thread destroys it.
class WindowThread {
public:
    explicit WindowThread(std::function<HWND()> create) {
        std::unique_lock lock(mutex);
        thread = std::thread([this, create = std::move(create)] { run(create); });
        madeIt.wait(lock, [this] { return made; });
    }
    ~WindowThread() {
        PostThreadMessageW(threadId, WM_QUIT, 0, 0);
        thread.join();
    }
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    HWND hwnd() const { return window; }

private:
    void run(const std::function<HWND()>& create) {
        HWND created = create();
        {
            std::lock_guard lock(mutex);
            window = created;
            threadId = GetCurrentThreadId();
            made = true;
        }
        madeIt.notify_all();
        MSG message;
        while (created && GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (created) DestroyWindow(created);
    }

    std::mutex mutex;
    std::condition_variable madeIt;
    bool made = false;
    HWND window = nullptr;
    DWORD threadId = 0;
    std::thread thread;
};

}  // namespace quillane::host::test
