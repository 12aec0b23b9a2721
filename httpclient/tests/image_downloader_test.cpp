#include "httpclient/HCImageDownloader.h"
#include "httpclient/tests/HCTestSupport.h"

namespace {

// What one caller heard, in the order callers heard it.
struct Outcome {
    std::string caller;
    UIImagePtr image;
    NSErrorPtr error;
    bool hadResponse = false;
    bool onMainThread = false;
};

class HCImageDownloaderTest : public ManagerTest {
  protected:
    HCImageDownloaderPtr makeDownloader(
        long maximum = 4, HCImageDownloadPrioritization order = HCImageDownloadPrioritization::FIFO) {
        auto sessionManager = track(HCHTTPSessionManager::create());
        sessionManager->setResponseSerializer(HCImageResponseSerializer::serializer());
        cache_ = HCAutoPurgingImageCache::create();
        return HCImageDownloader::create(sessionManager, order, maximum, cache_);
    }
    HCImageDownloadReceiptPtr download(const HCImageDownloaderPtr& downloader, const NSURLRequest& request,
                                       const std::string& caller) {
        auto note = [this, caller](const NSHTTPURLResponsePtr& response, UIImagePtr image, NSErrorPtr error) {
            outcomes_.push_back({caller, image, error, response != nullptr, NSRunLoop::isMainThread()});
        };
        return downloader->downloadImageForURLRequest(
            request, [note](auto&, auto& response, auto& image) { note(response, image, nullptr); },
            [note](auto&, auto& response, auto& error) { note(response, nullptr, error); });
    }
    bool waitForOutcomes(size_t count) {
        return runMainUntil([&] { return outcomes_.size() >= count; });
    }
    bool waitUntilIdle(const HCImageDownloaderPtr& downloader) {
        return runMainUntil([&] { return downloader->activeRequestCount() == 0; });
    }

    HCAutoPurgingImageCachePtr cache_;
    std::vector<Outcome> outcomes_;
};

// Callers of one URL share one download; a withdrawn one hears the cancellation, the others the image,
// which is then cached for later callers unless their request reloads.
TEST_F(HCImageDownloaderTest, CallersOfOneURLShareOneDownloadAndItsCachedImage) {
    server_.reply("/a.png", pngReply(8, 4, 0.3));
    auto downloader = makeDownloader();
    auto first = download(downloader, request("/a.png"), "first");
    auto withdrawn = download(downloader, request("/a.png"), "withdrawn");
    auto second = download(downloader, request("/a.png"), "second");
    ASSERT_TRUE(first && second && withdrawn);
    EXPECT_EQ(first->task(), second->task());
    EXPECT_TRUE(outcomes_.empty());  // never inside the call
    downloader->cancelTaskForImageDownloadReceipt(withdrawn);
    downloader->cancelTaskForImageDownloadReceipt(withdrawn);  // a second time: nothing more
    ASSERT_TRUE(waitForOutcomes(3));
    ASSERT_TRUE(waitUntilIdle(downloader));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(server_.hits("/a.png"), 1u);
    ASSERT_EQ(outcomes_.size(), 3u);
    EXPECT_TRUE(outcomes_[0].caller == "withdrawn" && outcomes_[1].caller == "first" &&
                outcomes_[2].caller == "second");
    ASSERT_TRUE(outcomes_[0].error);
    EXPECT_EQ(outcomes_[0].error->code(), NSURLErrorCancelled);
    EXPECT_EQ(*outcomes_[0].error->userInfo().at(NSLocalizedFailureReasonErrorKey).asString(),
              "ImageDownloader cancelled URL request: " + server_.url("/a.png"));
    EXPECT_FALSE(outcomes_[0].hadResponse);
    for (const auto& outcome : outcomes_) EXPECT_TRUE(outcome.onMainThread);
    ASSERT_TRUE(outcomes_[1].image);
    EXPECT_EQ(outcomes_[2].image, outcomes_[1].image);
    EXPECT_EQ(cache_->imageforRequest(request("/a.png"), std::nullopt), outcomes_[1].image);
    downloader->cancelTaskForImageDownloadReceipt(first);  // once finished, a receipt cancels nothing
    for (auto policy : {NSURLRequestCachePolicy::UseProtocolCachePolicy,
                        NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData}) {
        const bool fromCache = policy == NSURLRequestCachePolicy::UseProtocolCachePolicy;
        const size_t hitsBefore = server_.hits("/a.png"), before = outcomes_.size();
        auto r = request("/a.png");
        r.setCachePolicy(policy);
        EXPECT_EQ(download(downloader, r, "again") == nullptr, fromCache);
        ASSERT_TRUE(waitForOutcomes(before + 1) && waitUntilIdle(downloader));
        NSRunLoop::main().runUntilIdle();
        EXPECT_EQ(outcomes_.size(), before + 1);
        EXPECT_EQ(server_.hits("/a.png"), hitsBefore + (fromCache ? 0 : 1));
        EXPECT_TRUE(outcomes_.back().image && outcomes_.back().onMainThread);
    }
}

TEST_F(HCImageDownloaderTest, BadRepliesFailWithAnErrorAndCacheNothing) {
    server_.reply("/corrupt.png", LoopbackReply{200, {}, "\x89PNG\r\n\x1a\nnot really", "image/png"});
    server_.reply("/page", LoopbackReply::text("<html></html>"));
    server_.on("GET", "/missing.png", [](const LoopbackRequest&) {
        auto reply = pngReply(8, 4);
        reply.status = 404;
        return reply;
    });
    struct Case {
        const char *path, *domain;
        long code;
    } cases[] = {
        {"/corrupt.png", NSURLErrorDomain, -1016},
        {"/page", HCResponseSerializationErrorDomain, -1016},
        {"/missing.png", HCResponseSerializationErrorDomain, -1011},
    };
    auto downloader = makeDownloader();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        outcomes_.clear();
        ASSERT_TRUE(download(downloader, request(c.path), c.path));
        ASSERT_TRUE(waitForOutcomes(1));
        ASSERT_TRUE(outcomes_[0].error);
        EXPECT_EQ(outcomes_[0].error->domain(), c.domain);
        EXPECT_EQ(outcomes_[0].error->code(), c.code);
        EXPECT_TRUE(outcomes_[0].hadResponse);
        EXPECT_FALSE(cache_->imageforRequest(request(c.path), std::nullopt));
    }
    EXPECT_TRUE(waitUntilIdle(downloader));

