#include <condition_variable>
#include <optional>

#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/FileManager.h"
#include "testsupport/TestPKI.h"

namespace {

using HCURLSessionManagerTest = ManagerTest;

// Decodes like the JSON serializer and notes the queue it ran on.
class RecordingSerializer final : public Object, public HCURLResponseSerialization {
  public:
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override {
        std::lock_guard lock(mutex);
        labels.push_back(DispatchQueue::currentLabel());
        return HCJSONResponseSerializer::serializer()->responseObjectForResponse(response, data, error);
    }
    std::string classNameForCoder() const override { return "RecordingSerializer"; }
    void encodeWithCoder(NSKeyedArchiver&) const override {}
    std::shared_ptr<Object> copyWithZone(NSZone*) const override { return nullptr; }
    mutable std::mutex mutex;
    mutable std::vector<std::string> labels;
};

TEST_F(HCURLSessionManagerTest, CallbacksRunOnTheirQueuesInOrder) {
    server_.reply("/json", LoopbackReply::json(R"({"ok":true})"));
    std::string deadURL = LoopbackServer().url("/x");  // nobody listens there any more
    auto manager = track(HCURLSessionManager::create());
    auto serializer = std::make_shared<RecordingSerializer>();
    manager->setResponseSerializer(serializer);
    std::mutex mutex;
    std::vector<std::string> events;
    manager->setTaskDidCompleteBlock([&, queue = manager->operationQueue()](auto&, auto&, auto&) {
        std::lock_guard lock(mutex);
        events.push_back(NSOperationQueue::currentQueue() == queue ? "didComplete@delegate"
                                                                   : "didComplete@?");
    });
    NotificationRecorder recorder({HCNetworkingTaskDidCompleteNotification});
    NSURLSessionDataTaskPtr task = manager->dataTaskWithRequest(
        request("/json"),
        [&](const NSURLResponsePtr& response, const std::optional<Value>& object, const NSErrorPtr& error) {
            std::lock_guard lock(mutex);
            events.push_back(NSRunLoop::isMainThread() ? "completion@main" : "completion@?");
            EXPECT_FALSE(error);
            EXPECT_EQ(object, Value(Dict{{"ok", true}}));
            EXPECT_EQ(response, task->response());
            EXPECT_EQ(recorder.count(), 0u);
        });
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Suspended);  // the caller resumes
    task->resume();
    ASSERT_TRUE(recorder.waitFor(1));
    ASSERT_TRUE(runMainUntil([&] {
        std::lock_guard lock(mutex);
        return events.size() == 2;
    }));
    {
        std::lock_guard lock(mutex);
        // The hook runs as the delegate queue finishes, the completion on the main queue after the processing
        // queue: two threads, in either order.
        std::sort(events.begin(), events.end());
        EXPECT_EQ(events, (std::vector<std::string>{"completion@main", "didComplete@delegate"}));
    }
    EXPECT_EQ(serializer->labels,
              std::vector<std::string>{"com.hcnet.networking.session.manager.processing"});
    EXPECT_TRUE(recorder.entries()[0].onMainThread);
    EXPECT_FALSE(manager->delegateForTask(task));  // the table lets go at completion

    // A queue and group of the caller's own; a transport error skips the serializer and is reported.
    auto queue = DispatchQueue::serial("test.completion");
    auto group = DispatchGroup::create();
    manager->setCompletionQueue(queue);
    manager->setCompletionGroup(group);
    std::atomic<bool> onQueue{false};
    NSErrorPtr seen;
    manager
        ->dataTaskWithRequest(requestFor(deadURL),
                              [&](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
                                  onQueue = queue->isCurrent() && !object;
                                  seen = error;
                              })
        ->resume();
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_TRUE(group->wait(kWait));
    // The hook, too, has run before the test's locals go.
    ASSERT_TRUE(runMainUntil([&] {
        std::lock_guard lock(mutex);
        return events.size() == 3;
    }));
    EXPECT_TRUE(onQueue);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->code(), NSURLErrorCannotConnectToHost);
    EXPECT_EQ(serializer->labels.size(), 1u);
    auto info = recorder.entries()[1].userInfo;
    EXPECT_EQ(info[HCNetworkingTaskDidCompleteErrorKey].asObjectOf<NSError>(), seen);
    EXPECT_FALSE(info.count(HCNetworkingTaskDidCompleteSerializedResponseKey));
}

