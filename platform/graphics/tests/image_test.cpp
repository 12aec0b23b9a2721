#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <jpeglib.h>
#include <png.h>

#include "platform/graphics/UIImage.h"
#include "testsupport/TempDir.h"

namespace {

std::vector<uint8_t> makePng(uint32_t w, uint32_t h) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = w;
    image.height = h;
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(size_t(w) * h * 4);
    for (size_t i = 0; i < pixels.size(); i += 4) {
        pixels[i] = 200;
        pixels[i + 1] = 10;
        pixels[i + 2] = 20;
        pixels[i + 3] = 255;
    }
    png_alloc_size_t size = 0;
    EXPECT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr));
    std::vector<uint8_t> out(size);
    EXPECT_TRUE(png_image_write_to_memory(&image, out.data(), &size, 0, pixels.data(), 0, nullptr));
    out.resize(size);
    return out;
}

std::vector<uint8_t> makeJpeg(uint32_t w, uint32_t h) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = w;
    cinfo.image_height = h;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<uint8_t> row(size_t(w) * 3, 0);
    for (size_t x = 0; x < w; ++x) row[x * 3 + 2] = 250;  // blue
    while (cinfo.next_scanline < h) {
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    free(buffer);
    return out;
}

// `format` ("tiff", "bmp", "ico") bytes of a w x h image, every pixel (200, 10, 20), written by gdk-pixbuf.
std::vector<uint8_t> makePixbufImage(const char* format, int w, int h) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, w, h);
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
    return {'G', 'I', 'F', '8', '9', 'a', uint8_t(screenWidth), uint8_t(screenWidth >> 8), uint8_t(screenHeight),
            uint8_t(screenHeight >> 8), 0x80, 0, 0, 200, 10, 20, 0, 0, 250,  // 2-entry palette
            ',', 0, 0, 0, 0, 2, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0, ';'};
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

}  // namespace

TEST(Image, DecodesPngAndJpegWithPixelsAndScale) {
    auto png = UIImage::imageWithData(Data(makePng(8, 6)));
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(png->size(), CGSizeMake(8, 6));
    EXPECT_EQ(png->rgba()[0], 200);
    EXPECT_EQ(png->rgba()[3], 255);
    EXPECT_EQ(png->name(), "");

    auto jpeg = UIImage::imageWithData(Data(makeJpeg(16, 10)), 2);
    ASSERT_NE(jpeg, nullptr);
    EXPECT_EQ(jpeg->pixelWidth(), 16u);
    EXPECT_EQ(jpeg->size(), CGSizeMake(8, 5));
    EXPECT_GT(jpeg->rgba()[2], 200);  // blue survives the round trip
    EXPECT_LT(jpeg->rgba()[0], 40);
    EXPECT_EQ(jpeg->rgba()[3], 255);
}

TEST(Image, DecodesGifTiffBmpAndIcoThroughTheSameBoundAndScale) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t width, height;
    };
    const Case cases[] = {
        {"gif, first frame", makeGif(), 2, 1},
        {"tiff", makePixbufImage("tiff", 6, 4), 6, 4},
        {"bmp", makePixbufImage("bmp", 6, 4), 6, 4},
        {"ico", makePixbufImage("ico", 16, 16), 16, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = UIImage::imageWithData(Data(c.bytes), 2);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->pixelWidth(), c.width);
        EXPECT_EQ(image->pixelHeight(), c.height);
        EXPECT_EQ(image->size(), CGSizeMake(c.width / 2.0, c.height / 2.0));
        ASSERT_EQ(image->rgba().size(), size_t(c.width) * c.height * 4);
        EXPECT_EQ(std::vector<uint8_t>(image->rgba().begin(), image->rgba().begin() + 4),
                  (std::vector<uint8_t>{200, 10, 20, 255}));

        auto truncated = std::vector<uint8_t>(c.bytes.begin(), c.bytes.begin() + long(c.bytes.size() / 2));
        EXPECT_EQ(UIImage::imageWithData(Data(truncated)), nullptr);
    }
    // A screen just over the pixel bound is refused before anything that size is allocated; just under,
    // the frame is shown on it.
    EXPECT_EQ(UIImage::imageWithData(Data(makeGif(8200, 8200))), nullptr);
    auto wide = UIImage::imageWithData(Data(makeGif(4000, 1)));
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(wide->pixelWidth(), 4000u);
    auto bmp = makePixbufImage("bmp", 6, 4);
    for (size_t at : {size_t(18), size_t(22)}) {  // width and height: 40000 each
        bmp[at] = 0x40;
        bmp[at + 1] = 0x9C;
        bmp[at + 2] = 0;
        bmp[at + 3] = 0;
    }
    EXPECT_EQ(UIImage::imageWithData(Data(bmp)), nullptr);
}

TEST(Image, FilesTakeTheirScaleFromTheName) {
    TempDir dir;
    writeFile(dir.file("icon@2x.png"), makePng(40, 20));
    writeFile(dir.file("photo.jpg"), makeJpeg(9, 9));
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
    writeFile(folder + "/back.png", makePng(10, 10));
    writeFile(folder + "/back@2x.png", makePng(20, 20));
    writeFile(folder + "/logo.jpg", makeJpeg(30, 30));

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

    auto png = makePng(32, 32);
    auto truncatedPng = std::vector<uint8_t>(png.begin(), png.begin() + long(png.size() / 2));
    EXPECT_EQ(UIImage::imageWithData(Data(truncatedPng)), nullptr);
    auto garbledPng = png;
    for (size_t i = 40; i < garbledPng.size(); ++i) garbledPng[i] ^= 0x5A;
    EXPECT_EQ(UIImage::imageWithData(Data(garbledPng)), nullptr);

    auto jpeg = makeJpeg(64, 64);
    auto truncatedJpeg = std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + long(jpeg.size() / 2));
    EXPECT_EQ(UIImage::imageWithData(Data(truncatedJpeg)), nullptr);
    std::vector<uint8_t> headerOnly = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    EXPECT_EQ(UIImage::imageWithData(Data(headerOnly)), nullptr);
    writeFile(dir.file("bad@2x.png"), garbledPng);
    EXPECT_EQ(UIImage::imageWithContentsOfFile(dir.file("bad@2x.png")), nullptr);
}
