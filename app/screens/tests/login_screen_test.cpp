// The sign-in screen on the stand-in back end: the code button, typing limits and signing in.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/screens/LoginViewController.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/JSON.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UIPasteboard.h"
#include "push/Lib/Controller/PUSHService.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/LoopbackServer.h"

namespace {

const char* const kEntry = "/viziDO/entry/appWeb.do";
const char* const kAccount = "13800138000";

UIButtonPtr buttonTitled(const UIViewPtr& view, const std::string& title) {
    if (auto button = std::dynamic_pointer_cast<UIButton>(view); button && button->currentTitle() == title)
        return button;
    for (const auto& subview : view->subviews()) {
        if (auto found = buttonTitled(subview, title)) return found;
    }
    return nullptr;
}

class LoginScreen : public WebScreenTest {
  protected:
    LoginScreen() {
        installLoginScreen();
        screen_ = std::dynamic_pointer_cast<LoginViewController>(AppScreens::makeLoginViewController());
        EXPECT_TRUE(screen_);
        window_ = UIWindow::create(UIScreen::mainScreen().bounds());
        window_->setRootViewController(screen_);
        window_->makeKeyAndVisible();
    }
    ~LoginScreen() override {
        // The other screens' tests expect the placeholder.
        AppScreens::registerMaker(AppScreens::Screen::Login, nullptr);
        screen_.reset();
    }
    static std::shared_ptr<THProgressHUD> hud() { return THProgressHUD::shareInstancetype(); }
    static std::string tipText() { return hud()->tipView() ? hud()->tipView()->label()->text() : ""; }
    static std::optional<Value> stored(const char* key) { return SaveService::objectForKey(key); }
    // Waits for the outcome of a request: a tip, a countdown other than `oldTimer` or another root screen.
    bool waitForOutcome(const std::shared_ptr<NSTimer>& oldTimer = nullptr) {
        return NSRunLoop::main().runUntil(
            [&] {
                return hud()->state() == THProgressHUDState::Tip ||
                       (screen_->timer() && screen_->timer() != oldTimer) ||
                       window_->rootViewController() != screen_;
            },
            kPageWait);
    }

    std::shared_ptr<LoginViewController> screen_;
};

TEST_F(LoginScreen, CodeButtonAlternatesMtypeAndCountsDownOnlyAfterASuccess) {
    LoopbackServer backend;
    ASSERT_TRUE(backend.isRunning());
    ASSERT_TRUE(AppConfig::setBaseURL(backend.url("")));
    auto button = screen_->codeBtn();
    screen_->phoneTF()->setText(kAccount);
    auto lastMtype = [&] {
        auto request = backend.lastRequest(kEntry);
        if (!request) return Value();
        auto body = NSJSONSerialization::JSONObjectWithData(Data::fromString(request->body), 0, nullptr);
        EXPECT_TRUE(body && (*body)["account"] == Value(kAccount) && (*body)["type"] == Value("1"));
        return body ? (*body)["mtype"] : Value();
    };

    // Two refusals, then a success: the requests alternate mtype whatever the outcome.
    const struct {
        const char* reply;
        const char* mtype;
        bool countsDown;
    } taps[] = {
        {R"({"errCode":1,"errInfo":"发送太频繁"})", "1", false},
        {R"({"errCode":1,"errInfo":"发送太频繁"})", "2", false},
        {R"({"errCode":0})", "1", true},
    };
    for (const auto& tap : taps) {
        SCOPED_TRACE(tap.mtype);
        THProgressHUD::resetForTesting();
        backend.reply(kEntry, LoopbackReply::json(tap.reply));
        button->sendActionsForControlEvents(UIControlEventTouchUpInside);
        EXPECT_EQ(hud()->state(), THProgressHUDState::Idle) << "a code request shows no loading indicator";
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(lastMtype(), Value(tap.mtype));
        EXPECT_EQ(button->isEnabled(), !tap.countsDown);
        EXPECT_EQ(bool(screen_->timer()), tap.countsDown);
        if (!tap.countsDown) {
            EXPECT_EQ(button->currentTitle(), kLoginCodeButtonTitle);
        }
    }

    // Seconds since the reply, and what the button shows then.
    const struct {
        double advance;
        bool enabled;
        const char* title;
    } ticks[] = {
        {0, false, "重新获取60S"},
        {59, false, "重新获取1S"},
        {1, true, "获取验证码"},
    };
    for (const auto& tick : ticks) {
        advance(tick.advance);
        EXPECT_EQ(button->isEnabled(), tick.enabled) << tick.title;
        EXPECT_EQ(button->currentTitle(), tick.title);
    }
    EXPECT_FALSE(screen_->timer());
    EXPECT_EQ(screen_->second(), kLoginCountdownSeconds);

    // A second success during a countdown (two requests were in flight) restarts it on a single timer.
    button->sendActionsForControlEvents(UIControlEventTouchUpInside);
    ASSERT_TRUE(waitForOutcome());
    advance(10);
    EXPECT_EQ(button->currentTitle(), "重新获取50S");
    auto first = screen_->timer();
    screen_->toCode();
    ASSERT_TRUE(waitForOutcome(first));
    EXPECT_FALSE(first->isValid());
    advance(1);
    EXPECT_EQ(button->currentTitle(), "重新获取59S");
}

TEST_F(LoginScreen, FieldsTakeChangesUpToTheirLimitInUTF16UnitsAndAlwaysDeletions) {
    enum class Key { Type, Delete, Paste };
    const struct {
        bool phone;
        const char* before;
        Key key;
        const char *text, *after;
    } cases[] = {
        {true, "1380013800", Key::Type, "0", "13800138000"},
        {true, "13800138000", Key::Type, "1", "13800138000"},
        {true, "1380013800", Key::Paste, "12345", "138001380012345"},
        {true, "1380013800012345", Key::Delete, "", "138001380001234"},
        {false, "123456", Key::Type, "7", "123456"},
        {false, "😀😀", Key::Type, "1", "😀😀1"},
        {false, "😀😀😀", Key::Type, "1", "😀😀😀"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.phone ? "phone " : "code ") + c.before + " + " + c.text);
        auto field = c.phone ? screen_->phoneTF() : screen_->codeTF();
        field->setText(c.before);
        ASSERT_TRUE(field->becomeFirstResponder());
        switch (c.key) {
            case Key::Type:
                EXPECT_TRUE(UIKeyboard::typeText(c.text));
                break;
            case Key::Delete:
                EXPECT_TRUE(UIKeyboard::pressDelete());
                break;
            case Key::Paste:
                UIPasteboard::generalPasteboard().setString(std::string(c.text));
                EXPECT_TRUE(UIKeyboard::paste());
                break;
        }
        EXPECT_EQ(field->text(), c.after);
    }
}

