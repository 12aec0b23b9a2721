#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>

#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TempDir.h"

namespace {

using SessionTransport = OverBothSchemes;

TEST_P(SessionTransport, GetBodyArrivesByteExactInCallbackOrderOnTheDelegateQueue) {
    std::string body = binaryBody(300 * 1024 + 7);
    for (size_t chunkSize : {0, 1000}) {  // plain, then chunked
        SCOPED_TRACE(chunkSize);
        LoopbackReply reply = LoopbackReply::text(body);
        reply.contentType = "application/octet-stream; charset=UTF-8";
        reply.chunkSize = chunkSize;
        reply.headers.emplace_back("X-Test", "yes");
        server_.reply("/file", reply);
        RecordingSession s;
        auto task = s.run(s.session->dataTaskWithRequest(requestFor(server_.url("/file"))), 20);
        EXPECT_EQ(s.delegate->error, nullptr);
        EXPECT_TRUE(s.delegate->body == body) << "body differs, size " << s.delegate->body.size();
        EXPECT_EQ(s.delegate->shape(), (std::vector<std::string>{"response", "data", "complete"}));
        EXPECT_FALSE(s.delegate->wrongQueue);
        EXPECT_FALSE(s.delegate->overlapped);
        auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response());
        ASSERT_TRUE(response);
        EXPECT_EQ(response->MIMEType(), "application/octet-stream");
        EXPECT_EQ(response->textEncodingName(), "utf-8");
        EXPECT_EQ(response->valueForHTTPHeaderField("x-test"), "yes");
        EXPECT_EQ(task->countOfBytesReceived(), int64_t(body.size()));
        EXPECT_EQ(task->countOfBytesExpectedToReceive(), chunkSize ? -1 : int64_t(body.size()));
    }
}

TEST_P(SessionTransport, PostBodyArrivesByteExactAndSendCountersFollow) {
    server_.reply("/upload", LoopbackReply::text("ok", 201));
    std::string body = binaryBody(2 * 1024 * 1024 + 3);
    // Configuration headers go out too, but yield to the request's own.
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setHTTPAdditionalHeaders({{"X-Config", Value("c")}, {"X-Both", Value("config")}});
    RecordingSession s(configuration);
    NSMutableURLRequest request = requestFor(server_.url("/upload"), "POST");
    request.setValue("application/octet-stream", "Content-Type");
    request.setValue("request", "x-both");
    request.setHTTPBody(Data::fromString(body));
    auto task = s.session->dataTaskWithRequest(request);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), int64_t(body.size()));
    s.run(task, 20);
    EXPECT_EQ(s.delegate->error, nullptr);
    auto logged = server_.lastRequest("/upload");
    ASSERT_TRUE(logged);
    EXPECT_EQ(logged->method, "POST");
    EXPECT_TRUE(logged->body == body);
    EXPECT_FALSE(logged->header("Expect"));
    EXPECT_EQ(logged->header("X-Config"), "c");
    EXPECT_EQ(logged->header("X-Both"), "request");
    EXPECT_EQ(task->countOfBytesSent(), int64_t(body.size()));
    EXPECT_EQ(s.delegate->sendSum, int64_t(body.size()));
    EXPECT_EQ(s.delegate->sendExpected, int64_t(body.size()));
    EXPECT_TRUE(std::is_sorted(s.delegate->sendTotals.begin(), s.delegate->sendTotals.end()));
    EXPECT_EQ(s.delegate->body, "ok");
    auto shape = s.delegate->shape();
    EXPECT_EQ(shape.front(), "send");
    EXPECT_EQ(shape.back(), "complete");
}

// Hears of nothing but the body going out.
class SendOnlyDelegate : public RecordingDelegate {
  public:
    bool respondsTo(Method method) const override { return method == Method::DidSendBodyData; }
};

