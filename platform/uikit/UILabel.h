// A read-only text view. Its intrinsic size comes from the headless text metrics of its font: one line
// when numberOfLines is 1, otherwise wrapped to preferredMaxLayoutWidth (when set) and limited to
// numberOfLines (0: no limit).
#pragma once

#include "platform/graphics/UIFont.h"
#include "platform/uikit/UIView.h"

enum class NSTextAlignment { Left = 0, Center = 1, Right = 2, Justified = 3, Natural = 4 };

class UILabel : public UIView {
  public:
    static std::shared_ptr<UILabel> create(CGRect frame = CGRectZero);

    const std::string& text() const { return text_; }
    void setText(std::string text);
    UIFontPtr font() const { return font_; }
    void setFont(UIFontPtr font);  // nil restores the default system font of 17
    UIColorPtr textColor() const { return textColor_; }
    void setTextColor(UIColorPtr color);  // nil restores black
    NSTextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(NSTextAlignment alignment) { alignment_ = alignment; }
    long numberOfLines() const { return numberOfLines_; }
    void setNumberOfLines(long lines);
    NSLineBreakMode lineBreakMode() const { return lineBreakMode_; }
    void setLineBreakMode(NSLineBreakMode mode) { lineBreakMode_ = mode; }
    CGFloat preferredMaxLayoutWidth() const { return preferredMaxLayoutWidth_; }
    void setPreferredMaxLayoutWidth(CGFloat width);

    CGSize intrinsicContentSize() const override;
    // The text's size within `size.width` (no limit when 0 or less).
    CGSize sizeThatFits(CGSize size) const override;
    std::string displayedText() const override { return text_; }

  protected:
    explicit UILabel(CGRect frame);
    std::string dumpDetails() const override;

  private:
    CGSize measure(CGFloat maxWidth) const;
    std::string text_;
    UIFontPtr font_;
    UIColorPtr textColor_;
    NSTextAlignment alignment_ = NSTextAlignment::Natural;
    long numberOfLines_ = 1;
    NSLineBreakMode lineBreakMode_ = NSLineBreakMode::ByTruncatingTail;
    CGFloat preferredMaxLayoutWidth_ = 0;
};

using UILabelPtr = std::shared_ptr<UILabel>;
