// HTTPS through the session: the server-trust challenge for each new connection, the delegate's answers,
// default handling against the system anchors, and TLS failures that must end as errors, never hangs.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackRawServer.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TestPKI.h"

namespace {

using Disposition = NSURLSessionAuthChallengeDisposition;

// The recording delegate with a scripted answer to server-trust challenges.
class TrustDelegate : public RecordingDelegate {
  public:
    enum class Level { Session, Task, None };
    Level level = Level::Session;
    // The answer; the default trusts whatever the server presents.
    std::function<void(const NSURLAuthenticationChallengePtr&, NSURLChallengeCompletionHandler)> onChallenge =
        [](const NSURLAuthenticationChallengePtr& challenge, NSURLChallengeCompletionHandler handler) {
            handler(Disposition::UseCredential,
                    NSURLCredential::credentialForTrust(challenge->protectionSpace()->serverTrust()));
        };
    std::vector<NSURLAuthenticationChallengePtr> challenges;
    std::vector<NSURLSessionTaskPtr> challengedTasks;

    bool respondsTo(Method method) const override {
        if (method == Method::DidReceiveChallenge) return level == Level::Session;
        if (method == Method::TaskDidReceiveChallenge) return level == Level::Task;
        return RecordingDelegate::respondsTo(method);
    }
    void didReceiveChallenge(const SessionPtr&, const NSURLAuthenticationChallengePtr& challenge,
                             NSURLChallengeCompletionHandler handler) override {
        note(challenge, nullptr);
        onChallenge(challenge, std::move(handler));
    }
    void taskDidReceiveChallenge(const SessionPtr&, const NSURLSessionTaskPtr& task,
                                 const NSURLAuthenticationChallengePtr& challenge,
                                 NSURLChallengeCompletionHandler handler) override {
        note(challenge, task);
        onChallenge(challenge, std::move(handler));
    }

  private:
    void note(const NSURLAuthenticationChallengePtr& challenge, const NSURLSessionTaskPtr& task) {
        record("challenge", [&] {
            challenges.push_back(challenge);
            challengedTasks.push_back(task);
        });
    }
};

struct TrustSession : DelegateSession<TrustDelegate> {
    explicit TrustSession(double requestTimeout = 20) : DelegateSession(configuration(requestTimeout)) {}
    static NSURLSessionConfigurationPtr configuration(double requestTimeout) {
        auto configuration = NSURLSessionConfiguration::defaultSessionConfiguration();
        configuration->setTimeoutIntervalForRequest(requestTimeout);
        return configuration;
    }
    // A GET to completion.
    NSURLSessionDataTaskPtr get(const std::string& url) { return runData(requestFor(url), 20); }
};

class SessionTLS : public ::testing::Test {
  protected:
    void TearDown() override { SecSystemAnchors::restoreDefault(); }
    static void trustTestRoot() {
        SecSystemAnchors::replace({SecCertificate::createWithData(TestPKI::shared().root().certificateDer)});
    }
    static std::string untrustedText(const std::string& host) {
        return "The certificate for this server is invalid. You might be connecting to a server that is "
               "pretending to be \u201c" +
               host + "\u201d which could put your confidential information at risk.";
    }
};

TEST_F(SessionTLS, DelegateAcceptsTheServerWithACredentialForItsTrust) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    ASSERT_TRUE(server.isRunning());
    server.reply("/hello", LoopbackReply::text("over TLS"));
    TrustSession s;
    auto task = s.get(server.url("/hello"));

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
    // The chain as the server sent it: the leaf, then the intermediate.
    ASSERT_EQ(space->serverTrust()->certificateCount(), 2u);
    EXPECT_EQ(space->serverTrust()->certificateAtIndex(0)->data(), TestPKI::shared().server().certificateDer);
    EXPECT_EQ(space->serverTrust()->certificateAtIndex(1)->data(),
              TestPKI::shared().intermediate().certificateDer);
    // The trust checks the host it was made for.
    auto policies = space->serverTrust()->policies();
    ASSERT_EQ(policies.size(), 1u);
    EXPECT_EQ(policies[0]->hostname(), "127.0.0.1");
}

