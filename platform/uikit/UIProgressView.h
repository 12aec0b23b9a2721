// A bar filled to `progress`, from 0 to 1 (values outside are clamped, NaN counts as 0). The animated
// setter changes the model value at once, like every headless animation.
#pragma once

#include "platform/uikit/UIView.h"

enum class UIProgressViewStyle : long { Default = 0, Bar = 1 };

class UIProgressView : public UIView {
  public:
    static std::shared_ptr<UIProgressView> create(UIProgressViewStyle style = UIProgressViewStyle::Default);

    UIProgressViewStyle progressViewStyle() const { return style_; }
    float progress() const { return progress_; }
    void setProgress(float progress) { setProgress(progress, false); }
    void setProgress(float progress, bool animated);

    CGSize intrinsicContentSize() const override;

  protected:
    explicit UIProgressView(UIProgressViewStyle style);
    std::string dumpDetails() const override;

  private:
    UIProgressViewStyle style_;
    float progress_ = 0;
};

using UIProgressViewPtr = std::shared_ptr<UIProgressView>;
