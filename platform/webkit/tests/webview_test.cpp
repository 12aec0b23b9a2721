// The web view on the engine against loopback pages: the delegate's order, DOM and XHR, navigation
// policy, scripts, stop, failures and the engine's faults, the shared cache, and the bridge end to end.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <tuple>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/tests/UITestFixture.h"
#include "platform/webkit/UIWebView.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TempDir.h"

namespace {

constexpr double kWait = 20;  // seconds of real time for the engine

LoopbackReply html(std::string body, int status = 200) {
    LoopbackReply reply = LoopbackReply::text(std::move(body), status);
    reply.contentType = "text/html; charset=utf-8";
    return reply;
}

// Records every delegate call as one line; answers shouldStart through `allow`.
struct RecordingWebDelegate : UIWebViewDelegate {
    std::vector<std::string> log;
    std::function<bool(const std::string& url)> allow = [](const std::string&) { return true; };
    std::function<void(UIWebView&)> onShould;
    std::vector<std::string> trusted;  // the navigations the view says the bridge's origin started
    std::function<void(UIWebView&)> onFinish;
    bool loadingAtStart = false;

    bool shouldStartLoadWithRequest(UIWebView& view, const NSURLRequest& request,
                                    UIWebViewNavigationType type) override {
        log.push_back("should " + request.URL()->absoluteString() + " " + std::to_string(long(type)));
        if (view.navigationIsFromBridgeOrigin()) trusted.push_back(request.URL()->absoluteString());
        if (onShould) onShould(view);
        return allow(request.URL()->absoluteString());
    }
    void webViewDidStartLoad(UIWebView& view) override {
        log.push_back("start");
        loadingAtStart = view.isLoading();
    }
    void webViewDidFinishLoad(UIWebView& view) override {
        log.push_back("finish");
        if (onFinish) onFinish(view);
    }
    void didFailLoadWithError(UIWebView&, const NSErrorPtr& error) override {
        log.push_back("fail " + std::to_string(error->code()));
    }
    size_t ends() const {
        return size_t(std::count_if(log.begin(), log.end(), [](const std::string& l) {
            return l == "finish" || l.rfind("fail", 0) == 0;
        }));
    }
};

class WebViewTest : public UITest {
  public:  // the rows of test tables use the helpers
    WebViewTest() {
        view_ = UIWebView::create({0, 0, 320, 480});
        view_->setDelegate(delegate_);
    }
    void load(const std::string& path) {
        view_->loadRequest(NSURLRequest(NSURL::URLWithString(server_.url(path))));
    }
    bool waitForEnds(size_t count) {
        return NSRunLoop::main().runUntil([&] { return delegate_->ends() >= count; }, kWait);
    }
    bool waitFor(const std::string& script, const std::string& value) {
        return NSRunLoop::main().runUntil([&] { return eval(script) == value; }, kWait);
    }
    std::string eval(const std::string& script) {
        return view_->stringByEvaluatingJavaScriptFromString(script);
    }
    std::vector<std::string> since(size_t from) const {
        return std::vector<std::string>(delegate_->log.begin() + long(from), delegate_->log.end());
    }