// Default handling: the system anchors decide, with the host check.
struct DefaultCase {
    const char* name;
    const TestCredential& (TestPKI::*leaf)() const;
    const char* host;
    bool trustRoot;  // the test root replaces the system anchors
    bool accepted;
};

TEST_F(SessionTLS, DefaultHandlingChecksChainAndHostAgainstTheSystemAnchors) {
    const DefaultCase cases[] = {
        {"trusted root", &TestPKI::server, "127.0.0.1", true, true},
        {"unknown root", &TestPKI::server, "127.0.0.1", false, false},
        {"self-signed", &TestPKI::selfSigned, "127.0.0.1", true, false},
        {"wrong host", &TestPKI::wrongHost, "127.0.0.1", true, false},
        {"expired leaf", &TestPKI::expired, "localhost", true, false},
        {"not yet valid", &TestPKI::notYetValid, "localhost", true, false},
    };
    const TestPKI& pki = TestPKI::shared();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.trustRoot) {
            trustTestRoot();
        } else {
            SecSystemAnchors::restoreDefault();
        }
        LoopbackServer server(pki, (pki.*c.leaf)());
        ASSERT_TRUE(server.isRunning());
        server.reply("/d", LoopbackReply::text("default"));
        TrustSession s;
        s.delegate->onChallenge = [](const NSURLAuthenticationChallengePtr&,
                                     NSURLChallengeCompletionHandler h) {
            h(Disposition::PerformDefaultHandling, nullptr);
        };
        std::string url = server.url(c.host, "/d");
        s.get(url);
        EXPECT_EQ(s.delegate->challenges.size(), 1u);
        if (c.accepted) {
            EXPECT_FALSE(s.delegate->error) << s.delegate->error->description();
            EXPECT_EQ(s.delegate->body, "default");
            continue;
        }
        const auto& error = s.delegate->error;
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), NSURLErrorDomain);
        EXPECT_EQ(error->code(), NSURLErrorServerCertificateUntrusted);
        EXPECT_EQ(error->localizedDescription(), untrustedText(c.host));
        EXPECT_EQ(error->failingURLString(), url);
        auto trust = error->userInfo().find(NSURLErrorFailingURLPeerTrustErrorKey);
        ASSERT_NE(trust, error->userInfo().end());
        EXPECT_TRUE(trust->second.asObjectOf<SecTrust>());
        EXPECT_EQ(server.totalHits(), 0u) << "no request may reach an untrusted server";
    }
}

TEST_F(SessionTLS, ChallengeGoesToTheTaskLevelOrDefaultHandlingWhenNotImplemented) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/n", LoopbackReply::text("none"));
    {
        TrustSession s;
        s.delegate->level = TrustDelegate::Level::Task;
        auto task = s.get(server.url("/n"));
        EXPECT_FALSE(s.delegate->error);
        ASSERT_EQ(s.delegate->challengedTasks.size(), 1u);
        EXPECT_EQ(s.delegate->challengedTasks[0], task);
    }
    for (bool trusted : {false, true}) {
        if (trusted) trustTestRoot();
        TrustSession s;
        s.delegate->level = TrustDelegate::Level::None;
        s.get(server.url("/n"));
        EXPECT_EQ(s.delegate->error ? s.delegate->error->code() : 0,
                  trusted ? 0 : NSURLErrorServerCertificateUntrusted);
        EXPECT_EQ(s.delegate->body, trusted ? "none" : "");
        EXPECT_TRUE(s.delegate->challenges.empty());
    }
}

TEST_F(SessionTLS, AnswersThatDoNotTrustTheServer) {
    struct Case {
        const char* name;
        std::function<void(const NSURLAuthenticationChallengePtr&, NSURLChallengeCompletionHandler)> answer;
        long code;
    };
    const Case cases[] = {
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
        ASSERT_TRUE(s.delegate->error);
        EXPECT_EQ(s.delegate->error->code(), c.code) << s.delegate->error->description();
        EXPECT_EQ(s.delegate->body, "");
    }
    EXPECT_EQ(server.totalHits(), 0u);
}