// A response answered BecomeDownload: the per-task delegate (and with it the completion handler) moves to
// the download task that carries on the transfer; then the hook.
TEST_F(HCURLSessionManagerTest, ADataTaskThatBecomesADownloadKeepsItsCompletion) {
    server_.reply("/file", LoopbackReply::text("file body"));
    auto manager = track(HCURLSessionManager::create());
    manager->setDataTaskDidReceiveResponseBlock([](const auto&, const auto&, const auto&) {
        return NSURLSessionResponseDisposition::BecomeDownload;
    });
    std::atomic<bool> hooked{false};
    NSURLSessionDataTaskPtr task;
    manager->setDataTaskDidBecomeDownloadTaskBlock([&](const auto&, const auto& data, const auto& download) {
        // Already moved when the hook runs.
        hooked = data == task && download->taskIdentifier() == data->taskIdentifier() + 1 &&
                 manager->delegateForTask(download) && !manager->delegateForTask(data);
    });
    bool done = false;
    NSErrorPtr failure;
    task = manager->dataTaskWithRequest(requestFor(server_.url("/file")),
                                        [&](const auto&, const auto&, const NSErrorPtr& error) {
                                            failure = error;
                                            done = true;
                                        });
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return done; }));
    EXPECT_TRUE(hooked);
    EXPECT_FALSE(failure) << failure->description();
}

