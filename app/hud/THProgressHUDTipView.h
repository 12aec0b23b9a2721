// The tip card: an icon by type above a message; the card sizes itself to the message (80 points wide at
// least, the message wrapping at 180). A tip is read at a glance: a longer message (a back end may send
// megabytes) shows its first THProgressHUDTipMaxLength UTF-16 units and "…", so that measuring and wrapping
// it costs nothing noticeable.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIView.h"

// Tip types; any other value shows the message without an icon.
inline constexpr long THProgressHUDTipTypeSuccess = 0;
inline constexpr long THProgressHUDTipTypeDone = 1;
inline constexpr long THProgressHUDTipTypeError = 2;
inline constexpr long THProgressHUDTipTypeWarning = 3;
inline constexpr size_t THProgressHUDTipMaxLength = 200;

class THProgressHUDTipView : public UIView {
  public:
    static std::shared_ptr<THProgressHUDTipView> create(const std::string& tip, long tipType);

    std::shared_ptr<UIImageView> imageView() const { return imageView_; }
    std::shared_ptr<UILabel> label() const { return label_; }

    // Lays itself out at once, so that its bounds are known right after it has been added.
    void didMoveToSuperview() override;
    void layoutSubviews() override;

  protected:
    THProgressHUDTipView() : UIView(CGRectZero) {}

  private:
    void build(const std::string& tip, long tipType);

    std::shared_ptr<UIImageView> imageView_;
    std::shared_ptr<UILabel> label_;
};

using THProgressHUDTipViewPtr = std::shared_ptr<THProgressHUDTipView>;
