#include "platform/graphics/UIImage.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include <jpeglib.h>
#include <png.h>

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

bool decodePng(const Data& data, uint32_t& width, uint32_t& height, std::vector<uint8_t>& out) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data.bytes(), data.length())) return false;
    if (image.width == 0 || image.height == 0 ||
        uint64_t(image.width) * image.height > UIImage::kMaxPixels) {
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
    if (screenScale >= 3) candidates = {stem + "@3x" + ext, stem + "@2x" + ext, stem + ext};
    else if (screenScale >= 2) candidates = {stem + "@2x" + ext, stem + ext, stem + "@3x" + ext};
    else candidates = {stem + ext, stem + "@2x" + ext, stem + "@3x" + ext};
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
