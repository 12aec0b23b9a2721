#include "app/tools/UIImageScale.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

// An RGBA bitmap that an image is drawn into, turned back into an image through an uncompressed PNG (the
// image decoder is the only way to make one).
class BitmapContext {
  public:
    BitmapContext(uint32_t width, uint32_t height)
        : width_(width), height_(height), rgba_(size_t(width) * height * 4, 0) {}

    // Draws the image stretched over the whole bitmap, filtering in premultiplied space so that transparent
    // pixels do not bleed their colour into the edges.
    void drawImage(const UIImage& image) {
        const uint32_t sw = image.pixelWidth(), sh = image.pixelHeight();
        if (sw == 0 || sh == 0) return;
        const auto& src = image.rgba();
        auto premultiplied = [&](uint32_t x, uint32_t y, std::array<double, 4>& out, double weight) {
            const uint8_t* p = &src[(size_t(y) * sw + x) * 4];
            double a = p[3] / 255.0;
            for (int c = 0; c < 3; ++c) out[size_t(c)] += weight * p[c] * a;
            out[3] += weight * p[3];
        };
        for (uint32_t dy = 0; dy < height_; ++dy) {
            double fy = std::clamp((dy + 0.5) * sh / height_ - 0.5, 0.0, double(sh - 1));
            uint32_t y0 = uint32_t(fy), y1 = std::min(y0 + 1, sh - 1);
            double ty = fy - y0;
            for (uint32_t dx = 0; dx < width_; ++dx) {
                double fx = std::clamp((dx + 0.5) * sw / width_ - 0.5, 0.0, double(sw - 1));
                uint32_t x0 = uint32_t(fx), x1 = std::min(x0 + 1, sw - 1);
                double tx = fx - x0;
                std::array<double, 4> sum{};
                premultiplied(x0, y0, sum, (1 - tx) * (1 - ty));
                premultiplied(x1, y0, sum, tx * (1 - ty));
                premultiplied(x0, y1, sum, (1 - tx) * ty);
                premultiplied(x1, y1, sum, tx * ty);
                uint8_t* out = &rgba_[(size_t(dy) * width_ + dx) * 4];
                double alpha = sum[3] / 255.0;
                for (int c = 0; c < 3; ++c) {
                    double value = alpha > 0 ? sum[size_t(c)] / alpha : 0;
                    out[c] = uint8_t(std::lround(std::clamp(value, 0.0, 255.0)));
                }
                out[3] = uint8_t(std::lround(std::clamp(sum[3], 0.0, 255.0)));
            }
        }
    }

    UIImagePtr makeImage() const { return UIImage::imageWithData(Data(encodePNG()), 1); }

  private:
    static uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc) {
        static const std::array<uint32_t, 256> table = [] {
            std::array<uint32_t, 256> t{};
            for (uint32_t n = 0; n < 256; ++n) {
                uint32_t c = n;
                for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                t[n] = c;
            }
            return t;
        }();
        crc = ~crc;
        for (size_t i = 0; i < length; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
        return ~crc;
    }

    static void putBE32(std::vector<uint8_t>& out, uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(value >> shift));
    }

    static void putChunk(std::vector<uint8_t>& out, std::string_view type, const std::vector<uint8_t>& data) {
        putBE32(out, uint32_t(data.size()));
        size_t start = out.size();
        out.insert(out.end(), type.begin(), type.end());
        out.insert(out.end(), data.begin(), data.end());
        putBE32(out, crc32(&out[start], out.size() - start, 0));
    }

    std::vector<uint8_t> encodePNG() const {
        // Scanlines, each behind filter byte 0.
        const size_t rowBytes = size_t(width_) * 4;
        std::vector<uint8_t> raw;
        raw.reserve((rowBytes + 1) * height_);
        for (uint32_t y = 0; y < height_; ++y) {
            raw.push_back(0);
            auto row = rgba_.begin() + ptrdiff_t(y * rowBytes);
            raw.insert(raw.end(), row, row + ptrdiff_t(rowBytes));
        }
        // A zlib stream of stored blocks.
        std::vector<uint8_t> zlib{0x78, 0x01};
        uint32_t a = 1, b = 0;
        for (uint8_t byte : raw) {
            a = (a + byte) % 65521;
            b = (b + a) % 65521;
        }
        size_t at = 0;
        do {
            size_t n = std::min<size_t>(65535, raw.size() - at);
            zlib.push_back(at + n == raw.size() ? 1 : 0);
            zlib.push_back(uint8_t(n));
            zlib.push_back(uint8_t(n >> 8));
            zlib.push_back(uint8_t(~n));
            zlib.push_back(uint8_t(~n >> 8));
            zlib.insert(zlib.end(), raw.begin() + ptrdiff_t(at), raw.begin() + ptrdiff_t(at + n));
            at += n;
        } while (at < raw.size());
        putBE32(zlib, (b << 16) | a);

        std::vector<uint8_t> header;
        putBE32(header, width_);
        putBE32(header, height_);
        header.insert(header.end(), {8, 6, 0, 0, 0});  // 8-bit RGBA, not interlaced

        std::vector<uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        putChunk(png, "IHDR", header);
        putChunk(png, "IDAT", zlib);
        putChunk(png, "IEND", {});
        return png;
    }

    uint32_t width_, height_;
    std::vector<uint8_t> rgba_;
};

}  // namespace

UIImagePtr scaleToSize(const UIImagePtr& image, CGSize size) {
    if (!image || !std::isfinite(size.width) || !std::isfinite(size.height)) return nullptr;
    if (size.width <= 0 || size.height <= 0) return nullptr;
    double width = std::ceil(size.width), height = std::ceil(size.height);
    if (width * height > double(UIImage::kMaxPixels)) return nullptr;
    BitmapContext context(static_cast<uint32_t>(width), static_cast<uint32_t>(height));
    context.drawImage(*image);
    return context.makeImage();
}
