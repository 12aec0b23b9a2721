// Page loads against the loopback server: the order of delegate calls, scripts, failures, stop, reload,
// navigation from scripts and links, blocked schemes, and the page's context.
#include <gtest/gtest.h>

#include "platform/foundation/Console.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/tests/UITestFixture.h"
#include "platform/webkit/UIWebView.h"
#include "testsupport/LoopbackServer.h"

namespace {

LoopbackReply html(std::string body, int status = 200) {
    LoopbackReply reply = LoopbackReply::text(std::move(body), status);
    reply.contentType = "text/html; charset=utf-8";
    return reply;
}

LoopbackReply script(std::string body) {
    LoopbackReply reply = LoopbackReply::text(std::move(body));
    reply.contentType = "application/javascript";
    return reply;
}

// Records every delegate call as one line; answers shouldStart through `allow`.
struct RecordingWebDelegate : UIWebViewDelegate {
    std::vector<std::string> log;
    std::function<bool(const std::string& url)> allow = [](const std::string&) { return true; };
    std::function<void(UIWebView&)> onFinish;
    bool loadingAtStart = false;

    bool shouldStartLoadWithRequest(UIWebView&, const NSURLRequest& request,
                                    UIWebViewNavigationType type) override {
        log.push_back("should " + request.URL()->absoluteString() + " " + std::to_string(long(type)));
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
};

class WebViewTest : public UITest {
  protected:
    WebViewTest() {
        view_ = UIWebView::create({0, 0, 320, 480});
        view_->setDelegate(delegate_);
    }
    void load(const std::string& path) {
        view_->loadRequest(NSURLRequest(NSURL::URLWithString(server_.url(path))));
    }
    // Runs the main loop (bounded, real time) until the delegate has heard `count` ends in all.
    bool waitForEnds(size_t count) {
        return NSRunLoop::main().runUntil(
            [&] {
                return size_t(std::count_if(delegate_->log.begin(), delegate_->log.end(),
                                            [](const std::string& l) {
                                                return l == "finish" || l.rfind("fail", 0) == 0;
                                            })) >= count;
            },
            10);
    }
    std::string eval(const std::string& script) {
        return view_->stringByEvaluatingJavaScriptFromString(script);
    }

    LoopbackServer server_;
    std::shared_ptr<RecordingWebDelegate> delegate_ = std::make_shared<RecordingWebDelegate>();
    UIWebViewPtr view_;
};

TEST_F(WebViewTest, LoadRunsScriptsInDocumentOrderThenFinishes) {
    server_.reply("/page", html(R"(<!DOCTYPE html><html><head><title>  Front
        page </title>
        <script>var order = ['inline-1'];</script>
        <script src="lib/ext.js"></script>
        <script type="text/template">order.push('template');</script>
        <script type="module">order.push('module');</script>
        <script type="TEXT/JavaScript">if (order.length < 3 && true) order.push('typed');</script>
        </head><body><script>order.push('inline-2'); document.title = document.title + '!';</script>
        <a href="/next">Next <b>page</b></a></body></html>)"));
    server_.reply("/lib/ext.js", script("order.push('external');"));

    load("/page");
    EXPECT_TRUE(delegate_->log.empty());  // the delegate is asked later, not from inside loadRequest
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(delegate_->log,
              (std::vector<std::string>{"should " + server_.url("/page") + " 5", "start", "finish"}));
    EXPECT_TRUE(delegate_->loadingAtStart);
    EXPECT_FALSE(view_->isLoading());
    EXPECT_EQ(eval("order.join()"), "inline-1,external,typed,inline-2");
    EXPECT_EQ(view_->pageTitle(), "Front page!");
    EXPECT_EQ(view_->links(), (std::vector<std::pair<std::string, std::string>>{{"Next page", "/next"}}));
}

TEST_F(WebViewTest, FailuresErrorStatusesAndHostileScripts) {
    server_.reply("/missing", html("<title>Not here</title><script>var shown = true;</script>", 404));
    load("/missing");
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(delegate_->log.back(), "finish");  // an HTTP error status still shows its page
    EXPECT_EQ(view_->pageTitle(), "Not here");
    EXPECT_EQ(eval("String(shown)"), "true");

    // A script that cannot be fetched is skipped; the page still finishes.
    server_.reply("/broken", html("<script src='/nope.js'></script><script>var after = 1;</script>"));
    Console::Capture capture;
    load("/broken");
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(delegate_->log.back(), "finish");
    EXPECT_EQ(eval("after"), "1");
    EXPECT_TRUE(capture.contains("skipped the script " + server_.url("/nope.js") + ": status 404"));

    // Nothing listens on a stopped server's port: a transport failure.
    std::string dead;
    {
        LoopbackServer gone;
        dead = gone.url("/page");
    }
    view_->loadRequest(NSURLRequest(NSURL::URLWithString(dead)));
    ASSERT_TRUE(waitForEnds(3));
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorCannotConnectToHost));
    EXPECT_FALSE(view_->isLoading());