// Keeps every challenge handler without calling it.
struct HeldAnswers {
    std::mutex mutex;
    std::condition_variable asked;
    std::vector<NSURLChallengeCompletionHandler> handlers;

    explicit HeldAnswers(TrustDelegate& delegate) {
        delegate.onChallenge = [this](const NSURLAuthenticationChallengePtr&,
                                      NSURLChallengeCompletionHandler h) {
            std::lock_guard lock(mutex);
            handlers.push_back(std::move(h));
            asked.notify_all();
        };
    }
    bool waitForOne() {
        std::unique_lock lock(mutex);
        return asked.wait_for(lock, std::chrono::seconds(20), [&] { return !handlers.empty(); });
    }
};

TEST_F(SessionTLS, ADelegateThatNeverAnswersTimesOutWithinTheRequestTimeout) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    server.reply("/slow", LoopbackReply::text("never"));
    TrustSession s(1);
    HeldAnswers held(*s.delegate);
    auto started = std::chrono::steady_clock::now();
    s.get(server.url("/slow"));
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorTimedOut);
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 5);
    // A late answer changes nothing.
    std::lock_guard lock(held.mutex);
    ASSERT_EQ(held.handlers.size(), 1u);
    held.handlers[0](Disposition::UseCredential, nullptr);
    EXPECT_EQ(s.delegate->completions, 1);
}

TEST_F(SessionTLS, CancellingATaskEndsItsPendingChallengeAtOnce) {
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    TrustSession s(60);
    HeldAnswers held(*s.delegate);
    auto started = std::chrono::steady_clock::now();
    auto task = s.session->dataTaskWithURL(NSURL::URLWithString(server.url("/c")));
    task->resume();
    ASSERT_TRUE(held.waitForOne());
    task->cancel();
    ASSERT_TRUE(s.delegate->waitForCompletions(1, 20));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 10);
    ASSERT_TRUE(s.delegate->error);
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorCancelled);
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
}

TEST_F(SessionTLS, TransfersOverHTTPSCarryBodiesBothWays) {
    trustTestRoot();
    LoopbackServer server(LoopbackServer::Scheme::HTTPS);
    std::string sent = binaryBody(700 * 1024);
    server.on("POST", "/echo", [](const LoopbackRequest& r) {
        LoopbackReply reply = LoopbackReply::text(r.body);
        reply.chunkSize = 64 * 1024;
        return reply;
    });
    TrustSession s;
    s.delegate->level = TrustDelegate::Level::None;
    NSMutableURLRequest request(NSURL::URLWithString(server.url("/echo")));
    request.setHTTPMethod("POST");
    request.setValue("application/octet-stream", "Content-Type");
    s.run(s.session->uploadTaskWithRequest(request, Data(sent.data(), sent.size())), 20);
    EXPECT_FALSE(s.delegate->error);
    EXPECT_EQ(s.delegate->body.size(), sent.size());
    EXPECT_TRUE(s.delegate->body == sent);
}

// Servers that break the handshake: each ends as a clear error, well within the bound.
TEST_F(SessionTLS, BrokenHandshakesEndInErrors) {
    struct Case {
        const char* name;
        LoopbackRawServer::Script script;
        long code;
    };
    const Case cases[] = {
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
        TrustSession s(3);  // short enough for the stalled handshake, long enough for a loaded machine
        auto started = std::chrono::steady_clock::now();
        std::string url = "https://127.0.0.1:" + std::to_string(raw.port()) + "/";
        s.get(url);
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), 10);
        ASSERT_TRUE(s.delegate->error);
        EXPECT_EQ(s.delegate->error->code(), c.code) << s.delegate->error->description();
        EXPECT_EQ(s.delegate->error->failingURLString(), url);
        EXPECT_TRUE(s.delegate->challenges.empty());
    }
}

}  // namespace
