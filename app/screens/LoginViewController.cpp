#include "app/screens/LoginViewController.h"

#include "app/hud/THProgressHUD.h"
#include "app/screens/BaseNavViewController.h"
#include "app/screens/MainViewController.h"
#include "app/tools/AppScreens.h"
#include "app/tools/LoginTool.h"
#include "app/tools/PushTagTool.h"
#include "app/tools/SaveService.h"
#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "platform/graphics/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIScrollView.h"

namespace {

UIColorPtr rgb(double red, double green, double blue) {
    return UIColor::colorWithRed(red / 255.0, green / 255.0, blue / 255.0, 1);
}
UIColorPtr accentColor() {
    return rgb(255, 80, 0);
}
UIColorPtr lightGrayColor() {
    return UIColor::colorWithWhite(2.0 / 3.0, 1);
}

constexpr CGFloat kFieldHeight = 48;
constexpr CGFloat kAccessoryWidth = 80;

std::string countdownTitle(uint32_t seconds) {
    return NSString::format(kLoginCountdownTitleFormat, {Value(seconds)});
}

// The clear 80 x 48 view at one side of a field.
UIViewPtr accessoryView() {
    auto view = UIView::create(CGRectMake(0, 0, kAccessoryWidth, kFieldHeight));
    view->setBackgroundColor(UIColor::clearColor());
    return view;
}

// A grey field with its label ("手机号", "验证码") and a separator in its left view.
UITextFieldPtr makeField(const std::string& placeholder, const std::string& label,
                         const std::weak_ptr<UITextFieldDelegate>& delegate) {
    auto field = UITextField::create();
    field->setBackgroundColor(rgb(235, 235, 235));
    field->setFont(UIFont::systemFontOfSize(14));
    field->layer().cornerRadius = 5;
    field->setClipsToBounds(true);
    field->setPlaceholder(placeholder);
    field->setDelegate(delegate);

    auto left = accessoryView();
    auto title = UILabel::create();
    title->setText(label);
    title->setTextColor(rgb(83, 83, 83));
    title->setFont(UIFont::systemFontOfSize(17));
    left->addSubview(title);
    lay_makeConstraints(title, [&](LAYConstraintMaker& make) {
        make.centerY().equalTo(left);
        make.left().equalTo(left).offset(9);
    });
    auto separator = UIView::create();
    separator->setBackgroundColor(rgb(220, 220, 220));
    left->addSubview(separator);
    lay_makeConstraints(separator, [&](LAYConstraintMaker& make) {
        make.centerY().equalTo(left);
        make.right().equalTo(left);
        make.height().equalTo(LAYBox(22));
    });
    field->setLeftView(left);
    field->setLeftViewMode(UITextFieldViewMode::Always);
    return field;
}

}  // namespace

std::shared_ptr<LoginViewController> LoginViewController::create() {
    return std::shared_ptr<LoginViewController>(new LoginViewController());
}

LoginViewController::~LoginViewController() {
    if (timer_) timer_->invalidate();
}

void LoginViewController::viewDidLoad() {
    BaseViewController::viewDidLoad();
    view()->setBackgroundColor(UIColor::whiteColor());
    setIsHideNav(true);
    isCode_ = false;
    second_ = kLoginCountdownSeconds;
    initUI();
}