// A task's progress starts at its byte totals: what it sends, and a download of unknown size. A delegate set
// up again for another task takes that task's totals, and the progress's observers hear of them.
TEST_F(HCURLSessionManagerTest, ProgressStartsAtTheTasksTotals) {
    auto manager = track(HCURLSessionManager::create());
    NSURLRequest post = request("/echo", "POST");
    post.setHTTPBody(Data::fromString("twelve bytes"));
    struct Case {
        NSURLSessionTaskPtr task;
        int64_t toSend;
    };
    const Case cases[] = {
        {manager->dataTaskWithRequest(request("/x"), nullptr), 0},
        {manager->dataTaskWithRequest(post, nullptr), 12},
        {manager->uploadTaskWithRequest(request("/x", "PUT"), Data::fromString("four"), nullptr, nullptr), 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(manager->uploadProgressForTask(c.task)->totalUnitCount(), c.toSend);
        EXPECT_EQ(manager->downloadProgressForTask(c.task)->totalUnitCount(),
                  NSURLSessionTransferSizeUnknown);
    }
    auto delegate = manager->delegateForTask(cases[0].task);
    int announced = 0;
    auto token = delegate->uploadProgress()->addObserver({}, "totalUnitCount", KVOOptions::New,
                                                         [&](const KVOChange&) { ++announced; });
    manager->setDelegate(delegate, cases[1].task);
    EXPECT_EQ(delegate->uploadProgress()->totalUnitCount(), 12);
    EXPECT_EQ(announced, 1);
    delegate->uploadProgress()->removeObserver(token);
    for (const auto& c : cases) c.task->cancel();
}

TEST_F(HCURLSessionManagerTest, ResumeAndSuspendAreAnnouncedOncePerCallFromAnotherState) {
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(2);
        return LoopbackReply::text("late");
    });
    auto manager = track(HCURLSessionManager::create());
    auto other = track(HCURLSessionManager::create());
    auto task = manager->dataTaskWithRequest(request("/slow"), nullptr);
    NotificationRecorder raw(
        {HCNSURLSessionTaskDidResumeNotification, HCNSURLSessionTaskDidSuspendNotification}, task);
    NotificationRecorder relayed(
        {HCNetworkingTaskDidResumeNotification, HCNetworkingTaskDidSuspendNotification});
    // Eight threads race to resume the new task: one change, one post.
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { task->resume(); });
    for (auto& thread : threads) thread.join();
    task->suspend();
    task->suspend();
    task->resume();
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidResumeNotification), 2u);
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidSuspendNotification), 1u);
    ASSERT_TRUE(relayed.waitFor(3));
    auto entries = relayed.entries();
    EXPECT_EQ(entries[1].name, HCNetworkingTaskDidSuspendNotification);
    for (const auto& entry : entries) EXPECT_TRUE(entry.onMainThread && entry.object == task);
    // Cancelling through the progress object ends the task. A finished task changes no more, but each call
    // on it is announced.
    NotificationRecorder complete({HCNetworkingTaskDidCompleteNotification});
    manager->downloadProgressForTask(task)->cancel();
    ASSERT_TRUE(complete.waitFor(1));
    EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
    task->resume();
    task->suspend();
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidResumeNotification), 3u);
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidSuspendNotification), 2u);
    // So is a resume while the task is canceling (or has just completed).
    auto cancelled = manager->dataTaskWithRequest(request("/slow"), nullptr);
    cancelled->resume();
    cancelled->cancel();
    NotificationRecorder cancelledRaw({HCNSURLSessionTaskDidResumeNotification}, cancelled);
    cancelled->resume();
    EXPECT_EQ(cancelledRaw.count(), 1u);
    NSRunLoop::main().runUntilIdle();  // its relays go to the recorders above, not to the one below
    // A task whose description someone changed, and a task of another manager, are not relayed by this one.
    auto retagged = manager->dataTaskWithRequest(request("/slow"), nullptr);
    retagged->setTaskDescription("mine now");
    auto foreign = other->dataTaskWithRequest(request("/slow"), nullptr);
    NotificationRecorder relayedLater({HCNetworkingTaskDidResumeNotification});
    retagged->resume();
    foreign->resume();
    ASSERT_TRUE(relayedLater.waitFor(1));
    NSRunLoop::main().runUntilIdle();
    ASSERT_EQ(relayedLater.count(), 1u);
    EXPECT_EQ(relayedLater.entries()[0].object, foreign);
    retagged->cancel();
    foreign->cancel();
}

// What a task's resume or suspend announces, by the state the call found and the state it left.
struct StateCallCase {
    NSURLSessionTask::StateCall call;
    NSURLSessionTaskState before, after;
    const char* posted;  // nullptr: nothing
};

class HCSessionTaskStateRule : public testing::TestWithParam<StateCallCase> {};

TEST_P(HCSessionTaskStateRule, AnnouncesEveryCallFromAnotherStateButAResumeThatLostItsSession) {
    const auto& c = GetParam();
    const char* posted = HCSessionTaskStateNotificationName(c.call, c.before, c.after);
    EXPECT_EQ(posted ? std::string(posted) : "(none)", c.posted ? std::string(c.posted) : "(none)");
}

using Call = NSURLSessionTask::StateCall;
using S = NSURLSessionTaskState;
INSTANTIATE_TEST_SUITE_P(
    Calls, HCSessionTaskStateRule,
    testing::Values(
        StateCallCase{Call::Resume, S::Suspended, S::Running, HCNSURLSessionTaskDidResumeNotification},
        StateCallCase{Call::Resume, S::Running, S::Running, nullptr},
        StateCallCase{Call::Resume, S::Canceling, S::Canceling, HCNSURLSessionTaskDidResumeNotification},
        StateCallCase{Call::Resume, S::Completed, S::Completed, HCNSURLSessionTaskDidResumeNotification},
        // The session was gone: the resume itself completed the task, and nothing follows it.
        StateCallCase{Call::Resume, S::Suspended, S::Completed, nullptr},
        StateCallCase{Call::Suspend, S::Running, S::Suspended, HCNSURLSessionTaskDidSuspendNotification},
        StateCallCase{Call::Suspend, S::Suspended, S::Suspended, nullptr},
        StateCallCase{Call::Suspend, S::Canceling, S::Canceling, HCNSURLSessionTaskDidSuspendNotification},
        StateCallCase{Call::Suspend, S::Completed, S::Completed, HCNSURLSessionTaskDidSuspendNotification}));

