// Connections outliving requests: kept while a loop idles, shared across sessions for plain HTTP and for
// HTTPS under the default trust policy, never across a trust boundary; an idle time on the platform clock.
#include <gtest/gtest.h>

#include "platform/foundation/Clock.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackServer.h"
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