// A small body in memory goes out whole at once: its one send notice comes before the response (it travels
// with the next callback), and reaches a delegate that hears nothing after it all the same.
TEST_P(SessionTransport, SmallBodyInMemoryIsNoticedOnceBeforeTheResponse) {
    server_.reply("/small", LoopbackReply::text("ok", 201));
    const std::string body = R"({"phone":"13800000000","token":"abcdef0123456789"})";
    auto request = [&] {
        NSMutableURLRequest request = requestFor(server_.url("/small"), "POST");
        request.setHTTPBody(Data::fromString(body));
        return request;
    };
    RecordingSession s;
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {  // the later ones over the kept connection
        SCOPED_TRACE(i);
        auto task = s.runData(request());
        EXPECT_EQ(s.delegate->error, nullptr);
        auto logged = server_.lastRequest("/small");
        ASSERT_TRUE(logged);
        EXPECT_TRUE(logged->body == body);
        EXPECT_EQ(task->countOfBytesSent(), int64_t(body.size()));
        expected.insert(expected.end(), {"send", "response", "data", "complete"});
    }
    EXPECT_EQ(s.delegate->shape(), expected);
    EXPECT_EQ(s.delegate->sendTotals, std::vector<int64_t>(3, int64_t(body.size())));
    EXPECT_FALSE(s.delegate->overlapped);

    DelegateSession<SendOnlyDelegate> quiet;
    auto task = quiet.session->dataTaskWithRequest(request());
    task->resume();
    EXPECT_TRUE(quiet.delegate->waitFor([&] { return !quiet.delegate->sendTotals.empty(); }));
    EXPECT_EQ(quiet.delegate->events(), std::vector<std::string>{"send"});
}

INSTANTIATE_OVER_BOTH_SCHEMES(SessionTransport);

// A custom stream that hands out its bytes in small pieces and is sometimes "not ready yet".
class TrickleStream : public NSInputStream {
  public:
    explicit TrickleStream(std::string bytes, bool fail = false) : bytes_(std::move(bytes)), fail_(fail) {}
    bool hasBytesAvailable() const override {
        return streamStatus() == NSStreamStatus::Open && (++polls_ % 3 != 0);
    }
    long read(uint8_t* buffer, size_t maxLength) override {
        if (fail_ && offset_ > bytes_.size() / 2) {
            fail(NSError::withDescription("Test", 1, "disk on fire"));
            return -1;
        }
        size_t n = std::min({maxLength, size_t(777), bytes_.size() - offset_});
        if (n == 0) {
            setStatus(NSStreamStatus::AtEnd);
            return 0;
        }
        std::memcpy(buffer, bytes_.data() + offset_, n);
        offset_ += n;
        return long(n);
    }

  private:
    std::string bytes_;
    bool fail_;
    size_t offset_ = 0;
    mutable int polls_ = 0;
};

TEST(SessionUpload, FileAndStreamBodiesArriveByteExact) {
    LoopbackServer server;
    server.reply("/up", LoopbackReply::text("stored"));
    TempDir dir;
    std::string content = binaryBody(100000);
    std::ofstream(dir.file("body.bin"), std::ios::binary) << content;

    RecordingSession s;
    s.run(s.session->uploadTaskWithRequestFromFile(requestFor(server.url("/up"), "PUT"),
                                                   NSURL::fileURLWithPath(dir.file("body.bin"))));
    ASSERT_EQ(s.delegate->error, nullptr);
    ASSERT_TRUE(server.lastRequest("/up"));
    EXPECT_FALSE(server.lastRequest("/up")->header("Content-Type"));
    EXPECT_EQ(server.lastRequest("/up")->method, "PUT");
    EXPECT_TRUE(server.lastRequest("/up")->body == content);

    // Unknown length: sent chunked.
    NSMutableURLRequest streamed = requestFor(server.url("/up"), "POST");
    streamed.setValue("application/octet-stream", "Content-Type");
    streamed.setHTTPBodyStream(std::make_shared<TrickleStream>(content));
    auto task = s.session->uploadTaskWithStreamedRequest(streamed);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), -1);
    s.run(task);
    ASSERT_EQ(s.delegate->error, nullptr);
    EXPECT_TRUE(server.lastRequest("/up")->body == content);
    EXPECT_EQ(server.lastRequest("/up")->header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(task->countOfBytesSent(), int64_t(content.size()));

    // No stream in the request: the delegate is asked for one before anything is sent.
    s.delegate->onNeedStream = [&] { return NSInputStream::inputStreamWithData(Data::fromString("asked")); };
    s.run(s.session->uploadTaskWithStreamedRequest(requestFor(server.url("/up"), "POST")));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(server.lastRequest("/up")->body, "asked");
}

