#include "httpclient/HCURLSessionManager.h"

#include "httpclient/HCHTTPSessionManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "httpclient/tests/SessionManagerTestSupport.h"
#include "platform/foundation/FileManager.h"
#include "testsupport/LoopbackServer.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestPKI.h"

using namespace sessiontest;

namespace {

NSURLRequest requestFor(const std::string& url, const char* method = "GET") {
    NSURLRequest request(NSURL::URLWithString(url));
    request.setHTTPMethod(method);
    return request;
}

// A response serializer that notes the queue it runs on and then decodes like the JSON one.
class RecordingSerializer final : public Object, public HCURLResponseSerialization {
  public:
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override {
        {
            std::lock_guard lock(mutex_);
            labels_.push_back(DispatchQueue::currentLabel());
        }
        return json_->responseObjectForResponse(response, data, error);
    }
    std::vector<std::string> labels() const {
        std::lock_guard lock(mutex_);
        return labels_;
    }
    std::string classNameForCoder() const override { return "RecordingSerializer"; }
    void encodeWithCoder(NSKeyedArchiver&) const override {}
    std::shared_ptr<Object> copyWithZone(NSZone*) const override { return nullptr; }

  private:
    std::shared_ptr<HCJSONResponseSerializer> json_ = HCJSONResponseSerializer::serializer();
    mutable std::mutex mutex_;
    mutable std::vector<std::string> labels_;
};

class HCURLSessionManagerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (auto& manager : managers_) manager->invalidateSessionCancelingTasks(true);
        runMainUntil([&] {
            for (auto& manager : managers_)
                if (manager->session()->delegate()) return false;
            return true;
        });
        NSRunLoop::main().runUntilIdle();  // late notifications stay with the test that caused them
    }
    std::shared_ptr<HCURLSessionManager> makeManager() {
        managers_.push_back(HCURLSessionManager::create());
        return managers_.back();
    }

    LoopbackServer server_;
    std::vector<std::shared_ptr<HCURLSessionManager>> managers_;
};

TEST_F(HCURLSessionManagerTest, NewTasksAreSuspendedTaggedAndCopiesGetTheirOwnSession) {
    auto manager = makeManager();
    auto task = manager->dataTaskWithRequest(requestFor(server_.url("/x")), nullptr);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Suspended);  // the caller resumes
    EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
    EXPECT_TRUE(manager->delegateForTask(task));

    auto copy = std::dynamic_pointer_cast<HCURLSessionManager>(manager->copyWithZone(nullptr));
    ASSERT_TRUE(copy);
    managers_.push_back(copy);
    EXPECT_NE(copy->session(), manager->session());
    EXPECT_NE(copy->taskDescriptionForSessionTasks(), manager->taskDescriptionForSessionTasks());
}

TEST_F(HCURLSessionManagerTest, CallbacksRunOnTheirQueuesInOrder) {
    server_.reply("/json", LoopbackReply::json(R"({"ok":true})"));
    auto manager = makeManager();
    auto serializer = std::make_shared<RecordingSerializer>();
    manager->setResponseSerializer(serializer);

    std::mutex mutex;
    std::vector<std::string> events;
    auto note = [&](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    };
    auto delegateQueue = manager->operationQueue();
    manager->setTaskDidCompleteBlock([&](const auto&, const auto&, const NSErrorPtr&) {
        note(NSOperationQueue::currentQueue() == delegateQueue ? "didComplete@delegate" : "didComplete@other");
    });
    NotificationRecorder recorder({HCNetworkingTaskDidCompleteNotification});
    NSURLSessionDataTaskPtr task;
    task = manager->dataTaskWithRequest(
        requestFor(server_.url("/json")),
        [&](const NSURLResponsePtr& response, const std::optional<Value>& object, const NSErrorPtr& error) {
            note(NSRunLoop::isMainThread() ? "completion@main" : "completion@other");
            EXPECT_FALSE(error);
            ASSERT_TRUE(object);
            EXPECT_EQ((*object)["ok"], Value(true));
            EXPECT_EQ(response, task->response());
            EXPECT_EQ(recorder.count(HCNetworkingTaskDidCompleteNotification), 0u);
        });
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 1; }));
    {
        std::lock_guard lock(mutex);
        // The hook runs as the delegate queue finishes; the completion comes later through two other queues.
        EXPECT_EQ(events, (std::vector<std::string>{"didComplete@delegate", "completion@main"}));
    }
    EXPECT_EQ(serializer->labels(), std::vector<std::string>{"com.hcnet.networking.session.manager.processing"});
    EXPECT_TRUE(recorder.entries()[0].onMainThread);
    EXPECT_FALSE(manager->delegateForTask(task));  // the table lets go at completion

    // A completion queue and group of the caller's own.
    auto queue = DispatchQueue::serial("test.completion");
    auto group = DispatchGroup::create();
    manager->setCompletionQueue(queue);
    manager->setCompletionGroup(group);
    std::atomic<bool> onQueue{false};
    manager
        ->dataTaskWithRequest(requestFor(server_.url("/json")),
                              [&](const auto&, const auto&, const auto&) { onQueue = queue->isCurrent(); })
        ->resume();
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 2; }));
    EXPECT_TRUE(group->wait(kWait));
    EXPECT_TRUE(onQueue);
}

