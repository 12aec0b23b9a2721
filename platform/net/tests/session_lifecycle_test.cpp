#include <dirent.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <tuple>

#include "platform/foundation/DispatchQueue.h"
#include "platform/net/tests/SessionTestSupport.h"
#include "testsupport/LoopbackServer.h"

namespace {

TEST(SessionCancel, NeverResumedRunningAndFromTheResponse) {
    LoopbackServer server;
    LoopbackReply slow = LoopbackReply::text("slow");
    slow.delay = 60;  // a cancel that did not end the task would outlast the bounded wait
    server.reply("/slow", slow);
    server.reply("/fast", LoopbackReply::text("fast body"));
    RecordingSession s;

    auto never = s.session->dataTaskWithRequest(requestFor(server.url("/slow")));
    never->cancel();
    ASSERT_TRUE(s.delegate->waitForCompletions(1));
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorCancelled);
    EXPECT_EQ(never->state(), NSURLSessionTaskState::Completed);
    never->cancel();  // nothing more
    never->resume();

    auto running = s.session->dataTaskWithRequest(requestFor(server.url("/slow")));
    running->resume();
    ASSERT_TRUE(server.waitForHits("/slow", 1));
    running->cancel();
    // Canceling at once; the I/O thread may already have completed it.
    EXPECT_TRUE(running->state() == NSURLSessionTaskState::Canceling ||
                running->state() == NSURLSessionTaskState::Completed);
    ASSERT_TRUE(s.delegate->waitForCompletions(2));
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorCancelled);

    s.delegate->onResponse = [](auto, auto handler) { handler(NSURLSessionResponseDisposition::Cancel); };
    s.session->dataTaskWithRequest(requestFor(server.url("/fast")))->resume();
    ASSERT_TRUE(s.delegate->waitForCompletions(3));
    EXPECT_EQ(s.delegate->error->code(), NSURLErrorCancelled);
    EXPECT_EQ(s.delegate->body, "");
    auto events = s.delegate->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "complete"), 3);
    EXPECT_EQ(std::count(events.begin(), events.end(), "data"), 0);
}

TEST(SessionAnswers, DataWaitsForTheResponseAnswerAndADroppedHandlerAllows) {
    LoopbackServer server;
    server.reply("/r", LoopbackReply::text(std::string(200000, 'r')));
    RecordingSession s;
    std::function<void(NSURLSessionResponseDisposition)> kept;
    std::mutex mutex;
    s.delegate->onResponse = [&](auto, auto handler) {
        std::lock_guard lock(mutex);
        kept = handler;
    };
    auto task = s.session->dataTaskWithRequest(requestFor(server.url("/r")));
    task->resume();
    ASSERT_TRUE(s.delegate->waitFor([&] { return s.delegate->response != nullptr; }));
    // Nothing more may come while the answer is outstanding; answer from another thread.
    EXPECT_EQ(s.delegate->shape(), std::vector<std::string>{"response"});
    std::thread([&] {
        std::lock_guard lock(mutex);
        kept(NSURLSessionResponseDisposition::Allow);
        kept(NSURLSessionResponseDisposition::Cancel);  // a second answer does nothing
        kept = nullptr;
    }).join();
    ASSERT_TRUE(s.delegate->waitForCompletions(1));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(s.delegate->body.size(), 200000u);

    // A handler dropped without a call gives the default answer.
    s.delegate->onResponse = [](auto, auto) {};
    s.session->dataTaskWithRequest(requestFor(server.url("/r")))->resume();
    ASSERT_TRUE(s.delegate->waitForCompletions(2));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(s.delegate->body.size(), 400000u);
}

// Observers of the state hear the completion once.
TEST(SessionSuspend, SuspendedTaskResumesAndFinishes) {
    LoopbackServer server;
    LoopbackReply trickle = LoopbackReply::text(std::string(20, 't'));
    trickle.chunkSize = 2;
    trickle.chunkDelay = 0.02;
    server.reply("/t", trickle);
    RecordingSession s;
    auto task = s.session->dataTaskWithRequest(requestFor(server.url("/t")));
    std::mutex mutex;
    std::vector<std::pair<Value, Value>> seen;
    auto owner = std::make_shared<int>(0);
    task->addObserver(owner, "state", KVOOptions::Old | KVOOptions::New, [&](const KVOChange& change) {
        std::lock_guard lock(mutex);
        seen.emplace_back(*change.oldValue, *change.newValue);
    });
    task->resume();
    ASSERT_TRUE(s.delegate->waitFor([&] { return s.delegate->response != nullptr; }));
    task->suspend();
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Suspended);
    task->resume();
    ASSERT_TRUE(s.delegate->waitForCompletions(1));
    EXPECT_EQ(s.delegate->error, nullptr);
    EXPECT_EQ(s.delegate->body, std::string(20, 't'));
    using S = NSURLSessionTaskState;
    auto change = [](S from, S to) { return std::pair(Value(long(from)), Value(long(to))); };
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector{change(S::Running, S::Completed)}));
}

