// What connections cost and when they are made: sessions that decide trust themselves hold no thread and
// few descriptors once idle, a flushed session opens new connections, transfers wait for a connection that
// may carry them together, and compressed bodies are decoded whatever the request asked for.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "platform/net/tests/SessionTestSupport.h"

namespace {

size_t entriesIn(const char* directory) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
    return count;
}

// Waits (bounded, real time) until `done` holds.
bool eventually(const std::function<bool()>& done, double seconds = 10) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(SessionOwnLoops, ManySessionsLeftIdleHoldNoThreadAndFewDescriptors) {
    TestRootAnchors anchors;
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/r", LoopbackReply::text("ok"));
    {
        DelegateSession<TrustDelegate> warm;  // the pools of threads this needs at all are there
        warm.runData(requestFor(server.url("/r")), 20);
    }
    const size_t threadsBefore = entriesIn("/proc/self/task");
    const size_t descriptorsBefore = entriesIn("/proc/self/fd");

    // Like managers made for one request and never invalidated: each session answers the trust challenge,
    // so its HTTPS runs on a loop of its own.
    constexpr int kSessions = 30;
    std::vector<std::unique_ptr<DelegateSession<TrustDelegate>>> sessions;
    for (int i = 0; i < kSessions; ++i) {
        sessions.push_back(std::make_unique<DelegateSession<TrustDelegate>>());
        sessions.back()->runData(requestFor(server.url("/r")), 20);
        ASSERT_FALSE(sessions.back()->delegate->error) << sessions.back()->delegate->error->description();
    }
    EXPECT_EQ(server.hits("/r"), size_t(kSessions + 1));
    EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/task") <= threadsBefore + 6; }))
        << entriesIn("/proc/self/task") - threadsBefore << " threads more";
    // Those that idled last keep a connection and a wake-up pair (and the server its end): far fewer than
    // one set per session.
    EXPECT_TRUE(eventually([&] { return entriesIn("/proc/self/fd") <= descriptorsBefore + 40; }))
        << entriesIn("/proc/self/fd") - descriptorsBefore << " descriptors more";

    // A session whose connection was given up for others still works, on a new one.
    sessions.front()->runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(sessions.front()->delegate->error);
    EXPECT_EQ(sessions.front()->delegate->challenges.size(), 2u);
}

TEST(SessionFlush, LaterRequestsGoOnNewConnectionsUnderTheNewDecision) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/r", LoopbackReply::text("secret"));
    DelegateSession<TrustDelegate> s;  // accepts any server
    s.runData(requestFor(server.url("/r")), 20);
    s.runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(s.delegate->challenges.size(), 1u);  // the kept connection carried the second

    // The delegate's decision changes: the connection it accepted before is not ridden again.
    s.delegate->onChallenge = [](auto&, auto h) {
        h(TrustDelegate::Disposition::CancelAuthenticationChallenge, nullptr);
    };
    bool flushed = false;
    s.session->flushWithCompletionHandler([&] { flushed = true; });
    s.runData(requestFor(server.url("/r")), 20);
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorCancelled);
    EXPECT_EQ(s.delegate->challenges.size(), 2u);
    EXPECT_TRUE(flushed);
    EXPECT_EQ(server.hits("/r"), 2u);
}

TEST(SessionFlush, TransfersRunningMeanwhileLeaveNoConnectionBehind) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/slow", [] {
        auto reply = LoopbackReply::text("slow");
        reply.delay = 0.3;
        return reply;
    }());
    server.reply("/r", LoopbackReply::text("fast"));
    DelegateSession<TrustDelegate> s;
    auto slow = s.session->dataTaskWithRequest(requestFor(server.url("/slow")));
    slow->resume();
    ASSERT_TRUE(server.waitForHits("/slow", 1));
    s.session->flushWithCompletionHandler(nullptr);
    s.runData(requestFor(server.url("/r")), 20);  // while /slow still runs on the old connection
    EXPECT_TRUE(s.delegate->waitForCompletions(2, 20));
    s.started = 2;
    s.runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(s.delegate->error);
    // Neither the connection from before the flush nor the one made while it waited was used again.
    EXPECT_EQ(s.delegate->challenges.size(), 3u);
    EXPECT_EQ(server.connections(), 3u);
}