TEST(SessionUpload, BodyStreamThatFailsOrEndsShortIsExhausted) {
    LoopbackServer server;
    server.reply("/up", LoopbackReply::text("stored"));
    RecordingSession s;
    NSMutableURLRequest failing = requestFor(server.url("/up"), "POST");
    failing.setHTTPBodyStream(std::make_shared<TrickleStream>(binaryBody(50000), true));
    s.run(s.session->uploadTaskWithStreamedRequest(failing));
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorRequestBodyStreamExhausted);

    NSMutableURLRequest shortStream = requestFor(server.url("/up"), "POST");
    shortStream.setValue("1000", "Content-Length");
    shortStream.setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString("only this")));
    auto task = s.session->uploadTaskWithStreamedRequest(shortStream);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), 1000);
    s.run(task);
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorRequestBodyStreamExhausted);
    EXPECT_EQ(s.delegate->error->localizedDescription(), "request body stream exhausted");
    EXPECT_EQ(server.hits("/up"), 0u);
}

TEST(SessionCompletionHandler, DeliversOnTheDelegateQueueAndTheSharedSessionIgnoresInvalidation) {
    LoopbackServer server;
    server.reply("/j", LoopbackReply::json("{\"a\":1}"));
    auto shared = NSURLSession::sharedSession();
    shared->finishTasksAndInvalidate();
    for (auto session : {NSURLSession::sessionWithConfiguration(nullptr), shared}) {
        auto done = std::make_shared<RecordingDelegate>();  // records the handler's call and its queue
        done->queue = session->delegateQueue();
        auto task =
            session->dataTaskWithURL(NSURL::URLWithString(server.url("/j")), [done](auto data, auto, auto e) {
                if (data) done->didReceiveData(nullptr, nullptr, *data);
                done->didCompleteWithError(nullptr, nullptr, e);
            });
        ASSERT_TRUE(task);
        task->resume();
        ASSERT_TRUE(done->waitForCompletions(1));
        EXPECT_FALSE(done->wrongQueue);
        EXPECT_FALSE(done->error);
        EXPECT_EQ(done->body, "{\"a\":1}");
    }
}

// A loop's worker takes the callbacks it queued only once the loop goes idle: while the loop still waits on
// another transfer, a finished one's callbacks must reach the delegate without waiting for it.
TEST(SessionLoop, AFinishedTransfersCallbacksDoNotWaitForTheLoopToGoIdle) {
    LoopbackServer server;
    struct Hold {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        void release() {
            std::lock_guard lock(mutex);
            released = true;
            changed.notify_all();
        }
        ~Hold() { release(); }  // before the server waits for its handlers
    } hold;
    server.on("GET", "/held", [&](const LoopbackRequest&) {
        std::unique_lock lock(hold.mutex);
        hold.changed.wait_for(lock, std::chrono::seconds(20), [&] { return hold.released; });
        return LoopbackReply::text("held");
    });
    server.reply("/quick", LoopbackReply::text("quick"));
    RecordingSession s;
    auto held = s.session->dataTaskWithRequest(requestFor(server.url("/held")));
    held->resume();
    ASSERT_TRUE(server.waitForHits("/held", 1));
    s.session->dataTaskWithRequest(requestFor(server.url("/quick")))->resume();
    EXPECT_TRUE(s.delegate->waitForCompletions(1));
    EXPECT_EQ(held->state(), NSURLSessionTaskState::Running);
    hold.release();
    EXPECT_TRUE(s.delegate->waitForCompletions(2));
    EXPECT_EQ(s.delegate->error, nullptr);
}

struct RedirectCase {
    int status;
    const char* expectedMethod;
    bool keepsBody;
};

