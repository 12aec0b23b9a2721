// The HUD's action sheet: an optional title, an optional destructive button, the other buttons and an
// optional cancel button, each as wide as the screen, sliding up from the bottom edge of the HUD's window.
//
// Indexes: cancel 0; destructive 1; the other titles 1, 2, ... without a destructive title and 2, 3, ...
// with one. A nil or empty title makes no button; the other buttons keep their indexes.
//
// A press is reported once (a double tap reports one press), then the HUD is asked to close the sheet as
// long as this sheet is still the one the HUD shows.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIView.h"

class THProgressHUDActionSheet;

// Both callbacks are optional, and a press reaches one of them: the sheet calls the first, whose default
// passes the press on to the second with the sheet's userInfo. So a delegate that overrides the first
// receives only that one; one that overrides only the second receives the second.
class THProgressHUDActionSheetDelegate {
  public:
    virtual ~THProgressHUDActionSheetDelegate() = default;
    virtual void actionSheetView(const std::shared_ptr<THProgressHUDActionSheet>& actionSheet,
                                 long buttonIndex);
    virtual void actionSheetView(const std::shared_ptr<THProgressHUDActionSheet>& /*actionSheet*/,
                                 long /*buttonIndex*/, const Value& /*userInfo*/) {}
};

class THProgressHUDActionSheet : public UIView {
  public:
    // `destructiveButtonTitle` nullopt: no destructive button, and the other titles start at index 1.
    static std::shared_ptr<THProgressHUDActionSheet> create(
        const std::string& title, const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate,
        const std::string& cancelButtonTitle, const std::optional<std::string>& destructiveButtonTitle,
        const std::vector<std::string>& otherButtonTitles, Value userInfo);

    std::shared_ptr<THProgressHUDActionSheetDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<THProgressHUDActionSheetDelegate>& delegate) {
        delegate_ = delegate;
    }
    // The sheet's top against its superview's bottom: 0 just below the edge, minus the height fully up.
    NSLayoutConstraintPtr centerY() const { return centerY_; }
    void setCenterY(NSLayoutConstraintPtr centerY) { centerY_ = std::move(centerY); }
    const Value& userInfo() const { return userInfo_; }
    void setUserInfo(Value userInfo) { userInfo_ = std::move(userInfo); }

    const std::vector<std::shared_ptr<UIButton>>& buttons() const { return buttons_; }
    bool hasButtons() const { return !buttons_.empty(); }
    std::shared_ptr<UILabel> titleLabel() const { return titleLabel_; }

    // The action of every button: reports the button's tag.
    void actionSheetViewDidClickedButtonAtIndex(const UIButton& button);
    // Reports a press of `buttonIndex` (the first press only) and asks the HUD to close this sheet.
    void clickButtonAtIndex(long buttonIndex);

    // Slides up over 0.3 s.
    void show();
    // Back below the edge without animating; the caller animates the layout.
    void hide();
    // Slides down over 0.3 s, then leaves its superview.
    void remove();

    // Centres itself under its new superview, just below the visible area.
    void didMoveToSuperview() override;
    void layoutSubviews() override;

  protected:
    THProgressHUDActionSheet() : UIView(CGRectZero) {}

  private:
    void build(const std::string& title, const std::string& cancelTitle,
               const std::optional<std::string>& destructiveTitle,
               const std::vector<std::string>& otherTitles);
    void addButton(const std::string& title, long index, UIColorPtr titleColor, CGFloat gapAfterButton,
                   CGFloat gapAfterTitle);
    void animateLayout(std::function<void(bool)> completion);

    std::weak_ptr<THProgressHUDActionSheetDelegate> delegate_;
    NSLayoutConstraintPtr centerY_;
    Value userInfo_;

    CGFloat width_ = 0;
    std::shared_ptr<UILabel> titleLabel_;
    std::shared_ptr<UIView> titleBackdrop_;
    std::vector<std::shared_ptr<UIButton>> buttons_;
    std::vector<CGFloat> gaps_;  // the space above each button
    bool answered_ = false;
    bool up_ = false;  // shown and not hidden since
};

using THProgressHUDActionSheetPtr = std::shared_ptr<THProgressHUDActionSheet>;
