#include "httpclient/HCTaskStateViews.h"
#include "httpclient/tests/HCTestSupport.h"

namespace {

class TaskStateViewsTest : public ManagerTest {
  protected:
    void SetUp() override {
        // "/gate" answers once the test opens the gate (or the server stops).
        server_.on("", "/gate", [this](const LoopbackRequest&) {
            while (!open_.load() && server_.pause(0.01)) {
            }
            return LoopbackReply::text("done");
        });
        server_.reply("/quick", LoopbackReply::text("ok"));
        manager_->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    }
    void TearDown() override {
        open_ = true;
        ManagerTest::TearDown();
    }
    // A task of the manager, not yet resumed; `finished_` counts the tasks whose blocks have run.
    NSURLSessionDataTaskPtr task(const std::string& path = "/gate", const char* method = "GET",
                                 Value body = {}) {
        return manager_->dataTaskWithHTTPMethod(
            method, server_.url(path), body, nullptr, nullptr, [this](auto&, auto&) { ++finished_; },
            [this](auto&, auto&) { ++finished_; });
    }
    void finishGate() {
        const int before = finished_;
        open_ = true;
        ASSERT_TRUE(runMainUntil([&] { return finished_ > before; }));
        NSRunLoop::main().runUntilIdle();  // the views change on the main queue after the notification
    }

    std::atomic<bool> open_{false};
    HCHTTPSessionManagerPtr manager_ = track(HCHTTPSessionManager::create());
    int finished_ = 0;
};

// Which task each view is set to follow, and how it looks: at once, and after the task is resumed.
TEST_F(TaskStateViewsTest, ViewsFollowTheTaskTheyAreSetTo) {
    struct FollowCase {
        const char* name;
        NSURLSessionTaskState state;  // of the task when it is set
        bool animatingAtOnce, animatingAfterResume, refreshingAtOnce, refreshingAfterResume;
    } cases[] = {
        {"running", NSURLSessionTaskState::Running, true, true, true, true},
        {"suspended", NSURLSessionTaskState::Suspended, false, true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        open_ = false;
        auto indicator = UIActivityIndicatorView::create();
        auto control = UIRefreshControl::create();
        control->beginRefreshing();  // a suspended task must end it
        auto t = task();
        if (c.state == NSURLSessionTaskState::Running) t->resume();
        setAnimatingWithStateOfTask(indicator, t);
        setRefreshingWithStateOfTask(control, t);
        EXPECT_EQ(indicator->isAnimating(), c.animatingAtOnce);
        EXPECT_EQ(control->isRefreshing(), c.refreshingAtOnce);

        if (c.state == NSURLSessionTaskState::Suspended) t->resume();
        NSRunLoop::main().runUntilIdle();
        EXPECT_EQ(indicator->isAnimating(), c.animatingAfterResume);
        EXPECT_EQ(control->isRefreshing(), c.refreshingAfterResume);

        finishGate();
        EXPECT_FALSE(indicator->isAnimating());
        EXPECT_FALSE(control->isRefreshing());
    }
}

TEST_F(TaskStateViewsTest, SettingAnotherTaskOrNilForgetsTheFirstAndCompletedTasksEndRefreshing) {
    auto indicator = UIActivityIndicatorView::create();
    auto first = task();
    setAnimatingWithStateOfTask(indicator, first);
    setAnimatingWithStateOfTask(indicator, nullptr);
    first->resume();
    NSRunLoop::main().runUntilIdle();
    EXPECT_FALSE(indicator->isAnimating()) << "nil drops the observation";

    auto control = UIRefreshControl::create();
    auto second = task("/quick");
    second->resume();
    setRefreshingWithStateOfTask(control, first);
    setRefreshingWithStateOfTask(control, second);
    ASSERT_TRUE(runMainUntil([&] { return !control->isRefreshing(); })) << "follows the second task";
    control->beginRefreshing();
    finishGate();
    EXPECT_TRUE(control->isRefreshing()) << "the first task's end is no longer heard";

    // A completed task leaves the indicator as it is but ends refreshing.
    indicator->startAnimating();
    setAnimatingWithStateOfTask(indicator, first);
    setRefreshingWithStateOfTask(control, first);
    EXPECT_TRUE(indicator->isAnimating());
    EXPECT_FALSE(control->isRefreshing());
}

// Progress of a download and of an upload, with the reply's length known or not.
TEST_F(TaskStateViewsTest, ProgressViewFollowsTheByteCounters) {
    LoopbackReply chunked = LoopbackReply::text(std::string(4096, 'x'));
    chunked.chunkSize = 512;
    server_.reply("/chunked", chunked);
    server_.reply("/sized", LoopbackReply::text(std::string(4096, 'x')));
    struct ProgressCase {
        const char* name;
        bool upload, knownLength;
        float expected;
    } cases[] = {
        {"download, known length", false, true, 1.0f},
        {"download, unknown length", false, false, 0.0f},
        {"upload", true, true, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto view = UIProgressView::create();
        const int before = finished_;
        auto t = task(c.knownLength ? "/sized" : "/chunked", c.upload ? "POST" : "GET",
                      c.upload ? Value(Dict{{"body", std::string(2048, 'y')}}) : Value());
        if (c.upload) {
            setProgressWithUploadProgressOfTask(view, t, true);
        } else {
            setProgressWithDownloadProgressOfTask(view, t, false);
        }
        t->resume();
        ASSERT_TRUE(runMainUntil([&] { return finished_ > before; }));
        NSRunLoop::main().runUntilIdle();
        EXPECT_FLOAT_EQ(view->progress(), c.expected);
        EXPECT_EQ(hc_uploadProgressAnimated(view), c.upload);
        EXPECT_FALSE(hc_downloadProgressAnimated(view));

        // The task announced its end, so the view no longer follows its counters; nor does a view set to
        // the task only now.
        const char* counter = c.upload ? "countOfBytesSent" : "countOfBytesReceived";
        auto late = UIProgressView::create();
        setProgressWithUploadProgressOfTask(late, t, false);
        setProgressWithDownloadProgressOfTask(late, t, false);
        view->setProgress(0.5f);
        late->setProgress(0.5f);
        t->willChangeValueForKey(counter);
        t->didChangeValueForKey(counter);
        NSRunLoop::main().runUntilIdle();
        EXPECT_FLOAT_EQ(view->progress(), 0.5f);
        EXPECT_FLOAT_EQ(late->progress(), 0.5f);
    }
}

}  // namespace