TEST_F(HCURLSessionManagerTest, TransportErrorSkipsTheSerializer) {
    std::string deadURL;
    {
        LoopbackServer gone;
        deadURL = gone.url("/x");
    }
    auto manager = makeManager();
    auto serializer = std::make_shared<RecordingSerializer>();
    manager->setResponseSerializer(serializer);
    NotificationRecorder recorder({HCNetworkingTaskDidCompleteNotification});
    int calls = 0;
    NSErrorPtr seen;
    manager
        ->dataTaskWithRequest(requestFor(deadURL),
                              [&](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
                                  ++calls;
                                  EXPECT_FALSE(object);
                                  seen = error;
                              })
        ->resume();
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 1; }));
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->code(), NSURLErrorCannotConnectToHost);
    EXPECT_TRUE(serializer->labels().empty());
    auto info = recorder.entries()[0].userInfo;
    EXPECT_EQ(info[HCNetworkingTaskDidCompleteErrorKey].asObjectOf<NSError>(), seen);
    EXPECT_FALSE(info.count(HCNetworkingTaskDidCompleteSerializedResponseKey));
}

TEST_F(HCURLSessionManagerTest, ResumeAndSuspendAreAnnouncedOncePerRealChange) {
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(2);
        return LoopbackReply::text("late");
    });
    auto manager = makeManager();
    auto other = makeManager();
    auto task = manager->dataTaskWithRequest(requestFor(server_.url("/slow")), nullptr);
    NotificationRecorder raw({HCNSURLSessionTaskDidResumeNotification, HCNSURLSessionTaskDidSuspendNotification},
                             task);
    NotificationRecorder relayed({HCNetworkingTaskDidResumeNotification, HCNetworkingTaskDidSuspendNotification});

    // Eight threads race to resume the new task: one change, one post.
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { task->resume(); });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidResumeNotification), 1u);
    task->suspend();
    task->suspend();
    task->resume();
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidResumeNotification), 2u);
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidSuspendNotification), 1u);

    ASSERT_TRUE(runMainUntil([&] { return relayed.entries().size() == 3; }));
    auto entries = relayed.entries();
    EXPECT_EQ(entries[0].name, HCNetworkingTaskDidResumeNotification);
    EXPECT_EQ(entries[1].name, HCNetworkingTaskDidSuspendNotification);
    EXPECT_EQ(entries[2].name, HCNetworkingTaskDidResumeNotification);
    for (const auto& entry : entries) {
        EXPECT_TRUE(entry.onMainThread);
        EXPECT_EQ(entry.object, task);
    }

    // Cancelling through the progress object ends the task; a finished task changes no more and says nothing.
    NotificationRecorder complete({HCNetworkingTaskDidCompleteNotification});
    manager->downloadProgressForTask(task)->cancel();
    ASSERT_TRUE(runMainUntil([&] { return complete.count(HCNetworkingTaskDidCompleteNotification) == 1; }));
    EXPECT_EQ(task->error()->code(), NSURLErrorCancelled);
    task->resume();
    task->suspend();
    EXPECT_EQ(raw.entries().size(), 3u);

    // A task whose description someone changed, and a task of another manager, are not relayed by this one.
    auto retagged = manager->dataTaskWithRequest(requestFor(server_.url("/slow")), nullptr);
    retagged->setTaskDescription("mine now");
    auto foreign = other->dataTaskWithRequest(requestFor(server_.url("/slow")), nullptr);
    NotificationRecorder relayedLater({HCNetworkingTaskDidResumeNotification});
    retagged->resume();
    foreign->resume();
    ASSERT_TRUE(runMainUntil([&] { return relayedLater.count(HCNetworkingTaskDidResumeNotification) == 1; }));
    NSRunLoop::main().runUntilIdle();
    ASSERT_EQ(relayedLater.entries().size(), 1u);
    EXPECT_EQ(relayedLater.entries()[0].object, foreign);
    retagged->cancel();
    foreign->cancel();
}