TEST(SessionHook, OneCallPerRealStateChangeEvenWhenThreadsRace) {
    using StateCall = NSURLSessionTask::StateCall;
    struct Call {
        NSURLSessionTask* task;
        StateCall call;
        NSURLSessionTaskState from, to;
    };
    std::mutex mutex;
    std::vector<Call> calls;
    NSURLSessionTask::setStateChangeHook([&](NSURLSessionTask& task, StateCall call, auto from, auto to) {
        std::lock_guard lock(mutex);
        calls.push_back({&task, call, from, to});
    });
    LoopbackServer server;
    LoopbackReply slow = LoopbackReply::text("x");
    slow.delay = 0.5;
    server.reply("/h", slow);
    RecordingSession s;
    auto task = s.session->dataTaskWithRequest(requestFor(server.url("/h")));
    for (bool resume : {true, false}) {
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) threads.emplace_back([&] { resume ? task->resume() : task->suspend(); });
        for (auto& thread : threads) thread.join();
    }
    task->resume();
    ASSERT_TRUE(s.delegate->waitForCompletions(1));
    task->resume();  // completed: reported, state unchanged
    task->suspend();
    NSURLSessionTask::setStateChangeHook(nullptr);
    std::lock_guard lock(mutex);
    using S = NSURLSessionTaskState;
    std::vector<std::tuple<StateCall, S, S>> changes;
    for (const auto& call : calls) {
        EXPECT_EQ(call.task, task.get());
        changes.emplace_back(call.call, call.from, call.to);
    }
    EXPECT_EQ(changes,
              (std::vector<std::tuple<StateCall, S, S>>{{StateCall::Resume, S::Suspended, S::Running},
                                                        {StateCall::Suspend, S::Running, S::Suspended},
                                                        {StateCall::Resume, S::Suspended, S::Running},
                                                        {StateCall::Resume, S::Completed, S::Completed},
                                                        {StateCall::Suspend, S::Completed, S::Completed}}));
}

TEST(SessionInvalidation, DelegateHeldUntilInvalidThenToldAndReleased) {
    LoopbackServer server;
    LoopbackReply slow = LoopbackReply::text("done");
    slow.delay = 0.2;
    server.reply("/s", slow);
    std::weak_ptr<RecordingDelegate> weakDelegate;
    std::shared_ptr<NSURLSession> session;
    {
        auto delegate = std::make_shared<RecordingDelegate>();
        weakDelegate = delegate;
        session = NSURLSession::sessionWithConfiguration(nullptr, delegate, nullptr);
    }
    ASSERT_FALSE(weakDelegate.expired());  // the session holds it
    session->dataTaskWithRequest(requestFor(server.url("/s")))->resume();
    session->finishTasksAndInvalidate();
    EXPECT_EQ(session->dataTaskWithRequest(requestFor(server.url("/s"))), nullptr);
    auto delegate = weakDelegate.lock();
    ASSERT_TRUE(delegate->waitFor([&] { return delegate->invalid; }));
    EXPECT_EQ(delegate->shape(), (std::vector<std::string>{"response", "data", "complete", "invalid"}));
    EXPECT_EQ(delegate->body, "done");
    EXPECT_EQ(session->delegate(), nullptr);
    delegate.reset();
    // The callback that told it may still be returning: let go within a bounded wait.
    for (int i = 0; i < 500 && !weakDelegate.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(weakDelegate.expired());

    RecordingSession cancelling;
    LoopbackReply stall = LoopbackReply::text("never");
    stall.delay = 10;
    server.reply("/stall", stall);
    cancelling.session->dataTaskWithRequest(requestFor(server.url("/stall")))->resume();
    cancelling.session->dataTaskWithRequest(requestFor(server.url("/stall")));  // never resumed
    cancelling.session->invalidateAndCancel();
    ASSERT_TRUE(cancelling.delegate->waitFor([&] { return cancelling.delegate->invalid; }));
    EXPECT_EQ(cancelling.delegate->completions, 2);
    EXPECT_EQ(cancelling.delegate->error->code(), NSURLErrorCancelled);
    EXPECT_EQ(cancelling.delegate->events().back(), "invalid");
}

size_t countEntries(const char* directory) {
    size_t count = 0;
    if (DIR* dir = opendir(directory)) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}

TEST(SessionResources, IdleSessionsKeepBoundedThreadsAndConnections) {
    LoopbackServer server;
    server.reply("/once", LoopbackReply::text("once"));
    // Warm up lazily made singletons (libcurl, queues) before counting.
    RecordingSession().runData(requestFor(server.url("/once")));
    // Up to 4 s, and past the linger of idle queue workers.
    auto settle = [](size_t limit, const char* dir) {
        for (int i = 0; i < 400 + 100 * DispatchQueue::kIdleWorkerLingerSeconds && countEntries(dir) > limit;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return countEntries(dir);
    };
    size_t threadsBefore = settle(0, "/proc/self/task");
    size_t fdsBefore = countEntries("/proc/self/fd");

    constexpr int kSessions = 1000;
    std::atomic<int> finished{0};
    std::atomic<int> failures{0};
    std::vector<NSURLSessionPtr> sessions;  // kept alive, never invalidated
    for (int i = 0; i < kSessions; ++i) {
        auto session = NSURLSession::sessionWithConfiguration(nullptr);
        session
            ->dataTaskWithRequest(requestFor(server.url("/once")),
                                  [&](auto data, auto, auto error) {
                                      if (error || !data || data->toString() != "once") ++failures;
                                      ++finished;
                                  })
            ->resume();
        sessions.push_back(session);
        if (i % 50 == 49) {
            for (int k = 0; k < 2000 && finished < i + 1 - 20; ++k)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    for (int k = 0; k < 12000 && finished < kSessions; ++k)  // bounded, generous for sanitizers
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(finished, kSessions);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(server.hits("/once"), size_t(kSessions + 1));
    // The server keeps its own worker threads; the sessions share one I/O thread and at most 32 kept
    // connections (each end counts here), whatever their number.
    EXPECT_LE(settle(threadsBefore + 2, "/proc/self/task"), threadsBefore + 2);
    EXPECT_LE(settle(fdsBefore + 2 * 32 + 2, "/proc/self/fd"), fdsBefore + 2 * 32 + 2);
}

}  // namespace
