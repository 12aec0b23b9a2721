// The sign-in screen: a phone number and an SMS code; no separate registration.
//
// Code button ("获取验证码"): each tap asks the back end for a code (mtype "1", then "2", "1", ...,
// flipped whatever the outcome). When a request succeeds the button is disabled and counts down
// "重新获取60S" ... "重新获取1S", one second apart on a repeating timer in the main run loop's default
// mode (it pauses while a touch is tracked), and is usable again 60 seconds after the reply. A further
// successful reply during a countdown starts it afresh at 60 with a new timer; the old one is stopped.
// A failed request (shown by the request tool as a HUD tip) leaves the button as it was.
//
// Sign in ("登录"): an empty code gives the tip "验证码不能为空" and sends nothing. Otherwise the account
// and code go to the back end with the loading indicator. A successful reply stores its `accessToken`
// under AccessToken (a reply without one, or with one that is no text, removes the key) and the account
// under Account, binds the account to the push client and makes the main web screen in its navigation
// controller the window's root (what the window showed before goes, so signing out and in again leaves
// one main screen).
//
// Typing: the phone field takes changes while it holds at most 10 UTF-16 units, the code field while it
// holds at most 5 (so 11 and 6 characters are typed one at a time); deleting is always allowed.
//
// The screen holds its countdown timer; the timer does not hold the screen, and a screen that goes away
// stops it. Main thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/screens/BaseViewController.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UITextField.h"

inline constexpr uint32_t kLoginCountdownSeconds = 60;
inline constexpr size_t kLoginPhoneMaxLength = 11;
inline constexpr size_t kLoginCodeMaxLength = 6;
inline constexpr const char* kLoginCodeButtonTitle = "获取验证码";
inline constexpr const char* kLoginCountdownTitleFormat = "重新获取%ldS";
inline constexpr const char* kLoginButtonTitle = "登录";
inline constexpr const char* kLoginEmptyCodeText = "验证码不能为空";
// The type of each back-end operation.
inline constexpr const char* kLoginCodeRequestType = "1";
inline constexpr const char* kLoginSignInType = "2";

class LoginViewController : public BaseViewController, public UITextFieldDelegate {
  public:
    static std::shared_ptr<LoginViewController> create();
    ~LoginViewController() override;

    void viewDidLoad() override;
    void initUI();

    // The code button's action.
    void toCode();
    // The countdown timer's action.
    void toUpdateVerityCodeTime();
    // The sign-in button's action (also what the page bridge's toLogin does on this screen).
    void toLogin() override;
    void toVoiceCode() {}

    bool shouldChangeCharactersInRange(UITextField& textField, NSRange range,
                                       const std::string& replacement) override;

    UITextFieldPtr phoneTF() const { return phoneTF_; }
    UITextFieldPtr codeTF() const { return codeTF_; }
    UIButtonPtr codeBtn() const { return codeBtn_; }
    std::shared_ptr<NSTimer> timer() const { return timer_; }
    uint32_t second() const { return second_; }
    bool isCode() const { return isCode_; }

  protected:
    LoginViewController() = default;

  private:
    void codeSent();
    void signedIn(const std::string& account, const Value& reply);
    // A new main screen in its navigation controller as the root of this screen's window.
    void showMainScreen();
    void stopTimer();

    UITextFieldPtr phoneTF_;
    UITextFieldPtr codeTF_;
    UIButtonPtr codeBtn_;
    std::shared_ptr<NSTimer> timer_;
    uint32_t second_ = kLoginCountdownSeconds;
    bool isCode_ = false;
};

using LoginViewControllerPtr = std::shared_ptr<LoginViewController>;

// Registers the sign-in screen with AppScreens; calling it again changes nothing. The application delegate
// calls it at launch.
void installLoginScreen();
