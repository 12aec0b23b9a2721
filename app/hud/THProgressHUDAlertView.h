// The HUD's modal alert: a white card 280 points wide with a title, a message, up to two text inputs and a
// row or a column of buttons.
//
// Buttons carry their index as their tag: the cancel title is index 0, the other titles 1, 2, ... in their
// order. A nil or empty title makes no button, and the other buttons keep their indexes. Exactly two buttons
// stand side by side; any other number is stacked.
//
// A press is reported once: to the delegate (`alertView(alert, index)`, then
// `alertView(alert, index, userInfo)`), then the HUD is asked to close the alert, as long as this alert is
// still the one the HUD shows (a delegate may have put something else up meanwhile). Later presses of the
// same alert (a double tap, a second button while it fades out) report nothing.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UITextField.h"
#include "platform/uikit/UIView.h"

class THProgressHUDAlertView;

// Alert styles: which text inputs the alert has.
inline constexpr long THProgressHUDAlertViewStyleDefault = 0;
inline constexpr long THProgressHUDAlertViewStyleSecureTextInput = 1;   // one secure input
inline constexpr long THProgressHUDAlertViewStylePlainTextInput = 2;    // one plain input
inline constexpr long THProgressHUDAlertViewStyleLoginAndPassword = 3;  // plain, then secure

// Both callbacks are optional; an alert calls both, in this order. The defaults do nothing.
class THProgressHUDAlertViewDelegate {
  public:
    virtual ~THProgressHUDAlertViewDelegate() = default;
    virtual void alertView(const std::shared_ptr<THProgressHUDAlertView>& /*alertView*/,
                           long /*buttonIndex*/) {}
    virtual void alertView(const std::shared_ptr<THProgressHUDAlertView>& /*alertView*/, long /*buttonIndex*/,
                           const Value& /*userInfo*/) {}
};

class THProgressHUDAlertView : public UIView, public UITextFieldDelegate {
  public:
    // `otherButtonTitles` follow the cancel title as indexes 1, 2, ...; the delegate is held weakly.
    static std::shared_ptr<THProgressHUDAlertView> create(
        const std::string& title, const std::string& message,
        const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate, long alertViewStyle,
        const std::string& cancelButtonTitle, const std::vector<std::string>& otherButtonTitles);

    // The text inputs of the style, or null; the delegate reads what was typed from them.
    std::shared_ptr<UITextField> plainTextInput() const { return plainTextInput_; }
    std::shared_ptr<UITextField> secureTextInput() const { return secureTextInput_; }

    const Value& userInfo() const { return userInfo_; }
    void setUserInfo(Value userInfo) { userInfo_ = std::move(userInfo); }
    std::shared_ptr<THProgressHUDAlertViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<THProgressHUDAlertViewDelegate>& delegate) {
        delegate_ = delegate;
    }
    NSLayoutConstraintPtr centerY() const { return centerY_; }
    void setCenterY(NSLayoutConstraintPtr centerY) { centerY_ = std::move(centerY); }

    // The buttons, in the order they were made (ascending index).
    const std::vector<std::shared_ptr<UIButton>>& buttons() const { return buttons_; }
    bool hasButtons() const { return !buttons_.empty(); }

    // The action of every button: reports the button's tag.
    void alertViewDidClickedButtonAtIndex(const UIButton& button);
    // Reports a press of `buttonIndex` (the first press only) and asks the HUD to close this alert.
    void clickButtonAtIndex(long buttonIndex);

    // While an input is edited the alert stands a quarter of the screen higher.
    void textFieldDidBeginEditing(UITextField& textField) override;
    void textFieldDidEndEditing(UITextField& textField) override;

    // Places the alert on its new superview's centre.
    void didMoveToSuperview() override;
    void layoutSubviews() override;

  protected:
    THProgressHUDAlertView() : UIView(CGRectZero) {}

  private:
    void build(const std::string& title, const std::string& message, long style,
               const std::string& cancelTitle, const std::vector<std::string>& otherTitles);
    void buildInputs(long style);
    std::shared_ptr<UITextField> addInput(bool secure);
    void moveForEditing(CGFloat offset);
    std::shared_ptr<UIView> makeDivider();
    void addButton(const std::string& title, long index, bool stacked);

    Value userInfo_;
    std::shared_ptr<UITextField> plainTextInput_;
    std::shared_ptr<UITextField> secureTextInput_;
    std::weak_ptr<THProgressHUDAlertViewDelegate> delegate_;
    NSLayoutConstraintPtr centerY_;

    std::shared_ptr<UILabel> titleLabel_;
    std::shared_ptr<UIView> firstDivider_;
    std::shared_ptr<UILabel> messageLabel_;
    std::vector<std::shared_ptr<UIView>> inputs_;
    std::shared_ptr<UIView> secondDivider_;
    std::vector<std::shared_ptr<UIButton>> buttons_;
    std::vector<std::shared_ptr<UIView>> buttonDividers_;  // under each stacked button but the last
    std::shared_ptr<UIView> pairDivider_;                  // between the buttons of a pair
    bool answered_ = false;
};

using THProgressHUDAlertViewPtr = std::shared_ptr<THProgressHUDAlertView>;