    LoopbackServer server_;
    std::shared_ptr<RecordingWebDelegate> delegate_ = std::make_shared<RecordingWebDelegate>();
    UIWebViewPtr view_;
};

TEST_F(WebViewTest, APageBuildsItsDOMFromXHRAndFetchAndIsReadLikeAScreen) {
    server_.reply("/data", LoopbackReply::json(R"({"name":"Ada","items":["one","two"]})"));
    server_.reply("/app", html(R"(<!DOCTYPE html><html><head><title>Loading</title></head><body>
        <div id="root"></div><script>
        const x = new XMLHttpRequest();
        x.open('GET', '/data');
        x.onload = () => {
          const d = JSON.parse(x.responseText);
          const root = document.getElementById('root');
          root.innerHTML = '<h1>Hello ' + d.name + '</h1><a href="/next">Next page</a>' +
            '<button onclick="document.title = \'tapped\'">Tap me</button><p style="display:none">hidden</p>';
          fetch('/data').then(r => r.json()).then(j => { document.title = 'Ready ' + j.items.length; });
        };
        x.send();
        </script></body></html>)"));
    load("/app");
    EXPECT_TRUE(delegate_->log.empty());  // the delegate is asked later, not from inside loadRequest
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(delegate_->log,
              (std::vector<std::string>{"should " + server_.url("/app") + " 5", "start", "finish"}));
    EXPECT_TRUE(delegate_->loadingAtStart);
    EXPECT_FALSE(view_->isLoading());
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->pageTitle() == "Ready 2"; }, kWait));
    std::vector<std::string> seen;
    for (auto& e : view_->pageElements())
        seen.push_back(std::to_string(int(e.kind)) + " " + e.text + " " + e.href);
    EXPECT_EQ(seen,
              (std::vector<std::string>{"0 Hello Ada ", "1 Next page " + server_.url("/next"), "2 Tap me "}));
    EXPECT_EQ(view_->links(), (std::vector<std::pair<std::string, std::string>>{{"Next page", "/next"}}));
    EXPECT_TRUE(view_->tapElement("Tap me"));
    EXPECT_FALSE(view_->tapElement("hidden"));
    EXPECT_EQ(view_->pageTitle(), "tapped");

    TempDir dir;
    std::string error;
    ASSERT_TRUE(view_->writeSnapshot(dir.path() + "/shot.png", &error)) << error;
    EXPECT_FALSE(view_->writeSnapshot("/nonexistent/dir/shot.png", &error));
    EXPECT_NE(error.find("/nonexistent/dir/shot.png"), std::string::npos);
}

TEST_F(WebViewTest, ScriptsAnswerAsTextAndReportTheirExceptions) {
    server_.reply("/page", html("<script>var n = 41;</script>"));
    load("/page");
    ASSERT_TRUE(waitForEnds(1));
    const struct {
        const char* script;
        const char* value;
        bool throws;
    } cases[] = {
        {"n + 1", "42", false},       {"'a' + 'b'", "ab", false}, {"n > 1", "true", false},
        {"undefined", "", false},     {"null", "", false},        {"({a: 1})", "", false},
        {"document.body", "", false}, {"(() => {})", "", false},  {"throw new Error('bad page')", "", true},
        {"nosuchname.x", "", true},
    };
    for (const auto& c : cases) {
        auto result = view_->evaluateJavaScript(c.script);
        EXPECT_EQ(result.value, c.value) << c.script;
        EXPECT_EQ(result.exception.has_value(), c.throws) << c.script;
    }
}

TEST_F(WebViewTest, FailuresStopAndSupersedingNavigationsEndEachLoadOnce) {
    server_.reply("/missing", html("<title>Not here</title>", 404));
    LoopbackReply slow = html("<title>Slow</title>");
    slow.delay = 30;
    server_.reply("/slow", slow);
    server_.reply("/fast", html("<title>Fast</title>"));
    std::string dead;
    {
        LoopbackServer gone;
        dead = gone.url("/page");
    }

    load("/missing");  // an HTTP error status still shows its page
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(delegate_->log.back(), "finish");
    EXPECT_EQ(view_->pageTitle(), "Not here");

    view_->loadRequest(NSURLRequest(NSURL::URLWithString(dead)));
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorCannotConnectToHost));

    load("/slow");
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->isLoading(); }, kWait));
    ASSERT_TRUE(server_.waitForHits("/slow", 1));
    view_->stopLoading();
    EXPECT_FALSE(view_->isLoading());
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorCancelled));
    const size_t heard = delegate_->log.size();
    view_->stopLoading();  // nothing in flight: nothing heard
    load("/slow");         // stopped before the delegate was asked: dropped unheard
    view_->stopLoading();
    NSRunLoop::main().runUntil([] { return false; }, 0.5);
    EXPECT_EQ(delegate_->log.size(), heard);

    load("/slow");  // a new navigation ends the load in flight first
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->isLoading(); }, kWait));
    load("/fast");
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] { return view_->pageTitle() == "Fast" && !view_->isLoading(); }, kWait));
    EXPECT_EQ(since(heard), (std::vector<std::string>{"should " + server_.url("/slow") + " 5", "start",
                                                      "should " + server_.url("/fast") + " 5", "fail -999",
                                                      "start", "finish"}));
}