// Each hook takes over its session event: the session hears the hook's answer, and without the hook the
// manager's own. The events are delivered as the session delivers them, on the delegate's side.
TEST_F(HCURLSessionManagerTest, HooksTakeOverTheirSessionEvents) {
    using M = NSURLSessionDelegate::Method;
    auto manager = makeManager();
    const auto& session = manager->session();
    NSURLRequest sized = requestFor(server_.url("/x"), "POST");
    sized.setValue("10", "Content-Length");
    auto task = manager->dataTaskWithRequest(sized, nullptr);
    auto download = manager->downloadTaskWithRequest(requestFor(server_.url("/x")), nullptr, nullptr, nullptr);
    const TestPKI& pki = TestPKI::shared();
    auto trust = SecTrust::create({SecCertificate::createWithData(pki.server().certificateDer)}, {});
    auto challenge = NSURLAuthenticationChallenge::create(NSURLProtectionSpace::create(
        "localhost", 443, "https", "", NSURLAuthenticationMethodServerTrust, trust));
    TempDir dir;
    std::string heard;  // what the hook was told
    auto disposition = [](NSURLSessionAuthChallengeDisposition d) { return std::to_string(long(d)); };

    struct Row {
        const char* name;
        std::optional<M> method;                // answered by respondsTo only once the hook is set
        std::function<void()> set;
        std::function<std::string()> fire;     // the session's answer
        std::string without, with, hookHeard;
    };
    const Row rows[] = {
        {"redirection", M::WillPerformHTTPRedirection,
         [&] { manager->setTaskWillPerformHTTPRedirectionBlock([&](auto&, auto&, auto& response, auto&) {
             heard = std::to_string(response->statusCode());
             return std::nullopt;
         }); },
         [&] {
             std::string answer;
             manager->willPerformHTTPRedirection(
                 session, task, NSHTTPURLResponse::create(task->originalRequest().URL(), 302, "HTTP/1.1", {}),
                 requestFor(server_.url("/next")),
                 [&](std::optional<NSURLRequest> next) { answer = next ? next->URL()->path() : "stop"; });
             return answer;
         },
         "/next", "stop", "302"},
        {"new body stream", std::nullopt,
         [&] { manager->setTaskNeedNewBodyStreamBlock([&](auto&, auto&) {
             heard = "asked";
             return NSInputStream::inputStreamWithData(Data::fromString("s"));
         }); },
         [&] {
             std::string answer;
             manager->needNewBodyStream(session, task, [&](NSInputStreamPtr s) { answer = s ? "stream" : "none"; });
             return answer;
         },
         "none", "stream", "asked"},
        {"body sent, the expected length from Content-Length", std::nullopt,
         [&] { manager->setTaskDidSendBodyDataBlock([&](auto&, auto&, int64_t sent, int64_t total, int64_t expected) {
             heard = std::to_string(sent) + " " + std::to_string(total) + " " + std::to_string(expected);
         }); },
         [&] {
             manager->didSendBodyData(session, task, 4, 4, NSURLSessionTransferSizeUnknown);
             return std::string();
         },
         "", "", "4 4 10"},
        {"response", M::DidReceiveResponse,
         [&] { manager->setDataTaskDidReceiveResponseBlock([&](auto&, auto&, auto&) {
             heard = "response";
             return NSURLSessionResponseDisposition::Cancel;
         }); },
         [&] {
             long answer = -1;
             manager->didReceiveResponse(session, task, nullptr,
                                         [&](NSURLSessionResponseDisposition d) { answer = long(d); });
             return std::to_string(answer);
         },
         "1", "0", "response"},
        {"data", std::nullopt,
         [&] { manager->setDataTaskDidReceiveDataBlock([&](auto&, auto&, const Data& d) { heard = d.toString(); }); },
         [&] {
             manager->didReceiveData(session, task, Data::fromString("bytes"));
             return std::string();
         },
         "", "", "bytes"},
        {"cache", M::WillCacheResponse,
         [&] { manager->setDataTaskWillCacheResponseBlock([&](auto&, auto&, auto&) {
             heard = "cache";
             return std::shared_ptr<NSCachedURLResponse>();
         }); },
         [&] {
             std::string answer;
             manager->willCacheResponse(session, task, NSCachedURLResponse::create(nullptr, Data()),
                                        [&](auto cached) { answer = cached ? "stored" : "dropped"; });
             return answer;
         },
         "stored", "dropped", "cache"},
        {"background events, on the main queue", M::DidFinishEventsForBackgroundURLSession,
         [&] { manager->setDidFinishEventsForBackgroundURLSessionBlock([&](auto&) {
             heard = NSRunLoop::isMainThread() ? "main" : "other";
         }); },
         [&] {
             manager->didFinishEventsForBackgroundURLSession(session);
             NSRunLoop::main().runUntilIdle();
             return std::string();
         },
         "", "", "main"},
        {"session challenge: the policy refuses the test root", std::nullopt,
         [&] { manager->setSessionDidReceiveAuthenticationChallengeBlock([&](auto&, auto&, NSURLCredentialPtr* c) {
             heard = "session";
             *c = NSURLCredential::credentialForTrust(trust);
             return NSURLSessionAuthChallengeDisposition::UseCredential;
         }); },
         [&] {
             std::string answer;
             manager->didReceiveChallenge(session, challenge, [&](auto d, auto c) { answer = disposition(d) + (c ? "+" : ""); });
             return answer;
         },
         "2", "0+", "session"},
        {"task challenge", std::nullopt,
         [&] { manager->setTaskDidReceiveAuthenticationChallengeBlock([&](auto&, auto&, auto&, NSURLCredentialPtr*) {
             heard = "task";
             return NSURLSessionAuthChallengeDisposition::RejectProtectionSpace;
         }); },
         [&] {
             std::string answer;
             manager->taskDidReceiveChallenge(session, task, challenge,
                                              [&](auto d, auto c) { answer = disposition(d) + (c ? "+" : ""); });
             return answer;
         },
         "2", "3", "task"},
        {"download finished: the hook's destination", std::nullopt,
         [&] { manager->setDownloadTaskDidFinishDownloadingBlock([&](auto&, auto&, auto&) {
             heard = "moved";
             return NSURL::fileURLWithPath(dir.file("kept.bin"));
         }); },
         [&] {
             std::string temporary = dir.file("tmp.bin");
             NSFileManager::defaultManager()->createFileAtPath(temporary, Data::fromString("d"),
                                                               NSFileManager::Atomically::No);
             manager->didFinishDownloadingToURL(session, download, NSURL::fileURLWithPath(temporary));
             return std::string(NSFileManager::defaultManager()->fileExistsAtPath(dir.file("kept.bin")) ? "kept"
                                                                                                        : "-");
         },
         "-", "kept", "moved"},
        {"download progress", std::nullopt,
         [&] { manager->setDownloadTaskDidWriteDataBlock([&](auto&, auto&, int64_t a, int64_t b, int64_t c) {
             heard = std::to_string(a) + " " + std::to_string(b) + " " + std::to_string(c);
         }); },
         [&] {
             manager->didWriteData(session, download, 1, 2, 3);
             return std::string();
         },
         "", "", "1 2 3"},
        {"download resumed", std::nullopt,
         [&] { manager->setDownloadTaskDidResumeBlock([&](auto&, auto&, int64_t offset, int64_t total) {
             heard = std::to_string(offset) + "/" + std::to_string(total);
         }); },
         [&] {
             manager->didResumeAtOffset(session, download, 4, 8);
             return std::string();
         },
         "", "", "4/8"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        heard.clear();
        if (row.method) { EXPECT_FALSE(manager->respondsTo(*row.method)); }
        EXPECT_EQ(row.fire(), row.without);
        EXPECT_EQ(heard, "");
        row.set();
        if (row.method) { EXPECT_TRUE(manager->respondsTo(*row.method)); }
        EXPECT_EQ(row.fire(), row.with);
        EXPECT_EQ(heard, row.hookHeard);
    }
    task->cancel();
    download->cancel();
}

TEST_F(HCURLSessionManagerTest, TaskListsUploadsAndTheRetry) {
    server_.on("", "/echo", [](const LoopbackRequest& r) { return LoopbackReply::text(r.method + " " + r.body); });
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(5);
        return LoopbackReply::text("late");
    });
    auto manager = makeManager();
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    TempDir dir;
    ASSERT_TRUE(NSFileManager::defaultManager()->createFileAtPath(dir.file("body.txt"), Data::fromString("from file"),
                                                                  NSFileManager::Atomically::No));
    std::vector<std::string> replies;
    auto collect = [&](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
        replies.push_back(error ? "error " + std::to_string(error->code()) : object->asData()->toString());
    };
    auto data = manager->dataTaskWithRequest(requestFor(server_.url("/slow")), nullptr);
    auto fromFile = manager->uploadTaskWithRequest(requestFor(server_.url("/echo"), "PUT"),
                                                   NSURL::fileURLWithPath(dir.file("body.txt")), nullptr, collect);
    auto fromData = manager->uploadTaskWithRequest(requestFor(server_.url("/echo"), "POST"),
                                                   Data::fromString("from data"), nullptr, collect);
    auto download = manager->downloadTaskWithRequest(requestFor(server_.url("/slow")), nullptr, nullptr, nullptr);
    using Tasks = std::vector<NSURLSessionTaskPtr>;
    EXPECT_EQ(manager->dataTasks(), Tasks{data});
    EXPECT_EQ(manager->uploadTasks().size(), 2u);
    EXPECT_EQ(manager->downloadTasks(), Tasks{download});
    auto all = manager->tasks();  // data, then uploads, then downloads
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all.front(), data);
    EXPECT_EQ(all.back(), download);
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
    ASSERT_TRUE(runMainUntil([&] { return replies.size() == 2; }));
    std::sort(replies.begin(), replies.end());
    EXPECT_EQ(replies, (std::vector<std::string>{"POST from data", "PUT from file"}));
    ASSERT_TRUE(runMainUntil([&] { return completed == 2; }));
    EXPECT_EQ(listed, 2u);  // the data and download tasks, never resumed, are left
    data->cancel();
    download->cancel();

    // A background session that makes no more upload tasks: the tries end with one failure.
    auto background =
        HCURLSessionManager::create(NSURLSessionConfiguration::backgroundSessionConfiguration("test.retry"));
    managers_.push_back(background);
    background->setAttemptsToRecreateUploadTasksForBackgroundSessions(true);
    NotificationRecorder invalidated({HCURLSessionDidInvalidateNotification}, background->session());
    background->invalidateSessionCancelingTasks(true);
    ASSERT_TRUE(runMainUntil([&] { return invalidated.count(HCURLSessionDidInvalidateNotification) == 1; }));
    replies.clear();
    EXPECT_FALSE(background->uploadTaskWithRequest(requestFor(server_.url("/echo"), "PUT"),
                                                   NSURL::fileURLWithPath(dir.file("body.txt")), nullptr, collect));
    ASSERT_TRUE(runMainUntil([&] { return !replies.empty(); }));
    NSRunLoop::main().runUntilIdle();
    EXPECT_EQ(replies, std::vector<std::string>{"error -999"});
}

