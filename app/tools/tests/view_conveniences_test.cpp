#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "app/tools/UIImageScale.h"

namespace {

// A 2 x 1 PNG at scale 2: opaque red on the left, transparent blue on the right.
UIImagePtr redAndClear() {
    static const uint8_t png[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52,
        0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0xf4, 0x22, 0x7f,
        0x8a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8, 0xcf, 0xc0, 0x00,
        0x46, 0x00, 0x0e, 0xfa, 0x02, 0xfe, 0xf5, 0x1e, 0x4c, 0xa9, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45,
        0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    return UIImage::imageWithData(Data(png, sizeof png), 2);
}

TEST(UIImageScale, StretchesToTheSizeAtScaleOne) {
    auto source = redAndClear();
    ASSERT_TRUE(source);
    ASSERT_EQ(source->size(), CGSizeMake(1, 0.5));
    auto scaled = scaleToSize(source, CGSizeMake(4, 3));
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->size(), CGSizeMake(4, 3));
    EXPECT_EQ(scaled->scale(), 1);
    auto pixel = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = &scaled->rgba()[(y * scaled->pixelWidth() + x) * 4];
        return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(pixel(0, 2), (std::array<int, 4>{255, 0, 0, 255}));
    // Blended with a transparent pixel, red stays red (no blue fringe) and only fades.
    EXPECT_EQ(pixel(1, 0), (std::array<int, 4>{255, 0, 0, 191}));
    EXPECT_EQ(pixel(3, 1)[3], 0);
    // Big enough for more than one stored block of the intermediate PNG.
    auto large = scaleToSize(source, CGSizeMake(200, 100.5));
    ASSERT_TRUE(large);
    EXPECT_EQ(large->pixelHeight(), 101u);
    for (const CGSize size : {CGSizeMake(0, 10), CGSizeMake(10, -1), CGSizeMake(NAN, 5), CGSizeMake(1e6, 1e6)}) {
        EXPECT_FALSE(scaleToSize(source, size)) << size.width << " x " << size.height;
    }
}

}  // namespace
