// Test images: PNG bytes of a given pixel size, written by gdk-pixbuf.
#pragma once

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/graphics/UIImage.h"

namespace imagetest {

// An opaque PNG of `width` x `height` pixels, every pixel grey `shade`.
inline std::string pngBytes(uint32_t width, uint32_t height, uint8_t shade = 0x80) {
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, int(width), int(height));
    gdk_pixbuf_fill(pixbuf, uint32_t(shade) << 24 | uint32_t(shade) << 16 | uint32_t(shade) << 8 | 0xFF);
    gchar* buffer = nullptr;
    gsize size = 0;
    const bool saved = gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    std::string bytes = saved ? std::string(buffer, size) : std::string();
    g_free(buffer);
    g_object_unref(pixbuf);
    return bytes;
}

inline UIImagePtr image(uint32_t width, uint32_t height, double scale = 1) {
    return UIImage::imageWithData(Data::fromString(pngBytes(width, height)), scale);
}

}  // namespace imagetest
