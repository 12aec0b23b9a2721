#include <cmath>

#include "httpclient/tests/HCTestSupport.h"

namespace {

// What one request ended with, as seen by its blocks.
struct Outcome {
    int successes = 0, failures = 0;
    bool onMainThread = true;
    const NotificationRecorder* notices = nullptr;  // if set, how many were posted before a block ran
    size_t noticesBefore = 0;
    NSURLSessionDataTaskPtr task;
    std::optional<Value> responseObject;
    NSErrorPtr error;

    void note(const NSURLSessionDataTaskPtr& t) {
        onMainThread = onMainThread && NSRunLoop::isMainThread();
        noticesBefore += notices ? notices->count() : 0;
        task = t;
    }
    HCHTTPSessionManager::SuccessBlock success() {
        return [this](const NSURLSessionDataTaskPtr& t, const std::optional<Value>& object) {
            ++successes;
            note(t);
            responseObject = object;
        };
    }
    HCHTTPSessionManager::FailureBlock failure() {
        return [this](const NSURLSessionDataTaskPtr& t, const NSErrorPtr& e) {
            ++failures;
            note(t);
            error = e;
        };
    }
    bool done() const { return successes + failures > 0; }
};

using HCHTTPSessionManagerTest = ManagerTest;

std::shared_ptr<HCHTTPSessionManager> jsonManager() {
    auto manager = HCHTTPSessionManager::manager();
    manager->setRequestSerializer(HCJSONRequestSerializer::serializer());
    manager->setResponseSerializer(HCJSONResponseSerializer::serializer());
    return manager;
}

// The application's road: a JSON POST, its upload progress, then the success, or the failure with the
// serializer's error, on the main queue, and only then the completion notice with the decoded reply.
TEST_F(HCHTTPSessionManagerTest, JSONRepliesReachTheBlocksBeforeTheCompletionNotice) {
    struct Case {
        const char* name;
        LoopbackReply reply;
        long code;  // 0: success
        std::optional<Value> decoded;
    } cases[] = {
        {"200 with nulls", LoopbackReply::json(R"({"errCode":0,"none":null})"), 0,
         Value(Dict{{"errCode", 0}, {"none", Value()}})},
        {"500 with a JSON body", LoopbackReply::json(R"({"msg":"down"})", 500), -1011,
         Value(Dict{{"msg", "down"}})},
        {"text/plain", LoopbackReply::text("hello"), -1016, std::nullopt},
        {"404 without body type", LoopbackReply::text("", 404), -1011, std::nullopt},
    };
    auto manager = track(jsonManager());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.reply("/reply", c.reply);
        NotificationRecorder notices({HCNetworkingTaskDidCompleteNotification});
        Outcome outcome;
        outcome.notices = &notices;
        std::atomic<int> progressCalls{0};
        auto task = manager->POST(
            server_.url("/reply"), Value(Dict{{"phone", "138"}, {"mtype", "1"}}),
            [&](const NSProgressPtr&) { ++progressCalls; }, outcome.success(), outcome.failure());
        ASSERT_TRUE(notices.waitFor(1));
        EXPECT_EQ(outcome.successes, c.code ? 0 : 1);
        EXPECT_EQ(outcome.failures, c.code ? 1 : 0);
        EXPECT_EQ(outcome.noticesBefore, 0u);
        const auto notice = notices.entries()[0];
        EXPECT_TRUE(outcome.onMainThread && notice.onMainThread);
        EXPECT_TRUE(outcome.task == task && notice.object == task);
        auto decoded = notice.userInfo.find(HCNetworkingTaskDidCompleteSerializedResponseKey);
        EXPECT_EQ(decoded == notice.userInfo.end() ? std::nullopt : std::optional(decoded->second),
                  c.decoded);
        EXPECT_EQ(notice.userInfo.count(HCNetworkingTaskDidCompleteErrorKey), c.code ? 1u : 0u);
        if (c.code) {
            ASSERT_TRUE(outcome.error);
            EXPECT_EQ(outcome.error->domain(), HCResponseSerializationErrorDomain);
            EXPECT_EQ(outcome.error->code(), c.code);
        } else {
            EXPECT_EQ(outcome.responseObject, c.decoded);
        }
        EXPECT_GT(progressCalls, 0);
        auto sent = server_.lastRequest("/reply");
        EXPECT_EQ(sent->header("Content-Type"), "application/json");
        EXPECT_EQ(sent->body, R"({"mtype":"1","phone":"138"})");
    }
}

