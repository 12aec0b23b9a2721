// A recording session delegate for the session tests: it logs every callback, checks that callbacks run on
// the delegate queue one at a time, and waits (bounded) for completion.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/net/URLSession.h"

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
        enter("response");
        {
            std::lock_guard lock(mutex_);
            this->response = response;
        }
        leave();
        if (onResponse) {
            onResponse(response, handler);
        } else {
            handler(NSURLSessionResponseDisposition::Allow);
        }
    }
    void didReceiveData(const SessionPtr&, const NSURLSessionDataTaskPtr&, const Data& data) override {
        enter("data");
        {
            std::lock_guard lock(mutex_);
            body += data.toString();
        }
        leave();
    }
    void didSendBodyData(const SessionPtr&, const NSURLSessionTaskPtr&, int64_t sent, int64_t total,
                         int64_t expected) override {
        enter("send");
        {
            std::lock_guard lock(mutex_);
            sendTotals.push_back(total);
            sendSum += sent;
            sendExpected = expected;
        }
        leave();
    }
    void willPerformHTTPRedirection(const SessionPtr&, const NSURLSessionTaskPtr&,
                                    const NSHTTPURLResponsePtr& response, const NSURLRequest& request,
                                    std::function<void(std::optional<NSURLRequest>)> handler) override {
        enter("redirect");
        leave();
        if (onRedirect) {
            onRedirect(response, request, handler);
        } else {
            handler(request);
        }
    }
    void needNewBodyStream(const SessionPtr&, const NSURLSessionTaskPtr&,
                           std::function<void(NSInputStreamPtr)> handler) override {
        enter("needStream");
        leave();
        handler(onNeedStream ? onNeedStream() : nullptr);
    }
    void didCompleteWithError(const SessionPtr&, const NSURLSessionTaskPtr&,
                              const NSErrorPtr& error) override {
        enter("complete");
        {
            std::lock_guard lock(mutex_);
            this->error = error;
            ++completions;
        }
        leave();
        changed_.notify_all();
    }
    void didBecomeInvalidWithError(const SessionPtr&, const NSErrorPtr&) override {
        enter("invalid");
        {
            std::lock_guard lock(mutex_);
            invalid = true;
        }
        leave();
        changed_.notify_all();
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

  private:
    void enter(const char* event) {
        if (inside_.fetch_add(1) != 0) overlapped = true;
        if (queue && NSOperationQueue::currentQueue() != queue) wrongQueue = true;
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    void leave() {
        inside_.fetch_sub(1);
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    std::atomic<int> inside_{0};
    std::vector<std::string> events_;
};

// A session with a recording delegate on its own serial queue.
struct RecordingSession {
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<NSOperationQueue> queue = NSOperationQueue::create();
    NSURLSessionPtr session;

    explicit RecordingSession(NSURLSessionConfigurationPtr configuration = nullptr) {
        queue->setMaxConcurrentOperationCount(1);
        delegate->queue = queue;
        session = NSURLSession::sessionWithConfiguration(configuration, delegate, queue);
    }
    ~RecordingSession() { session->invalidateAndCancel(); }
};

inline std::string binaryBody(size_t size) {
    std::string body(size, '\0');
    uint32_t x = 12345;
    for (auto& c : body) {
        x = x * 1103515245 + 12345;
        c = char(x >> 24);
    }
    return body;
}
