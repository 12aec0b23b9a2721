// HTTPS through the session: the server-trust challenge for each new connection, the delegate's answers,
// default handling against the system anchors, and TLS failures that must end as errors, never hangs.
#include <gtest/gtest.h>

#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackRawServer.h"

namespace {

using Disposition = NSURLSessionAuthChallengeDisposition;

struct TrustSession : DelegateSession<TrustDelegate> {
    explicit TrustSession(double requestTimeout = 20,
                          TrustDelegate::Level level = TrustDelegate::Level::Session)
        : DelegateSession(configuration(requestTimeout)) {
        delegate->level = level;
    }
    static NSURLSessionConfigurationPtr configuration(double requestTimeout) {
        auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
        configuration->setTimeoutIntervalForRequest(requestTimeout);
        return configuration;
    }
    NSURLSessionDataTaskPtr get(const std::string& url) { return runData(requestFor(url), 20); }
    long code() { return delegate->error ? delegate->error->code() : 0; }
};

TEST(SessionTLS, TheChallengeCarriesTheChainAndHostAndGoesToTheLevelImplemented) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/hello", LoopbackReply::text("over TLS"));
    TrustSession s;
    s.get(server.url("/hello"));
    EXPECT_FALSE(s.delegate->error) << s.delegate->error->description();
    EXPECT_EQ(s.delegate->body, "over TLS");
    EXPECT_FALSE(s.delegate->wrongQueue);
    ASSERT_EQ(s.delegate->challenges.size(), 1u);
    const auto& space = s.delegate->challenges[0]->protectionSpace();
    EXPECT_EQ(space->authenticationMethod(), NSURLAuthenticationMethodServerTrust);
    EXPECT_EQ(space->host(), "127.0.0.1");
    EXPECT_EQ(space->port(), server.port());
    EXPECT_EQ(space->protocol(), "https");
    ASSERT_TRUE(space->serverTrust());
    // The chain as the server sent it: the leaf, then the intermediate; the policy checks the host.
    ASSERT_EQ(space->serverTrust()->certificateCount(), 2u);
    EXPECT_EQ(space->serverTrust()->certificateAtIndex(0)->data(), TestPKI::shared().server().certificateDer);
    EXPECT_EQ(space->serverTrust()->certificateAtIndex(1)->data(),
              TestPKI::shared().intermediate().certificateDer);
    auto policies = space->serverTrust()->policies();
    ASSERT_EQ(policies.size(), 1u);
    EXPECT_EQ(policies[0]->hostname(), "127.0.0.1");

    TrustSession task(20, TrustDelegate::Level::Task);
    auto challenged = task.get(server.url("/hello"));
    EXPECT_FALSE(task.delegate->error);
    ASSERT_EQ(task.delegate->challengedTasks.size(), 1u);
    EXPECT_EQ(task.delegate->challengedTasks[0], challenged);
}

// Default handling (asked for, or the delegate has no say): the system anchors decide, with the host check.
TEST(SessionTLS, DefaultHandlingChecksChainAndHostAgainstTheSystemAnchors) {
    const struct {
        const char* name;
        const TestCredential& (TestPKI::*leaf)() const;
        const char* host;
        bool trustRoot;  // the test root replaces the system anchors
        bool accepted;
        TrustDelegate::Level level = TrustDelegate::Level::Session;
    } cases[] = {
        {"trusted root", &TestPKI::server, "127.0.0.1", true, true},
        {"unknown root", &TestPKI::server, "127.0.0.1", false, false},
        {"self-signed", &TestPKI::selfSigned, "127.0.0.1", true, false},
        {"wrong host", &TestPKI::wrongHost, "127.0.0.1", true, false},
        {"expired leaf", &TestPKI::expired, "localhost", true, false},
        {"not yet valid", &TestPKI::notYetValid, "localhost", true, false},
        {"no say, trusted root", &TestPKI::server, "127.0.0.1", true, true, TrustDelegate::Level::None},
        {"no say, unknown root", &TestPKI::server, "127.0.0.1", false, false, TrustDelegate::Level::None},
    };
    const TestPKI& pki = TestPKI::shared();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<TestRootAnchors> anchors;
        if (c.trustRoot) anchors.emplace();
        LoopbackServer server(pki, (pki.*c.leaf)());
        server.reply("/d", LoopbackReply::text("default"));
        TrustSession s(20, c.level);
        s.delegate->onChallenge = [](auto&, auto h) { h(Disposition::PerformDefaultHandling, nullptr); };
        std::string url = server.url(c.host, "/d");
        s.get(url);
        EXPECT_EQ(s.delegate->challenges.size(), c.level == TrustDelegate::Level::None ? 0u : 1u);
        if (c.accepted) {
            EXPECT_FALSE(s.delegate->error) << s.delegate->error->description();
            EXPECT_EQ(s.delegate->body, "default");
            continue;
        }
        const auto& error = s.delegate->error;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), NSURLErrorDomain);
        EXPECT_EQ(error->code(), NSURLErrorServerCertificateUntrusted);
        EXPECT_EQ(error->localizedDescription(),
                  "The certificate for this server is invalid. You might be connecting to a server that is "
                  "pretending to be \u201c" +
                      std::string(c.host) + "\u201d which could put your confidential information at risk.");
        EXPECT_EQ(error->failingURLString(), url);
        auto trust = error->userInfo().find(NSURLErrorFailingURLPeerTrustErrorKey);
        ASSERT_NE(trust, error->userInfo().end());
        EXPECT_TRUE(trust->second.asObjectOf<SecTrust>());
        EXPECT_EQ(server.totalHits(), 0u) << "no request may reach an untrusted server";
    }
}