TEST_F(WebViewTest, EveryNavigationAsksTheDelegateWithItsType) {
    server_.reply("/one",
                  html("<title>One</title><a href='/two'>Two</a><a href='sarnquil://login'>Sign in</a>"
                       "<a href='ftp://files.test/x'>Files</a><a href='#part'>Part</a>"
                       "<form action='/two' method='get'><input name='q' value='1'></form>"));
    server_.reply("/two", html("<title>Two</title>"));
    delegate_->allow = [](const std::string& url) { return url.rfind("sarnquil://", 0) != 0; };
    load("/one");
    ASSERT_TRUE(waitForEnds(1));
    const std::string one = server_.url("/one"), two = server_.url("/two");
    const struct {
        std::function<void(WebViewTest&)> act;
        std::vector<std::string> heard;
        const char* title;  // afterwards
    } cases[] = {
        {[](WebViewTest& t) { t.view_->activateLink("sarnquil://login"); },
         {"should sarnquil://login 0"},
         "One"},
        {[](WebViewTest& t) { t.view_->activateLink("Files"); },
         {"should ftp://files.test/x 0", "fail " + std::to_string(NSURLErrorUnsupportedURL)},
         "One"},
        {[](WebViewTest& t) { t.view_->activateLink("Part"); }, {"should " + one + "#part 0"}, "One"},
        {[](WebViewTest& t) { t.view_->activateLink("Two"); },
         {"should " + two + " 0", "start", "finish"},
         "Two"},
        {[](WebViewTest& t) { t.eval("history.back()"); },
         {"should " + one + "#part 2", "start", "finish"},
         "One"},
        {[](WebViewTest& t) { t.eval("document.forms[0].submit()"); },
         {"should " + two + "?q=1 1", "start", "finish"},
         "Two"},
        {[](WebViewTest& t) { t.view_->reload(); }, {"should " + two + "?q=1 3", "start", "finish"}, "Two"},
        {[](WebViewTest& t) { t.eval("location.href = '/one'"); },
         {"should " + one + " 5", "start", "finish"},
         "One"},
    };
    for (const auto& c : cases) {
        const size_t before = delegate_->log.size();
        c.act(*this);
        ASSERT_TRUE(NSRunLoop::main().runUntil(
            [&] { return delegate_->log.size() >= before + c.heard.size(); }, kWait));
        NSRunLoop::main().runUntil([&] { return !view_->isLoading() && view_->pageTitle() == c.title; },
                                   kWait);
        EXPECT_EQ(since(before), c.heard);
        EXPECT_EQ(view_->pageTitle(), c.title);
    }
}

TEST_F(WebViewTest, PagesComeFromTheEnginesCacheUntilTheSharedCacheIsCleared) {
    LoopbackReply cacheable = html("<title>Kept</title>");
    cacheable.headers.emplace_back("Cache-Control", "max-age=300");
    server_.reply("/kept", cacheable);
    server_.reply("/other", html("<title>Other</title>"));
    for (size_t round = 1; round <= 3; ++round) {
        if (round == 3) NSURLCache::sharedURLCache()->removeAllCachedResponses();
        load("/kept");
        ASSERT_TRUE(waitForEnds(2 * round - 1));
        EXPECT_EQ(view_->pageTitle(), "Kept");
        EXPECT_EQ(server_.hits("/kept"), round == 3 ? 2u : 1u);
        load("/other");
        ASSERT_TRUE(waitForEnds(2 * round));
    }
}

TEST_F(WebViewTest, DataWithABaseURLIsShownAtOnceWithoutTheDelegate) {
    for (const char* title :
         {"first", "caf\xc3\xa9"}) {  // one after the other, with the engine's events queued
        view_->loadData(Data::fromString(std::string("<title>") + title +
                                         "</title><script>var base = location.href;</script>"),
                        "", "utf-8", NSURL::URLWithString(server_.url("/base/")));
    }
    EXPECT_EQ(view_->pageTitle(), "caf\xc3\xa9");
    EXPECT_EQ(eval("base"), server_.url("/base/"));
    NSRunLoop::main().runUntil([] { return false; }, 0.3);
    EXPECT_TRUE(delegate_->log.empty());
    EXPECT_FALSE(view_->isLoading());
}