// Connections from this process to `port` that have been opened (in any state), as the kernel lists them.
size_t clientConnectionsTo(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    size_t count = 0;
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", unsigned(port));
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote;
        fields >> slot >> local >> remote;
        if (remote.size() > 5 && remote.substr(remote.size() - 5) == wanted) ++count;
    }
    return count;
}

TEST(SessionConnections, TransfersStartedTogetherWaitForTheFirstConnectionToKnowWhatItCarries) {
    LoopbackServer gate(LoopbackServer::Scheme::HTTPS);
    gate.reply("/gate", LoopbackReply::text("gate"));
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/r", LoopbackReply::text("ok"));

    DelegateSession<TrustDelegate> s;
    std::mutex mutex;
    std::condition_variable changed;
    bool gateOpen = false;
    size_t connectionsAtFirstHandshake = 0;
    std::atomic<int> challenge{0};
    s.delegate->onChallenge = [&](const NSURLAuthenticationChallengePtr& c,
                                  NSURLChallengeCompletionHandler h) {
        int number = ++challenge;
        if (number == 1) {
            // Holds the loop inside the gate's handshake while the four transfers below are queued, so
            // that they start together.
            std::unique_lock lock(mutex);
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return gateOpen; });
        } else if (number == 2) {
            // The first handshake with the server: with the others waiting, they opened nothing yet. Give
            // connections that were opened time to show (they would have been before this handshake).
            eventually([&] { return clientConnectionsTo(server.port()) > 1; }, 1);
            connectionsAtFirstHandshake = clientConnectionsTo(server.port());
        }
        h(TrustDelegate::Disposition::UseCredential,
          NSURLCredential::credentialForTrust(c->protectionSpace()->serverTrust()));
    };
    s.session->dataTaskWithRequest(requestFor(gate.url("/gate")))->resume();
    ASSERT_TRUE(eventually([&] { return challenge >= 1; }));
    for (int i = 0; i < 4; ++i) s.session->dataTaskWithRequest(requestFor(server.url("/r")))->resume();
    {
        std::lock_guard lock(mutex);
        gateOpen = true;
    }
    changed.notify_all();
    ASSERT_TRUE(s.delegate->waitForCompletions(5, 20));
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(server.hits("/r"), 4u);
    EXPECT_EQ(connectionsAtFirstHandshake, 1u);
}

// {"items":["decoded", ... 40 times]} gzip-compressed.
const std::string kGzipped(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\xab\x56\xca\x2c\x49\xcd\x2d\x56\xb2\x8a\x56\x4a\x49\x4d\xce\x4f"
    "\x49\x4d\x51\xd2\x19\x65\x0d\x02\x56\x6c\x2d\x00\x97\x53\x41\x66\x9b\x01\x00\x00",
    46);

struct EncodingCase {
    const char* name;
    std::optional<std::string> asked;  // the request's own Accept-Encoding
    std::string sent;                  // what the server sees
};

class SessionDecoding : public testing::TestWithParam<EncodingCase> {};

TEST_P(SessionDecoding, ACompressedBodyIsDecodedWhateverTheRequestAskedFor) {
    const auto& c = GetParam();
    LoopbackServer server;
    auto reply = LoopbackReply::json(kGzipped);
    reply.headers.emplace_back("Content-Encoding", "gzip");
    server.reply("/z", reply);
    RecordingSession s;
    NSMutableURLRequest request = requestFor(server.url("/z"));
    if (c.asked) request.setValue(*c.asked, "Accept-Encoding");
    s.runData(request);
    ASSERT_FALSE(s.delegate->error) << s.delegate->error->description();
    EXPECT_EQ(s.delegate->body.size(), 411u);
    EXPECT_EQ(s.delegate->body.rfind("{\"items\":[\"decoded\",", 0), 0u);
    auto seen = server.lastRequest("/z");
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->header("Accept-Encoding").value_or("(none)"), c.sent);
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionDecoding,
                         testing::Values(EncodingCase{"default", std::nullopt, "gzip, deflate"},
                                         EncodingCase{"gzip", "gzip", "gzip"},
                                         EncodingCase{"weighted", "gzip;q=1.0, identity;q=0.5",
                                                      "gzip;q=1.0, identity;q=0.5"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
