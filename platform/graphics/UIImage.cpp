#include "platform/graphics/UIImage.h"

#include <sys/stat.h>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <jpeglib.h>
#include <png.h>

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool decodePng(const Data& data, uint32_t& width, uint32_t& height, std::vector<uint8_t>& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.bytes(), data.length())) return false;
    if (image.width == 0 || image.height == 0 || uint64_t(image.width) * image.height > UIImage::kMaxPixels) {
        png_image_free(&image);
        return false;
    }
    image.format = PNG_FORMAT_RGBA;
    out.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    width = image.width;
    height = image.height;
    return true;
}

struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

[[noreturn]] void jpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegError*>(cinfo->err);
    std::longjmp(err->jump, 1);
}

void jpegSilence(j_common_ptr, int) {}

// Only plain C objects live in this frame between setjmp and a possible longjmp; the output vector is
// owned by the caller.
bool decodeJpeg(const Data& data, uint32_t& width, uint32_t& height, std::vector<uint8_t>& out) {
    jpeg_decompress_struct cinfo;
    JpegError err;
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.emit_message = jpegSilence;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.bytes(), static_cast<unsigned long>(data.length()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo);
    if (cinfo.output_width == 0 || cinfo.output_height == 0 ||
        uint64_t(cinfo.output_width) * cinfo.output_height > UIImage::kMaxPixels ||
        cinfo.output_components != 4) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    out.resize(size_t(cinfo.output_width) * cinfo.output_height * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out.data() + size_t(cinfo.output_scanline) * cinfo.output_width * 4;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    // A truncated stream is padded by the library with a warning; count it as corrupt.
    bool truncated = cinfo.err->num_warnings > 0;
    jpeg_finish_decompress(&cinfo);
    width = cinfo.output_width;
    height = cinfo.output_height;
    jpeg_destroy_decompress(&cinfo);
    return !truncated;
}

// GIF, TIFF, BMP and ICO go through gdk-pixbuf, each to the loader its signature names (never to a loader
// gdk-pixbuf would pick by guessing). A GIF gives its first frame.
const char* pixbufType(const Data& data) {
    const uint8_t* b = data.bytes();
    const size_t n = data.length();
    if (n >= 6 && (std::memcmp(b, "GIF87a", 6) == 0 || std::memcmp(b, "GIF89a", 6) == 0)) return "gif";
    if (n >= 4 && (std::memcmp(b, "II*\0", 4) == 0 || std::memcmp(b, "MM\0*", 4) == 0)) return "tiff";
    if (n >= 2 && b[0] == 'B' && b[1] == 'M') return "bmp";
    if (n >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 1 && b[3] == 0) return "ico";
    return nullptr;
}

uint32_t littleEndian32(const uint8_t* bytes) {
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// The BMP and ICO loaders show a cut-off file as far as it goes; their headers say how long it must be.
bool declaresMoreThanGiven(const char* type, const Data& data) {
    const uint8_t* b = data.bytes();
    const uint64_t n = data.length();
    if (std::strcmp(type, "bmp") == 0) return n < 14 || littleEndian32(b + 2) > n;
    if (std::strcmp(type, "ico") == 0) {
        if (n < 6) return true;
        const uint64_t count = uint64_t(b[4]) | uint64_t(b[5]) << 8;
        if (n < 6 + 16 * count) return true;
        for (uint64_t i = 0; i < count; ++i) {
            const uint8_t* entry = b + 6 + 16 * i;
            if (uint64_t(littleEndian32(entry + 8)) + littleEndian32(entry + 12) > n) return true;
        }
    }
    return false;
}

bool decodeWithPixbuf(const char* type, const Data& data, uint32_t& width, uint32_t& height,
                      std::vector<uint8_t>& out) {
    if (declaresMoreThanGiven(type, data)) return false;
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type(type, nullptr);
    if (!loader) return false;
    // Sizes are checked as soon as the header is read: asking for 0 x 0 makes the loader stop before it
    // allocates anything for an image over the bound.
    bool tooLarge = false;
    auto sizePrepared = +[](GdkPixbufLoader* l, gint w, gint h, gpointer flag) {
        if (w <= 0 || h <= 0 || uint64_t(w) * uint64_t(h) > UIImage::kMaxPixels) {
            *static_cast<bool*>(flag) = true;
            gdk_pixbuf_loader_set_size(l, 0, 0);
        }
    };
    g_signal_connect(loader, "size-prepared", G_CALLBACK(sizePrepared), &tooLarge);
    bool ok = gdk_pixbuf_loader_write(loader, data.bytes(), data.length(), nullptr) && !tooLarge;
    ok = gdk_pixbuf_loader_close(loader, nullptr) && ok && !tooLarge;
    GdkPixbuf* pixbuf = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
    ok = pixbuf && gdk_pixbuf_get_colorspace(pixbuf) == GDK_COLORSPACE_RGB &&
         gdk_pixbuf_get_bits_per_sample(pixbuf) == 8 && gdk_pixbuf_get_n_channels(pixbuf) >= 3;
    if (ok) {
        const int w = gdk_pixbuf_get_width(pixbuf);
        const int h = gdk_pixbuf_get_height(pixbuf);
        const int channels = gdk_pixbuf_get_n_channels(pixbuf);
        const int stride = gdk_pixbuf_get_rowstride(pixbuf);
        const uint8_t* pixels = gdk_pixbuf_read_pixels(pixbuf);
        ok = w > 0 && h > 0 && uint64_t(w) * uint64_t(h) <= UIImage::kMaxPixels;
        if (ok) {
            width = uint32_t(w);
            height = uint32_t(h);
            out.resize(size_t(w) * size_t(h) * 4);
            for (int y = 0; y < h; ++y) {
                const uint8_t* row = pixels + size_t(y) * size_t(stride);
                uint8_t* to = out.data() + size_t(y) * size_t(w) * 4;
                for (int x = 0; x < w; ++x, row += channels, to += 4) {
                    to[0] = row[0];
                    to[1] = row[1];
                    to[2] = row[2];
                    to[3] = channels >= 4 ? row[3] : 255;
                }
            }
        }
    }
    g_object_unref(loader);
    return ok;
}

// Regular files only; nothing here throws (a folder or an unreadable file is simply no data).
std::optional<Data> readFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::nullopt;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) return std::nullopt;
    return Data(std::move(bytes));
}

