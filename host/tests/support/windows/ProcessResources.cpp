#include "ProcessResources.h"

#include <windows.h>
#include <tlhelp32.h>

namespace quillane::host::test {

std::optional<std::size_t> openDescriptorCount() {
    DWORD handles = 0;
    // Wine answers 0, which no real process has: that means it cannot tell.
    if (!GetProcessHandleCount(GetCurrentProcess(), &handles) || handles == 0) {
        return std::nullopt;
    }
    return handles;
}

std::optional<std::size_t> threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    const DWORD self = GetCurrentProcessId();
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == self) {
            ++count;
        }
    }
    CloseHandle(snapshot);
    return count;
}

}  // namespace quillane::host::test
