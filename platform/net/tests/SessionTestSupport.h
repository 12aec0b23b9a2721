// A recording session delegate for the session tests: it logs every callback, checks that callbacks run on
// the delegate queue one at a time, and waits (bounded) for completion.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/URLSession.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TestPKI.h"

class RecordingDelegate : public NSURLSessionDelegate {
  public:
    std::shared_ptr<NSOperationQueue> queue;  // expected delegate queue
    // Answers; the defaults allow and follow.
    std::function<void(const NSURLResponsePtr&, std::function<void(NSURLSessionResponseDisposition)>)>
        onResponse;
    std::function<void(const NSHTTPURLResponsePtr&, const NSURLRequest&,
                       std::function<void(std::optional<NSURLRequest>)>)>
        onRedirect;
    std::function<NSInputStreamPtr()> onNeedStream;
    bool implementsRedirect = true;
    bool implementsNeedStream = true;

    bool respondsTo(Method method) const override {
        if (method == Method::WillPerformHTTPRedirection) return implementsRedirect;
        if (method == Method::NeedNewBodyStream) return implementsNeedStream;
        return true;
    }

    void didReceiveResponse(const SessionPtr&, const NSURLSessionDataTaskPtr&,
                            const NSURLResponsePtr& response,
                            std::function<void(NSURLSessionResponseDisposition)> handler) override {
        record(
            "response", [&] { this->response = response; },
            [&] {
                if (onResponse) {
                    onResponse(response, handler);
                } else {
                    handler(NSURLSessionResponseDisposition::Allow);
                }
            });
    }
    void didReceiveData(const SessionPtr&, const NSURLSessionDataTaskPtr&, const Data& data) override {
        record("data", [&] { body += data.toString(); });
    }
    void didSendBodyData(const SessionPtr&, const NSURLSessionTaskPtr&, int64_t sent, int64_t total,
                         int64_t expected) override {
        record("send", [&] {
            sendTotals.push_back(total);
            sendSum += sent;
            sendExpected = expected;
        });
    }
    void willPerformHTTPRedirection(const SessionPtr&, const NSURLSessionTaskPtr&,
                                    const NSHTTPURLResponsePtr& response, const NSURLRequest& request,
                                    std::function<void(std::optional<NSURLRequest>)> handler) override {
        record(
            "redirect", [] {},
            [&] {
                if (onRedirect) {
                    onRedirect(response, request, handler);
                } else {
                    handler(request);
                }
            });
    }
    void needNewBodyStream(const SessionPtr&, const NSURLSessionTaskPtr&,
                           std::function<void(NSInputStreamPtr)> handler) override {
        record(
            "needStream", [] {}, [&] { handler(onNeedStream ? onNeedStream() : nullptr); });
    }
    void didCompleteWithError(const SessionPtr&, const NSURLSessionTaskPtr&,
                              const NSErrorPtr& error) override {
        record("complete", [&] {
            this->error = error;
            ++completions;
        });
    }
    void didBecomeInvalidWithError(const SessionPtr&, const NSErrorPtr&) override {
        record("invalid", [&] { invalid = true; });
    }

