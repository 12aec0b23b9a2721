// Fonts and the headless text metrics.
//
// Nothing is drawn, so the metrics are a fixed rule that keeps sizes deterministic on every machine:
// an ASCII character advances 0.5 x the point size, any other character (CJK, emoji, accented letters)
// 1.0 x; a line is 1.2 x the point size high. Bold faces measure the same as regular ones.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"
#include "platform/graphics/Geometry.h"

class UIFont final : public Object {
  public:
    static std::shared_ptr<UIFont> systemFontOfSize(CGFloat size);
    static std::shared_ptr<UIFont> boldSystemFontOfSize(CGFloat size);
    // nil for an empty name or a size that is not positive.
    static std::shared_ptr<UIFont> fontWithName(const std::string& name, CGFloat size);
    static CGFloat systemFontSize() { return 14; }
    static CGFloat labelFontSize() { return 17; }

    const std::string& fontName() const { return name_; }
    CGFloat pointSize() const { return size_; }
    bool isBold() const { return bold_; }
    CGFloat lineHeight() const { return size_ * 1.2; }
    CGFloat ascender() const { return size_ * 0.95; }
    CGFloat descender() const { return -size_ * 0.25; }
    std::shared_ptr<UIFont> fontWithSize(CGFloat size) const;

    std::string description() const override;  // "<UIFont> font-family: \"...\"; font-size: 17"
    bool isEqual(const Object& other) const override;

  private:
    UIFont(std::string name, CGFloat size, bool bold) : name_(std::move(name)), size_(size), bold_(bold) {}
    std::string name_;
    CGFloat size_;
    bool bold_;
};

using UIFontPtr = std::shared_ptr<UIFont>;

enum class NSLineBreakMode {
    ByWordWrapping = 0,
    ByCharWrapping = 1,
    ByClipping = 2,
    ByTruncatingHead = 3,
    ByTruncatingTail = 4,
    ByTruncatingMiddle = 5,
};

namespace TextMetrics {
// Advance of one line of text without wrapping (no line breaks are interpreted).
CGFloat advance(std::string_view utf8, const UIFont& font);
// The size the text needs when wrapped to `maxWidth` (0 or less: no limit) and limited to `maxLines`
// (0: no limit). Word wrapping breaks after spaces and between wide characters, and breaks a word that does
// not fit a line by itself; character wrapping breaks anywhere. The truncating and clipping modes keep each
// paragraph on one line. Width and height are rounded up to whole points; empty text is 0 x 0.
CGSize boundingSize(std::string_view utf8, const UIFont& font, CGFloat maxWidth, int maxLines = 0,
                    NSLineBreakMode mode = NSLineBreakMode::ByWordWrapping);
}  // namespace TextMetrics