void LoginViewController::initUI() {
    const CGFloat halfScreen = UIScreen::mainScreen().bounds().size.height / 2;
    auto root = view();
    std::weak_ptr<LoginViewController> weakSelf = self<LoginViewController>();

    auto scrollView = UIScrollView::create();
    root->addSubview(scrollView);
    lay_makeConstraints(scrollView, [&](LAYConstraintMaker& make) {
        make.edges().equalTo(root);
        make.width().equalTo(root);
    });

    auto content = UIView::create();
    content->setBackgroundColor(UIColor::whiteColor());
    scrollView->addSubview(content);

    auto header = UIView::create();
    header->setBackgroundColor(UIColor::whiteColor());
    content->addSubview(header);
    lay_makeConstraints(header, [&](LAYConstraintMaker& make) {
        make.left().right().top().equalTo(content);
        make.height().equalTo(LAYBox(halfScreen));
    });

    auto logo = UIImageView::createWithImage(UIImage::imageNamed("login.bundle/LOGO.jpg"));
    logo->layer().cornerRadius = 8;
    logo->setClipsToBounds(true);
    header->addSubview(logo);
    lay_makeConstraints(logo, [&](LAYConstraintMaker& make) {
        make.center().equalTo(header);
        make.width().height().equalTo(LAYBox(100));
    });

    phoneTF_ = makeField("请输入手机号", "手机号", weakSelf);
    phoneTF_->setKeyboardType(UIKeyboardType::NumberPad);
    content->addSubview(phoneTF_);
    lay_makeConstraints(phoneTF_, [&](LAYConstraintMaker& make) {
        make.top().equalTo(content).offset(halfScreen);
        make.left().equalTo(content).offset(20);
        make.right().equalTo(content).offset(-20);
        make.height().equalTo(LAYBox(kFieldHeight));
    });

    codeTF_ = makeField("请输入验证码", "验证码", weakSelf);
    content->addSubview(codeTF_);
    lay_makeConstraints(codeTF_, [&](LAYConstraintMaker& make) {
        make.top().equalTo(lay_bottom(phoneTF_)).offset(15);
        make.left().right().equalTo(phoneTF_);
        make.height().equalTo(LAYBox(kFieldHeight));
    });

    auto right = accessoryView();
    right->setUserInteractionEnabled(true);
    codeBtn_ = UIButton::buttonWithType(UIButtonType::Custom);
    codeBtn_->setTitle(kLoginCodeButtonTitle, UIControlStateNormal);
    codeBtn_->setTitleColor(accentColor(), UIControlStateNormal);
    codeBtn_->titleLabel()->setFont(UIFont::systemFontOfSize(14));
    codeBtn_->addTarget(
        weakSelf,
        [weakSelf](UIControl&) {
            if (auto self = weakSelf.lock()) self->toCode();
        },
        UIControlEventTouchUpInside);
    right->addSubview(codeBtn_);
    lay_makeConstraints(codeBtn_, [&](LAYConstraintMaker& make) {
        make.centerY().equalTo(right);
        make.right().equalTo(right).offset(-13);
    });
    codeTF_->setRightView(right);
    codeTF_->setRightViewMode(UITextFieldViewMode::Always);

    auto signIn = UIButton::buttonWithType(UIButtonType::Custom);
    signIn->setBackgroundColor(accentColor());
    signIn->setTitle(kLoginButtonTitle, UIControlStateNormal);
    signIn->setTitleColor(UIColor::whiteColor(), UIControlStateNormal);
    signIn->titleLabel()->setFont(UIFont::systemFontOfSize(17));
    signIn->layer().cornerRadius = 5;
    signIn->setClipsToBounds(true);
    signIn->addTarget(
        weakSelf,
        [weakSelf](UIControl&) {
            if (auto self = weakSelf.lock()) self->toLogin();
        },
        UIControlEventTouchUpInside);
    content->addSubview(signIn);
    lay_makeConstraints(signIn, [&](LAYConstraintMaker& make) {
        make.top().equalTo(lay_bottom(codeTF_)).offset(22);
        make.centerX().equalTo(content);
        make.width().equalTo(LAYBox(260));
        make.height().equalTo(LAYBox(40));
    });

    auto hintRow = UIView::create();
    hintRow->setBackgroundColor(UIColor::whiteColor());
    content->addSubview(hintRow);
    auto hintIcon = UIImageView::createWithImage(UIImage::imageNamed("login.bundle/remind"));
    hintRow->addSubview(hintIcon);
    auto hintText = UILabel::create();
    hintText->setText("新用户免注册登录");
    hintText->setTextColor(accentColor());
    hintText->setFont(UIFont::systemFontOfSize(10));
    hintRow->addSubview(hintText);
    lay_makeConstraints(hintIcon, [&](LAYConstraintMaker& make) {
        make.left().centerY().equalTo(hintRow);
        make.width().height().equalTo(LAYBox(15));
    });
    lay_makeConstraints(hintText, [&](LAYConstraintMaker& make) {
        make.left().equalTo(lay_right(hintIcon)).offset(3);
        make.centerY().equalTo(hintRow);
    });
    lay_makeConstraints(hintRow, [&](LAYConstraintMaker& make) {
        make.centerX().equalTo(content);
        make.top().equalTo(lay_bottom(signIn)).offset(51);
        make.right().equalTo(lay_right(hintText));
    });

    lay_makeConstraints(content, [&](LAYConstraintMaker& make) {
        make.edges().equalTo(scrollView);
        make.width().equalTo(scrollView);
        make.bottom().equalTo(lay_bottom(hintRow)).offset(50);
    });
}