TEST_F(WebViewTest, NothingIsHeardAfterTheViewGoes) {
    server_.reply("/page", html("<title>x</title>"));
    std::weak_ptr<UIWebView> watch = view_;
    delegate_->onFinish = [&](UIWebView&) { view_.reset(); };  // dropped from its own callback
    load("/page");
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_TRUE(watch.expired());

    LoopbackReply slow = html("");
    slow.delay = 0.3;
    server_.reply("/slow", slow);
    delegate_->log.clear();
    view_ = UIWebView::create();
    view_->setDelegate(delegate_);
    load("/slow");
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] { return !delegate_->log.empty() && delegate_->log.back() == "start"; }, kWait));
    view_.reset();
    NSRunLoop::main().runUntil([] { return false; }, 0.8);  // the reply (0.3 s) would have arrived by now
    EXPECT_EQ(delegate_->log.back(), "start");
}

// A bridge with one mirrored value, one mirrored table, and acting calls that are recorded.
struct TestBridge : JSBridge {
    std::string origin;
    std::vector<std::string> calls;
    std::vector<JSBridgeMethod> bridgeMethods() const override {
        return {{"secret", {}, true, std::nullopt, ""},
                {"get", {JSArgumentKind::String}, true, "", ""},
                {"set", {JSArgumentKind::String, JSArgumentKind::String}, false, std::nullopt, "get"},
                {"act", {JSArgumentKind::String, JSArgumentKind::Bool}, false, std::nullopt, ""}};
    }
    Mirror mirror() const override {
        return {origin, {{"secret", Value("s3")}, {"get", Value(Value::Dictionary{{"k", Value("v")}})}}};
    }
    void bridgeCall(UIWebView&, const std::string& method, const JSArguments& a,
                    const JSBridgeCaller& caller) override {
        std::string line = method;
        for (auto& argument : a) line += " " + (argument ? argument->stringValue() : "nil");
        calls.push_back(line + " @" + caller.URL);
    }
};

// A bridge on `view` whose origin is `server`'s.
std::shared_ptr<TestBridge> bridgeOfOriginOf(UIWebView& view, const LoopbackServer& server) {
    auto bridge = std::make_shared<TestBridge>();
    bridge->origin = server.url("");
    view.setBridge("app", bridge);
    return bridge;
}

TEST_F(WebViewTest, TheEnginesFaultsEndTheLoadAndTheNextNavigationWorks) {
    LoopbackReply never = html("");
    never.delay = 60;
    server_.reply("/never", never);
    server_.reply("/fine", html("<title>Fine</title>"));

    // A page that never finishes ends with the request's timeout (on the platform clock).
    NSURLRequest request(NSURL::URLWithString(server_.url("/never")));
    request.setTimeoutInterval(5);
    view_->loadRequest(request);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->isLoading(); }, kWait));
    advance(4.9);
    turn();
    EXPECT_TRUE(view_->isLoading());
    advance(0.2);
    turn();
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorTimedOut));

    // The web process dies with a load in flight.
    load("/never");
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->isLoading(); }, kWait));
    view_->terminateWebProcessForTesting();
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorNetworkConnectionLost));
    load("/fine");
    ASSERT_TRUE(waitForEnds(3));
    EXPECT_EQ(delegate_->log.back(), "finish");
    EXPECT_EQ(view_->pageTitle(), "Fine");

    // A page's script that never ends holds the web process: a script that gets no answer ends it.
    Console::Capture capture;
    EXPECT_EQ(view_->evaluateJavaScript("for (;;) {}").exception, "the page did not answer in time");
    load("/fine");
    ASSERT_TRUE(waitForEnds(4));
    EXPECT_EQ(delegate_->log.back(), "finish");
    EXPECT_TRUE(capture.contains("stopped answering"));
}

// The engine's web processes: children of this program named by the engine.
std::vector<pid_t> webProcesses() {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = pid_t(atoi(entry->d_name));
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line)) continue;
        const size_t close = line.rfind(')');
        const std::string name = line.substr(line.find('(') + 1, close - line.find('(') - 1);
        pid_t parent = 0;
        char state = 0;
        if (sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == getpid() &&
            name.rfind("WebKitWebProces", 0) == 0)
            found.push_back(pid);
    }
    if (proc) closedir(proc);
    return found;
}

