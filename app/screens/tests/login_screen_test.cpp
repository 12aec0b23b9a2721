// The sign-in screen on the stand-in back end: the code button, typing limits and signing in.
#include <tuple>

#include "app/screens/LoginViewController.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/JSON.h"
#include "platform/uikit/UIKeyboard.h"
#include "platform/uikit/UIPasteboard.h"
#include "platform/uikit/UITree.h"
#include "push/Lib/Controller/PUSHService.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/LoopbackServer.h"

namespace {

const char* const kEntry = "/viziDO/entry/appWeb.do";
const char* const kAccount = "13800138000";

// The button whose title label shows `title` (the label itself takes no touches).
UIButtonPtr buttonTitled(const std::string& title) {
    auto label = UITree::findView(title);
    return label ? std::dynamic_pointer_cast<UIButton>(label->superview()) : nullptr;
}

class LoginScreen : public WebScreenTest {
  protected:
    LoginScreen() {
        installLoginScreen();
        screen_ = std::dynamic_pointer_cast<LoginViewController>(AppScreens::makeLoginViewController());
        EXPECT_TRUE(screen_);
        show(screen_);
    }
    static std::shared_ptr<THProgressHUD> hud() { return THProgressHUD::shareInstancetype(); }
    static std::string tipText() { return hud()->tipView() ? hud()->tipView()->label()->text() : ""; }
    static std::optional<Value> stored(const char* key) { return SaveService::objectForKey(key); }
    // Waits for the outcome of a request: a tip, a countdown other than `oldTimer` or another root screen.
    bool waitForOutcome(const std::shared_ptr<NSTimer>& oldTimer = nullptr) {
        return until([&] {
            return hud()->state() == THProgressHUDState::Tip ||
                   (screen_->timer() && screen_->timer() != oldTimer) ||
                   window_->rootViewController() != screen_;
        });
    }

    std::shared_ptr<LoginViewController> screen_;
};

TEST_F(LoginScreen, CodeButtonAlternatesMtypeAndCountsDownOnlyAfterASuccess) {
    LoopbackServer backend;
    ASSERT_TRUE(backend.isRunning() && AppConfig::setBaseURL(backend.url("")));
    auto button = screen_->codeBtn();
    screen_->phoneTF()->setText(kAccount);
    // Two refusals, then a success: the requests alternate mtype whatever the outcome.
    for (const auto& [reply, mtype, countsDown] :
         {std::tuple(R"({"errCode":1,"errInfo":"发送太频繁"})", "1", false),
          std::tuple(R"({"errCode":1,"errInfo":"发送太频繁"})", "2", false),
          std::tuple(R"({"errCode":0})", "1", true)}) {
        THProgressHUD::resetForTesting();
        backend.reply(kEntry, LoopbackReply::json(reply));
        button->sendActionsForControlEvents(UIControlEventTouchUpInside);
        EXPECT_EQ(hud()->state(), THProgressHUDState::Idle) << "a code request shows no loading indicator";
        ASSERT_TRUE(waitForOutcome());
        auto body = NSJSONSerialization::JSONObjectWithData(
            Data::fromString(backend.lastRequest(kEntry)->body), 0, nullptr);
        EXPECT_EQ(body, Value::dictionary({{"account", kAccount}, {"type", "1"}, {"mtype", mtype}}));
        EXPECT_EQ(std::tuple(button->isEnabled(), bool(screen_->timer()), button->currentTitle()),
                  std::tuple(!countsDown, countsDown,
                             std::string(countsDown ? "重新获取60S" : kLoginCodeButtonTitle)));
    }
    // A minute on from the reply the button is back, on no timer.
    advance(59);
    EXPECT_EQ(std::pair(button->isEnabled(), button->currentTitle()),
              std::pair(false, std::string("重新获取1S")));
    advance(1);
    EXPECT_EQ(std::tuple(button->isEnabled(), button->currentTitle(), bool(screen_->timer())),
              std::tuple(true, std::string(kLoginCodeButtonTitle), false));
    // A second success during a countdown (two requests were in flight) restarts it on a single timer.
    button->sendActionsForControlEvents(UIControlEventTouchUpInside);
    ASSERT_TRUE(waitForOutcome());
    advance(10);
    auto first = screen_->timer();
    screen_->toCode();
    ASSERT_TRUE(waitForOutcome(first));
    EXPECT_FALSE(first->isValid());
    advance(1);
    EXPECT_EQ(button->currentTitle(), "重新获取59S");
}

TEST_F(LoginScreen, FieldsTakeChangesUpToTheirLimitInUTF16UnitsAndAlwaysDeletions) {
    // The field (phone, else code), its text, the key (typed text, "⌫" deletes, "+..." pastes), the result.
    const std::tuple<bool, std::string, std::string, std::string> rows[] = {
        {true, "1380013800", "0", "13800138000"},
        {true, "13800138000", "1", "13800138000"},
        {true, "1380013800", "+12345", "138001380012345"},
        {true, "1380013800012345", "⌫", "138001380001234"},
        {false, "😀😀", "1", "😀😀1"},
        {false, "😀😀😀", "1", "😀😀😀"}};
    for (const auto& [phone, before, key, after] : rows) {
        auto field = phone ? screen_->phoneTF() : screen_->codeTF();
        field->setText(before);
        ASSERT_TRUE(field->becomeFirstResponder());
        if (key[0] == '+') UIPasteboard::generalPasteboard().setString(key.substr(1));
        EXPECT_TRUE(key == "⌫"      ? UIKeyboard::pressDelete()
                    : key[0] == '+' ? UIKeyboard::paste()
                                    : UIKeyboard::typeText(key));
        EXPECT_EQ(field->text(), after) << before << " " << key;
    }
}

TEST_F(LoginScreen, SignInStoresTheTokenBindsThePushTagsAndReplacesTheRootWithTheMainScreen) {
    auto capture = CapturingLogger::create();
    PUSHLog::addLogger(capture, PUSHLogLevelAll);
    UIKeyboard::resetForTesting();
    ASSERT_TRUE(screen_->phoneTF()->becomeFirstResponder() && UIKeyboard::typeText(kAccount));
    buttonTitled(kLoginCodeButtonTitle)->sendActionsForControlEvents(UIControlEventTouchUpInside);
    ASSERT_TRUE(waitForOutcome());
    auto code = server_->liveCode(kAccount);
    ASSERT_TRUE(code) << tipText();
    ASSERT_TRUE(screen_->codeTF()->becomeFirstResponder() && UIKeyboard::typeText(*code));
    buttonTitled(kLoginButtonTitle)->sendActionsForControlEvents(UIControlEventTouchUpInside);
    EXPECT_EQ(hud()->loadingCount(), 1);
    ASSERT_TRUE(waitForOutcome(screen_->timer()));
    settle();
    auto tokens = server_->tokens();
    ASSERT_EQ(tokens.size(), 1u) << tipText();
    EXPECT_EQ(std::pair(stored(kSaveServiceAccessTokenKey), stored(kSaveServiceAccountKey)),
              std::pair(std::optional(Value(tokens[0].token)), std::optional(Value(kAccount))));
    ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
    PUSHLog::removeLogger(capture);
    auto messages = capture->messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](auto& m) {
        return m->message() == "Action - setTags:alias:fetchCompletionHandle:";
    })) << "the account is bound to the push client";

    auto navigation = std::dynamic_pointer_cast<BaseNavViewController>(window_->rootViewController());
    ASSERT_TRUE(navigation);
    auto main = std::dynamic_pointer_cast<MainViewController>(navigation->topViewController());
    ASSERT_TRUE(main && waitForPage(main));
    EXPECT_EQ(hud()->loadingCount(), 0) << "the sign-in and the page load each took back their count";
    // Signing out from the page and in again leaves one main screen: the first one is let go.
    main->toLogin();
    settle();
    auto again = std::dynamic_pointer_cast<LoginViewController>(navigation->topViewController());
    ASSERT_TRUE(again);
    server_->scriptReply("2", EntryReply::json(R"({"errCode":0,"accessToken":"t2"})"));
    again->codeTF()->setText("123456");
    again->toLogin();
    ASSERT_TRUE(until([&] { return window_->rootViewController() != navigation; }));
    std::weak_ptr<MainViewController> first = main;
    main.reset(), navigation.reset(), again.reset();
    settle();
    EXPECT_EQ(std::pair(first.expired(), window_->subviews().size()), std::pair(true, size_t(1)));
}

