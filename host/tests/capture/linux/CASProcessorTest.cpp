#include <gtest/gtest.h>

#include "FrameBuffer.h"
#include "capture/CASProcessor.h"
#include "capture/CaptureDevice.h"
#include "capture/CasCpu.h"

#include <vector>

using namespace quillane::host;

namespace {

struct Source {
    std::vector<std::uint8_t> bytes;
    BgraFrame frame;
    Source(std::uint32_t w, std::uint32_t h) : bytes(std::size_t(w) * h * 4) {
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + (i >> 7));
        frame = {bytes.data(), w * 4, w, h};
    }
};

void expectOpaqueBlack(const std::uint8_t* pixels, std::size_t count) {
    for (std::size_t i = 0; i < count * 4; ++i) ASSERT_EQ(pixels[i], (i % 4 == 3) ? 255 : 0) << "byte " << i;
}

}  // namespace

TEST(CASProcessor, SharpensIntoThePaddedBufferAndRefusesBadArguments) {
    CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    Source src(100, 30);
    auto target = device.createFrameBuffer(&src.frame, 112, 32);
    ASSERT_TRUE(target);

    CASProcessor fresh;
    fresh.enabled = true;
    EXPECT_FALSE(fresh.apply(device.context(), &src.frame, target.get(), 100, 30)) << "not initialised";
    EXPECT_FALSE(fresh.initialize(nullptr));
    CASProcessor cas;
    ASSERT_TRUE(cas.initialize(device.device()));
    EXPECT_FALSE(cas.apply(device.context(), &src.frame, target.get(), 100, 30)) << "not enabled";
    cas.enabled = true;
    EXPECT_FALSE(cas.apply(nullptr, &src.frame, target.get(), 100, 30));
    EXPECT_FALSE(cas.apply(device.context(), nullptr, target.get(), 100, 30));
    EXPECT_FALSE(cas.apply(device.context(), &src.frame, nullptr, 100, 30));
    EXPECT_FALSE(cas.apply(device.context(), &src.frame, target.get(), 101, 30)) << "wider than the source";
    auto small = device.createFrameBuffer(&src.frame, 96, 32);
    EXPECT_FALSE(cas.apply(device.context(), &src.frame, small.get(), 100, 30)) << "target too small";
    expectOpaqueBlack(target->data(), 112 * 32);

    cas.sharpness = 0.4f;
    ASSERT_TRUE(cas.apply(device.context(), &src.frame, target.get(), 100, 30));
    std::vector<std::uint8_t> want(100 * 30 * 4);
    casSharpen({src.bytes.data(), 400, 100, 30}, want.data(), 400, 0.4f, nullptr);
    for (std::uint32_t y = 0; y < 32; ++y)
        for (std::uint32_t x = 0; x < 112; ++x)
            for (int ch = 0; ch < 4; ++ch) {
                const std::uint8_t expected = (x < 100 && y < 30) ? want[(y * 100 + x) * 4 + ch] : (ch == 3 ? 255 : 0);
                ASSERT_EQ(target->data()[std::size_t(y) * target->rowPitch() + x * 4 + ch], expected)
                    << x << "," << y << " ch " << ch;
            }
}

// Padding shows the captured image in place; sharpening writes the buffer's own pixels, kept opaque black.
TEST(CaptureDevice, RegionIsShownInPlaceAndOwnPixelsStayBlack) {
    CaptureDevice device;
    ASSERT_TRUE(device.initialize());
    EXPECT_FALSE(device.gpuName().empty());
    Source src(20, 10);
    EXPECT_EQ(device.createFrameBuffer(&src.frame, 0, 16), nullptr);
    auto buffer = device.createFrameBuffer(&src.frame, 32, 16);
    ASSERT_TRUE(buffer);
    const BgraFrame* shown = CaptureDevice::frameInput(*buffer);
    EXPECT_EQ(shown->width, 32u);
    EXPECT_EQ(shown->height, 16u);
    EXPECT_EQ(shown->storedWidth() * shown->storedHeight(), 1u) << "a new buffer is all black";

    device.copyRegion(&src.frame, *buffer, 18, 12);
    shown = CaptureDevice::frameInput(*buffer);
    EXPECT_EQ(shown->data, src.frame.data);
    EXPECT_EQ(shown->rowPitch, src.frame.rowPitch);
    EXPECT_EQ(shown->width, 32u);
    EXPECT_EQ(shown->storedWidth(), 18u);
    EXPECT_EQ(shown->storedHeight(), 10u) << "never more rows than the source has";

    std::uint8_t* own = buffer->data();
    shown = CaptureDevice::frameInput(*buffer);
    EXPECT_EQ(shown->data, own);
    EXPECT_EQ(shown->storedWidth(), 32u);
    EXPECT_EQ(shown->storedHeight(), 16u);
    expectOpaqueBlack(own, 32 * 16);
    own[0] = 77;
    own[7] = 0;
    device.clearFrameBuffer(*buffer);
    expectOpaqueBlack(own, 32 * 16);
}
