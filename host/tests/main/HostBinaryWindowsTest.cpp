// The real QuillaneHost.exe under Wine on the test desktop, as a user would see it.

#include "Eventually.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quillane::host::test {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quillane::host::test::ChildProcess;
using quillane::host::test::eventually;

constexpr UINT kTrayExit = 1002;  // the tray menu's "Exit"
constexpr UINT kTrayMessage = WM_USER + 1;  // the tray icon's callback message

std::wstring hostExe() {
    std::wstring path = fs::path(QH_HOST_BINARY).wstring();
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;  // Wine's drive for the Unix root
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string readFrom(const fs::path& path, std::uintmax_t offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The host's log folder, where SHGetFolderPathW puts the local application data.
fs::path logFolder() {
    wchar_t folder[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
    return fs::path(folder) / L"Quillane" / L"logs";
}

// The log lines that runs started after construction appended.
class LogWatch {
public:
    LogWatch() {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(logFolder(), ec)) sizes[entry.path()] = entry.file_size();
    }
    std::string text() const {
        std::string all;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(logFolder(), ec)) {
            if (entry.path().extension() != L".log") continue;
            auto it = sizes.find(entry.path());
            all += readFrom(entry.path(), it == sizes.end() ? 0 : it->second);
        }
        return all;
    }

private:
    std::map<fs::path, std::uintmax_t> sizes;
};

struct WindowSearch {
    DWORD process;
    const wchar_t* className;
    HWND found;
};

// A top-level window of `process` with the given class.
HWND findWindowOf(DWORD process, const wchar_t* className) {
    WindowSearch search{process, className, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<WindowSearch*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            wchar_t name[64] = {};
            GetClassNameW(window, name, 64);
            if (owner == s->process && std::wstring(name) == s->className) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Starts the host; its output goes to a file in `folder`.
bool startHost(ChildProcess& host, const quillane::host::test::TempFolder& folder) {
    return host.start(fs::path(hostExe()), {}, folder.path() / "output.txt");
}

HWND waitForHostWindow(const ChildProcess& host) {
    HWND window = nullptr;
    eventually(
        [&] {
            if ((window = findWindowOf(host.id(), L"QuillaneHostClass")) != nullptr) return true;
            std::this_thread::sleep_for(50ms);  // under Wine each look costs the starting host time
            return false;
        },
        60s);
    return window;
}

bool mutexHeld() {
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"QuillaneHost_SingleInstance_Mutex");
    if (!mutex) return false;
    CloseHandle(mutex);
    return true;
}

// One run through what a user does: look at the window, minimise it to the
// tray, start the host again, close the window, and exit from the tray menu.
TEST(HostBinaryWindowsTest, WindowLivesThroughAUsersSession) {
    ASSERT_FALSE(mutexHeld()) << "another host is running";
    // Watch from before the start: the file sink flushes only on warnings.
    LogWatch log;
    FreePortSettings ports(logFolder().parent_path());
    quillane::host::test::TempFolder temp;
    ChildProcess host;
    ASSERT_TRUE(startHost(host, temp));
    HWND window = waitForHostWindow(host);
    ASSERT_NE(window, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_EQ(std::wstring(title), L"Quillane Host");
    RECT frame{};
    GetWindowRect(window, &frame);
    EXPECT_EQ(frame.right - frame.left, 1400);
    EXPECT_EQ(frame.bottom - frame.top, 900);
    ASSERT_TRUE(eventually([&] { return IsWindowVisible(window) != FALSE; }, 10s));
    EXPECT_TRUE(mutexHeld());

    ShowWindow(window, SW_MINIMIZE);
    ASSERT_TRUE(eventually([&] { return IsWindowVisible(window) == FALSE; }, 10s));

    // The second start says so in a box, which the user closes; the first window comes back.
    ChildProcess second;
    ASSERT_TRUE(startHost(second, temp));
    HWND box = nullptr;
    ASSERT_TRUE(eventually(
        [&] {
            box = findWindowOf(second.id(), L"#32770");
            wchar_t boxTitle[64] = {};
            return box && GetWindowTextW(box, boxTitle, 64) > 0 && std::wstring(boxTitle) == L"Quillane Host";
        },
        60s));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    auto end = second.wait(30s);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->code, 0u);
    EXPECT_TRUE(eventually([&] { return IsWindowVisible(window) && !IsIconic(window); }, 10s));

    // Closing hides the window; the host keeps running.
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(eventually([&] { return IsWindowVisible(window) == FALSE; }, 10s));
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(host.wait(0ms).has_value());
    EXPECT_TRUE(IsWindow(window));

    // A right click on the tray icon opens its menu; Escape closes it again.
    PostMessageW(window, kTrayMessage, 1, WM_RBUTTONUP);
    HWND menu = nullptr;
    ASSERT_TRUE(eventually(
        [&] { return (menu = findWindowOf(host.id(), L"#32768")) != nullptr && IsWindowVisible(menu); }, 20s));
    PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_TRUE(eventually([&] { return !IsWindow(menu) || !IsWindowVisible(menu); }, 20s));

    // Explorer restarted: the shell announces a new taskbar and the icon comes back.
    PostMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    // A display changed its resolution: the application hears of it.
    PostMessageW(window, WM_DISPLAYCHANGE, 32, MAKELPARAM(1024, 768));

    PostMessageW(window, WM_COMMAND, MAKEWPARAM(kTrayExit, 0), 0);
    end = host.wait(60s);
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->code, 0u);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(mutexHeld());

    // Both runs have ended, so everything is flushed: only the first one logged.
    const std::string text = log.text();
    const std::string starting = "Quillane Host starting...";
    const auto firstAt = text.find(starting);
    ASSERT_NE(firstAt, std::string::npos) << text;
    EXPECT_EQ(text.find(starting, firstAt + starting.size()), std::string::npos);
    EXPECT_NE(text.find("Direct3D 11 device created"), std::string::npos) << text;
    EXPECT_NE(text.find("System tray icon created"), std::string::npos) << text;
    EXPECT_NE(text.find("System tray icon restored"), std::string::npos) << text;
    const auto change = text.find("Display configuration changed, updating input metrics");
    EXPECT_NE(change, std::string::npos) << text;
    // Then the window's own line, "Display configuration changed" alone.
    const auto windowLine = text.find("Display configuration changed", change + 1);
    ASSERT_NE(windowLine, std::string::npos) << text;
    const char after = text[windowLine + std::string("Display configuration changed").size()];
    EXPECT_TRUE(after == '\r' || after == '\n') << text;
    EXPECT_NE(text.find("Streaming optimizations active: GPU MaxFrameLatency=1"), std::string::npos) << text;
    const auto exiting = text.find("Quillane Host exiting");
    ASSERT_NE(exiting, std::string::npos) << text;
    EXPECT_LT(text.find("Application initialized, entering main loop..."), exiting);
    EXPECT_NE(text.find("TCP transport server listening on port " + std::to_string(ports.video())), std::string::npos)
        << text;
    // Wine has no loopback capture: the audio set-up's failure is the one error it may log, and
    // the host goes on without sound.
    for (auto at = text.find("[error]"); at != std::string::npos; at = text.find("[error]", at + 1)) {
        const std::string line = text.substr(at, text.find('\n', at) - at);
        EXPECT_NE(line.find("WasapiCapture.cpp"), std::string::npos) << line;
        EXPECT_NE(text.find("Audio capture not available"), std::string::npos) << text;
    }
}

// The functions that QuillaneHost.exe imports from `dll`, by name.
std::vector<std::string> importsFrom(const std::string& image, const std::string& dll) {
    auto at = [&](std::size_t offset, std::size_t size) -> const char* {
        return offset + size <= image.size() ? image.data() + offset : nullptr;
    };
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(at(0, sizeof(IMAGE_DOS_HEADER)));
    if (!dos) return {};
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(at(dos->e_lfanew, sizeof(IMAGE_NT_HEADERS64)));
    if (!nt) return {};
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto fileOffset = [&](DWORD rva) -> std::size_t {
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i)
            if (rva >= sections[i].VirtualAddress && rva < sections[i].VirtualAddress + sections[i].Misc.VirtualSize)
                return rva - sections[i].VirtualAddress + sections[i].PointerToRawData;
        return image.size();
    };
    std::vector<std::string> names;
    const DWORD importRva = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (std::size_t d = fileOffset(importRva);; d += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(at(d, sizeof(IMAGE_IMPORT_DESCRIPTOR)));
        if (!descriptor || descriptor->Name == 0) break;
        const char* name = at(fileOffset(descriptor->Name), 1);
        if (!name || _stricmp(name, dll.c_str()) != 0) continue;
        DWORD thunks = descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        for (std::size_t t = fileOffset(thunks);; t += sizeof(ULONGLONG)) {
            const auto* thunk = reinterpret_cast<const ULONGLONG*>(at(t, sizeof(ULONGLONG)));
            if (!thunk || *thunk == 0) break;
            if (*thunk & IMAGE_ORDINAL_FLAG64) continue;
            if (const char* function = at(fileOffset(static_cast<DWORD>(*thunk)) + 2, 1)) names.emplace_back(function);
        }
    }
    return names;
}

// What lets the program start and look right on every Windows it supports: the
// tray icon is its own resource, and a function that came with Windows 10 1703
// is looked up at run time rather than imported (the loader would refuse to
// start a program that imports a function the system lacks).
TEST(HostBinaryWindowsTest, ProgramCarriesItsIconAndImportsNothingNewer) {
    HMODULE program = LoadLibraryExW(hostExe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr) << GetLastError();
    HICON icon = static_cast<HICON>(LoadImageW(program, L"IDI_APPICON", IMAGE_ICON, 16, 16, 0));
    EXPECT_NE(icon, nullptr) << GetLastError();
    if (icon) DestroyIcon(icon);
    FreeLibrary(program);

    std::ifstream in(fs::path(hostExe()), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::string> user32 = importsFrom(image, "user32.dll");
    EXPECT_NE(std::find(user32.begin(), user32.end(), "CreateWindowExW"), user32.end()) << "import table not read";
    EXPECT_EQ(std::find(user32.begin(), user32.end(), "SetProcessDpiAwarenessContext"), user32.end());
}

} // namespace

}  // namespace quillane::host::test
