#include "ProcessResources.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

namespace quillane::host::test {

namespace {

// The system's handle table as NtQuerySystemInformation gives it
// (SystemExtendedHandleInformation); these are the layouts it is documented with.
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
    void* object;
    ULONG_PTR processId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

// This process's entries in the system's handle table. Wine answers this one,
// while its GetProcessHandleCount always answers 0.
std::optional<std::size_t> handlesInSystemTable() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll == nullptr ? nullptr
                                        : reinterpret_cast<QuerySystemInformation>(
                                              reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
    if (query == nullptr) {
        return std::nullopt;
    }
    std::vector<ULONG_PTR> buffer(1 << 16);  // ULONG_PTR keeps the table aligned
    LONG status = kStatusInfoLengthMismatch;
    for (int tries = 0; tries < 8 && status == kStatusInfoLengthMismatch; ++tries) {
        ULONG needed = 0;
        status = query(kSystemExtendedHandleInformation, buffer.data(),
                       static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)), &needed);
        if (status == kStatusInfoLengthMismatch) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed / sizeof(ULONG_PTR) + 1024));
        }
    }
    if (status < 0) {
        return std::nullopt;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    std::size_t count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        count += table->entries[i].processId == self ? 1 : 0;
    }
    return count;
}

}  // namespace

std::optional<std::size_t> openDescriptorCount() {
    DWORD handles = 0;
    // No real process has none: 0 means the system cannot tell this way (Wine).
    if (GetProcessHandleCount(GetCurrentProcess(), &handles) && handles != 0) {
        return handles;
    }
    return handlesInSystemTable();
}

bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
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