TEST_F(HCURLSessionManagerTest, ResumingATaskWhoseSessionIsGoneAnnouncesNothing) {
    HCInstallSessionTaskStateNotifications();
    NSURLSessionTaskPtr task;
    std::weak_ptr<NSURLSession> session;
    {
        auto owner = NSURLSession::sessionWithConfiguration(NSURLSessionConfiguration::defaultSessionConfiguration(),
                                                            nullptr, nullptr);
        task = owner->dataTaskWithRequest(requestFor(server_.url("/x")));
        session = owner;
    }
    ASSERT_TRUE(runMainUntil([&] { return session.expired(); }));
    NotificationRecorder raw({HCNSURLSessionTaskDidResumeNotification}, task);
    task->resume();
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Completed);
    EXPECT_EQ(raw.count(HCNSURLSessionTaskDidResumeNotification), 0u);
}

TEST_F(HCURLSessionManagerTest, InvalidationLetsTheManagerGo) {
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(5);
        return LoopbackReply::text("late");
    });
    std::weak_ptr<HCURLSessionManager> weak;
    NSErrorPtr error;
    std::atomic<int> invalidHook{0};
    NotificationRecorder invalidated({HCURLSessionDidInvalidateNotification});
    {
        auto manager = HCURLSessionManager::create();
        weak = manager;
        manager->setSessionDidBecomeInvalidBlock([&](const auto&, const NSErrorPtr&) { ++invalidHook; });
        manager
            ->dataTaskWithRequest(requestFor(server_.url("/slow")),
                                  [&](const auto&, const auto&, const NSErrorPtr& e) { error = e; })
            ->resume();
        manager->invalidateSessionCancelingTasks(true);
    }
    ASSERT_TRUE(runMainUntil([&] { return weak.expired() && error; }));
    EXPECT_EQ(error->code(), NSURLErrorCancelled);
    EXPECT_EQ(invalidHook, 1);
    EXPECT_EQ(invalidated.count(HCURLSessionDidInvalidateNotification), 1u);
    EXPECT_FALSE(invalidated.entries()[0].onMainThread);  // posted on the delegate queue
}