TEST_F(LoginScreen, AFailedSignInStoresNothingAndStays) {
    // The code, the back end's reply ("": no request is made), the tip.
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"", "", kLoginEmptyCodeText}, {"123456", R"({"errCode":1,"errInfo":"验证码错误"})", "验证码错误"}};
    SaveService::setObject(Value("old-token"), kSaveServiceAccessTokenKey);
    SaveService::setObject(Value("13900000000"), kSaveServiceAccountKey);
    screen_->phoneTF()->setText(kAccount);
    for (const auto& [code, reply, tip] : rows) {
        THProgressHUD::resetForTesting();
        if (!reply.empty()) server_->scriptReply("2", EntryReply::json(reply));
        const size_t hits = server_->hits(kEntry);
        screen_->codeTF()->setText(code);
        screen_->toLogin();
        ASSERT_TRUE(waitForOutcome());
        EXPECT_EQ(std::tuple(server_->hits(kEntry), tipText(), hud()->loadingCount(),
                             window_->rootViewController()),
                  std::tuple(hits + !reply.empty(), tip, 0, UIViewControllerPtr(screen_)))
            << reply;
        EXPECT_EQ(std::pair(stored(kSaveServiceAccessTokenKey), stored(kSaveServiceAccountKey)),
                  std::pair(std::optional(Value("old-token")), std::optional(Value("13900000000"))));
    }
}

TEST_F(LoginScreen, ASuccessWithoutATokenRemovesTheStoredOneKeepsTheAccountAndOpensTheMainScreen) {
    // Replies that succeed without a token that is text: none, one of another kind, no body at all.
    for (const char* reply : {R"({"errCode":0})", R"({"errCode":0,"accessToken":7})", ""}) {
        SCOPED_TRACE(reply);
        show(screen_);
        SaveService::setObject(Value("old-token"), kSaveServiceAccessTokenKey);
        SaveService::setObject(Value("13900000000"), kSaveServiceAccountKey);
        server_->scriptReply("2", EntryReply::json(reply));
        screen_->phoneTF()->setText(kAccount);
        screen_->codeTF()->setText("123456");
        screen_->toLogin();
        ASSERT_TRUE(waitForOutcome());
        settle();
        EXPECT_EQ(tipText(), "");
        EXPECT_EQ(std::pair(stored(kSaveServiceAccessTokenKey), stored(kSaveServiceAccountKey)),
                  std::pair(std::optional<Value>(), std::optional(Value(kAccount))));
        auto navigation = std::dynamic_pointer_cast<BaseNavViewController>(window_->rootViewController());
        ASSERT_TRUE(navigation);
        EXPECT_TRUE(std::dynamic_pointer_cast<MainViewController>(navigation->topViewController()));
    }
}

}  // namespace
