// Test images: PNG bytes of a given pixel size, written here so that tests need no image library.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/graphics/UIImage.h"

namespace imagetest {

inline uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc = 0) {
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void putBigEndian(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
}

inline void putChunk(std::vector<uint8_t>& out, const char type[5], const std::vector<uint8_t>& body) {
    putBigEndian(out, uint32_t(body.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), body.begin(), body.end());
    out.insert(out.end(), typed.begin(), typed.end());
    putBigEndian(out, crc32(typed.data(), typed.size()));
}

// An opaque RGBA PNG of `width` x `height` pixels, every pixel `shade`, compressed with stored blocks.
inline std::string pngBytes(uint32_t width, uint32_t height, uint8_t shade = 0x80) {
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);  // filter: none
        for (uint32_t x = 0; x < width; ++x) raw.insert(raw.end(), {shade, shade, shade, 0xFF});
    }
    std::vector<uint8_t> zlib{0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    for (size_t offset = 0; offset < raw.size() || offset == 0; offset += 65535) {
        const size_t n = std::min<size_t>(65535, raw.size() - offset);
        const bool last = offset + n >= raw.size();
        zlib.push_back(last ? 1 : 0);
        zlib.insert(zlib.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        zlib.insert(zlib.end(), raw.begin() + long(offset), raw.begin() + long(offset + n));
        if (last) break;
    }
    putBigEndian(zlib, (b << 16) | a);

    std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    putBigEndian(header, width);
    putBigEndian(header, height);
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8-bit RGBA
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", zlib);
    putChunk(png, "IEND", {});
    return std::string(png.begin(), png.end());
}

inline UIImagePtr image(uint32_t width, uint32_t height, double scale = 1) {
    return UIImage::imageWithData(Data::fromString(pngBytes(width, height)), scale);
}

}  // namespace imagetest
