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

TEST_F(HCURLSessionManagerTest, ConstructionGivesTheDocumentedDefaults) {
    auto manager = makeManager();
    EXPECT_EQ(manager->operationQueue()->maxConcurrentOperationCount(), 1);
    EXPECT_EQ(manager->session()->delegateQueue(), manager->operationQueue());
    EXPECT_EQ(manager->session()->delegate().get(), static_cast<NSURLSessionDelegate*>(manager.get()));
    EXPECT_EQ(manager->lock().name(), "com.hcnet.networking.session.manager.lock");
    EXPECT_TRUE(std::dynamic_pointer_cast<HCJSONResponseSerializer>(manager->responseSerializer()));
    EXPECT_TRUE(manager->securityPolicy());
    EXPECT_EQ(manager->reachabilityManager(), HCNetworkReachabilityManager::sharedManager());
    EXPECT_FALSE(manager->completionQueue());
    char address[32];
    std::snprintf(address, sizeof address, "%p", static_cast<void*>(manager.get()));
    EXPECT_EQ(manager->taskDescriptionForSessionTasks(), address);

    auto task = manager->dataTaskWithRequest(requestFor(server_.url("/x")), nullptr);
    ASSERT_TRUE(task);
    EXPECT_EQ(task->state(), NSURLSessionTaskState::Suspended);  // the caller resumes
    EXPECT_EQ(task->taskDescription(), manager->taskDescriptionForSessionTasks());
    EXPECT_TRUE(manager->delegateForTask(task));
    EXPECT_EQ(manager->uploadProgressForTask(task)->totalUnitCount(), 0);
    EXPECT_EQ(manager->downloadProgressForTask(task)->totalUnitCount(), NSURLSessionTransferSizeUnknown);

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
        note(NSOperationQueue::currentQueue() == delegateQueue ? "didComplete@delegate"
                                                               : "didComplete@other");
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
    EXPECT_EQ(serializer->labels(),
              std::vector<std::string>{"com.hcnet.networking.session.manager.processing"});
    EXPECT_TRUE(recorder.entries()[0].onMainThread);
    EXPECT_FALSE(manager->delegateForTask(task));  // the table lets go at completion

    // A completion queue and group of the caller's own.
    auto queue = DispatchQueue::serial("test.completion");
    auto group = DispatchGroup::create();
    manager->setCompletionQueue(queue);
    manager->setCompletionGroup(group);
    std::atomic<bool> onQueue{false};
    auto second = manager->dataTaskWithRequest(
        requestFor(server_.url("/json")),
        [&](const auto&, const auto&, const auto&) { onQueue = queue->isCurrent(); });
    second->resume();
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
    auto task = manager->dataTaskWithRequest(
        requestFor(deadURL), [&](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
            ++calls;
            EXPECT_FALSE(object);
            seen = error;
        });
    task->resume();
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 1; }));
    EXPECT_EQ(calls, 1);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->code(), NSURLErrorCannotConnectToHost);
    EXPECT_TRUE(serializer->labels().empty());
    auto info = recorder.entries()[0].userInfo;
    EXPECT_EQ(info[HCNetworkingTaskDidCompleteErrorKey].asObjectOf<NSError>(), seen);
    EXPECT_FALSE(info.count(HCNetworkingTaskDidCompleteSerializedResponseKey));
    EXPECT_TRUE(info.count(HCNetworkingTaskDidCompleteResponseSerializerKey));
}