    // Scripts that throw or loop (even catching the stop) are reported; the later ones run and the page
    // finishes.
    view_->setScriptTimeLimit(0.2);
    server_.reply("/hostile", html("<script>while (true) {}</script>"
                                   "<script>throw new Error('bad page');</script>"
                                   "<script>for (;;) { try { while (true) {} } catch (e) {} }</script>"
                                   "<script>var survived = 'yes';</script>"));
    load("/hostile");
    ASSERT_TRUE(waitForEnds(4));
    EXPECT_EQ(delegate_->log.back(), "finish");
    EXPECT_EQ(eval("survived"), "yes");
    EXPECT_TRUE(capture.contains("JavaScript exception: Error: bad page"));
    EXPECT_TRUE(capture.contains("script stopped: it ran longer than 0.2 seconds"));
}

TEST_F(WebViewTest, StopEndsALoadInFlightWithCancelled) {
    LoopbackReply slow = html("<script>var late = 1;</script>");
    slow.delay = 3;
    server_.reply("/slow", slow);
    load("/slow");
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->isLoading(); }, 5));
    ASSERT_TRUE(server_.waitForHits("/slow", 1));
    view_->stopLoading();
    EXPECT_FALSE(view_->isLoading());
    EXPECT_EQ(delegate_->log.back(), "fail " + std::to_string(NSURLErrorCancelled));
    view_->stopLoading();  // nothing in flight: nothing heard
    turn();
    EXPECT_EQ(delegate_->log.size(), 3u);

    // Stop before the delegate was asked: the navigation is dropped unheard.
    load("/slow");
    view_->stopLoading();
    turn();
    EXPECT_EQ(delegate_->log.size(), 3u);

    // A new navigation ends the load in flight first.
    server_.reply("/fast", html("<title>Fast</title>"));
    load("/slow");
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return view_->isLoading(); }, 5));
    load("/fast");
    ASSERT_TRUE(waitForEnds(3));
    EXPECT_EQ(
        std::vector<std::string>(delegate_->log.begin() + 3, delegate_->log.end()),
        (std::vector<std::string>{"should " + server_.url("/slow") + " 5", "start",
                                  "should " + server_.url("/fast") + " 5", "fail -999", "start", "finish"}));
    EXPECT_EQ(view_->pageTitle(), "Fast");
}

TEST_F(WebViewTest, ReloadAndScriptNavigationAskTheDelegateWithTheirType) {
    server_.reply("/one", html("<title>One</title>"
                               "<script>if (!window.sessionDone) setTimeout(function () {"
                               " location.href = 'two?from=one'; }, 10);</script>"));
    server_.reply("/two", html("<title>Two</title><script>function again() { location.reload(); }</script>"));
    load("/one");
    ASSERT_TRUE(waitForEnds(1));
    advance(0.01);  // the page's timer navigates
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(delegate_->log,
              (std::vector<std::string>{"should " + server_.url("/one") + " 5", "start", "finish",
                                        "should " + server_.url("/two") + "?from=one 5", "start", "finish"}));
    EXPECT_EQ(view_->pageTitle(), "Two");

    delegate_->log.clear();
    eval("again()");
    ASSERT_TRUE(waitForEnds(1));
    view_->reload();
    ASSERT_TRUE(waitForEnds(2));
    const std::string two = "should " + server_.url("/two") + "?from=one 3";
    EXPECT_EQ(delegate_->log, (std::vector<std::string>{two, "start", "finish", two, "start", "finish"}));

    // A refused navigation leaves the page as it is.
    delegate_->log.clear();
    delegate_->allow = [](const std::string& url) { return url.find("/one") == std::string::npos; };
    eval("location.assign('/one')");
    turn();
    EXPECT_EQ(delegate_->log, std::vector<std::string>{"should " + server_.url("/one") + " 5"});
    EXPECT_EQ(view_->pageTitle(), "Two");
    EXPECT_FALSE(view_->isLoading());
}

