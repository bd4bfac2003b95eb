// The picture settings driven directly: what the settings keep and what the
// capture orchestrator is handed, at start-up and from the host window.

#include "LogCapture.h"
#include "StreamComponents.h"
#include "app/PictureSettings.h"
#include "app/Settings.h"

namespace quillane::host::test {
namespace {

class PictureComponents : public StreamComponents {
protected:
    Settings settings;
    PictureSettings picture{settings, orchestrator};
};

// The settings keep the sharpness within 0 to 1; the orchestrator takes each
// change, and streams started afterwards are encoded in the new colour range.
TEST_F(PictureComponents, ChangesAreKeptInTheSettingsAndReachTheCapture) {
    LogCapture log;
    picture.setSharpening(true, 1.5f);
    EXPECT_TRUE(settings.values().sharpeningEnabled);
    EXPECT_EQ(settings.values().sharpness, 1.0f);
    EXPECT_TRUE(log.contains("Applying sharpening settings: enabled=true, sharpness=1.50"));
    EXPECT_TRUE(log.contains("CAS sharpening enabled"));
    picture.setSharpening(false, -0.5f);
    EXPECT_FALSE(settings.values().sharpeningEnabled);
    EXPECT_EQ(settings.values().sharpness, 0.0f);

    picture.setVSync(false);
    EXPECT_FALSE(settings.values().vsyncEnabled);
    EXPECT_TRUE(log.contains("VSync frame pacing disabled"));

    picture.setFullRangeColor(true);
    EXPECT_TRUE(settings.values().fullRangeColor);
    ASSERT_TRUE(streams.start(kWindowId, 1, StreamOrigin::Client));
    picture.setFullRangeColor(false);
    ASSERT_TRUE(streams.start(kWindowId, 2, StreamOrigin::Client));
    const auto created = encoders->createdWith();
    ASSERT_EQ(created.size(), 2u);
    EXPECT_TRUE(created[0].fullRange);
    EXPECT_FALSE(created[1].fullRange);
}

TEST_F(PictureComponents, TheSettingsFilesValuesReachANewCaptureAndChangesWithoutOneAreKept) {
    LogCapture log;
    SettingsValues values;
    values.fullRangeColor = true;
    values.vsyncEnabled = true;
    values.sharpeningEnabled = false;
    PictureSettings::applyTo(*orchestrator.get(), values);
    EXPECT_TRUE(log.contains("VSync frame pacing enabled"));
    EXPECT_TRUE(log.contains("CAS sharpening disabled"));
    ASSERT_TRUE(streams.start(kWindowId, 1, StreamOrigin::HostWindow));
    ASSERT_EQ(encoders->createdWith().size(), 1u);
    EXPECT_TRUE(encoders->createdWith()[0].fullRange);

    // Before start-up and after shutdown only the settings change.
    orchestrator.take()->shutdown();
    picture.setVSync(false);
    EXPECT_FALSE(settings.values().vsyncEnabled);
    EXPECT_FALSE(log.contains("VSync frame pacing disabled"));
}

}  // namespace
}  // namespace quillane::host::test
