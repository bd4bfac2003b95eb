#include "WindowEnumeratorPng.h"

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

TEST(NetWmIcon, ParsesEveryWellFormedImage) {
    std::vector<std::uint32_t> p;
    appendImage(p, 16, 16, 0);
    appendImage(p, 32, 24, 0x1000);
    appendImage(p, 1, 1, 0xFF00FF00);
    const auto images = parseNetWmIcon(p);
    ASSERT_EQ(sides(images), (std::vector<std::uint32_t>{16016, 32024, 1001}));
    EXPECT_EQ(images[0].offset, 2u);
    EXPECT_EQ(images[1].offset, 2u + 256 + 2);
    EXPECT_EQ(p[images[1].offset], 0x1000u);
    EXPECT_EQ(p[images[2].offset], 0xFF00FF00u);
}

TEST(NetWmIcon, StopsAtTheFirstImageThatDoesNotFit) {
    std::vector<std::uint32_t> p;
    appendImage(p, 4, 4, 0);
    p.push_back(64);  // declares 64 × 64 but brings ten pixels
    p.push_back(64);
    for (int i = 0; i < 10; ++i) p.push_back(0);
    EXPECT_EQ(sides(parseNetWmIcon(p)), (std::vector<std::uint32_t>{4004}));

    std::vector<std::uint32_t> exact;
    appendImage(exact, 3, 2, 0);
    exact.pop_back();  // one pixel short
    EXPECT_TRUE(parseNetWmIcon(exact).empty());
}

TEST(NetWmIcon, RejectsZeroSidesHugeSidesAndStrayCardinals) {
    EXPECT_TRUE(parseNetWmIcon({}).empty());
    EXPECT_TRUE(parseNetWmIcon(std::vector<std::uint32_t>{16}).empty());
    EXPECT_TRUE(parseNetWmIcon(std::vector<std::uint32_t>{0, 0, 1, 2}).empty());
    EXPECT_TRUE(parseNetWmIcon(std::vector<std::uint32_t>{0, 5, 1, 2, 3, 4, 5}).empty());
    // 0xFFFFFFFF × 0xFFFFFFFF must not wrap into something small.
    EXPECT_TRUE(parseNetWmIcon(std::vector<std::uint32_t>{0xFFFFFFFF, 0xFFFFFFFF, 1}).empty());
    EXPECT_TRUE(parseNetWmIcon(std::vector<std::uint32_t>{0x10000, 0x10000, 1}).empty());
    // A well-formed image followed by a lone cardinal keeps the image.
    std::vector<std::uint32_t> p;
    appendImage(p, 2, 2, 0);
    p.push_back(7);
    EXPECT_EQ(parseNetWmIcon(p).size(), 1u);
}

std::optional<std::uint32_t> chosenSide(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> sizes) {
    std::vector<NetWmIconImage> images;
    for (const auto& [w, h] : sizes) images.push_back({w, h, 0});
    const auto index = chooseNetWmIcon(images);
    if (!index) return std::nullopt;
    return images[*index].width * 1000 + images[*index].height;
}

TEST(NetWmIcon, ChoosesASizeBetween32And48OrTheNearest) {
    EXPECT_EQ(chosenSide({}), std::nullopt);
    EXPECT_EQ(chosenSide({{16, 16}}), 16016u);
    EXPECT_EQ(chosenSide({{16, 16}, {32, 32}, {128, 128}}), 32032u);
    EXPECT_EQ(chosenSide({{128, 128}, {48, 48}, {32, 32}, {16, 16}}), 48048u);  // largest in range
    EXPECT_EQ(chosenSide({{16, 16}, {24, 24}, {64, 64}, {256, 256}}), 24024u);  // 8 below beats 16 above
    EXPECT_EQ(chosenSide({{16, 16}, {64, 64}}), 64064u);                        // equally far: the larger
    EXPECT_EQ(chosenSide({{256, 256}, {64, 64}, {512, 512}}), 64064u);
    EXPECT_EQ(chosenSide({{20, 40}, {60, 60}}), 20040u);  // the longer side counts
}

TEST(NetWmIcon, ArgbBecomesStraightRgba) {
    std::vector<std::uint32_t> p = {2, 1, 0x80FF0000, 0x4012345A};
    const auto images = parseNetWmIcon(p);
    ASSERT_EQ(images.size(), 1u);
    const RgbaImage image = netWmIconToRgba(p, images[0]);
    EXPECT_EQ(image.width, 2u);
    EXPECT_EQ(image.height, 1u);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{0xFF, 0, 0, 0x80, 0x12, 0x34, 0x5A, 0x40}));
}

TEST(NetWmIcon, ConversionRefusesAnImageOutsideTheProperty) {
    std::vector<std::uint32_t> p = {2, 2, 1, 2, 3, 4};
    EXPECT_TRUE(netWmIconToRgba(p, {2, 2, 3}).pixels.empty());
    EXPECT_TRUE(netWmIconToRgba(p, {2, 2, 100}).pixels.empty());
    EXPECT_EQ(netWmIconToRgba(p, {2, 2, 2}).pixels.size(), 16u);
}

TEST(PngEncoder, LibpngFileDecodesToTheSamePixels) {
    RgbaImage image;
    image.width = 37;
    image.height = 5;
    for (std::uint32_t i = 0; i < image.width * image.height * 4; ++i)
        image.pixels.push_back(static_cast<std::uint8_t>(i * 31 + 7));
    const auto file = encodePng(image);
    ASSERT_GT(file.size(), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(file.begin(), file.begin() + 8),
              (std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}));
    const auto back = test::decodePng(file);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->width, 37u);
    EXPECT_EQ(back->height, 5u);
    EXPECT_EQ(back->pixels, image.pixels);
}

TEST(PngEncoder, RefusesEmptyAndShortImages) {
    EXPECT_TRUE(encodePng({}).empty());
    RgbaImage shortImage{4, 4, std::vector<std::uint8_t>(4 * 4 * 4 - 1)};
    EXPECT_TRUE(encodePng(shortImage).empty());
}

}  // namespace
}  // namespace quillane::host