// Each hook takes over its session event: the session hears the hook's answer, and without the hook the
// manager's own. The events are delivered as the session delivers them, on the delegate's side.
TEST_F(HCURLSessionManagerTest, HooksTakeOverTheirSessionEvents) {
    using M = NSURLSessionDelegate::Method;
    using D = NSURLSessionAuthChallengeDisposition;
    auto& m = *track(HCURLSessionManager::create());
    const auto& session = m.session();
    NSURLRequest sized = request("/x", "POST");
    sized.setValue("10", "Content-Length");
    auto task = m.dataTaskWithRequest(sized, nullptr);
    auto download = m.downloadTaskWithRequest(request("/x"), nullptr, nullptr, nullptr);
    auto trust =
        SecTrust::create({SecCertificate::createWithData(TestPKI::shared().server().certificateDer)}, {});
    auto challenge = NSURLAuthenticationChallenge::create(NSURLProtectionSpace::create(
        "localhost", 443, "https", "", NSURLAuthenticationMethodServerTrust, trust));
    TempDir dir;
    auto files = NSFileManager::defaultManager();
    std::string heard, answer;  // what the hooks were told; what the session was answered
    auto numbers = [](auto... n) { return ((std::to_string(n) + " ") + ...); };
    auto challenged = [&](D d, const NSURLCredentialPtr& c) { answer = numbers(long(d)) + (c ? "+" : ""); };
    struct Row {
        const char* name;
        std::optional<M> method;  // respondsTo answers yes only once the hook is set
        std::function<void()> set, fire;
        std::string without, with;
    };
    const Row rows[] = {
        {"redirection", M::WillPerformHTTPRedirection,
         [&] {
             m.setTaskWillPerformHTTPRedirectionBlock(
                 [](auto&, auto&, auto&, auto&) { return std::nullopt; });
         },
         [&] {
             m.willPerformHTTPRedirection(session, task, nullptr, request("/next"),
                                          [&](auto next) { answer = next ? next->URL()->path() : "stop"; });
         },
         "/next", "stop"},
        {"new body stream", std::nullopt,
         [&] {
             m.setTaskNeedNewBodyStreamBlock(
                 [](auto&, auto&) { return NSInputStream::inputStreamWithData({}); });
         },
         [&] { m.needNewBodyStream(session, task, [&](auto s) { answer = s ? "stream" : "none"; }); }, "none",
         "stream"},
        {"response", M::DidReceiveResponse,
         [&] {
             m.setDataTaskDidReceiveResponseBlock(
                 [](auto&, auto&, auto&) { return NSURLSessionResponseDisposition::Cancel; });
         },
         [&] { m.didReceiveResponse(session, task, nullptr, [&](auto d) { answer = numbers(long(d)); }); },
         "1 ", "0 "},
        {"cache", M::WillCacheResponse,
         [&] { m.setDataTaskWillCacheResponseBlock([](auto&, auto&, auto&) { return nullptr; }); },
         [&] {
             m.willCacheResponse(session, task, NSCachedURLResponse::create(nullptr, Data()),
                                 [&](auto cached) { answer = cached ? "stored" : "dropped"; });
         },
         "stored", "dropped"},
        {"session challenge: without the hook the policy refuses the test root", std::nullopt,
         [&] {
             m.setSessionDidReceiveAuthenticationChallengeBlock([&](auto&, auto&, NSURLCredentialPtr* c) {
                 *c = NSURLCredential::credentialForTrust(trust);
                 return D::UseCredential;
             });
         },
         [&] { m.didReceiveChallenge(session, challenge, challenged); }, "2 ", "0 +"},
        {"task challenge", std::nullopt,
         [&] {
             m.setTaskDidReceiveAuthenticationChallengeBlock(
                 [](auto&, auto&, auto&, auto*) { return D::RejectProtectionSpace; });
         },
         [&] { m.taskDidReceiveChallenge(session, task, challenge, challenged); }, "2 ", "3 "},
        {"download finished: moved where the hook says", std::nullopt,
         [&] {
             m.setDownloadTaskDidFinishDownloadingBlock(
                 [&](auto&, auto&, auto&) { return NSURL::fileURLWithPath(dir.file("kept")); });
         },
         [&] {
             files->createFileAtPath(dir.file("tmp"), Data(), NSFileManager::Atomically::No);
             m.didFinishDownloadingToURL(session, download, NSURL::fileURLWithPath(dir.file("tmp")));
             answer = files->fileExistsAtPath(dir.file("kept")) ? "kept" : "-";
         },
         "-", "kept"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        for (bool hooked : {false, true}) {
            if (hooked) row.set();
            if (row.method) {
                EXPECT_EQ(m.respondsTo(*row.method), hooked);
            }
            row.fire();
            EXPECT_EQ(answer, hooked ? row.with : row.without);
        }
    }
    // Hooks that only listen, with what they were told (the expected send length from Content-Length).
    m.setTaskDidSendBodyDataBlock(
        [&](auto&, auto&, int64_t a, int64_t b, int64_t c) { heard += numbers(a, b, c); });
    m.setDataTaskDidReceiveDataBlock([&](auto&, auto&, const Data& d) { heard += d.toString() + " "; });
    m.setDownloadTaskDidWriteDataBlock(
        [&](auto&, auto&, int64_t a, int64_t b, int64_t c) { heard += numbers(a, b, c); });
    m.setDownloadTaskDidResumeBlock([&](auto&, auto&, int64_t a, int64_t b) { heard += numbers(a, b); });
    m.setDidFinishEventsForBackgroundURLSessionBlock(
        [&](auto&) { heard += NSRunLoop::isMainThread() ? "main" : "?"; });
    m.didSendBodyData(session, task, 4, 4, NSURLSessionTransferSizeUnknown);
    m.didReceiveData(session, task, Data::fromString("bytes"));
    m.didWriteData(session, download, 1, 2, 3);
    m.didResumeAtOffset(session, download, 5, 8);
    std::thread([&] {
        m.didFinishEventsForBackgroundURLSession(session);
    }).join();  // as from the delegate queue
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(heard, "4 4 10 bytes 1 2 3 5 8 main");
    task->cancel();
    download->cancel();
}

TEST_F(HCURLSessionManagerTest, TaskListsUploadsAndTheRetry) {
    server_.on("", "/echo",
               [](const LoopbackRequest& r) { return LoopbackReply::text(r.method + " " + r.body); });
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(5);
        return LoopbackReply::text("late");
    });
    auto manager = track(HCURLSessionManager::create());
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    TempDir dir;
    writeFile(dir.file("body"), "from file");
    const auto file = NSURL::fileURLWithPath(dir.file("body"));
    std::vector<std::string> replies;
    auto collect = [&](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
        replies.push_back(error ? "error " + std::to_string(error->code()) : object->asData()->toString());
    };
    auto data = manager->dataTaskWithRequest(request("/slow"), nullptr);
    auto fromFile = manager->uploadTaskWithRequest(request("/echo", "PUT"), file, nullptr, collect);
    auto fromData = manager->uploadTaskWithRequest(request("/echo", "POST"), Data::fromString("from data"),
                                                   nullptr, collect);
    auto download = manager->downloadTaskWithRequest(request("/slow"), nullptr, nullptr, nullptr);
    using Tasks = std::vector<NSURLSessionTaskPtr>;
    EXPECT_EQ(manager->dataTasks(), Tasks{data});
    EXPECT_EQ(manager->uploadTasks().size(), 2u);
    EXPECT_EQ(manager->downloadTasks(), Tasks{download});
    auto all = manager->tasks();  // data, then uploads, then downloads
    ASSERT_EQ(all.size(), 4u);
    EXPECT_TRUE(all.front() == data && all.back() == download);
    EXPECT_FALSE(manager->tasksForKeyPath("everything"));
    // Asked on the delegate queue itself, the lists come from the manager's own table.
    std::atomic<int> completed{0};
    std::atomic<size_t> listed{0};
    manager->setTaskDidCompleteBlock([&](auto&, auto&, auto&) {
        listed = manager->tasks().size();
        ++completed;
    });
    fromFile->resume();
    fromData->resume();
    ASSERT_TRUE(runMainUntil([&] { return replies.size() == 2 && completed == 2; }));
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies, (std::vector<std::string>{"POST from data", "PUT from file"}));
    EXPECT_EQ(listed, 2u);                      // the data and download tasks, never resumed, are left
    manager->setTaskDidCompleteBlock(nullptr);  // it sees this test's locals

    // A background session that makes no more upload tasks: the tries end with one failure.
    auto background = track(
        HCURLSessionManager::create(NSURLSessionConfiguration::backgroundSessionConfiguration("test.retry")));
    background->setAttemptsToRecreateUploadTasksForBackgroundSessions(true);
    NotificationRecorder invalidated({HCURLSessionDidInvalidateNotification}, background->session());
    background->invalidateSessionCancelingTasks(true);
    ASSERT_TRUE(invalidated.waitFor(1));
    replies.clear();
    EXPECT_FALSE(background->uploadTaskWithRequest(request("/echo", "PUT"), file, nullptr, collect));
    ASSERT_TRUE(runMainUntil([&] { return !replies.empty(); }));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(replies, std::vector<std::string>{"error -999"});
}

