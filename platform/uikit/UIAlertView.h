// The platform's alert: a title, a message, optional text inputs and buttons, centred over the dimmed
// screen (see UIDialogs.h for showing, stacking and closing).
//
// Button indexes: the cancel button, when there is one, is 0; the other titles follow in their order (from
// 0 when there is no cancel button); buttons added later come after them.
#pragma once

#include <optional>

#include "platform/uikit/UIDialogs.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UITextField.h"

class UIAlertView;

enum class UIAlertViewStyle { Default = 0, SecureTextInput, PlainTextInput, LoginAndPasswordInput };

// Every method is optional; without a delegate the alert just closes.
class UIAlertViewDelegate {
  public:
    virtual ~UIAlertViewDelegate() = default;
    virtual void clickedButtonAtIndex(UIAlertView&, long /*buttonIndex*/) {}
    virtual void willDismissWithButtonIndex(UIAlertView&, long /*buttonIndex*/) {}
    virtual void didDismissWithButtonIndex(UIAlertView&, long /*buttonIndex*/) {}
};

class UIAlertView : public UIDialogView {
  public:
    // A nullopt cancel title means no cancel button (an empty one is a button without text).
    static std::shared_ptr<UIAlertView> create(std::string title, std::string message,
                                               std::weak_ptr<UIAlertViewDelegate> delegate,
                                               std::optional<std::string> cancelButtonTitle,
                                               std::vector<std::string> otherButtonTitles = {});

    const std::string& title() const { return title_; }
    void setTitle(std::string title);
    const std::string& message() const { return message_; }
    void setMessage(std::string message);
    std::shared_ptr<UIAlertViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<UIAlertViewDelegate> delegate) { delegate_ = std::move(delegate); }

    UIAlertViewStyle alertViewStyle() const { return style_; }
    void setAlertViewStyle(UIAlertViewStyle style);
    // The style's inputs: secure or plain text has one (index 0); login has the login (0) and the
    // password (1). nullptr, with a console message, for an index the style does not have.
    UITextFieldPtr textFieldAtIndex(long index) const;

    long cancelButtonIndex() const { return cancelIndex_; }  // -1 when there is none
    long firstOtherButtonIndex() const;                      // -1 when there is none

    void show();

    std::string dialogTitle() const override { return title_; }
    std::string dialogMessage() const override { return message_; }

  protected:
    UIAlertView() = default;
    void notifyClicked(long index) override;
    void notifyWillDismiss(long index) override;
    void notifyDidDismiss(long index) override;
    void arrange() override;
    void didPresent() override;

  private:
    std::string title_, message_;
    std::weak_ptr<UIAlertViewDelegate> delegate_;
    UIAlertViewStyle style_ = UIAlertViewStyle::Default;
    long cancelIndex_ = -1;
    UILabelPtr titleLabel_, messageLabel_;
    std::vector<UITextFieldPtr> fields_;
};

using UIAlertViewPtr = std::shared_ptr<UIAlertView>;
