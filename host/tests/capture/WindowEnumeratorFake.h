#pragma once

#include "capture/WindowSystem.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace quillane::host::test {

// A desktop described by a table; a window marked gone answers like one just destroyed.
struct FakeWindow {
    NativeWindow id = 0;
    bool visible = true;
    std::wstring title = L"Window";
    std::wstring className = L"AppClass";
    WindowStyle style{false, true, false};
    bool cloaked = false;
    std::optional<WindowRect> rect = WindowRect{10, 20, 110, 220};
    bool minimized = false;
    bool maximized = false;
    std::wstring imagePath = L"C:\\Apps\\app.exe";
    WindowIconPng icon{};
    bool gone = false;
    bool vanishesOnProcessQuery = false;  // becomes gone when its process is asked for
};

class FakeWindowSystem : public WindowSystem {
public:
    std::vector<FakeWindow> windows;
    std::map<NativeWindow, std::vector<std::string>> queries;  // per window, in order asked

    FakeWindow& add(FakeWindow w) {
        windows.push_back(std::move(w));
        return windows.back();
    }

    void forEachTopLevelWindow(const std::function<bool(NativeWindow)>& visit) override {
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (!visit(windows[i].id)) break;
        }
    }
    bool isVisible(NativeWindow w) override { return live(w, "visible") && find(w).visible; }
    std::size_t titleLength(NativeWindow w) override { return live(w, "titleLength") ? find(w).title.size() : 0; }
    std::wstring title(NativeWindow w) override { return live(w, "title") ? find(w).title : L""; }
    std::wstring className(NativeWindow w) override { return live(w, "class") ? find(w).className : L""; }
    WindowStyle style(NativeWindow w) override { return live(w, "style") ? find(w).style : WindowStyle{}; }
    bool isCloaked(NativeWindow w) override { return live(w, "cloaked") && find(w).cloaked; }
    std::optional<WindowRect> rect(NativeWindow w) override {
        return live(w, "rect") ? find(w).rect : std::nullopt;
    }
    bool isMinimized(NativeWindow w) override { return live(w, "minimized") && find(w).minimized; }
    bool isMaximized(NativeWindow w) override { return live(w, "maximized") && find(w).maximized; }
    std::wstring processImagePath(NativeWindow w) override {
        if (find(w).vanishesOnProcessQuery) find(w).gone = true;
        return live(w, "process") ? find(w).imagePath : L"";
    }
    WindowIconPng iconPng(NativeWindow w) override { return live(w, "icon") ? find(w).icon : WindowIconPng{}; }

    bool asked(NativeWindow w, const std::string& what) const {
        const auto it = queries.find(w);
        return it != queries.end() && std::find(it->second.begin(), it->second.end(), what) != it->second.end();
    }

private:
    FakeWindow& find(NativeWindow w) {
        return *std::find_if(windows.begin(), windows.end(), [w](const FakeWindow& f) { return f.id == w; });
    }
    bool live(NativeWindow w, const char* what) {
        queries[w].push_back(what);
        return !find(w).gone;
    }
};

}  // namespace quillane::host::test