    // No URL: -1000 at once, no receipt, no request.
    outcomes_.clear();
    const size_t hits = server_.totalHits();
    EXPECT_FALSE(download(downloader, NSURLRequest(), "nil"));
    ASSERT_TRUE(waitForOutcomes(1));
    EXPECT_EQ(outcomes_[0].error->code(), -1000);
    EXPECT_EQ(server_.totalHits(), hits);
}

TEST_F(HCImageDownloaderTest, QueuedDownloadsStartInOrderAndAWithdrawnOneNeverStarts) {
    struct Case {
        HCImageDownloadPrioritization order;
        std::vector<std::string> expected;  // server paths in the order they were asked for
    } cases[] = {
        {HCImageDownloadPrioritization::FIFO, {"/run.png", "/b.png", "/c.png"}},
        {HCImageDownloadPrioritization::LIFO, {"/run.png", "/c.png", "/b.png"}},
    };
    for (const auto& c : cases) {
        LoopbackServer server;
        // With one slot nothing else may reach the server while "/run.png" is being answered.
        std::atomic<bool> running{false};
        std::atomic<int> overlaps{0};
        server.on("GET", "/run.png", [&](const LoopbackRequest&) {
            running = true;
            server.pause(0.3);
            running = false;
            return pngReply(2, 4);
        });
        for (const char* path : {"/b.png", "/c.png", "/never.png"}) {
            server.on("GET", path, [&](const LoopbackRequest&) {
                overlaps += running ? 1 : 0;
                return pngReply(2, 4);
            });
        }
        auto url = [&](const char* path) { return requestFor(server.url(path)); };
        outcomes_.clear();
        auto downloader = makeDownloader(1, c.order);

        ASSERT_TRUE(download(downloader, url("/run.png"), "run"));
        auto never = download(downloader, url("/never.png"), "never");
        ASSERT_TRUE(never);
        ASSERT_TRUE(download(downloader, url("/b.png"), "b"));
        ASSERT_TRUE(download(downloader, url("/c.png"), "c"));
        downloader->cancelTaskForImageDownloadReceipt(never);
        EXPECT_EQ(never->task()->state(), NSURLSessionTaskState::Completed);

        ASSERT_TRUE(waitForOutcomes(4));
        ASSERT_TRUE(waitUntilIdle(downloader));
        std::vector<std::string> asked;
        for (const auto& r : server.requests()) asked.push_back(r.path);
        EXPECT_EQ(asked, c.expected);
        EXPECT_EQ(overlaps, 0);
        for (const auto& o : outcomes_) {  // in whatever order the queues deliver them
            EXPECT_TRUE(o.caller == "never" ? o.error && o.error->code() == -999 : o.image != nullptr)
                << o.caller;
        }

        // The withdrawn task took no slot: the next download starts at once and the count returns to 0.
        ASSERT_TRUE(download(downloader, url("/never.png"), "later"));
        EXPECT_TRUE(server.waitForHits("/never.png", 1, kWait));
        EXPECT_TRUE(waitUntilIdle(downloader));
        EXPECT_TRUE(waitForOutcomes(5));  // its outcome is queued on the main queue: not into the next case
    }
}

}  // namespace