TEST_F(HCURLSessionManagerTest, ManyShortLivedManagersLeaveNoThreadsOrDescriptors) {
    server_.reply("/one", LoopbackReply::json("{}"));
    auto useOnce = [&](int count) {
        std::atomic<int> finished{0};
        std::vector<std::weak_ptr<HCURLSessionManager>> managers;
        for (int i = 0; i < count; ++i) {
            // The application's road: a new manager per request, with the JSON serializers.
            auto manager = HCHTTPSessionManager::manager();
            manager->setRequestSerializer(HCJSONRequestSerializer::serializer());
            manager->setResponseSerializer(HCJSONResponseSerializer::serializer());
            manager->POST(
                server_.url("/one"), Value(Dict{{"i", i}}), nullptr,
                [&](const auto&, const auto&) { ++finished; },
                [&](const auto&, const NSErrorPtr& e) {
                    ADD_FAILURE() << e->description();
                    ++finished;
                });
            managers.push_back(manager);
            manager->invalidateSessionCancelingTasks(false);
        }
        // Each manager is let go by its session once invalidated, and with it the session and its queue.
        bool all = runMainUntil(
            [&] {
                return finished == count && std::all_of(managers.begin(), managers.end(),
                                                        [](const auto& weak) { return weak.expired(); });
            },
            30);
        if (!all) ADD_FAILURE() << "finished " << finished << " of " << count;
        return all;
    };
    // Warm up the process-wide parts (processing queue, shared reachability manager, the server's pool),
    // then wait for the warm-up's own threads and descriptors to go.
    size_t threads = threadCount();
    size_t descriptors = descriptorCount();
    auto settled = [&](double timeout) {
        return runMainUntil([&] { return threadCount() <= threads && descriptorCount() <= descriptors; },
                            timeout);
    };
    ASSERT_TRUE(useOnce(4));
    settled(3);
    threads = std::max(threads, threadCount());
    descriptors = std::max(descriptors, descriptorCount());

    ASSERT_TRUE(useOnce(200));
    EXPECT_TRUE(settled(kWait)) << "threads " << threadCount() << " (were " << threads << "), descriptors "
                                << descriptorCount() << " (were " << descriptors << ")";
}