TEST_F(HCURLSessionManagerTest, ProgressFollowsTheByteCountsOffTheMainThread) {
    const size_t size = 512 * 1024;
    server_.on("POST", "/upload", [](const LoopbackRequest& request) {
        return LoopbackReply::json("{\"got\":" + std::to_string(request.body.size()) + "}");
    });
    LoopbackReply big = LoopbackReply::text(std::string(size, 'd'));
    big.contentType = "application/octet-stream";
    server_.reply("/download", big);
    auto manager = makeManager();
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());

    struct Seen {
        std::mutex mutex;
        std::vector<int64_t> completed;
        int64_t total = 0;
        bool anyOnMain = false;
    } up, down;
    auto recordInto = [](Seen& seen) {
        return [&seen](const NSProgressPtr& progress) {
            std::lock_guard lock(seen.mutex);
            seen.completed.push_back(progress->completedUnitCount());
            seen.total = progress->totalUnitCount();
            seen.anyOnMain = seen.anyOnMain || NSRunLoop::isMainThread();
        };
    };
    auto uploadRequest = requestFor(server_.url("/upload"), "POST");
    uploadRequest.setValue("application/octet-stream", "Content-Type");
    std::atomic<int> done{0};
    auto upload =
        manager->uploadTaskWithRequest(uploadRequest, Data(std::vector<uint8_t>(size, 'u')), recordInto(up),
                                       [&](const auto&, const auto&, const NSErrorPtr& error) {
                                           EXPECT_FALSE(error) << error->description();
                                           ++done;
                                       });
    auto download = manager->dataTaskWithRequest(
        requestFor(server_.url("/download")), nullptr, recordInto(down),
        [&](const auto&, const std::optional<Value>& object, const NSErrorPtr& error) {
            EXPECT_FALSE(error);
            ASSERT_TRUE(object && object->isData());
            EXPECT_EQ(object->asData()->length(), size);
            ++done;
        });
    upload->resume();
    download->resume();
    ASSERT_TRUE(runMainUntil([&] { return done == 2; }));
    for (Seen* seen : {&up, &down}) {
        std::lock_guard lock(seen->mutex);
        ASSERT_FALSE(seen->completed.empty());
        EXPECT_TRUE(std::is_sorted(seen->completed.begin(), seen->completed.end()));
        EXPECT_EQ(seen->completed.back(), int64_t(size));
        EXPECT_EQ(seen->total, int64_t(size));
        EXPECT_FALSE(seen->anyOnMain);
    }
}