TEST_F(HCURLSessionManagerTest, InvalidationLetsTheManagerGoAndShortLivedManagersLeaveNothing) {
    server_.reply("/one", LoopbackReply::json("{}"));
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(5);
        return LoopbackReply::text("late");
    });
    std::weak_ptr<HCURLSessionManager> weak;
    NSErrorPtr error;
    std::atomic<int> invalidHook{0};
    std::optional<NotificationRecorder> invalidated;
    {
        auto manager = HCURLSessionManager::create();
        weak = manager;
        invalidated.emplace(std::vector<std::string>{HCURLSessionDidInvalidateNotification},
                            manager->session());
        manager->setSessionDidBecomeInvalidBlock([&](auto&, auto&) { ++invalidHook; });
        manager->dataTaskWithRequest(request("/slow"), [&](auto&, auto&, auto& e) { error = e; })->resume();
        manager->invalidateSessionCancelingTasks(true);
    }
    ASSERT_TRUE(runMainUntil([&] { return weak.expired() && error; }));
    EXPECT_EQ(error->code(), NSURLErrorCancelled);
    EXPECT_EQ(invalidHook, 1);
    ASSERT_EQ(invalidated->count(), 1u);
    EXPECT_FALSE(invalidated->entries()[0].onMainThread);  // posted on the delegate queue

    auto useOnce = [&](int count) {
        std::atomic<int> finished{0};
        std::vector<std::weak_ptr<HCURLSessionManager>> managers;
        for (int i = 0; i < count; ++i) {
            // The application's road: a new manager per request, with the JSON serializers.
            auto manager = HCHTTPSessionManager::manager();
            manager->setRequestSerializer(HCJSONRequestSerializer::serializer());
            manager->POST(
                server_.url("/one"), Value(Dict{{"i", i}}), nullptr, [&](auto&, auto&) { ++finished; },
                [&](auto&, const NSErrorPtr& e) {
                    ADD_FAILURE() << e->description();
                    ++finished;
                });
            managers.push_back(manager);
            manager->invalidateSessionCancelingTasks(false);
        }
        // Each manager is let go by its session once invalidated, and with it the session and its queue.
        return runMainUntil(
            [&] {
                return finished == count && std::all_of(managers.begin(), managers.end(),
                                                        [](const auto& w) { return w.expired(); });
            },
            30);
    };
    // Warm up the process-wide parts (the sessions' pool of idle connections filled to its cap among them),
    // then wait for the warm-up's own threads and descriptors to go.
    size_t threads = threadCount(), descriptors = descriptorCount();
    // How many idle connections the shared pool keeps (at most 6 for one host) depends on how the requests
    // overlapped: a leak of one per request would be far beyond that.
    constexpr size_t kPooledConnections = 6;
    auto settled = [&](double timeout) {
        return runMainUntil(
            [&] { return threadCount() <= threads && descriptorCount() <= descriptors + kPooledConnections; },
            timeout);
    };
    ASSERT_TRUE(useOnce(32));
    settled(3);
    threads = std::max(threads, threadCount());
    descriptors = std::max(descriptors, descriptorCount());
    ASSERT_TRUE(useOnce(200));
    EXPECT_TRUE(settled(kWait)) << "threads " << threadCount() << " (were " << threads << "), descriptors "
                                << descriptorCount() << " (were " << descriptors << ")";
}