TEST_F(HCURLSessionManagerTest, DownloadsMoveToTheirDestinationAndNeverOverwrite) {
    const std::string content(300 * 1024, 'z');
    LoopbackReply file = LoopbackReply::text(content);
    file.contentType = "application/octet-stream";
    server_.reply("/file", file);
    TempDir dir;
    auto manager = makeManager();
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    NotificationRecorder recorder(
        {HCNetworkingTaskDidCompleteNotification, HCURLSessionDownloadTaskDidFailToMoveFileNotification});

    struct Result {
        int calls = 0;
        std::optional<Value> object;
        NSErrorPtr error;
    };
    auto download = [&](const std::string& path, Result& result,
                        HCURLSessionManager::ProgressBlock progress) {
        auto task = manager->downloadTaskWithRequest(
            requestFor(server_.url("/file")), std::move(progress),
            [path](const NSURLPtr& location, const NSURLResponsePtr& response) {
                EXPECT_TRUE(location && location->isFileURL());
                EXPECT_TRUE(response);
                return NSURL::fileURLWithPath(path);
            },
            [&result](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
                ++result.calls;
                result.object = object;
                result.error = error;
            });
        task->resume();
        return task;
    };

    Result fresh;
    std::atomic<int64_t> lastCompleted{0};
    download(dir.file("fresh.bin"), fresh,
             [&](const NSProgressPtr& p) { lastCompleted = p->completedUnitCount(); });
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 1; }));
    ASSERT_EQ(fresh.calls, 1);
    EXPECT_FALSE(fresh.error);
    ASSERT_TRUE(fresh.object);
    EXPECT_EQ(fresh.object->asObjectOf<NSURL>()->path(), dir.file("fresh.bin"));
    EXPECT_EQ(NSFileManager::defaultManager()->contentsAtPath(dir.file("fresh.bin"))->toString(), content);
    EXPECT_EQ(lastCompleted, int64_t(content.size()));

    // A destination that exists already is left alone, and the download is a failure.
    ASSERT_TRUE(NSFileManager::defaultManager()->createFileAtPath(
        dir.file("kept.bin"), Data::fromString("mine"), NSFileManager::Atomically::No));
    Result clash;
    download(dir.file("kept.bin"), clash, nullptr);
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 2; }));
    ASSERT_EQ(clash.calls, 1);
    ASSERT_TRUE(clash.error);
    EXPECT_EQ(clash.error->domain(), NSCocoaErrorDomain);
    EXPECT_EQ(clash.error->code(), NSFileWriteFileExistsError);
    EXPECT_FALSE(clash.object);
    EXPECT_EQ(NSFileManager::defaultManager()->contentsAtPath(dir.file("kept.bin"))->toString(), "mine");
    EXPECT_EQ(recorder.count(HCURLSessionDownloadTaskDidFailToMoveFileNotification), 1u);
}

