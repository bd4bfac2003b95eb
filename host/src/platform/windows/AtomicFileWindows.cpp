#include "platform/AtomicFile.h"

#include <windows.h>

#include <algorithm>

namespace quillane::host {
namespace {

std::string describe(const char* what, const std::filesystem::path& path, DWORD error) {
    const std::u8string name = path.u8string();
    return std::string(what) + " " + std::string(name.begin(), name.end()) +
           ": error " + std::to_string(error);
}

std::string withCrLf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

AtomicWriteResult writeTextFileAtomically(const std::filesystem::path& file, std::string_view text) {
    using Status = AtomicWriteResult::Status;
    std::filesystem::path temp = file;
    temp += L".tmp-" + std::to_wstring(GetCurrentProcessId());

    HANDLE handle = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {Status::OpenFailed, describe("cannot create", temp, GetLastError())};

    const std::string bytes = withCrLf(text);
    std::size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        ok = WriteFile(handle, bytes.data() + done, chunk, &written, nullptr) && written > 0;
        done += written;
    }
    ok = ok && FlushFileBuffers(handle);
    const DWORD writeError = ok ? 0 : GetLastError();
    CloseHandle(handle);
    if (!ok) {
        DeleteFileW(temp.c_str());
        return {Status::WriteFailed, describe("cannot write", temp, writeError)};
    }
    if (!MoveFileExW(temp.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        DeleteFileW(temp.c_str());
        return {Status::ReplaceFailed, describe("cannot replace", file, error)};
    }
    return {};
}

}  // namespace quillane::host
