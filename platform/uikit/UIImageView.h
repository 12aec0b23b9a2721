// A view that shows an image; its intrinsic size is the image's size in points.
#pragma once

#include "platform/graphics/UIImage.h"
#include "platform/uikit/UIView.h"

class UIImageView : public UIView {
  public:
    static std::shared_ptr<UIImageView> create(CGRect frame = CGRectZero);
    // A view sized to the image (zero size for nil).
    static std::shared_ptr<UIImageView> createWithImage(UIImagePtr image);

    UIImagePtr image() const { return image_; }
    void setImage(UIImagePtr image);
    UIImagePtr highlightedImage() const { return highlightedImage_; }
    void setHighlightedImage(UIImagePtr image) { highlightedImage_ = std::move(image); }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool highlighted) { highlighted_ = highlighted; }

    CGSize intrinsicContentSize() const override;
    CGSize sizeThatFits(CGSize size) const override;

  protected:
    explicit UIImageView(CGRect frame);
    std::string dumpDetails() const override;

  private:
    UIImagePtr image_;
    UIImagePtr highlightedImage_;
    bool highlighted_ = false;
};

using UIImageViewPtr = std::shared_ptr<UIImageView>;
