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
    ASSERT_TRUE(runMainUntil([&] {
        std::lock_guard lock(mutex);
        return recorder.count(HCNetworkingTaskDidCompleteNotification) == 1 && events.size() == 2;
    }));
    {
        std::lock_guard lock(mutex);
        // The hook runs as the delegate queue finishes, the completion on the main queue after the processing
        // queue: two threads, in either order.
        std::sort(events.begin(), events.end());
        EXPECT_EQ(events, (std::vector<std::string>{"completion@main", "didComplete@delegate"}));
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