CGFloat scaleFromFileName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = file.find_last_of('.');
    std::string stem = dot == std::string::npos ? file : file.substr(0, dot);
    if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, "@2x") == 0) return 2;
    if (stem.size() > 3 && stem.compare(stem.size() - 3, 3, "@3x") == 0) return 3;
    return 1;
}

}  // namespace

std::shared_ptr<UIImage> UIImage::imageWithData(const Data& data, CGFloat scale) {
    if (!(scale > 0)) scale = 1;
    uint32_t w = 0, h = 0;
    std::vector<uint8_t> pixels;
    bool ok = false;
    if (data.length() >= 8 && std::memcmp(data.bytes(), kPngSignature, 8) == 0) {
        ok = decodePng(data, w, h, pixels);
    } else if (data.length() >= 3 && data.bytes()[0] == 0xFF && data.bytes()[1] == 0xD8 &&
               data.bytes()[2] == 0xFF) {
        ok = decodeJpeg(data, w, h, pixels);
    } else if (const char* type = pixbufType(data)) {
        ok = decodeWithPixbuf(type, data, w, h, pixels);
    }
    if (!ok) return nullptr;
    return std::shared_ptr<UIImage>(new UIImage(w, h, std::move(pixels), scale));
}

std::shared_ptr<UIImage> UIImage::imageWithContentsOfFile(const std::string& path) {
    if (path.empty()) return nullptr;
    auto data = readFile(path);
    if (!data) return nullptr;
    return imageWithData(*data, scaleFromFileName(path));
}

std::shared_ptr<UIImage> UIImage::imageNamed(const std::string& name, const std::string& directory,
                                             CGFloat screenScale) {
    if (name.empty() || directory.empty()) return nullptr;
    size_t slash = name.find_last_of('/');
    size_t dot = name.find_last_of('.');
    bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    std::string stem = hasExtension ? name.substr(0, dot) : name;
    std::string ext = hasExtension ? name.substr(dot) : ".png";
    std::vector<std::string> candidates;
    if (screenScale >= 3)
        candidates = {stem + "@3x" + ext, stem + "@2x" + ext, stem + ext};
    else if (screenScale >= 2)
        candidates = {stem + "@2x" + ext, stem + ext, stem + "@3x" + ext};
    else
        candidates = {stem + ext, stem + "@2x" + ext, stem + "@3x" + ext};
    for (const auto& candidate : candidates) {
        auto image = imageWithContentsOfFile(directory + "/" + candidate);
        if (image) {
            image->name_ = name;
            return image;
        }
    }
    return nullptr;
}

std::string UIImage::description() const {
    std::string text = "<UIImage> size {" + valuetext::formatDouble(size().width) + ", " +
                       valuetext::formatDouble(size().height) + "} scale " + valuetext::formatDouble(scale_);
    if (!name_.empty()) text += " named \"" + name_ + "\"";
    return text;
}
