#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <map>

#include "platform/net/HTTPResponseHead.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackRawServer.h"
#include "testsupport/LoopbackServer.h"

namespace {

// Runs one GET and returns its error (bounded wait).
NSErrorPtr errorOf(const std::string& url, double timeout = 60,
                   NSURLSessionConfigurationPtr configuration = nullptr) {
    RecordingSession s(configuration);
    NSMutableURLRequest request = requestFor(url);
    request.setTimeoutInterval(timeout);
    s.runData(request, 20);
    return s.delegate->error;
}

void expectURLError(const NSErrorPtr& error, long code, const std::string& url) {
    ASSERT_TRUE(error) << "expected " << code;
    EXPECT_EQ(error->domain(), NSURLErrorDomain);
    EXPECT_EQ(error->code(), code) << error->description();
    EXPECT_EQ(error->localizedDescription(), NSURLErrorDescription(code));
    EXPECT_EQ(error->failingURLString(), url);
    auto failing = error->userInfo().find(NSURLErrorFailingURLErrorKey);
    ASSERT_NE(failing, error->userInfo().end());
    EXPECT_EQ(failing->second.asObjectOf<NSURL>()->absoluteString(), url);
}

TEST(SessionErrors, TextsUsersSee) {
    EXPECT_EQ(NSURLErrorDescription(-1001), "The request timed out.");
    EXPECT_EQ(NSURLErrorDescription(-1004), "Could not connect to the server.");
    EXPECT_EQ(NSURLErrorDescription(-1003), "A server with the specified hostname could not be found.");
    EXPECT_EQ(NSURLErrorDescription(-1005), "The network connection was lost.");
    EXPECT_EQ(NSURLErrorDescription(-1009), "The Internet connection appears to be offline.");
    EXPECT_EQ(NSURLErrorDescription(-999), "cancelled");
}

TEST(SessionErrors, UnreachableBadAndUnsupportedURLs) {
    int port;
    {
        LoopbackRawServer probe([](LoopbackConnection&) {});
        port = probe.port();
    }
    const std::pair<std::string, long> cases[] = {
        {"http://127.0.0.1:" + std::to_string(port) + "/x", NSURLErrorCannotConnectToHost},  // closed port
        {"http://no-such-host.invalid/x", NSURLErrorCannotFindHost},
        {"ftp://127.0.0.1/x", NSURLErrorUnsupportedURL},
    };
    for (const auto& [url, code] : cases) expectURLError(errorOf(url, 10), code, url);
    for (const char* bad : {"http:///path", "just/a/path"}) {
        auto error = errorOf(bad);
        ASSERT_TRUE(error) << bad;
        EXPECT_EQ(error->code(), NSURLErrorBadURL) << bad;
    }
    // A request without URL at all.
    RecordingSession s;
    s.runData(NSURLRequest());
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorBadURL);
}

struct BrokenReply {
    const char* name;
    std::string bytes;  // sent after the request; then the connection closes
    long code;
};

class SessionBrokenReplies : public testing::TestWithParam<BrokenReply> {};

TEST_P(SessionBrokenReplies, EndInAClearError) {
    std::string bytes = GetParam().bytes;
    LoopbackRawServer server([bytes](LoopbackConnection& connection) {
        connection.readRequest();
        connection.write(bytes);
        connection.close();
    });
    std::string url = server.url("/broken");
    expectURLError(errorOf(url, 10), GetParam().code, url);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SessionBrokenReplies,
    testing::Values(BrokenReply{"ClosedBeforeHeaders", "", NSURLErrorNetworkConnectionLost},
                    BrokenReply{"HeadersCutShort", "HTTP/1.1 200 OK\r\nContent-Le",
                                NSURLErrorNetworkConnectionLost},
                    BrokenReply{"TruncatedBody", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten..",
                                NSURLErrorNetworkConnectionLost},
                    BrokenReply{"ConflictingLengths",
                                "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 9\r\n\r\nfour",
                                NSURLErrorCannotParseResponse},
                    BrokenReply{"OverflowingLength",
                                "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nshort",
                                NSURLErrorCannotParseResponse},
                    BrokenReply{"BrokenStatusLine", "HTTX/1.1 abc\r\n\r\n", NSURLErrorCannotParseResponse},
                    BrokenReply{"HugeHeaders",
                                "HTTP/1.1 200 OK\r\n" + std::string(3000, 'X') + ": " +
                                    std::string(90000, 'y') + "\r\nA: " + std::string(90000, 'y') +
                                    "\r\nB: " + std::string(90000, 'y') + "\r\n\r\n",
                                NSURLErrorCannotParseResponse}),
    [](const auto& info) { return std::string(info.param.name); });

