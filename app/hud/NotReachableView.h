// A full-size placeholder for a screen whose content could not load for want of a network: on white, the
// Wi-Fi image ("base.bundle/wifi@2x.png") at 30 % of the height, the headline "连接失败" below it, the hint
// "请检查您的手机是否联网" below that and, in the form made with a reload target, a capsule button
// "重新加载" under the hint whose touch-up-inside runs the given action. Placed in plain frames from the
// view's frame at creation. Main thread only.
#pragma once

#include <memory>

#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"

class NotReachableView : public UIView {
  public:
    static std::shared_ptr<NotReachableView> create(CGRect frame);
    // With the reload button; `action` runs while `target` lives (an empty target: while the view lives).
    static std::shared_ptr<NotReachableView> create(CGRect frame, std::weak_ptr<void> target,
                                                    UIControl::Action action);

    // Builds the image and the two labels from the current frame, replacing any built before.
    void addImageViewAndLabel();

    const UILabelPtr& smallLabel() const { return smallLabel_; }
    void setSmallLabel(UILabelPtr label) { smallLabel_ = std::move(label); }
    const UILabelPtr& bigLabel() const { return bigLabel_; }
    void setBigLabel(UILabelPtr label) { bigLabel_ = std::move(label); }
    // The Wi-Fi image view, and the reload button (null in the form without one).
    const UIImageViewPtr& imageView() const { return imageView_; }
    const UIButtonPtr& reloadButton() const { return reloadButton_; }

  protected:
    explicit NotReachableView(CGRect frame);

  private:
    void addReloadButton(std::weak_ptr<void> target, UIControl::Action action);

    UILabelPtr smallLabel_;
    UILabelPtr bigLabel_;
    UIImageViewPtr imageView_;
    UIButtonPtr reloadButton_;
};

using NotReachableViewPtr = std::shared_ptr<NotReachableView>;