TEST_F(HCURLSessionManagerTest, ResumeAndSuspendAreAnnouncedOncePerRealChange) {
    server_.on("", "/slow", [this](const LoopbackRequest&) {
        server_.pause(2);
        return LoopbackReply::text("late");
    });
    auto manager = makeManager();
    auto other = makeManager();
    auto task = manager->dataTaskWithRequest(requestFor(server_.url("/slow")), nullptr);
    NotificationRecorder raw(
        {HCNSURLSessionTaskDidResumeNotification, HCNSURLSessionTaskDidSuspendNotification}, task);
    NotificationRecorder relayed(
        {HCNetworkingTaskDidResumeNotification, HCNetworkingTaskDidSuspendNotification});

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

TEST_F(HCURLSessionManagerTest, TaskListsAnswerEverywhereIncludingTheDelegateQueue) {
    auto manager = makeManager();
    EXPECT_TRUE(manager->tasks().empty());
    EXPECT_FALSE(manager->tasksForKeyPath("allTheThings"));

    auto data = manager->dataTaskWithRequest(requestFor(server_.url("/a")), nullptr);
    auto upload = manager->uploadTaskWithRequest(requestFor(server_.url("/b"), "POST"), Data::fromString("x"),
                                                 nullptr, nullptr);
    auto identifiers = [](const std::vector<NSURLSessionTaskPtr>& tasks) {
        std::vector<uint64_t> ids;
        for (const auto& task : tasks) ids.push_back(task->taskIdentifier());
        return ids;
    };
    EXPECT_EQ(identifiers(manager->tasks()),
              (std::vector<uint64_t>{data->taskIdentifier(), upload->taskIdentifier()}));
    EXPECT_EQ(identifiers(manager->dataTasks()), std::vector<uint64_t>{data->taskIdentifier()});
    EXPECT_EQ(identifiers(manager->uploadTasks()), std::vector<uint64_t>{upload->taskIdentifier()});
    EXPECT_TRUE(manager->downloadTasks().empty());

    // From the delegate queue the session cannot answer before the caller returns; the manager does.
    std::atomic<int> answered{-1};
    manager->operationQueue()->addOperationWithBlock([&] { answered = int(manager->tasks().size()); });
    ASSERT_TRUE(manager->operationQueue()->waitUntilAllOperationsAreFinished(kWait));
    EXPECT_EQ(answered, 2);
    data->cancel();
    upload->cancel();
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
        auto task =
            manager->dataTaskWithRequest(requestFor(server_.url("/slow")),
                                         [&](const auto&, const auto&, const NSErrorPtr& e) { error = e; });
        task->resume();
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
    EXPECT_TRUE(recorder.entries()[0].userInfo.count(HCNetworkingTaskDidCompleteAssetPathKey));

    // A destination that exists already is left alone, and the download is a failure.
    ASSERT_TRUE(NSFileManager::defaultManager()->createFileAtPath(
        dir.file("kept.bin"), Data::fromString("mine"), NSFileManager::Atomically::No));
    Result clash;
    auto clashTask = download(dir.file("kept.bin"), clash, nullptr);
    ASSERT_TRUE(runMainUntil([&] { return recorder.count(HCNetworkingTaskDidCompleteNotification) == 2; }));
    ASSERT_EQ(clash.calls, 1);
    ASSERT_TRUE(clash.error);
    EXPECT_EQ(clash.error->domain(), NSCocoaErrorDomain);
    EXPECT_EQ(clash.error->code(), NSFileWriteFileExistsError);
    EXPECT_FALSE(clash.object);
    EXPECT_EQ(NSFileManager::defaultManager()->contentsAtPath(dir.file("kept.bin"))->toString(), "mine");
    EXPECT_EQ(recorder.count(HCURLSessionDownloadTaskDidFailToMoveFileNotification), 1u);
    for (const auto& entry : recorder.entries()) {
        if (entry.name == HCURLSessionDownloadTaskDidFailToMoveFileNotification) {
            EXPECT_EQ(entry.object, clashTask);
            EXPECT_FALSE(entry.onMainThread);
        }
    }

    // The manager's hook takes precedence over the task's own destination.
    manager->setDownloadTaskDidFinishDownloadingBlock([&](const auto&, const auto&, const NSURLPtr&) {
        return NSURL::fileURLWithPath(dir.file("hooked.bin"));
    });
    Result hooked;
    download(dir.file("ignored.bin"), hooked, nullptr);
    ASSERT_TRUE(runMainUntil([&] { return hooked.calls == 1; }));
    EXPECT_FALSE(hooked.error);
    EXPECT_TRUE(NSFileManager::defaultManager()->fileExistsAtPath(dir.file("hooked.bin")));
    EXPECT_FALSE(NSFileManager::defaultManager()->fileExistsAtPath(dir.file("ignored.bin")));
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
    auto anything = [] {
        auto policy = HCSecurityPolicy::create();
        policy->setAllowInvalidCertificates(true);
        policy->setValidatesDomainName(false);
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
        {"invalid certificates allowed", anything, &wrongHost, 0},
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

    // A session-level hook replaces the policy, server trust included.
    auto manager = HCURLSessionManager::create();
    manager->setSecurityPolicy(pinnedRoot());
    std::atomic<int> asked{0};
    manager->setSessionDidReceiveAuthenticationChallengeBlock(
        [&](const auto&, const NSURLAuthenticationChallengePtr& challenge, NSURLCredentialPtr*) {
            ++asked;
            EXPECT_EQ(challenge->protectionSpace()->authenticationMethod(),
                      NSURLAuthenticationMethodServerTrust);
            return NSURLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
        });
    NSErrorPtr error;
    manager
        ->dataTaskWithRequest(requestFor(secure.url("/t")),
                              [&](const auto&, const auto&, const NSErrorPtr& e) { error = e; })
        ->resume();
    ASSERT_TRUE(runMainUntil([&] { return bool(error); }));
    EXPECT_EQ(error->code(), NSURLErrorCancelled);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(secure.hits("/t"), 1u);  // only the pinned-root case got through
    manager->invalidateSessionCancelingTasks(true);
    NSRunLoop::main().runUntilIdle();
}

}  // namespace
