// A spinner. While stopped it hides itself when `hidesWhenStopped` (the default); nothing turns.
#pragma once

#include "platform/uikit/UIView.h"

enum class UIActivityIndicatorViewStyle : long { WhiteLarge = 0, White = 1, Gray = 2 };

class UIActivityIndicatorView : public UIView {
  public:
    // Sized for the style (37 points for the large one, 20 otherwise), stopped and so hidden.
    static std::shared_ptr<UIActivityIndicatorView> create(
        UIActivityIndicatorViewStyle style = UIActivityIndicatorViewStyle::White);

    UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return style_; }
    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    // Takes effect at once on a stopped indicator.
    void setHidesWhenStopped(bool hides);

    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return animating_; }

    CGSize intrinsicContentSize() const override;
    CGSize sizeThatFits(CGSize) const override { return intrinsicContentSize(); }

  protected:
    explicit UIActivityIndicatorView(UIActivityIndicatorViewStyle style);
    std::string dumpDetails() const override;

  private:
    UIActivityIndicatorViewStyle style_;
    bool hidesWhenStopped_ = true;
    bool animating_ = false;
};

using UIActivityIndicatorViewPtr = std::shared_ptr<UIActivityIndicatorView>;
