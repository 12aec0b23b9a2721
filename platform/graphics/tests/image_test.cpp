#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "platform/graphics/UIImage.h"
#include "testsupport/TempDir.h"

namespace {

// `format` ("png", "jpeg", "tiff", "bmp", "ico") bytes of a w x h image, every pixel (200, 10, 20), written
// by gdk-pixbuf.
std::vector<uint8_t> makeImage(const char* format, int w, int h) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, std::strcmp(format, "jpeg") != 0, 8, w, h);
    gdk_pixbuf_fill(pixbuf, 0xC80A14FF);
    gchar* buffer = nullptr;
    gsize size = 0;
    EXPECT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, format, nullptr, nullptr)) << format;
    std::vector<uint8_t> out(buffer, buffer + size);
    g_free(buffer);
    g_object_unref(pixbuf);
    return out;
}

// A GIF whose one frame is 2 x 1 pixels, red-ish then blue, on a screen of the given size.
std::vector<uint8_t> makeGif(uint16_t screenWidth = 2, uint16_t screenHeight = 1) {
    return {'G',
            'I',
            'F',
            '8',
            '9',
            'a',
            uint8_t(screenWidth),
            uint8_t(screenWidth >> 8),
            uint8_t(screenHeight),
            uint8_t(screenHeight >> 8),
            0x80,
            0,
            0,
            200,
            10,
            20,
            0,
            0,
            250,  // 2-entry palette
            ',',
            0,
            0,
            0,
            0,
            2,
            0,
            1,
            0,
            0,
            2,
            2,
            0x44,
            0x01,
            0,
            ';'};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

TEST(Image, EveryFormatDecodesToPixelsAtTheGivenScale) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t width, height;
    };
    const Case cases[] = {
        {"png", makeImage("png", 8, 6), 8, 6}, {"jpeg", makeImage("jpeg", 16, 10), 16, 10},
        {"gif, first frame", makeGif(), 2, 1}, {"tiff", makeImage("tiff", 6, 4), 6, 4},
        {"bmp", makeImage("bmp", 6, 4), 6, 4}, {"ico", makeImage("ico", 16, 16), 16, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = UIImage::imageWithData(Data(c.bytes), 2);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->pixelWidth(), c.width);
        EXPECT_EQ(image->pixelHeight(), c.height);
        EXPECT_EQ(image->size(), CGSizeMake(c.width / 2.0, c.height / 2.0));
        ASSERT_EQ(image->rgba().size(), size_t(c.width) * c.height * 4);
        const uint8_t expected[4] = {200, 10, 20, 255};
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(image->rgba()[k], expected[k], 12) << k;  // JPEG is lossy
        EXPECT_EQ(image->name(), "");

        auto truncated = std::vector<uint8_t>(c.bytes.begin(), c.bytes.begin() + long(c.bytes.size() / 2));
        EXPECT_EQ(UIImage::imageWithData(Data(truncated)), nullptr);
    }
    // A screen just over the pixel bound is refused before anything that size is allocated; just under,
    // the frame is shown on it.
    EXPECT_EQ(UIImage::imageWithData(Data(makeGif(8200, 8200))), nullptr);
    auto wide = UIImage::imageWithData(Data(makeGif(4000, 1)));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->pixelWidth(), 4000u);
}

TEST(Image, FilesTakeTheirScaleFromTheName) {
    TempDir dir;
    writeFile(dir.file("icon@2x.png"), makeImage("png", 40, 20));
    writeFile(dir.file("photo.jpg"), makeImage("jpeg", 9, 9));
    auto icon = UIImage::imageWithContentsOfFile(dir.file("icon@2x.png"));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->scale(), 2);
    EXPECT_EQ(icon->size(), CGSizeMake(20, 10));
    ASSERT_NE(UIImage::imageWithContentsOfFile(dir.file("photo.jpg")), nullptr);
}

TEST(Image, NamedLookupPrefersTheScreenScaleAndKeepsTheName) {
    TempDir dir;
    std::string folder = dir.file("base.bundle");
    ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
    writeFile(folder + "/back.png", makeImage("png", 10, 10));
    writeFile(folder + "/back@2x.png", makeImage("png", 20, 20));
    writeFile(folder + "/logo.jpg", makeImage("jpeg", 30, 30));

    auto retina = UIImage::imageNamed("base.bundle/back", dir.path(), 2);
    ASSERT_NE(retina, nullptr);
    EXPECT_EQ(retina->scale(), 2);
    EXPECT_EQ(retina->size(), CGSizeMake(10, 10));
    EXPECT_EQ(retina->name(), "base.bundle/back");
    EXPECT_EQ(UIImage::imageNamed("base.bundle/back", dir.path(), 1)->scale(), 1);
    EXPECT_EQ(UIImage::imageNamed("base.bundle/logo.jpg", dir.path(), 2)->size(), CGSizeMake(30, 30));
    EXPECT_EQ(UIImage::imageNamed("base.bundle/missing", dir.path(), 2), nullptr);
    EXPECT_EQ(UIImage::imageNamed("", dir.path(), 2), nullptr);
}

TEST(Image, MissingAndCorruptInputIsNil) {
    TempDir dir;
    EXPECT_EQ(UIImage::imageWithContentsOfFile(dir.file("nothing.png")), nullptr);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(""), nullptr);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(dir.path()), nullptr);  // a folder
    EXPECT_EQ(UIImage::imageWithData(Data()), nullptr);
    EXPECT_EQ(UIImage::imageWithData(Data::fromString("GIF89a, and nothing of an image")), nullptr);

    auto png = makeImage("png", 32, 32);
    auto truncatedPng = std::vector<uint8_t>(png.begin(), png.begin() + long(png.size() / 2));
    EXPECT_EQ(UIImage::imageWithData(Data(truncatedPng)), nullptr);
    auto garbledPng = png;
    for (size_t i = 40; i < garbledPng.size(); ++i) garbledPng[i] ^= 0x5A;
    EXPECT_EQ(UIImage::imageWithData(Data(garbledPng)), nullptr);

    auto jpeg = makeImage("jpeg", 64, 64);
    auto truncatedJpeg = std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2));
    EXPECT_EQ(UIImage::imageWithData(Data(truncatedJpeg)), nullptr);
    std::vector<uint8_t> headerOnly = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    EXPECT_EQ(UIImage::imageWithData(Data(headerOnly)), nullptr);
    writeFile(dir.file("bad@2x.png"), garbledPng);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(dir.file("bad@2x.png")), nullptr);
}
