#pragma once

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace quillane::host {

// The OpenGL driver keeps a few allocations of its own for the life of the
// process (made while it loads and while it builds shaders and their variants
// at the first draws) and is unloaded before the leak check runs, so its stacks
// cannot be named in a suppression: the leak checker looks away while it works.
class DriverLoadLeakPause {
public:
#if defined(__SANITIZE_ADDRESS__)
    DriverLoadLeakPause() { __lsan_disable(); }
    ~DriverLoadLeakPause() { __lsan_enable(); }
#else
    // User-provided, so a pause in a plain build is not an unused variable.
    DriverLoadLeakPause() {}
    ~DriverLoadLeakPause() {}
#endif
};

}  // namespace quillane::host
