#include "HeadlessUIBackend.h"

#include "common/StreamIdAllocator.h"
#include "ui/TextFit.h"
#include "ui/UIManager.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <map>
#include <set>

namespace quillane::host::test {
namespace {

std::vector<protocol::WindowInfo> manyWindows(int count) {
    std::vector<protocol::WindowInfo> windows;
    for (int i = 0; i < count; ++i) {
        protocol::WindowInfo info;
        info.id = 0x100 + static_cast<std::uint32_t>(i);
        // Long titles with multi-byte characters, so that cutting meets them.
        info.title = "Fenêtre número " + std::to_string(i) + std::string(i % 7 * 20, 'x') + " — 日本語のタイトル";
        info.processName = i % 3 ? "editor" : "";
        windows.push_back(info);
    }
    return windows;
}

class UIManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        state.fonts = {QH_UI_TEST_FONT};
        ui = std::make_unique<UIManager>(std::make_unique<HeadlessUIBackend>(state));
        ASSERT_TRUE(ui->initialize());
    }

    // Renders until the UI no longer asks for frames (at most `limit` frames).
    int settle(int limit = 100) {
        int frames = 0;
        while (ui->needsFrame() && frames < limit) {
            ui->render();
            ++frames;
        }
        return frames;
    }

    HeadlessUIBackend::State state;
    std::unique_ptr<UIManager> ui;
};

// Every page in every state the owner can put the UI in draws without tripping
// one of ImGui's assertions (which abort the test) and draws something.
TEST_F(UIManagerTest, EveryPageRendersInEveryState) {
    for (int i = 0; i < 1000; ++i) ui->addLogEntry(i % 7, "line " + std::to_string(i) + " with %s and %d");
    for (int windows : {0, 300}) {
        ui->setWindowList(manyWindows(windows));
        for (bool connected : {false, true}) {
            ui->connectionStatus.connected = connected;
            ui->connectionStatus.clientIp = connected ? "127.0.0.1" : "";
            ui->connectionStatus.fps = connected ? std::optional<std::uint32_t>(72) : std::nullopt;
            for (bool streaming : {false, true}) {
                if (windows > 0) {
                    ui->reserveStreamId = [] { return std::optional<std::uint8_t>(7); };
                    ui->onStartCapture = [](std::uint32_t, std::uint8_t) { return true; };
                    auto entry = ui->windows()[5];
                    if (entry.streaming != streaming) ui->toggleWindowStream(const_cast<WindowEntry&>(ui->windows()[5]));
                }
                for (int page = -1; page <= UIManager::PageCount; ++page) {
                    ui->currentPage = page;
                    for (int frame = 0; frame < 3; ++frame) ui->render();
                    EXPECT_GT(state.drawnVertices, 0) << page;
                }
            }
        }
    }
    // A small window: the sidebar's filler disappears, nothing asserts.
    state.displaySize = ImVec2(320, 200);
    for (int page = 0; page < UIManager::PageCount; ++page) {
        ui->currentPage = page;
        ui->render();
    }
}

TEST_F(UIManagerTest, RendersOnlyWhenSomethingChanged) {
    settle();
    EXPECT_FALSE(ui->needsFrame());

    ui->connectionStatus.connected = true;
    EXPECT_TRUE(ui->needsFrame());
    settle();

    // The same list again is no change; a new one is.
    ui->setWindowList(manyWindows(3));
    EXPECT_TRUE(ui->needsFrame());
    settle();
    ui->setWindowList(manyWindows(3));
    EXPECT_FALSE(ui->needsFrame());

    // New log lines matter only while the log page shows.
    ui->addLogEntry(2, "unseen");
    EXPECT_FALSE(ui->needsFrame());
    ui->currentPage = UIManager::Logs;
    ui->addLogEntry(2, "seen");
    ui->render();
    settle();
    ui->addLogEntry(2, "seen too");
    EXPECT_TRUE(ui->needsFrame());
    settle();

    // Input keeps frames coming for a while, then they stop.
    state.input = true;
    EXPECT_GT(settle(), 5);
    EXPECT_FALSE(ui->needsFrame());
}

