#include "httpclient/HCWebViewNetworking.h"
#include "httpclient/tests/HCTestSupport.h"

namespace {

class RecordingWebViewDelegate final : public UIWebViewDelegate {
  public:
    void webViewDidStartLoad(UIWebView&) override { calls.push_back("start"); }
    void webViewDidFinishLoad(UIWebView&) override { calls.push_back("finish"); }
    void didFailLoadWithError(UIWebView&, const NSErrorPtr& error) override {
        calls.push_back("fail " + std::to_string(error->code()));
    }
    std::vector<std::string> calls;
};

LoopbackReply page(std::string body, std::string contentType, double delay = 0) {
    LoopbackReply reply = LoopbackReply::text(std::move(body));
    reply.contentType = std::move(contentType);
    reply.delay = delay;
    return reply;
}

class WebViewNetworkingTest : public ManagerTest {
  protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        // Showing a page starts the script engine, which is not built for ThreadSanitizer: its own locking
        // is invisible to it and reported as races. The engine's tests do not run under it either.
        GTEST_SKIP() << "the script engine cannot run under ThreadSanitizer";
#endif
        server_.reply("/page", page("<html><head><title>Welcome</title></head></html>", "text/html"));
        server_.reply("/slow", page("<title>Slow</title>", "text/html", 0.5));
        webView_ = UIWebView::create(CGRectMake(0, 0, 320, 480));
        webView_->setDelegate(delegate_);
        manager_ = track(HCHTTPSessionManager::create());
        manager_->setResponseSerializer(HCHTTPResponseSerializer::serializer());
        setSessionManager(webView_, manager_);
    }
    bool settled() {
        return runMainUntil([&] {
            return !delegate_->calls.empty() && delegate_->calls.back() != "start" &&
                   hc_URLSessionTask(webView_)->state() == NSURLSessionTaskState::Completed;
        });
    }

    std::shared_ptr<RecordingWebViewDelegate> delegate_ = std::make_shared<RecordingWebViewDelegate>();
    UIWebViewPtr webView_;
    HCHTTPSessionManagerPtr manager_;
};

