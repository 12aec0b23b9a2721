// Connections outliving requests: kept while a loop idles, shared across sessions for plain HTTP and for
// HTTPS under the default trust policy, never across a trust boundary; an idle time on the platform clock.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/Clock.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackRawServer.h"
#include "testsupport/TempDir.h"

namespace {

// One GET in a fresh session (default trust handling) that is invalidated afterwards; its error code.
long getOnce(const std::string& url, std::function<void(TrustDelegate&)> setUp = nullptr,
             std::shared_ptr<TrustDelegate>* delegateOut = nullptr) {
    DelegateSession<TrustDelegate> s;
    s.delegate->level = TrustDelegate::Level::None;
    if (setUp) setUp(*s.delegate);
    s.runData(requestFor(url), 20);
    if (delegateOut) *delegateOut = s.delegate;
    return s.delegate->error ? s.delegate->error->code() : 0;
}

using SessionReuse = OverBothSchemes;

TEST_P(SessionReuse, ConnectionsServeLaterRequestsOfThisAndOtherSessions) {
    server_.reply("/r", LoopbackReply::text("again"));
    {
        DelegateSession<TrustDelegate> s;
        s.delegate->level = TrustDelegate::Level::None;
        for (int i = 1; i <= 3; ++i) {
            s.runData(requestFor(server_.url("/r")));
            EXPECT_EQ(s.delegate->body.size(), size_t(5 * i));
        }
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(getOnce(server_.url("/r")), 0);
    EXPECT_EQ(server_.totalHits(), 6u);
    EXPECT_EQ(server_.connections(), 1u);
}

INSTANTIATE_OVER_BOTH_SCHEMES(SessionReuse);

// A kept connection that the server closes or resets as the next request goes out (its keep-alive ran
// out): the request goes again on a fresh connection instead of failing.
class SessionDroppedConnection : public testing::TestWithParam<bool> {};

TEST_P(SessionDroppedConnection, ARequestOnItGoesAgainOnANewOne) {
    bool reset = GetParam();
    LoopbackRawServer server([reset](LoopbackConnection& connection) {
        while (connection.readRequest().find("POST") == 0) {
            if (!connection.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")) return;
            if (connection.readRequest().empty()) return;
            if (reset) return connection.reset();
            break;  // the second request on this connection: dropped unanswered
        }
        connection.close();
    });
    TempDir dir;
    std::string file = dir.file("body");
    std::ofstream(file) << "body";
    RecordingSession s;
    for (int i = 1; i <= 2; ++i) {
        NSMutableURLRequest request = requestFor(server.url("/p"), "POST");
        // From bytes, then from a file (a stream that starts over).
        auto task = i == 1 ? s.session->uploadTaskWithRequest(request, Data::fromString("body"))
                           : s.session->uploadTaskWithRequestFromFile(request, NSURL::fileURLWithPath(file));
        s.run(task);
        EXPECT_FALSE(s.delegate->error) << s.delegate->error->description();
        EXPECT_EQ(s.delegate->body.size(), size_t(2 * i));
    }
    EXPECT_EQ(server.connections(), 2u);
}

INSTANTIATE_TEST_SUITE_P(ClosedOrReset, SessionDroppedConnection, testing::Bool());

TEST(SessionTrustBoundary, HTTPSConnectionsNeverCrossIt) {
    // A server whose certificate the default policy refuses (wrong host).
    LoopbackServer server(TestPKI::shared(), TestPKI::shared().wrongHost());
    server.reply("/r", LoopbackReply::text("secret"));
    TestRootAnchors anchors;

    // A permissive session trusts it once and then rides on its own connection.
    DelegateSession<TrustDelegate> permissive;
    permissive.runData(requestFor(server.url("/r")), 20);
    permissive.runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(permissive.delegate->error);
    EXPECT_EQ(permissive.delegate->challenges.size(), 1u);

    // Neither a pinned session nor one under the default policy gets that connection.
    std::shared_ptr<TrustDelegate> pinned;
    auto pin = [](TrustDelegate& d) {
        d.level = TrustDelegate::Level::Session;
        d.onChallenge = [](auto&, auto h) {
            h(TrustDelegate::Disposition::CancelAuthenticationChallenge, nullptr);
        };
    };
    EXPECT_EQ(getOnce(server.url("/r"), pin, &pinned), NSURLErrorCancelled);
    EXPECT_EQ(pinned->challenges.size(), 1u);
    EXPECT_EQ(getOnce(server.url("/r")), NSURLErrorServerCertificateUntrusted);
    EXPECT_EQ(server.hits("/r"), 2u);
}

TEST(SessionIdle, AnIdleSessionLetsItsConnectionsGoAfterTheIdleLifetime) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/r", LoopbackReply::text("idle"));
    ManualClock clock;
    DelegateSession<TrustDelegate> s;
    s.runData(requestFor(server.url("/r")), 20);
    clock.advance(NSURLSessionIdleLifetime - 1);
    s.runData(requestFor(server.url("/r")), 20);
    EXPECT_EQ(s.delegate->challenges.size(), 1u);
    EXPECT_EQ(server.connections(), 1u);

    clock.advance(NSURLSessionIdleLifetime + 1);
    s.runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(s.delegate->challenges.size(), 2u);  // a new connection, put to the delegate again
    EXPECT_EQ(server.connections(), 2u);
}

}  // namespace