    bool waitFor(const std::function<bool()>& done, double seconds = 10) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), done);
    }
    bool waitForCompletions(int count, double seconds = 10) {
        return waitFor([&] { return completions >= count; }, seconds);
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The events without repeats: "data","data" becomes one "data".
    std::vector<std::string> shape() {
        std::vector<std::string> result;
        for (auto& event : events()) {
            if (result.empty() || result.back() != event) result.push_back(event);
        }
        return result;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::string body;
    NSURLResponsePtr response;
    NSErrorPtr error;
    int completions = 0;
    bool invalid = false;
    std::vector<int64_t> sendTotals;
    int64_t sendSum = 0;
    int64_t sendExpected = 0;
    std::atomic<bool> wrongQueue{false};
    std::atomic<bool> overlapped{false};

  protected:
    // Every callback goes through here: it gives the delegate's `answer` (a callback that asks for one), then
    // logs the event, applies `change` under the lock and wakes waiters, and catches a callback on the wrong
    // queue or overlapping another. The answer comes first so that a test waiting for the event finds
    // whatever its answer hook kept (a completion handler to call later).
    template <class Change>
    void record(const char* event, Change&& change, const std::function<void()>& answer = nullptr) {
        if (inside_.fetch_add(1) != 0) overlapped = true;
        if (queue && NSOperationQueue::currentQueue() != queue) wrongQueue = true;
        if (answer) answer();
        {
            std::lock_guard lock(mutex_);
            events_.push_back(event);
            change();
        }
        inside_.fetch_sub(1);
        changed_.notify_all();
    }

  private:
    std::atomic<int> inside_{0};
    std::vector<std::string> events_;
};

// The recording delegate with a scripted answer to server-trust challenges, at session or task level, or
// none (default handling). The default answer trusts whatever the server presents.
class TrustDelegate : public RecordingDelegate {
  public:
    using Disposition = NSURLSessionAuthChallengeDisposition;
    enum class Level { Session, Task, None };
    Level level = Level::Session;
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
        taskDidReceiveChallenge(nullptr, nullptr, challenge, std::move(handler));
    }
    void taskDidReceiveChallenge(const SessionPtr&, const NSURLSessionTaskPtr& task,
                                 const NSURLAuthenticationChallengePtr& challenge,
                                 NSURLChallengeCompletionHandler handler) override {
        record(
            "challenge",
            [&] {
                challenges.push_back(challenge);
                challengedTasks.push_back(task);
            },
            [&] { onChallenge(challenge, std::move(handler)); });
    }
};

// The test root as the only system anchor, for a scope.
struct TestRootAnchors {
    TestRootAnchors() {
        SecSystemAnchors::replace({SecCertificate::createWithData(TestPKI::shared().root().certificateDer)});
    }
    ~TestRootAnchors() { SecSystemAnchors::restoreDefault(); }
};

// Transport tests run over both schemes; HTTPS under the test root.
class OverBothSchemes : public testing::TestWithParam<LoopbackServer::Scheme> {
  protected:
    TestRootAnchors anchors_;
    LoopbackServer server_{GetParam()};
};
#define INSTANTIATE_OVER_BOTH_SCHEMES(suite)                                                          \
    INSTANTIATE_TEST_SUITE_P(                                                                         \
        Schemes, suite, testing::Values(LoopbackServer::Scheme::HTTP, LoopbackServer::Scheme::HTTPS), \
        [](const auto& info) { return info.param == LoopbackServer::Scheme::HTTP ? "HTTP" : "HTTPS"; })

// A session with a recording delegate (of type `Delegate`) on its own serial queue.
template <class Delegate>
struct DelegateSession {
    std::shared_ptr<Delegate> delegate = std::make_shared<Delegate>();
    std::shared_ptr<NSOperationQueue> queue = NSOperationQueue::create();
    NSURLSessionPtr session;

    explicit DelegateSession(NSURLSessionConfigurationPtr configuration = nullptr,
                             std::shared_ptr<Delegate> given = nullptr) {
        if (given) delegate = given;
        queue->setMaxConcurrentOperationCount(1);
        delegate->queue = queue;
        session = NSURLSession::sessionWithConfiguration(configuration, delegate, queue);
    }
    ~DelegateSession() { session->invalidateAndCancel(); }

    // Resumes `task` and waits (bounded) until it, and every task started before it, has completed.
    template <class Task>
    Task run(Task task, double seconds = 10) {
        task->resume();
        EXPECT_TRUE(delegate->waitForCompletions(++started, seconds));
        return task;
    }
    NSURLSessionDataTaskPtr runData(const NSURLRequest& request, double seconds = 10) {
        return run(session->dataTaskWithRequest(request), seconds);
    }
    int started = 0;  // tasks resumed so far
};
using RecordingSession = DelegateSession<RecordingDelegate>;

inline NSMutableURLRequest requestFor(const std::string& url, const std::string& method = "GET") {
    NSMutableURLRequest request(NSURL::URLWithString(url));
    request.setHTTPMethod(method);
    return request;
}

inline std::string binaryBody(size_t size) {
    std::string body(size, '\0');
    uint32_t x = 12345;
    for (auto& c : body) {
        x = x * 1103515245 + 12345;
        c = char(x >> 24);
    }
    return body;
}