// The session's end is announced on the worker that may have been left the last task's processing; a hook
// or an observer that hears of it may wait for that task's completion (here by means the dispatch queues do
// not see) and must not wait in vain. With nobody to hear of it, the session still lets its manager go.
TEST_F(HCURLSessionManagerTest, WhoeverHearsOfTheSessionsEndMayWaitForItsLastCompletion) {
    server_.reply("/one", LoopbackReply::json("{}"));
    enum class Listener { Hook, Observer, None };
    for (Listener listener : {Listener::Hook, Listener::Observer, Listener::None}) {
        SCOPED_TRACE(int(listener));
        for (int round = 0; round < 10; ++round) {
            std::mutex mutex;
            std::condition_variable changed;
            bool completed = false, heard = false, sawCompletion = false;
            auto waitForCompletion = [&] {
                std::unique_lock lock(mutex);
                sawCompletion = changed.wait_for(lock, std::chrono::duration<double>(kWait / 2),
                                                 [&] { return completed; });
                heard = true;
            };
            auto manager = HCURLSessionManager::create();
            std::weak_ptr<HCURLSessionManager> weak = manager;
            std::optional<NSNotificationCenter::Token> token;
            if (listener == Listener::Hook)
                manager->setSessionDidBecomeInvalidBlock([&](auto&, auto&) { waitForCompletion(); });
            if (listener == Listener::Observer) {
                token = NSNotificationCenter::defaultCenter().addObserver(
                    HCURLSessionDidInvalidateNotification, manager->session(), nullptr,
                    [&](const NSNotification&) { waitForCompletion(); });
            }
            auto complete = [&](auto&, auto&, auto&) {
                std::lock_guard lock(mutex);
                completed = true;
                changed.notify_all();
            };
            manager->dataTaskWithRequest(request("/one"), complete)->resume();
            manager->invalidateSessionCancelingTasks(false);
            manager.reset();
            ASSERT_TRUE(runMainUntil([&] {
                std::lock_guard lock(mutex);
                return completed && weak.expired() && (heard || listener == Listener::None);
            }));
            if (token) NSNotificationCenter::defaultCenter().removeObserver(*token);
            if (listener != Listener::None) {
                ASSERT_TRUE(sawCompletion) << "round " << round;
            }
        }
    }
}

