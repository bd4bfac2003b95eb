#pragma once

// Fakes of the platform services that record in one journal what the host asks of them.

#include "platform/HostWindow.h"
#include "platform/PlatformRuntime.h"
#include "platform/SingleInstance.h"
#include "platform/TrayIcon.h"

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillane::host::test {

using Journal = std::vector<std::string>;

class FakeWindow : public HostWindow {
public:
    explicit FakeWindow(Journal& journal) : journal(journal) {}

    bool create(std::string& error) override {
        journal.push_back("window.create");
        error = createError;
        return createError.empty();
    }
    void show() override { journal.push_back("window.show"); }
    std::uint32_t windowId() const override { return 0x1234; }
    bool pumpMessages(std::chrono::milliseconds wait) override {
        waits.push_back(wait);
        journal.push_back("window.pump");
        return turnsLeft-- > 0;
    }
    void applyPendingResize() override { journal.push_back("window.resize"); }
    void clear() override { journal.push_back("window.clear"); }
    void present() override {
        journal.push_back("window.present");
        if (presentThrows) throw std::runtime_error("device lost");
    }
    double displayRefreshRate() const override { return refreshRate; }
    bool takeRedrawRequest() override {
        if (redrawAnswers.empty()) return true;
        const bool answer = redrawAnswers.front();
        redrawAnswers.erase(redrawAnswers.begin());
        return answer;
    }
    bool isVisible() const override { return visible; }
    void showAndRaise() override { journal.push_back("window.showAndRaise"); }
    void setHideToTray(bool hide) override { journal.push_back(hide ? "window.hideToTray" : "window.minimiseInstead"); }
    void destroy() override { journal.push_back("window.destroy"); }

    Journal& journal;
    std::string createError;
    int turnsLeft = 0;
    bool presentThrows = false;
    bool visible = true;
    std::vector<bool> redrawAnswers;  // then always true
    double refreshRate = 0;
    std::vector<std::chrono::milliseconds> waits;
};

class FakeRuntime : public PlatformRuntime {
public:
    explicit FakeRuntime(Journal& journal) : journal(journal) {}

    bool initialize(std::string& error) override {
        journal.push_back("runtime.initialize");
        error = initError;
        return initError.empty();
    }
    void shutdown() override { journal.push_back("runtime.shutdown"); }
    std::string streamingOptimizations() const override { return "Priority Boost"; }

    Journal& journal;
    std::string initError;
};

class FakeTray : public TrayIcon {
public:
    explicit FakeTray(Journal& journal) : journal(journal) {}

    bool supported() const override { return platformHasTray; }
    bool add(HostWindow&) override {
        journal.push_back("tray.add");
        return available;
    }
    void remove() override { journal.push_back("tray.remove"); }

    Journal& journal;
    bool platformHasTray = true;
    bool available = true;
};

class FakeSingleInstance : public SingleInstance {
public:
    explicit FakeSingleInstance(Journal& journal) : journal(journal) {}

    bool acquire() override {
        journal.push_back("guard.acquire");
        return first;
    }
    void handOverToRunningInstance() override { journal.push_back("guard.handOver"); }
    void pollRequests(const std::function<void()>& show) override {
        journal.push_back("guard.poll");
        for (; showRequests > 0; --showRequests) show();
    }
    void release() override { journal.push_back("guard.release"); }

    Journal& journal;
    bool first = true;
    int showRequests = 0;
};

} // namespace quillane::host::test