TEST_F(WebViewTest, LinksAndSchemesTheViewCannotLoad) {
    server_.reply("/links", html("<a href='/target'>Go on</a><a href='sarnquil://login'>Sign in</a>"
                                 "<a href='ftp://files.test/x'>Files</a>"));
    server_.reply("/target", html("<title>Target</title>"));
    delegate_->allow = [](const std::string& url) { return url.rfind("sarnquil://", 0) != 0; };
    load("/links");
    ASSERT_TRUE(waitForEnds(1));
    delegate_->log.clear();

    EXPECT_TRUE(view_->activateLink("sarnquil://login"));  // by href
    EXPECT_TRUE(delegate_->log.empty());
    turn();
    EXPECT_EQ(delegate_->log,
              std::vector<std::string>{"should sarnquil://login 0"});  // refused: nothing more

    delegate_->log.clear();
    EXPECT_TRUE(view_->activateLink("Files"));
    turn();
    EXPECT_EQ(delegate_->log, (std::vector<std::string>{"should ftp://files.test/x 0",
                                                        "fail " + std::to_string(NSURLErrorUnsupportedURL)}));

    delegate_->log.clear();
    EXPECT_TRUE(view_->activateLink("Go on"));
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(delegate_->log,
              (std::vector<std::string>{"should " + server_.url("/target") + " 0", "start", "finish"}));
    EXPECT_EQ(view_->pageTitle(), "Target");
}

// A screen-like object exported into each finished page.
class Bridge : public JSExport {
  public:
    std::vector<std::string> calls;
    std::vector<JSExportMethod> exportedMethods() const override {
        return {jsExportMethod<Bridge>(
            "showTip", {JSArgumentKind::String},
            [](Bridge& b, const JSArguments& a) { b.calls.push_back(a[0] ? a[0]->stringValue() : "nil"); })};
    }
};

TEST_F(WebViewTest, EachPageGetsAFreshContextReachableByKeyPath) {
    const std::string path = "documentView.webView.mainFrame.javaScriptContext";
    auto bridge = std::make_shared<Bridge>();
    delegate_->onFinish = [&](UIWebView& view) {
        view.valueForKeyPath(path).asObjectOf<JSContext>()->setObjectForKeyedSubscript(bridge, "app");
    };
    server_.reply("/a", html("<script>var mark = 'a'; setTimeout(function () { app.showTip('timer'); }, 50);"
                             "</script>"));
    load("/a");
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_EQ(eval("app.showTip(mark); typeof app"), "object");
    EXPECT_EQ(bridge->calls, std::vector<std::string>{"a"});

    // The next page has a new context: the old page's globals and timers are gone.
    server_.reply("/b", html("<script>var before = typeof app;</script>"));
    load("/b");
    ASSERT_TRUE(waitForEnds(2));
    EXPECT_EQ(eval("before + ' ' + typeof mark"), "undefined undefined");
    advance(1);
    EXPECT_EQ(bridge->calls, std::vector<std::string>{"a"});

    // The screen goes away: the page's later calls do nothing.
    std::weak_ptr<Bridge> watch = bridge;
    bridge.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(eval("String(app.showTip('gone'))"), "undefined");
}

TEST_F(WebViewTest, PagesComeFromTheSharedURLCacheUntilItIsCleared) {
    struct FreshSharedCache {
        NSURLCachePtr previous = NSURLCache::sharedURLCache();
        FreshSharedCache() { NSURLCache::setSharedURLCache(NSURLCache::create()); }
        ~FreshSharedCache() { NSURLCache::setSharedURLCache(previous); }
    } fresh;
    LoopbackReply cacheable = html("<title>Kept</title><script>var from = 'page';</script>");
    cacheable.headers.emplace_back("Cache-Control", "max-age=300");
    server_.reply("/kept", cacheable);
    for (size_t ends = 1; ends <= 3; ++ends) {
        if (ends == 3) NSURLCache::sharedURLCache()->removeAllCachedResponses();
        load("/kept");
        ASSERT_TRUE(waitForEnds(ends));
        EXPECT_EQ(delegate_->log.back(), "finish");
        EXPECT_EQ(view_->pageTitle(), "Kept");
        EXPECT_EQ(eval("from"), "page");  // a page from the cache runs its scripts like any other
        EXPECT_EQ(server_.hits("/kept"), ends == 3 ? 2u : 1u);
    }
}

TEST_F(WebViewTest, TheViewMayBeDroppedFromItsOwnCallbacks) {
    server_.reply("/page", html("<script>var x = 1;</script>"));
    std::weak_ptr<UIWebView> watch = view_;
    delegate_->onFinish = [&](UIWebView&) { view_.reset(); };
    load("/page");
    ASSERT_TRUE(waitForEnds(1));
    EXPECT_TRUE(watch.expired());

    // Dropped with a load in flight: no callback ever comes.
    LoopbackReply slow = html("");
    slow.delay = 0.3;
    server_.reply("/slow", slow);
    delegate_->log.clear();
    view_ = UIWebView::create();
    view_->setDelegate(delegate_);
    load("/slow");
    ASSERT_TRUE(NSRunLoop::main().runUntil(
        [&] { return !delegate_->log.empty() && delegate_->log.back() == "start"; }, 5));
    view_.reset();
    NSRunLoop::main().runUntil([] { return false; }, 0.5);  // the reply (0.3 s) would have arrived by now
    EXPECT_EQ(delegate_->log.back(), "start");
}

}  // namespace