class SessionRedirect : public testing::TestWithParam<RedirectCase> {};

TEST_P(SessionRedirect, MethodAndBodyFollowTheStatus) {
    LoopbackServer server;
    server.reply("/from", LoopbackReply::redirect(GetParam().status, "to?x=1"));  // relative location
    server.reply("/to", LoopbackReply::text("landed"));
    RecordingSession s;
    NSMutableURLRequest request = requestFor(server.url("/from"), "POST");
    request.setValue("text/plain", "Content-Type");
    request.setHTTPBody(Data::fromString("payload"));
    auto task = s.runData(request);
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(s.delegate->body, "landed");
    auto landed = server.lastRequest("/to");
    ASSERT_TRUE(landed);
    EXPECT_EQ(landed->query, "x=1");
    EXPECT_EQ(landed->method, GetParam().expectedMethod);
    EXPECT_EQ(landed->body, GetParam().keepsBody ? "payload" : "");
    EXPECT_EQ(landed->header("Content-Type").has_value(), GetParam().keepsBody);
    EXPECT_EQ(task->currentRequest().URL()->absoluteString(), server.url("/to?x=1"));
    EXPECT_EQ(task->originalRequest().URL()->absoluteString(), server.url("/from"));
    auto events = s.delegate->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "redirect"), 1);
}

INSTANTIATE_TEST_SUITE_P(Statuses, SessionRedirect,
                         testing::Values(RedirectCase{301, "GET", false}, RedirectCase{302, "GET", false},
                                         RedirectCase{303, "GET", false}, RedirectCase{307, "POST", true},
                                         RedirectCase{308, "POST", true}));

TEST(SessionRedirects, RefusedRedirectDeliversTheRedirectResponse) {
    LoopbackServer server;
    server.reply("/from", LoopbackReply::redirect(302, "/to"));
    RecordingSession s;
    s.delegate->onRedirect = [](auto, auto, auto handler) { handler(std::nullopt); };
    auto task = s.runData(requestFor(server.url("/from")));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(s.delegate->body, "redirecting");
    EXPECT_EQ(std::dynamic_pointer_cast<NSHTTPURLResponse>(task->response())->statusCode(), 302);
    EXPECT_EQ(server.hits("/to"), 0u);
    EXPECT_EQ(s.delegate->shape(), (std::vector<std::string>{"redirect", "response", "data", "complete"}));
}

TEST(SessionRedirects, AtMostSixteenHops) {
    LoopbackServer server;
    server.on("", "/hop", [&](const LoopbackRequest& request) {
        int n = std::stoi(request.query);
        return n == 0 ? LoopbackReply::text("end")
                      : LoopbackReply::redirect(302, "/hop?" + std::to_string(n - 1));
    });
    RecordingSession s;
    s.delegate->implementsRedirect = false;  // the session follows on its own
    s.runData(requestFor(server.url("/hop?16")));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(s.delegate->body, "end");
    s.runData(requestFor(server.url("/hop?17")));
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorHTTPTooManyRedirects);
}

TEST(SessionRedirects, StreamBodyIsAskedForAgainOn307) {
    LoopbackServer server;
    server.reply("/from", LoopbackReply::redirect(307, "/to"));
    server.reply("/to", LoopbackReply::text("ok"));
    RecordingSession s;
    s.delegate->onNeedStream = [] { return NSInputStream::inputStreamWithData(Data::fromString("again")); };
    NSMutableURLRequest request = requestFor(server.url("/from"), "PUT");
    request.setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString("again")));
    s.run(s.session->uploadTaskWithStreamedRequest(request));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(server.lastRequest("/to")->body, "again");
    EXPECT_EQ(server.lastRequest("/to")->method, "PUT");
    auto events = s.delegate->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "needStream"), 1);

    // Without an answer the task fails instead of sending nothing.
    s.delegate->implementsNeedStream = false;
    request.setHTTPBodyStream(NSInputStream::inputStreamWithData(Data::fromString("again")));
    s.run(s.session->uploadTaskWithStreamedRequest(request));
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorRequestBodyStreamExhausted);
}

}  // namespace