TEST_F(WebViewTest, AfterTheWebProcessIsKilledEveryViewReloadsThePageItAskedFor) {
    server_.reply("/one", html("<title>One</title>"));
    server_.reply("/two", html("<title>Two</title>"));
    auto other = UIWebView::create({0, 0, 320, 480});
    load("/one");
    other->loadRequest(NSURLRequest(NSURL::URLWithString(server_.url("/two"))));
    ASSERT_TRUE(waitForEnds(1));
    ASSERT_TRUE(
        NSRunLoop::main().runUntil([&] { return other->documentURL() == server_.url("/two"); }, kWait));
    const auto pids = webProcesses();
    ASSERT_FALSE(pids.empty());
    for (pid_t pid : pids) kill(pid, SIGKILL);
    // Both pages are gone with their process: the views no longer claim to show them.
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] { return view_->documentURL().empty() && other->documentURL().empty(); }, kWait));
    for (auto& [view, title] : {std::pair(view_, "One"), std::pair(other, "Two")}) {
        view->reload();
        EXPECT_TRUE(NSRunLoop::main().runUntil(
            [&, view = view, title = title] { return !view->isLoading() && view->pageTitle() == title; },
            kWait))
            << title;
    }
    EXPECT_EQ(since(delegate_->log.size() - 3),
              (std::vector<std::string>{"should " + server_.url("/one") + " 3", "start", "finish"}));
}

// A failed load leaves a blank page: a reload loads the page that was asked for, not the blank one.
TEST_F(WebViewTest, AReloadAfterAFailedLoadLoadsThePageAskedFor) {
    std::string url;
    {
        LoopbackServer down;
        url = down.url("/start");
    }
    view_->loadRequest(NSURLRequest(NSURL::URLWithString(url)));
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorCannotConnectToHost));
    view_->reload();
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(since(3), (std::vector<std::string>{"should " + url + " 3", "start",
                                                  "fail " + std::to_string(NSURLErrorCannotConnectToHost)}));
}

TEST_F(WebViewTest, AHungWebProcessHoldsTheMainThreadForAboutASecondAndIsReplacedByTheNextLoad) {
    server_.reply("/fine", html("<title>Fine</title>"));
    load("/fine");
    ASSERT_TRUE(waitForEnds(1));
    // Each wait on the engine is timed: the delegate runs a script, as the screens do.
    using Clock = std::chrono::steady_clock;
    double longest = 0;
    const auto timed = [&](const std::function<void()>& work) {
        const auto start = Clock::now();
        work();
        longest = std::max(longest, std::chrono::duration<double>(Clock::now() - start).count());
    };
    delegate_->onShould = [&](UIWebView& view) { timed([&] { view.evaluateJavaScript("1"); }); };
    eval("setTimeout(() => { for (;;) {} }, 0)");
    timed([&] { view_->reload(); });
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] {
            std::string title;
            timed([&] { title = view_->pageTitle(); });
            return delegate_->ends() >= 2 && title == "Fine";
        },
        kWait));
    EXPECT_EQ(delegate_->log.back(), "finish");
    EXPECT_LT(longest, 5.0);  // a second's wait, on a loaded machine
}