TEST(HCURLSessionManagerTrust, ServerTrustIsDecidedByTheSecurityPolicy) {
    const TestPKI& pki = TestPKI::shared();
    LoopbackServer secure(pki, pki.server());
    ASSERT_TRUE(secure.isRunning());
    secure.reply("/t", LoopbackReply::json("{}"));
    LoopbackServer wrongHost(pki, pki.wrongHost());
    ASSERT_TRUE(wrongHost.isRunning());
    wrongHost.reply("/t", LoopbackReply::json("{}"));

    // A private root is no system anchor: pinning it means allowing "invalid" chains, which the pins then
    // anchor and check against the host.
    auto pinnedRoot = [&] {
        auto policy = HCSecurityPolicy::policyWithPinningMode(
            HCSSLPinningMode::Certificate, HCSecurityPolicy::CertificateSet{pki.root().certificateDer});
        policy->setAllowInvalidCertificates(true);
        return policy;
    };
    struct Case {
        const char* name;
        std::function<std::shared_ptr<HCSecurityPolicy>()> policy;
        const LoopbackServer* server;
        long code;  // 0: success
    } cases[] = {
        {"default policy: the test root is no system anchor",
         [] { return HCSecurityPolicy::defaultPolicy(); }, &secure, NSURLErrorCancelled},
        {"pinned root", pinnedRoot, &secure, 0},
        {"pinned root, wrong host", pinnedRoot, &wrongHost, NSURLErrorCancelled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto manager = HCURLSessionManager::create();
        manager->setSecurityPolicy(c.policy());
        NSErrorPtr error;
        bool done = false;
        manager
            ->dataTaskWithRequest(requestFor(c.server->url("localhost", "/t")),
                                  [&](const auto&, const auto&, const NSErrorPtr& e) {
                                      error = e;
                                      done = true;
                                  })
            ->resume();
        EXPECT_TRUE(runMainUntil([&] { return done; }));
        if (c.code) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code(), c.code);
        } else {
            EXPECT_FALSE(error) << error->description();
        }
        manager->invalidateSessionCancelingTasks(true);
    }
    EXPECT_EQ(secure.hits("/t"), 1u);  // only the pinned-root case got through
    NSRunLoop::main().runUntilIdle();
}

}  // namespace
