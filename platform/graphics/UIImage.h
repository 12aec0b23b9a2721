// Images: PNG, JPEG, GIF (its first frame), TIFF, BMP and ICO decoded to 8-bit RGBA, with a size in points
// and a scale. The format is told by the data's signature, never by a name or a content type.
//
// Every constructor returns nil (nullptr) for a missing, unreadable, truncated or corrupt file, or for an
// image too large to decode (more than 64 megapixels); none of them throws or aborts.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/graphics/Geometry.h"

class UIImage final : public Object {
  public:
    // Looks the name up in the main bundle's resources ("logo", "base.bundle/back", "icon.jpg"), the variant
    // for the device's screen scale first (NSBundle::pathForImageNamed). The image keeps the name it was
    // asked for.
    static std::shared_ptr<UIImage> imageNamed(const std::string& name);
    // The same look-up in a given directory and for a given screen scale: without an extension ".png"; at
    // scale 2 "name@2x", then "name", then "name@3x".
    static std::shared_ptr<UIImage> imageNamed(const std::string& name, const std::string& directory,
                                               CGFloat screenScale);
    // The scale comes from the file name: "x@2x.png" is scale 2, "x@3x.png" scale 3, otherwise 1.
    static std::shared_ptr<UIImage> imageWithContentsOfFile(const std::string& path);
    static std::shared_ptr<UIImage> imageWithData(const Data& data, CGFloat scale = 1);

    CGSize size() const { return {pixelWidth_ / scale_, pixelHeight_ / scale_}; }
    CGFloat scale() const { return scale_; }
    uint32_t pixelWidth() const { return pixelWidth_; }
    uint32_t pixelHeight() const { return pixelHeight_; }
    // Row-major RGBA, 4 bytes a pixel, alpha not premultiplied.
    const std::vector<uint8_t>& rgba() const { return rgba_; }
    // The name given to `imageNamed`, or "" for images made from files and data.
    const std::string& name() const { return name_; }

    std::string description() const override;

    static constexpr uint64_t kMaxPixels = 64ull * 1024 * 1024;

  private:
    UIImage(uint32_t w, uint32_t h, std::vector<uint8_t> rgba, CGFloat scale)
        : pixelWidth_(w), pixelHeight_(h), rgba_(std::move(rgba)), scale_(scale) {}
    uint32_t pixelWidth_;
    uint32_t pixelHeight_;
    std::vector<uint8_t> rgba_;
    CGFloat scale_;
    std::string name_;
};

using UIImagePtr = std::shared_ptr<UIImage>;