TEST_F(UIManagerTest, ClickOnANavigationButtonSelectsItsPage) {
    settle();
    // "  Logs" is the sixth button: 183 px down, then 76 px a button (48, a 4 px gap, two spacings).
    state.mouse = ImVec2(130, 183 + 5 * 76 + 24);
    state.input = true;
    settle();
    state.pressed = true;
    ui->render();
    state.pressed = false;
    ui->render();
    EXPECT_EQ(ui->currentPage, UIManager::Logs);
}

TEST(UIManagerLifeTest, BackendFailureLeavesNothingInitialised) {
    HeadlessUIBackend::State state;
    state.failInitialize = true;
    UIManager ui(std::make_unique<HeadlessUIBackend>(state));
    EXPECT_FALSE(ui.initialize());
    EXPECT_FALSE(ui.isInitialized());
    EXPECT_EQ(ImGui::GetCurrentContext(), nullptr);
    ui.render();
    EXPECT_EQ(state.frames, 0);
    ui.shutdown();
}

TEST(UIManagerLifeTest, SecondInitializeAndShutdownAreHarmlessAndTheLogoIsReleased) {
    HeadlessUIBackend::State state;
    {
        UIManager ui(std::make_unique<HeadlessUIBackend>(state));
        ui.render();  // before initialize: nothing
        EXPECT_EQ(state.frames, 0);
        ASSERT_TRUE(ui.initialize());
        ImGuiContext* context = ImGui::GetCurrentContext();
        ASSERT_TRUE(ui.initialize());
        EXPECT_EQ(ImGui::GetCurrentContext(), context);
        ui.shutdown();
        ui.shutdown();
        EXPECT_EQ(ImGui::GetCurrentContext(), nullptr);
    }
    EXPECT_EQ(state.textures, 0);
}

TEST(UIManagerLifeTest, WithoutFontFilesTheBuiltInFontServesEveryRole) {
    HeadlessUIBackend::State state;
    state.fonts = {"/nonexistent/font.ttf"};
    UIManager ui(std::make_unique<HeadlessUIBackend>(state));
    ASSERT_TRUE(ui.initialize());
    EXPECT_NE(ui.fontRegular, nullptr);
    EXPECT_EQ(ui.fontRegular, ui.fontTitle);
    EXPECT_EQ(ui.fontRegular, ui.fontHeading);
    ui.render();
    EXPECT_GT(state.drawnVertices, 0);
}

// ---- window list: Start and Stop against a fake Application -----------------

struct FakeApplication {
    StreamIdAllocator ids;
    std::set<std::uint8_t> running;
    bool startSucceeds = true;
    std::vector<std::pair<std::uint32_t, std::uint8_t>> starts;
    std::vector<std::uint8_t> stops;

    // A stream another path (a client) runs under this id.
    void run(std::uint8_t id) {
        ids.claim(id);
        running.insert(id);
    }

    void wire(UIManager& ui) {
        ui.reserveStreamId = [this] { return ids.reserve(); };
        ui.onStartCapture = [this](std::uint32_t window, std::uint8_t id) {
            starts.emplace_back(window, id);
            if (startSucceeds) {
                running.insert(id);
            } else {
                ids.release(id);
            }
            return startSucceeds;
        };
        ui.onStopCapture = [this](std::uint8_t id) {
            stops.push_back(id);
            if (running.erase(id) != 0) ids.release(id);
        };
    }
};

