#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <vector>

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
    EXPECT_EQ(UIImage::imageWithData(Data::fromString("GIF89a not supported")), nullptr);

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
