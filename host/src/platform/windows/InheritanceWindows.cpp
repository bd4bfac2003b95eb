#include "platform/Inheritance.h"

#include <windows.h>

#include <io.h>

namespace quillane::host {
namespace {

int clearInheritFlag(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
    return SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0) ? 0 : static_cast<int>(GetLastError());
}

}  // namespace

int keepSocketFromChildren(std::uintptr_t nativeSocket) {
    return clearInheritFlag(reinterpret_cast<HANDLE>(nativeSocket));
}

int keepFileFromChildren(std::FILE* file) {
    if (file == nullptr) return ERROR_INVALID_HANDLE;
    return clearInheritFlag(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))));
}

int keepOpenDescriptorsFromChildren() {
    return 0;  // see the header: nothing to sweep on Windows
}

}  // namespace quillane::host