// A head with more distinct names than a response may hold fails that task alone; a head of many repeats
// of one name, beside as many distinct names as allowed, arrives whole and joined, on the same session and
// at the same time.
TEST(SessionLimits, HeaderFieldsPastTheCapFailOnlyTheirTask) {
    const size_t cap = HTTPResponseHead::kMaxFields;
    auto fields = [](size_t distinct, size_t repeats) {
        std::string head;
        for (size_t i = 0; i < distinct; ++i) head += "x-" + std::to_string(i) + ": v\r\n";
        for (size_t i = 0; i < repeats; ++i) head += "Rep: " + std::to_string(i % 10) + "\r\n";
        return head;
    };
    const std::string flood = fields(cap, 0);         // with Content-Length: one past the cap
    const std::string many = fields(cap - 2, 20000);  // with Content-Length and Rep: the cap exactly
    LoopbackRawServer server([&](LoopbackConnection& connection) {
        const bool isFlood = connection.readRequest().find("GET /flood") == 0;
        connection.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + (isFlood ? flood : many) + "\r\nok");
        connection.close();
    });
    RecordingSession s;
    std::map<std::string, std::pair<NSURLResponsePtr, NSErrorPtr>> results;
    for (const char* path : {"/flood", "/many"}) {
        s.session
            ->dataTaskWithRequest(requestFor(server.url(path)),
                                  [&, path](auto, auto response, auto error) {
                                      results[path] = {response, error};
                                      s.delegate->didCompleteWithError(nullptr, nullptr, nullptr);
                                  })
            ->resume();
    }
    ASSERT_TRUE(s.delegate->waitForCompletions(2, 20));
    expectURLError(results["/flood"].second, NSURLErrorCannotParseResponse, server.url("/flood"));
    ASSERT_FALSE(results["/many"].second) << results["/many"].second->description();
    auto response = std::dynamic_pointer_cast<NSHTTPURLResponse>(results["/many"].first);
    ASSERT_TRUE(response);
    ASSERT_EQ(response->headerFields().fields().size(), cap);
    const std::string joined = *response->valueForHTTPHeaderField("rep");
    EXPECT_EQ(joined.size(), 20000 * 3 - 2);
    EXPECT_EQ(joined.substr(0, 13), "0, 1, 2, 3, 4");
    EXPECT_EQ(response->headerFields().fields().back().first, "Rep");
}

