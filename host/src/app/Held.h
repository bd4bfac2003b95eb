#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace quillane::host {

// A component as handlers see it: they take a reference that keeps it alive
// for the call, so shutdown never releases one under a running handler.
// Threads: any thread; the pointer alone is guarded, never the component.
template <class T>
class Held {
public:
    std::shared_ptr<T> get() const {
        std::lock_guard lock(mutex);
        return ptr;
    }
    void set(std::shared_ptr<T> p) {
        std::lock_guard lock(mutex);
        ptr = std::move(p);
    }
    std::shared_ptr<T> take() {
        std::lock_guard lock(mutex);
        return std::exchange(ptr, nullptr);
    }

private:
    mutable std::mutex mutex;
    std::shared_ptr<T> ptr;
};

}  // namespace quillane::host