TEST_F(UIManagerTest, StartAndStopFromTheWindowListUseFreeIdsAndKeepRowsAcrossLists) {
    FakeApplication app;
    app.wire(*ui);
    app.run(1);  // a client's streams
    app.run(2);
    ui->setWindowList(manyWindows(3));
    auto row = [&](int i) -> WindowEntry& { return const_cast<WindowEntry&>(ui->windows()[i]); };

    ui->toggleWindowStream(row(0));
    EXPECT_TRUE(row(0).streaming);
    EXPECT_EQ(row(0).streamId, 3);  // 1 and 2 run already

    // A failed start leaves the row idle and uses the id up.
    app.startSucceeds = false;
    ui->toggleWindowStream(row(1));
    EXPECT_FALSE(row(1).streaming);
    app.startSucceeds = true;
    ui->toggleWindowStream(row(1));
    EXPECT_EQ(row(1).streamId, 5);

    // A new list keeps the streaming rows that are still listed, in its order.
    auto windows = manyWindows(3);
    std::swap(windows[0], windows[2]);
    windows.pop_back();  // window 0 is gone
    ui->setWindowList(windows);
    ASSERT_EQ(ui->windows().size(), 2u);
    EXPECT_EQ(ui->windows()[0].windowId, 0x102u);
    EXPECT_FALSE(ui->windows()[0].streaming);
    EXPECT_TRUE(ui->windows()[1].streaming);
    EXPECT_EQ(ui->windows()[1].streamId, 5);

    // Stop sends the row's id and resets it; without a stop callback it resets all the same.
    ui->toggleWindowStream(row(1));
    EXPECT_EQ(app.stops, std::vector<std::uint8_t>{5});
    EXPECT_FALSE(row(1).streaming);
    ui->toggleWindowStream(row(1));
    ui->onStopCapture = nullptr;
    ui->toggleWindowStream(row(1));
    EXPECT_FALSE(row(1).streaming);
    EXPECT_EQ(row(1).streamId, 0);

    // Back after leaving the list: idle.
    ui->setWindowList(manyWindows(3));
    EXPECT_FALSE(ui->windows()[0].streaming);
}

TEST_F(UIManagerTest, StreamIdsWrapAndSkipRunningOnes) {
    FakeApplication app;
    app.wire(*ui);
    ui->setWindowList(manyWindows(1));
    auto& row = const_cast<WindowEntry&>(ui->windows()[0]);
    app.ids = StreamIdAllocator(254);
    app.run(255);
    std::vector<int> ids;
    for (int i = 0; i < 3; ++i) {
        ui->toggleWindowStream(row);
        ids.push_back(row.streamId);
        ui->toggleWindowStream(row);
    }
    EXPECT_EQ(ids, (std::vector<int>{254, 0, 1}));
    // Stream 0 stops like any other.
    EXPECT_EQ(app.stops, (std::vector<std::uint8_t>{254, 0, 1}));
    // Without a start callback no id is reserved, since no start would give it back.
    ui->onStartCapture = nullptr;
    ui->toggleWindowStream(row);
    EXPECT_FALSE(row.streaming);
    EXPECT_FALSE(app.ids.isTaken(2));

    // Every id busy: nothing starts, no client stream is taken over.
    app.wire(*ui);
    for (int id = 0; id < 256; ++id) app.run(static_cast<std::uint8_t>(id));
    app.starts.clear();
    ui->toggleWindowStream(row);
    EXPECT_FALSE(row.streaming);
    EXPECT_TRUE(app.starts.empty());
}

// ---- titles -------------------------------------------------------------------

TEST(FitTextTest, CutsOnCodePointsAndFitsWithTheEllipsis) {
    const auto bytes = [](std::string_view s) { return static_cast<float>(s.size()); };
    EXPECT_EQ(fitText("short", 10, bytes), "short");
    EXPECT_EQ(fitText("", 0, bytes), "");
    EXPECT_EQ(fitText("abcdefghij", 8, bytes), "abcde...");
    // "é" is two bytes, "日" three: a cut never splits one.
    for (float width = 3; width < 19; ++width) {
        const std::string fitted = fitText("aé日本語éé日", width, bytes);
        EXPECT_LE(fitted.size(), static_cast<std::size_t>(width));
        EXPECT_EQ(fitted.substr(fitted.size() - 3), "...");
        const std::string kept = fitted.substr(0, fitted.size() - 3);
        EXPECT_EQ(std::string("aé日本語éé日").rfind(kept, 0), 0u);
        EXPECT_EQ(utf8Prefix(kept, kept.size()), kept);
    }
    // Too narrow even for the ellipsis: the ellipsis alone.
    EXPECT_EQ(fitText("abcdef", 1, bytes), "...");
    EXPECT_EQ(utf8Prefix("a日", 2), "a");
}

}  // namespace
}  // namespace quillane::host::test
