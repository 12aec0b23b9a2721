// Connections outliving requests: kept while a loop idles, shared across sessions for plain HTTP and for
// HTTPS under the default trust policy, never across a trust boundary; an idle time on the platform clock.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/foundation/Clock.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackRawServer.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestPKI.h"

namespace {

using Disposition = NSURLSessionAuthChallengeDisposition;

// Trusts whatever the server presents (or, `pinned`, nothing) and counts the challenges.
class TrustAllDelegate : public RecordingDelegate {
  public:
    bool pinned = false;
    std::atomic<int> challenges{0};
    void didReceiveChallenge(const SessionPtr&, const NSURLAuthenticationChallengePtr& challenge,
                             NSURLChallengeCompletionHandler handler) override {
        ++challenges;
        if (pinned) return handler(Disposition::CancelAuthenticationChallenge, nullptr);
        handler(Disposition::UseCredential,
                NSURLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust()));
    }
};

// Default handling only: the delegate has no say in server trust.
class DefaultTrustDelegate : public RecordingDelegate {
  public:
    bool respondsTo(Method method) const override {
        return method != Method::DidReceiveChallenge && method != Method::TaskDidReceiveChallenge &&
               RecordingDelegate::respondsTo(method);
    }
};

// One GET in a fresh session that is invalidated afterwards; the task's error code (0 on success).
template <class Delegate>
long getOnce(const std::string& url, std::shared_ptr<Delegate>* delegateOut = nullptr) {
    DelegateSession<Delegate> s;
    s.runData(requestFor(url), 20);
    if (delegateOut) *delegateOut = s.delegate;
    return s.delegate->error ? s.delegate->error->code() : 0;
}

TEST(SessionReuse, PlainHTTPConnectionsServeLaterRequestsOfThisAndOtherSessions) {
    LoopbackServer server;
    server.reply("/r", LoopbackReply::text("again"));
    {
        RecordingSession s;
        for (int i = 1; i <= 3; ++i) {
            s.runData(requestFor(server.url("/r")));
            EXPECT_EQ(s.delegate->body.size(), size_t(5 * i));
        }
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(getOnce<RecordingDelegate>(server.url("/r")), 0);
    EXPECT_EQ(server.totalHits(), 6u);
    EXPECT_EQ(server.connections(), 1u);
}

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

TEST(SessionReuse, HTTPSConnectionsNeverCrossATrustBoundary) {
    // A server whose certificate the default policy refuses (wrong host).
    LoopbackServer server(TestPKI::shared(), TestPKI::shared().wrongHost());
    ASSERT_TRUE(server.isRunning());
    server.reply("/r", LoopbackReply::text("secret"));
    SecSystemAnchors::replace({SecCertificate::createWithData(TestPKI::shared().root().certificateDer)});

    // A permissive session trusts it once and then rides on its own connection.
    DelegateSession<TrustAllDelegate> permissive;
    permissive.runData(requestFor(server.url("/r")), 20);
    permissive.runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(permissive.delegate->error);
    EXPECT_EQ(permissive.delegate->challenges, 1);

    // Neither a pinned session nor one under the default policy gets that connection.
    std::shared_ptr<TrustAllDelegate> pinned;
    {
        DelegateSession<TrustAllDelegate> s;
        s.delegate->pinned = true;
        s.runData(requestFor(server.url("/r")), 20);
        pinned = s.delegate;
    }
    EXPECT_EQ(pinned->challenges, 1);
    ASSERT_TRUE(pinned->error);
    EXPECT_EQ(pinned->error->code(), NSURLErrorCancelled);
    EXPECT_EQ(getOnce<DefaultTrustDelegate>(server.url("/r")), NSURLErrorServerCertificateUntrusted);
    EXPECT_EQ(server.hits("/r"), 2u);
    SecSystemAnchors::restoreDefault();
}

TEST(SessionReuse, SessionsUnderTheDefaultPolicyShareTrustedConnections) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/r", LoopbackReply::text("shared"));
    SecSystemAnchors::replace({SecCertificate::createWithData(TestPKI::shared().root().certificateDer)});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(getOnce<DefaultTrustDelegate>(server.url("/r")), 0);
    EXPECT_EQ(server.connections(), 1u);
    SecSystemAnchors::restoreDefault();
}

TEST(SessionReuse, AnIdleSessionLetsItsConnectionsGoAfterTheIdleLifetime) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/r", LoopbackReply::text("idle"));
    ManualClock clock;
    DelegateSession<TrustAllDelegate> s;
    s.runData(requestFor(server.url("/r")), 20);
    clock.advance(NSURLSessionIdleLifetime - 1);
    s.runData(requestFor(server.url("/r")), 20);
    EXPECT_EQ(s.delegate->challenges, 1);
    EXPECT_EQ(server.connections(), 1u);

    clock.advance(NSURLSessionIdleLifetime + 1);
    s.runData(requestFor(server.url("/r")), 20);
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(s.delegate->challenges, 2);  // a new connection, put to the delegate again
    EXPECT_EQ(server.connections(), 2u);
}

}  // namespace