TEST(SessionTLS, AnswersThatDoNotTrustTheServer) {
    const struct {
        const char* name;
        std::function<void(const NSURLAuthenticationChallengePtr&, NSURLChallengeCompletionHandler)> answer;
        long code;
    } cases[] = {
        {"cancel", [](auto&, auto h) { h(Disposition::CancelAuthenticationChallenge, nullptr); },
         NSURLErrorCancelled},
        {"use credential without one", [](auto&, auto h) { h(Disposition::UseCredential, nullptr); },
         NSURLErrorServerCertificateUntrusted},
        {"credential for another trust",
         [](auto&, auto h) {
             auto other = SecTrust::create(
                 {SecCertificate::createWithData(TestPKI::shared().root().certificateDer)}, {});
             h(Disposition::UseCredential, NSURLCredential::credentialForTrust(other));
         },
         NSURLErrorServerCertificateUntrusted},
        {"reject protection space: default handling",
         [](auto&, auto h) { h(Disposition::RejectProtectionSpace, nullptr); },
         NSURLErrorServerCertificateUntrusted},
        {"handler dropped: default handling", [](auto&, auto) {}, NSURLErrorServerCertificateUntrusted},
    };
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/x", LoopbackReply::text("secret"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TrustSession s;
        s.delegate->onChallenge = c.answer;
        s.get(server.url("/x"));
        EXPECT_EQ(s.code(), c.code);
        EXPECT_EQ(s.delegate->body, "");
    }
    EXPECT_EQ(server.totalHits(), 0u);
}

// A challenge never answered: the request timeout ends it (a late answer changes nothing), and so does a
// cancel, well before the timeout.
TEST(SessionTLS, AnUnansweredChallengeEndsByTimeoutOrCancel) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/slow", LoopbackReply::text("never"));
    for (bool cancel : {false, true}) {
        TrustSession s(cancel ? 600 : 1);
        std::mutex mutex;
        std::vector<NSURLChallengeCompletionHandler> held;
        s.delegate->onChallenge = [&](auto&, NSURLChallengeCompletionHandler h) {
            std::lock_guard lock(mutex);
            held.push_back(std::move(h));
        };
        auto task = s.session->dataTaskWithURL(NSURL::URLWithString(server.url("/slow")));
        if (cancel) {
            task->resume();
            ASSERT_TRUE(s.delegate->waitFor([&] { return !s.delegate->challenges.empty(); }, 20));
            task->cancel();
            ASSERT_TRUE(s.delegate->waitForCompletions(1, 20));
        } else {
            s.run(task, 20);
        }
        EXPECT_EQ(s.code(), cancel ? NSURLErrorCancelled : NSURLErrorTimedOut);
        EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
        std::lock_guard lock(mutex);
        ASSERT_EQ(held.size(), 1u);
        held[0](Disposition::UseCredential, nullptr);
        EXPECT_EQ(s.delegate->completions, 1);
    }
}

// Servers that break the handshake: each ends as a clear error, within the bounded wait.
TEST(SessionTLS, BrokenHandshakesEndInErrors) {
    const struct {
        const char* name;
        LoopbackRawServer::Script script;
        long code;
    } cases[] = {
        {"plain HTTP on the TLS port",
         [](LoopbackConnection& c) {
             c.write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
             c.stall(5);
         },
         NSURLErrorSecureConnectionFailed},
        {"closed at once", [](LoopbackConnection& c) { c.close(); }, NSURLErrorSecureConnectionFailed},
        {"stalls the handshake", [](LoopbackConnection& c) { c.stall(30); }, NSURLErrorTimedOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackRawServer raw(c.script);
        TrustSession s(3);
        std::string url = "https://127.0.0.1:" + std::to_string(raw.port()) + "/";
        s.get(url);
        ASSERT_TRUE(s.delegate->error);
        EXPECT_EQ(s.delegate->error->code(), c.code) << s.delegate->error->description();
        EXPECT_EQ(s.delegate->error->failingURLString(), url);
        EXPECT_TRUE(s.delegate->challenges.empty());
    }
}

}  // namespace