std::string gzipOf(const std::string& plain) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);  // 31: gzip framing
    std::string out(deflateBound(&z, plain.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = uInt(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// A body past the task's memory bound cancels the task as it arrives, counted after decoding; a download
// writes to disk and is not held to it.
TEST(SessionLimits, BodiesPastTheMemoryBoundFailAsTheyArrive) {
    const std::string plain(8 << 20, 'a');
    const std::string bomb = gzipOf(plain);  // some kB that inflate to 8 MiB
    ASSERT_LT(bomb.size(), size_t(64 << 10));
    LoopbackRawServer server([&](LoopbackConnection& connection) {
        std::string request = connection.readRequest();
        bool gzip = request.find("GET /bomb") == 0;
        const std::string& body = gzip ? bomb : plain;
        connection.write("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                         (gzip ? "\r\nContent-Encoding: gzip" : "") + "\r\n\r\n");
        connection.write(body);
        connection.close();
    });
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setMaximumMemoryPerTask(1 << 20);
    for (const char* path : {"/bomb", "/plain"}) {
        std::string url = server.url(path);
        expectURLError(errorOf(url, 10, configuration), NSURLErrorDataLengthExceedsMaximum, url);
        RecordingSession s(configuration);  // a completion handler collects the body: the same bound
        std::optional<Data> data;
        s.session
            ->dataTaskWithRequest(requestFor(url),
                                  [&](auto d, auto, auto e) {
                                      data = d;
                                      s.delegate->didCompleteWithError(nullptr, nullptr, e);
                                  })
            ->resume();
        ASSERT_TRUE(s.delegate->waitForCompletions(1));
        EXPECT_FALSE(data);
        ASSERT_TRUE(s.delegate->error);
        EXPECT_EQ(s.delegate->error->code(), NSURLErrorDataLengthExceedsMaximum) << path;
    }
    RecordingSession s(configuration);
    auto download = s.run(s.session->downloadTaskWithRequest(requestFor(server.url("/bomb"))), 20);
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(download->countOfBytesReceived(), int64_t(plain.size()));
}

enum class RedirectAnswer { FollowAsked, FollowUnasked, Refuse };

class SessionRedirectBodies : public testing::TestWithParam<RedirectAnswer> {};

// A redirect's body waits for the decision unread: a followed redirect goes on while its server is still
// sending a gzip bomb (nothing of it reaches the task), and a refused one is read as the task's body, held
// to the memory bound like any other.
TEST_P(SessionRedirectBodies, FollowedBodiesAreNotReadAndRefusedOnesAreBounded) {
    const std::string bomb = gzipOf(std::string(16 << 20, 'a'));
    std::atomic<bool> landed{false};
    std::atomic<bool> bombSent{false};
    std::atomic<bool> landedWhileSending{false};
    const bool refuse = GetParam() == RedirectAnswer::Refuse;
    LoopbackRawServer server([&](LoopbackConnection& connection) {
        if (connection.readRequest().find("GET /to") == 0) {
            landedWhileSending = !bombSent;
            landed = true;
            connection.write("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nlanded");
            return connection.close();
        }
        connection.write("HTTP/1.1 302 Found\r\nLocation: /to\r\nContent-Encoding: gzip\r\nContent-Length: " +
                         std::to_string(bomb.size()) + "\r\n\r\n" + bomb.substr(0, bomb.size() / 2));
        // Held back until the redirect is followed (bounded); all at once when it is refused.
        for (int i = 0; i < 1000 && !refuse && !landed && connection.stall(0.01); ++i) {
        }
        connection.write(bomb.substr(bomb.size() / 2));
        bombSent = true;
        connection.close();
    });
    auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
    configuration->setMaximumMemoryPerTask(1 << 20);
    RecordingSession s(configuration);
    s.delegate->implementsRedirect = GetParam() != RedirectAnswer::FollowUnasked;
    if (refuse) s.delegate->onRedirect = [](auto, auto, auto handler) { handler(std::nullopt); };
    auto task = s.runData(requestFor(server.url("/from")), 20);
    if (refuse) {
        ASSERT_TRUE(s.delegate->error);
        EXPECT_EQ(s.delegate->error->code(), NSURLErrorDataLengthExceedsMaximum);
        EXPECT_FALSE(landed);
        return;
    }
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(s.delegate->body, "landed");
    EXPECT_EQ(task->countOfBytesReceived(), 6);
    EXPECT_TRUE(landedWhileSending);
}

std::string answerName(const testing::TestParamInfo<RedirectAnswer>& info) {
    return info.param == RedirectAnswer::FollowAsked     ? "FollowAsked"
           : info.param == RedirectAnswer::FollowUnasked ? "FollowUnasked"
                                                         : "Refuse";
}

INSTANTIATE_TEST_SUITE_P(Answers, SessionRedirectBodies,
                         testing::Values(RedirectAnswer::FollowAsked, RedirectAnswer::FollowUnasked,
                                         RedirectAnswer::Refuse),
                         answerName);

// A silent server against the request's timeout; a trickle (never idle) against the configuration's resource
// timeout; a late reply against the configuration's request timeout.
TEST(SessionTimeouts, RequestAndResourceTimeoutsApply) {
    LoopbackRawServer silent([](LoopbackConnection& connection) {
        connection.readRequest();
        connection.stall(10);
    });
    std::string url = silent.url("/stall");
    expectURLError(errorOf(url, 0.3), NSURLErrorTimedOut, url);

    LoopbackServer server;
    LoopbackReply trickle = LoopbackReply::text(std::string(40, 'x'));
    trickle.chunkSize = 1;
    trickle.chunkDelay = 0.05;
    server.reply("/slow", trickle);
    LoopbackReply late = LoopbackReply::text("late");
    late.delay = 3;
    server.reply("/late", late);
    for (bool resource : {true, false}) {
        auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
        if (resource) configuration->setTimeoutIntervalForResource(0.4);
        if (!resource) configuration->setTimeoutIntervalForRequest(0.3);
        auto error = errorOf(server.url(resource ? "/slow" : "/late"), 60, configuration);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), NSURLErrorTimedOut);
    }
}

}  // namespace