TEST_F(HCURLSessionManagerTest, DownloadsMoveToTheirDestinationAndNeverOverwrite) {
    const std::string content(300 * 1024, 'z');
    LoopbackReply file = LoopbackReply::text(content);
    file.contentType = "application/octet-stream";
    server_.reply("/file", file);
    TempDir dir;
    writeFile(dir.file("kept"), "mine");
    auto manager = track(HCURLSessionManager::create());
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    NotificationRecorder failedMoves({HCURLSessionDownloadTaskDidFailToMoveFileNotification});
    struct Case {
        const char* name;
        std::string path, contentAfter;
        long code;  // 0: moved
    } cases[] = {{"a new file", dir.file("fresh"), content, 0},
                 {"an existing file is left alone", dir.file("kept"), "mine", NSFileWriteFileExistsError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::pair<std::optional<Value>, NSErrorPtr>> result;
        std::atomic<int64_t> lastCompleted{0};
        manager
            ->downloadTaskWithRequest(
                request("/file"), [&](const NSProgressPtr& p) { lastCompleted = p->completedUnitCount(); },
                [&](const NSURLPtr& location, const NSURLResponsePtr& response) {
                    EXPECT_TRUE(location && location->isFileURL() && response);
                    return NSURL::fileURLWithPath(c.path);
                },
                [&](auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
                    result = {object, error};
                })
            ->resume();
        ASSERT_TRUE(runMainUntil([&] { return result.has_value(); }));
        EXPECT_EQ(lastCompleted, int64_t(content.size()));
        EXPECT_EQ(failedMoves.count(), c.code ? 1u : 0u);
        EXPECT_EQ(result->second ? result->second->code() : 0, c.code);
        EXPECT_EQ(result->first ? result->first->asObjectOf<NSURL>()->path() : "", c.code ? "" : c.path);
        EXPECT_EQ(fileText(c.path), c.contentAfter);
    }
}

TEST(HCURLSessionManagerTrust, ServerTrustIsDecidedByTheSecurityPolicy) {
    const TestPKI& pki = TestPKI::shared();
    LoopbackServer secure(pki, pki.server()), wrongHost(pki, pki.wrongHost());
    ASSERT_TRUE(secure.isRunning() && wrongHost.isRunning());
    secure.reply("/t", LoopbackReply::json("{}"));
    wrongHost.reply("/t", LoopbackReply::json("{}"));
    // A private root is no system anchor: pinning it means allowing "invalid" chains, which the pins then
    // anchor and check against the host.
    auto pinnedRoot = HCSecurityPolicy::policyWithPinningMode(
        HCSSLPinningMode::Certificate, HCSecurityPolicy::CertificateSet{pki.root().certificateDer});
    pinnedRoot->setAllowInvalidCertificates(true);
    struct Case {
        const char* name;
        std::shared_ptr<HCSecurityPolicy> policy;
        const LoopbackServer* server;
        long code;  // 0: success
    } cases[] = {
        {"pinned root", pinnedRoot, &secure, 0},
        {"pinned root, wrong host", pinnedRoot, &wrongHost, NSURLErrorCancelled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = HCURLSessionManager::create();
        manager->setSecurityPolicy(c.policy);
        std::optional<long> code;
        manager
            ->dataTaskWithRequest(requestFor(c.server->url("localhost", "/t")),
                                  [&](auto&, auto&, const NSErrorPtr& e) { code = e ? e->code() : 0; })
            ->resume();
        EXPECT_TRUE(runMainUntil([&] { return code.has_value(); }));
        EXPECT_EQ(code, c.code);
        letGo({manager});
    }
    EXPECT_EQ(secure.hits("/t"), 1u);  // only the pinned-root case got through
    NSRunLoop::main().runUntilIdle();
}

}  // namespace