// Each verb sends its method; GET, HEAD and DELETE put the parameters in the query, the others in the body.
TEST_F(HCHTTPSessionManagerTest, EveryVerbSendsItsMethodWithTheParametersWhereTheyBelong) {
    server_.on("", "/v",
               [](const LoopbackRequest& r) { return LoopbackReply::text(r.query + "|" + r.body); });
    auto manager = track(HCHTTPSessionManager::create(NSURL::URLWithString(server_.url("/"))));
    manager->setResponseSerializer(HCHTTPResponseSerializer::serializer());
    const Value parameters(Dict{{"a", 1}, {"b", "x y"}});
    using Call = std::function<NSURLSessionDataTaskPtr(Outcome&)>;
    struct Row {
        const char* method;
        Call call;
        const char* reply;  // nullptr: no body comes back
    };
    auto& m = *manager;
    const Row rows[] = {
        {"GET", [&](Outcome& o) { return m.GET("v", parameters, o.success(), o.failure()); }, "a=1&b=x%20y|"},
        {"HEAD",
         [&](Outcome& o) {
             auto success = o.success();
             return m.HEAD(
                 "v", parameters, [success](const NSURLSessionDataTaskPtr& t) { success(t, std::nullopt); },
                 o.failure());
         },
         nullptr},
        {"POST", [&](Outcome& o) { return m.POST("v", parameters, o.success(), o.failure()); },
         "|a=1&b=x%20y"},
        {"PUT", [&](Outcome& o) { return m.PUT("v", parameters, o.success(), o.failure()); }, "|a=1&b=x%20y"},
        {"PATCH", [&](Outcome& o) { return m.PATCH("v", parameters, o.success(), o.failure()); },
         "|a=1&b=x%20y"},
        {"DELETE", [&](Outcome& o) { return m.DELETE("v", parameters, o.success(), o.failure()); },
         "a=1&b=x%20y|"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.method);
        Outcome outcome;
        auto task = row.call(outcome);
        ASSERT_TRUE(task);
        ASSERT_TRUE(runMainUntil([&] { return outcome.done(); }));
        EXPECT_EQ(outcome.successes, 1);
        EXPECT_EQ(outcome.task, task);
        EXPECT_TRUE(outcome.onMainThread);
        EXPECT_EQ(server_.lastRequest("/v")->method, row.method);
        if (row.reply) {
            ASSERT_TRUE(outcome.responseObject);
            EXPECT_EQ(outcome.responseObject->asData()->toString(), row.reply);
        } else {
            EXPECT_FALSE(outcome.responseObject);
            EXPECT_EQ(server_.lastRequest("/v")->query, "a=1&b=x%20y");
        }
    }
}

TEST_F(HCHTTPSessionManagerTest, BaseURLGetsATrailingSlashOnlyWhenItHasAPath) {
    struct Case {
        const char* given;
        const char* stored;
    } cases[] = {
        {"http://h/api", "http://h/api/"},
        {"http://h", "http://h"},
        {"http://h/a/b?x=1", "http://h/a/b/?x=1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            track(HCHTTPSessionManager::create(NSURL::URLWithString(c.given)))->baseURL()->absoluteString(),
            c.stored);
    }
}

TEST_F(HCHTTPSessionManagerTest, UnbuildableRequestsFailLaterWithANullTask) {
    auto manager = track(jsonManager());
    struct Case {
        const char* name;
        std::string url;
        Value parameters;
        long code;
    } cases[] = {
        {"URL that does not parse", "http://bad host/x", Value(), NSURLErrorBadURL},
        {"parameters JSON cannot hold", server_.url("/x"), Value(Dict{{"bad", std::nan("")}}), 3851},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The multipart road checks the URL the same way (its form parts can hold any number).
        std::vector<Outcome> outcomes(c.code == NSURLErrorBadURL ? 2 : 1);
        EXPECT_FALSE(manager->POST(c.url, c.parameters, outcomes[0].success(), outcomes[0].failure()));
        if (c.code == NSURLErrorBadURL) {
            EXPECT_FALSE(manager->POST(
                c.url, c.parameters, [](HCMultipartFormData&) {}, outcomes[1].success(),
                outcomes[1].failure()));
        }
        for (auto& o : outcomes) EXPECT_FALSE(o.done());  // never before the call has returned
        for (auto& o : outcomes) {
            ASSERT_TRUE(runMainUntil([&] { return o.done(); }));
            EXPECT_TRUE(o.successes == 0 && o.failures == 1 && !o.task);
            ASSERT_TRUE(o.error);
            EXPECT_FALSE(o.error->localizedDescription().empty());
            EXPECT_EQ(o.error->code(), c.code);
        }
    }
    EXPECT_EQ(server_.totalHits(), 0u);

    // A session that has been invalidated makes no more tasks: the caller still hears of it.
    NotificationRecorder invalidated({HCURLSessionDidInvalidateNotification});
    manager->invalidateSessionCancelingTasks(false);
    ASSERT_TRUE(invalidated.waitFor(1));
    // The failure may run on another queue while the call is still returning.
    manager->setCompletionQueue(DispatchQueue::serial("test.late"));
    std::atomic<bool> lateDone{false};
    bool lateHadTask = true;
    NSErrorPtr lateError;
    EXPECT_FALSE(manager->POST(server_.url("/x"), Value(), HCHTTPSessionManager::SuccessBlock(),
                               [&](const NSURLSessionDataTaskPtr& t, const NSErrorPtr& e) {
                                   lateHadTask = t != nullptr;
                                   lateError = e;
                                   lateDone = true;
                               }));
    ASSERT_TRUE(runMainUntil([&] { return lateDone.load(); }));
    EXPECT_FALSE(lateHadTask);
    EXPECT_EQ(lateError->domain(), NSURLErrorDomain);
    // The request the session refused still names its URL.
    EXPECT_EQ(lateError->userInfo().at(NSURLErrorFailingURLStringErrorKey), Value(server_.url("/x")));
}

}  // namespace