// A page's frames are part of its load: their requests go out, their scripts run, the page's load ends once.
TEST_F(WebViewTest, AFramesNavigationIsNoPageLoadAndARefusalStopsOnlyThatFrame) {
    LoopbackServer foreign;
    foreign.reply("/frame", html("<script>fetch('/ran')</script>"));
    foreign.reply("/ran", LoopbackReply::text("ok"));
    foreign.reply("/refused", html("refused"));
    server_.reply("/page", html("<title>Framed</title><iframe src='" + foreign.url("localhost", "/frame") +
                                "'></iframe><iframe src='" + foreign.url("/refused") + "'></iframe>"));
    delegate_->allow = [](const std::string& url) { return url.find("/refused") == std::string::npos; };
    load("/page");
    ASSERT_TRUE(waitForEnds(1));
    ASSERT_TRUE(foreign.waitForHits("/ran", 1, kWait));
    NSRunLoop::main().runUntil([] { return false; }, 0.3);
    std::vector<std::string> heard = delegate_->log;
    std::sort(heard.begin(), heard.end());
    std::vector<std::string> expected{"finish", "should " + foreign.url("/refused") + " 5",
                                      "should " + foreign.url("localhost", "/frame") + " 5",
                                      "should " + server_.url("/page") + " 5", "start"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(heard, expected);
    EXPECT_EQ(foreign.hits("/refused"), 0u);
    EXPECT_EQ(view_->pageTitle(), "Framed");
}

// Only the bridge's origin in the main frame, with no other origin on the way, starts a trusted navigation.
TEST_F(WebViewTest, ANavigationIsTrustedOnlyWhenTheBridgesOriginStartedItWithNoOtherOriginOnTheWay) {
    LoopbackServer foreign;
    bridgeOfOriginOf(*view_, server_);
    server_.reply("/home", html("<title>Home</title>"));
    server_.reply("/back", LoopbackReply::redirect(302, "sarnquil://back"));
    foreign.reply("/away", LoopbackReply::redirect(302, "sarnquil://away"));
    foreign.reply("/bounce", LoopbackReply::redirect(302, server_.url("/back")));
    foreign.reply("/frame", html("<script>location.href = 'sarnquil://frame'</script>"));
    foreign.reply("/page", html("<title>Foreign</title>"));
    server_.reply("/framed", html("<title>Framed</title><iframe src='" + foreign.url("localhost", "/frame") +
                                  "'></iframe>"));
    delegate_->allow = [](const std::string& url) { return url.rfind("sarnquil://", 0) != 0; };
    // The page shown, the script run in it ("" none), the link-scheme navigation then asked for, whether it
    // is trusted.
    const std::tuple<std::string, std::string, const char*, bool> cases[] = {
        {server_.url("/home"), "location.href = 'sarnquil://main'", "sarnquil://main", true},
        {server_.url("/home"), "location.href = '" + server_.url("/back") + "'", "sarnquil://back", true},
        {server_.url("/home"), "location.href = '" + foreign.url("/away") + "'", "sarnquil://away", false},
        {server_.url("/home"), "location.href = '" + foreign.url("/bounce") + "'", "sarnquil://back", false},
        {server_.url("/framed"), "", "sarnquil://frame", false},
        {server_.url("/framed"), "location.href = 'sarnquil://main'", "sarnquil://main", false},
        {foreign.url("localhost", "/page"), "location.href = 'sarnquil://main'", "sarnquil://main", false},
    };
    for (const auto& [page, script, asked, trusted] : cases) {
        SCOPED_TRACE(page + " " + script);
        delegate_->trusted.clear();
        delegate_->log.clear();
        const size_t ends = delegate_->ends();
        view_->loadRequest(NSURLRequest(NSURL::URLWithString(page)));
        ASSERT_TRUE(waitForEnds(ends + 1));
        // A frame's own navigation may be asked for before or after its page's load ends.
        ASSERT_EQ(std::count(delegate_->log.begin(), delegate_->log.end(), "finish"), 1)
            << ::testing::PrintToString(delegate_->log);
        if (!script.empty()) {
            delegate_->log.clear();
            eval(script);
        }
        const std::string wanted = std::string("should ") + asked + " ";
        ASSERT_TRUE(NSRunLoop::main().runUntil(
            [&] {
                return std::any_of(delegate_->log.begin(), delegate_->log.end(),
                                   [&](const std::string& line) { return line.rfind(wanted, 0) == 0; });
            },
            kWait))
            << ::testing::PrintToString(delegate_->log);
        EXPECT_EQ(std::count(delegate_->trusted.begin(), delegate_->trusted.end(), asked) > 0, trusted);
        ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return !view_->isLoading(); }, kWait));
    }
    delegate_->trusted.clear();
    view_->loadRequest(NSURLRequest(NSURL::URLWithString("sarnquil://app")));  // the app's own asking
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return !delegate_->trusted.empty(); }, kWait));
    EXPECT_EQ(delegate_->trusted.back(), "sarnquil://app");
}