TEST_F(LoginScreen, SignInStoresTheTokenBindsThePushTagsAndReplacesTheRootWithTheMainScreen) {
    auto capture = CapturingLogger::create();
    PUSHLog::addLogger(capture, PUSHLogLevelAll);

    UIKeyboard::resetForTesting();
    ASSERT_TRUE(screen_->phoneTF()->becomeFirstResponder());
    ASSERT_TRUE(UIKeyboard::typeText(kAccount));
    buttonTitled(screen_->view(), kLoginCodeButtonTitle)
        ->sendActionsForControlEvents(UIControlEventTouchUpInside);
    ASSERT_TRUE(waitForOutcome());
    ASSERT_TRUE(screen_->timer()) << tipText();
    auto code = server_->liveCode(kAccount);
    ASSERT_TRUE(code);
    ASSERT_TRUE(screen_->codeTF()->becomeFirstResponder());
    ASSERT_TRUE(UIKeyboard::typeText(*code));

    buttonTitled(screen_->view(), kLoginButtonTitle)
        ->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(hud()->loadingCount(), 1);
    ASSERT_TRUE(waitForOutcome(screen_->timer()));
    settle();
    auto tokens = server_->tokens();
    ASSERT_EQ(tokens.size(), 1u) << tipText();
    EXPECT_EQ(stored(kSaveServiceAccessTokenKey), Value(tokens[0].token));
    EXPECT_EQ(stored(kSaveServiceAccountKey), Value(kAccount));

    ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
    PUSHLog::removeLogger(capture);
    auto messages = capture->messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](auto& m) {
        return m->message() == "Action - setTags:alias:fetchCompletionHandle:";
    }));

    auto navigation = std::dynamic_pointer_cast<BaseNavViewController>(window_->rootViewController());
    ASSERT_TRUE(navigation);
    auto main = std::dynamic_pointer_cast<MainViewController>(navigation->topViewController());
    ASSERT_TRUE(main);
    EXPECT_TRUE(waitForPage(main));
    EXPECT_EQ(hud()->loadingCount(), 0) << "the sign-in and the page load each took back their count";

    // Signing out from the page and in again leaves one main screen: the first one is let go.
    main->toLogin();
    settle();
    auto again = std::dynamic_pointer_cast<LoginViewController>(navigation->topViewController());
    ASSERT_TRUE(again);
    server_->scriptReply("2", EntryReply::json(R"({"errCode":0,"accessToken":"t2"})"));
    again->codeTF()->setText("123456");
    again->toLogin();
    ASSERT_TRUE(
        NSRunLoop::main().runUntil([&] { return window_->rootViewController() != navigation; }, kPageWait));
    std::weak_ptr<MainViewController> first = main;
    main.reset();
    navigation.reset();
    again.reset();
    settle();
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(window_->subviews().size(), 1u);
    EXPECT_FALSE(window_->rootViewController()->presentedViewController());
}

TEST_F(LoginScreen, AFailedSignInStoresNothingAndStays) {
    // A null reply: no request is made.
    const struct {
        const char *name, *code, *reply, *tip;
    } cases[] = {
        {"empty code", "", nullptr, kLoginEmptyCodeText},
        {"refused", "123456", R"({"errCode":1,"errInfo":"验证码错误"})", "验证码错误"},
        {"no token", "123456", R"({"errCode":0})", kLoginNoTokenText},
        {"token not a string", "123456", R"({"errCode":0,"accessToken":7})", kLoginNoTokenText},
    };
    SaveService::setObject(Value("old-token"), kSaveServiceAccessTokenKey);
    SaveService::setObject(Value("13900000000"), kSaveServiceAccountKey);
    screen_->phoneTF()->setText(kAccount);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        THProgressHUD::resetForTesting();
        if (c.reply) server_->scriptReply("2", EntryReply::json(c.reply));
        const size_t hits = server_->hits(kEntry);
        screen_->codeTF()->setText(c.code);
        screen_->toLogin();
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(server_->hits(kEntry), hits + (c.reply ? 1 : 0));
        EXPECT_EQ(tipText(), c.tip);
        EXPECT_EQ(hud()->loadingCount(), 0);
        EXPECT_EQ(window_->rootViewController(), screen_);
        EXPECT_EQ(stored(kSaveServiceAccessTokenKey), Value("old-token"));
        EXPECT_EQ(stored(kSaveServiceAccountKey), Value("13900000000"));
    }
}

}  // namespace