void LoginViewController::toCode() {
    const std::string mtype = NSString::format("%ld", {Value(isCode_ ? 2 : 1)});
    std::weak_ptr<LoginViewController> weakSelf = self<LoginViewController>();
    LoginTool::loginToolSetCodeWithAccoynt(phoneTF_->text(), kLoginCodeRequestType, mtype, [weakSelf] {
        if (auto self = weakSelf.lock()) self->codeSent();
    });
    isCode_ = !isCode_;
}

void LoginViewController::codeSent() {
    // A reply that arrives while a countdown runs (two requests were in flight) starts it afresh.
    stopTimer();
    second_ = kLoginCountdownSeconds;
    std::weak_ptr<LoginViewController> weakSelf = self<LoginViewController>();
    timer_ =
        NSTimer::timerWithTimeInterval(1.0, Repeats::Yes, [weakSelf](const std::shared_ptr<NSTimer>& timer) {
            if (auto self = weakSelf.lock()) {
                self->toUpdateVerityCodeTime();
            } else {
                timer->invalidate();
            }
        });
    NSRunLoop::main().addTimer(timer_, NSDefaultRunLoopMode);
    codeBtn_->setEnabled(false);
    codeBtn_->setTitle(countdownTitle(second_), UIControlStateDisabled);
    codeBtn_->setTitleColor(lightGrayColor(), UIControlStateDisabled);
}

void LoginViewController::toUpdateVerityCodeTime() {
    if (second_ > 1) {
        --second_;
        codeBtn_->setTitle(countdownTitle(second_), UIControlStateDisabled);
        return;
    }
    codeBtn_->setEnabled(true);
    stopTimer();
    second_ = kLoginCountdownSeconds;
    codeBtn_->setTitle(kLoginCodeButtonTitle, UIControlStateNormal);
    codeBtn_->setTitleColor(accentColor(), UIControlStateNormal);
}

void LoginViewController::stopTimer() {
    if (!timer_) return;
    timer_->invalidate();
    timer_.reset();
}

void LoginViewController::toLogin() {
    const std::string code = codeTF_->text();
    if (code.empty()) {
        THProgressHUD::shareInstancetype()->showErrorTip(kLoginEmptyCodeText);
        return;
    }
    const std::string account = phoneTF_->text();
    std::weak_ptr<LoginViewController> weakSelf = self<LoginViewController>();
    LoginTool::loginToolDoLoginWithAccount(account, kLoginSignInType, code,
                                           [weakSelf, account](const Value& reply) {
                                               if (auto self = weakSelf.lock())
                                                   self->signedIn(account, reply);
                                           });
}

void LoginViewController::signedIn(const std::string& account, const Value& reply) {
    // A reply without a token (or with one that is no text) still signs in; no stale token stays behind.
    const Value* token = reply.find("accessToken");
    SaveService::setObject(token && token->isString() ? *token : Value(), kSaveServiceAccessTokenKey);
    // The account the reply was for, even if the field changed meanwhile.
    SaveService::setObject(Value(account), kSaveServiceAccountKey);
    PushTagTool::setPushTag();
    showMainScreen();
}

void LoginViewController::showMainScreen() {
    auto window = isViewLoaded() ? view()->window() : nullptr;
    if (!window) {
        NSLog("LoginViewController: not in a window, so there is no window to show the main screen in");
        return;
    }
    // The main screen becomes the window's root. Whatever was shown before (this screen, or the main screen
    // whose page signed the user out and pushed this one) is let go, so that signing out and in again never
    // piles one main screen on another.
    auto keepAlive = self<LoginViewController>();
    window->setRootViewController(
        BaseNavViewController::initWithRootViewController(MainViewController::create()));
}

bool LoginViewController::shouldChangeCharactersInRange(UITextField& textField, NSRange /*range*/,
                                                        const std::string& replacement) {
    if (replacement.empty()) return true;
    const size_t length = TextUtil::utf16Length(textField.text());
    if (&textField == phoneTF_.get()) return length < kLoginPhoneMaxLength;
    if (&textField == codeTF_.get()) return length < kLoginCodeMaxLength;
    return true;
}

void installLoginScreen() {
    AppScreens::registerMaker(AppScreens::Screen::Login, [] { return LoginViewController::create(); });
}
