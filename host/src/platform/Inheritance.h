#pragma once

#include <cstdint>
#include <cstdio>

namespace quillane::host {

// What the host opens stays its own: a program it starts (the browser, through the URL opener)
// must not keep its listening sockets, client connections or files open. These mark one
// descriptor close-on-exec on Linux, one handle not inheritable on Windows. Each returns 0 or the
// platform's error number.

// A socket: a descriptor on Linux, a SOCKET on Windows.
int keepSocketFromChildren(std::uintptr_t nativeSocket);
// The descriptor or handle under a C stream.
int keepFileFromChildren(std::FILE* file);
// Every descriptor above standard error, for those a library opened without close-on-exec (Linux;
// on Windows handles are created not inheritable unless asked, and sockets are marked one by one).
int keepOpenDescriptorsFromChildren();

}  // namespace quillane::host