TEST_F(WebViewTest, TheBridgeAnswersItsOriginAtOnceAndSendsCallsWithTheirDocument) {
    LoopbackServer foreign;
    auto bridge = bridgeOfOriginOf(*view_, server_);
    server_.reply("/home", html("<title>Home</title>"));
    foreign.reply("/away", html("<title>Away</title>"));
    const struct {
        bool foreign;
        const char* script;
        const char* value;
    } cases[] = {
        {false, "String(app.secret())", "s3"},
        {false, "app.get('k') + '|' + app.get('nothing') + '|' + app.get(null)", "v||"},
        {false, "app.set('n', 'x'); app.get('n')", "x"},
        {false, "app.act('one', 1); app.act(undefined); typeof app.act", "function"},
        {true, "String(app.secret()) + '|' + app.get('k')", "null|"},
        {true, "app.set('k', 'evil'); app.get('k')", ""},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        const LoopbackServer& host = c.foreign ? foreign : server_;
        const std::string url = host.url(c.foreign ? "/away" : "/home");
        if (view_->request().URL() == nullptr || view_->request().URL()->absoluteString() != url) {
            view_->loadRequest(NSURLRequest(NSURL::URLWithString(url)));
            ASSERT_TRUE(NSRunLoop::main().runUntil(
                [&] { return !view_->isLoading() && eval("typeof app + location.href") == "object" + url; },
                kWait));
        }
        EXPECT_EQ(eval(c.script), c.value) << c.script;
    }
    expected = {"set n x @" + server_.url("/home"), "act one 1 @" + server_.url("/home"),
                "act nil 0 @" + server_.url("/home"), "set k evil @" + foreign.url("/away")};
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return bridge->calls.size() >= expected.size(); }, kWait));
    EXPECT_EQ(bridge->calls, expected);

    // An answer for a document runs there only while it is shown.
    const uint64_t away = view_->currentDocument();
    ASSERT_NE(away, 0u);
    view_->evaluateInDocument(away, "document.title = 'answered'");
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->pageTitle() == "answered"; }, kWait));
    load("/home");
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] { return view_->currentDocument() != away && !view_->isLoading(); }, kWait));
    Console::Capture capture;
    view_->evaluateInDocument(away, "document.title = 'stolen'");
    NSRunLoop::main().runUntil([] { return false; }, 0.3);
    EXPECT_EQ(view_->pageTitle(), "Home");
    EXPECT_TRUE(capture.contains("dropped"));
}

// The launch image's hold: the engine begins loading the page out of sight, its scripts off and following
// nowhere, while nothing of the main loop runs; the hold lasts until the clock has moved on.
TEST_F(WebViewTest, TheLaunchHoldBeginsLoadingThePageWithoutItsScriptsAndRunsNothingOfTheMainLoop) {
    server_.reply("/start", html("<meta http-equiv='refresh' content='0; url=/elsewhere'>"
                                 "<p>Start</p><script>fetch('/ran')</script>"));
    server_.reply("/control", html("<p>Control</p><script>fetch('/control-ran')</script>"));
    bool mainLoopRan = false;
    DispatchQueue::main()->async([&] { mainLoopRan = true; });
    std::atomic<bool> holding{true};
    std::atomic<bool> askedDuringHold{false};
    std::thread mover([&] {
        askedDuringHold = server_.waitForHits("/start", 1, kWait);
        while (holding) {
            clock_.advance(0.5);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const double start = Clock::monotonic();
    UIWebView::holdWhileEngineStarts(2.0, server_.url("/start"));
    holding = false;
    mover.join();
    EXPECT_GE(Clock::monotonic() - start, 2.0);
    EXPECT_EQ(std::tuple(bool(askedDuringHold), mainLoopRan, delegate_->log.size()),
              std::tuple(true, false, 0u));
    // A page shown afterwards runs its script; by then the hidden one has long had its chance.
    load("/control");
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return server_.hits("/control-ran") > 0; }, kWait));
    EXPECT_EQ(std::pair(server_.hits("/ran"), server_.hits("/elsewhere")), std::pair(size_t(0), size_t(0)));
}

// Without a display server the engine cannot run: the view says so at once instead of hanging.
TEST(WebEngineStart, ADisplayServerThatCannotStartIsAClearError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, whose engine has not started
    EXPECT_EXIT(
        {
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            setenv("PATH", "/nonexistent", 1);
            auto view = UIWebView::create();
            auto result = view->evaluateJavaScript("1");
            std::fprintf(stderr, "script: %s\n", result.exception.value_or("answered").c_str());
            std::_Exit(result.value.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "did not start.*\n.*script: the web engine cannot run");
}

}  // namespace