TEST_F(WebViewNetworkingTest, LoadsThePageAsAPlainGetOfItsURL) {
    NSURLRequest post = request("/page", "POST");
    post.setValue("secret", "X-Custom");
    post.setHTTPBody(Data::fromString("body"));
    NSProgressPtr progress;
    std::string seen;
    loadRequest(
        webView_, post, "text/html", "utf-8", &progress,
        [&](const NSHTTPURLResponsePtr& response, const Data& data) {
            seen = std::to_string(response->statusCode()) + " " + std::string(data.view());
            return data;
        },
        nullptr);
    EXPECT_TRUE(progress);
    ASSERT_TRUE(settled());
    EXPECT_EQ(delegate_->calls, (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(seen, "200 <html><head><title>Welcome</title></head></html>");
    EXPECT_EQ(webView_->pageTitle(), "Welcome");
    EXPECT_EQ(webView_->request().URL()->absoluteString(), server_.url("/page"));
    auto sent = server_.lastRequest("/page");
    EXPECT_TRUE(sent && sent->method == "GET" && !sent->header("X-Custom") && sent->body.empty());

    // A failed load keeps the page and tells the delegate.
    delegate_->calls.clear();
    NSErrorPtr failed;
    loadRequest(webView_, request("/missing"), nullptr, nullptr,
                [&](const NSErrorPtr& error) { failed = error; });
    ASSERT_TRUE(settled());
    EXPECT_EQ(failed ? failed->code() : 0, -1011);
    EXPECT_EQ(delegate_->calls, (std::vector<std::string>{"start", "fail -1011"}));
    EXPECT_EQ(webView_->pageTitle(), "Welcome");
}

TEST_F(WebViewNetworkingTest, NewLoadCancelsTheRunningOne) {
    std::vector<std::string> failures;
    loadRequest(webView_, request("/slow"), nullptr, nullptr, [&](const NSErrorPtr& error) {
        failures.push_back("slow " + std::to_string(error->code()));
    });
    auto first = hc_URLSessionTask(webView_);
    loadRequest(webView_, request("/page"), nullptr, nullptr, [&](const NSErrorPtr& error) {
        failures.push_back("page " + std::to_string(error->code()));
    });
    EXPECT_NE(hc_URLSessionTask(webView_), first);
    ASSERT_TRUE(runMainUntil([&] { return webView_->pageTitle() == "Welcome" && !failures.empty(); }));
    EXPECT_EQ(failures, std::vector<std::string>{"slow -999"});
    EXPECT_EQ(first->state(), NSURLSessionTaskState::Completed);
    // The delegate hears only of the load that is still current.
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(delegate_->calls, (std::vector<std::string>{"start", "start", "finish"}));

    // A load whose web view is gone calls nothing of the caller's.
    auto gone = UIWebView::create(CGRectMake(0, 0, 320, 480));
    setSessionManager(gone, manager_);
    int calls = 0;
    loadRequest(
        gone, request("/slow"), "text/html", "", nullptr,
        [&](const NSHTTPURLResponsePtr&, const Data& data) {
            ++calls;
            return data;
        },
        [&](const NSErrorPtr&) { ++calls; });
    auto orphan = hc_URLSessionTask(gone);
    auto failing = UIWebView::create(CGRectMake(0, 0, 320, 480));
    setSessionManager(failing, manager_);
    loadRequest(failing, request("/missing"), nullptr, nullptr, [&](const NSErrorPtr&) { ++calls; });
    auto orphanFailing = hc_URLSessionTask(failing);
    gone.reset();
    failing.reset();
    ASSERT_TRUE(runMainUntil([&] {
        return orphan->state() == NSURLSessionTaskState::Completed &&
               orphanFailing->state() == NSURLSessionTaskState::Completed;
    }));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(calls, 0);
}

// The text loader: the reply's declared character set, what the block gets, and what the page shows.
TEST_F(WebViewNetworkingTest, TextLoaderDecodesWithTheDeclaredCharacterSet) {
    struct CharsetCase {
        const char *name, *body, *contentType;
        const char* textSeen;  // nullptr: the load fails
        long errorCode;
        const char* added = "<p>added</p>";  // what the block adds to the text
    } cases[] = {
        {"utf-8", "<title>caf\xc3\xa9</title>", "text/html; charset=utf-8", "<title>caf\xc3\xa9</title>", 0},
        {"latin-1", "<title>caf\xe9</title>", "text/html; charset=iso-8859-1", "<title>caf\xc3\xa9</title>",
         0},
        {"unknown set is UTF-8", "<title>caf\xc3\xa9</title>", "text/html; charset=x-no-such-set",
         "<title>caf\xc3\xa9</title>", 0},
        {"invalid UTF-8", "<title>caf\xff</title>", "text/html", nullptr, HCWebViewStringDecodingError},
        {"a text the set cannot hold", "<title>x</title>", "text/html; charset=iso-8859-1", nullptr,
         HCWebViewStringEncodingError, "\xe4\xb8\xad"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.reply("/text", page(c.body, c.contentType));
        webView_->loadData(Data(), "text/html", "", nullptr);  // start from an empty page
        delegate_->calls.clear();
        std::string seen;
        NSErrorPtr failed;
        loadRequest(
            webView_, request("/text"), nullptr,
            [&](const NSHTTPURLResponsePtr&, const std::string& text) {
                seen = text;
                return text + c.added;
            },
            [&](const NSErrorPtr& error) { failed = error; });
        ASSERT_TRUE(settled());
        if (c.textSeen) {
            EXPECT_EQ(seen, c.textSeen);
            EXPECT_EQ(webView_->pageTitle(), "caf\xc3\xa9");
            EXPECT_FALSE(failed);
        } else {
            ASSERT_TRUE(failed);
            EXPECT_EQ(failed->code(), c.errorCode);
            EXPECT_EQ(webView_->pageTitle(), "");
        }
    }
}

}  // namespace
