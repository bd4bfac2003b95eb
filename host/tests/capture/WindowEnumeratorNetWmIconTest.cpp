#include "capture/linux/NetWmIcon.h"

#include <gtest/gtest.h>

namespace quillane::host {
namespace {

// Appends one image to a _NET_WM_ICON value; pixel i is base + i.
void appendImage(std::vector<std::uint32_t>& property, std::uint32_t w, std::uint32_t h, std::uint32_t base) {
    property.push_back(w);
    property.push_back(h);
    for (std::uint32_t i = 0; i < w * h; ++i) property.push_back(base + i);
}

std::vector<std::uint32_t> sides(const std::vector<NetWmIconImage>& images) {
    std::vector<std::uint32_t> out;
    for (const auto& i : images) out.push_back(i.width * 1000 + i.height);
    return out;
}

TEST(NetWmIcon, ParsesWellFormedImagesAndStopsAtTheFirstThatDoesNotFit) {
    std::vector<std::uint32_t> p;
    appendImage(p, 16, 16, 0);
    appendImage(p, 32, 24, 0x1000);
    appendImage(p, 1, 1, 0xFF00FF00);
    const auto images = parseNetWmIcon(p);
    ASSERT_EQ(sides(images), (std::vector<std::uint32_t>{16016, 32024, 1001}));
    EXPECT_EQ(images[0].offset, 2u);
    EXPECT_EQ(images[1].offset, 2u + 256 + 2);
    EXPECT_EQ(p[images[2].offset], 0xFF00FF00u);

    std::vector<std::uint32_t> broken;
    appendImage(broken, 4, 4, 0);
    broken.insert(broken.end(), {64, 64, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // declares 64 x 64, brings ten pixels
    EXPECT_EQ(sides(parseNetWmIcon(broken)), (std::vector<std::uint32_t>{4004}));
    std::vector<std::uint32_t> trailing;
    appendImage(trailing, 2, 2, 0);
    trailing.push_back(7);  // a lone cardinal after a good image
    EXPECT_EQ(sides(parseNetWmIcon(trailing)), (std::vector<std::uint32_t>{2002}));

    std::vector<std::uint32_t> onePixelShort;
    appendImage(onePixelShort, 3, 2, 0);
    onePixelShort.pop_back();
    const std::vector<std::uint32_t> nothing[] = {
        {}, {16}, {0, 0, 1, 2}, {0, 5, 1, 2, 3, 4, 5}, onePixelShort,
        {0xFFFFFFFF, 0xFFFFFFFF, 1},  // the product must not wrap into something small
        {0x10000, 0x10000, 1},
    };
    for (const auto& property : nothing) EXPECT_TRUE(parseNetWmIcon(property).empty()) << property.size() << " cardinals";
}

TEST(NetWmIcon, ChoosesASizeBetween32And48OrTheNearest) {
    const std::pair<std::vector<std::pair<std::uint32_t, std::uint32_t>>, std::uint32_t> cases[] = {
        {{{16, 16}}, 16016},
        {{{16, 16}, {32, 32}, {128, 128}}, 32032},
        {{{128, 128}, {48, 48}, {32, 32}, {16, 16}}, 48048},  // largest in range
        {{{16, 16}, {24, 24}, {64, 64}, {256, 256}}, 24024},  // 8 below beats 16 above
        {{{16, 16}, {64, 64}}, 64064},                        // equally far: the larger
        {{{256, 256}, {64, 64}, {512, 512}}, 64064},
        {{{20, 40}, {60, 60}}, 20040},  // the longer side counts
    };
    EXPECT_EQ(chooseNetWmIcon({}), std::nullopt);
    for (const auto& [sizes, want] : cases) {
        std::vector<NetWmIconImage> images;
        for (const auto& [w, h] : sizes) images.push_back({w, h, 0});
        const auto index = chooseNetWmIcon(images);
        ASSERT_TRUE(index);
        EXPECT_EQ(images[*index].width * 1000 + images[*index].height, want);
    }
}

TEST(NetWmIcon, ArgbBecomesStraightRgbaWithinTheProperty) {
    std::vector<std::uint32_t> p = {2, 1, 0x80FF0000, 0x4012345A};
    const auto images = parseNetWmIcon(p);
    ASSERT_EQ(images.size(), 1u);
    const RgbaImage image = netWmIconToRgba(p, images[0]);
    EXPECT_EQ(image.width, 2u);
    EXPECT_EQ(image.height, 1u);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{0xFF, 0, 0, 0x80, 0x12, 0x34, 0x5A, 0x40}));

    std::vector<std::uint32_t> square = {2, 2, 1, 2, 3, 4};
    EXPECT_TRUE(netWmIconToRgba(square, {2, 2, 3}).pixels.empty());
    EXPECT_TRUE(netWmIconToRgba(square, {2, 2, 100}).pixels.empty());
    EXPECT_EQ(netWmIconToRgba(square, {2, 2, 2}).pixels.size(), 16u);
}

// Encoded files are decoded pixel for pixel by the window list's tests on the desktop.
TEST(PngEncoder, RefusesEmptyAndShortImages) {
    EXPECT_TRUE(encodePng({}).empty());
    EXPECT_TRUE(encodePng(RgbaImage{4, 4, std::vector<std::uint8_t>(4 * 4 * 4 - 1)}).empty());
}

}  // namespace
}  // namespace quillane::host
