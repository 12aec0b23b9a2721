// The back-end request tool against the stand-in back end: what each kind of reply shows on the HUD, and
// that a request leaves nothing running behind it.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "app/hud/THProgressHUD.h"
#include "app/tools/AppConfig.h"
#include "app/tools/HttpRequestManager.h"
#include "devserver/DevServer.h"
#include "httpclient/HCTaskNotifications.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/tests/UITestFixture.h"

namespace {

constexpr double kReplyWait = 20;  // seconds of real time for a loopback reply
const char* const kEntry = "/viziDO/entry/appWeb.do";

size_t entriesIn(const char* directory) {
    return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
}

std::optional<Value> parse(const std::string& json) {
    return NSJSONSerialization::JSONObjectWithData(Data::fromString(json), 0, nullptr);
}

class RequestToolTest : public UITest {
  protected:
    RequestToolTest() {
        THProgressHUD::resetForTesting();
        server_ = std::make_unique<DevServer>(
            DevServer::Config{QUORVANE_DEVSERVER_PAGES, [](const std::string&) {}});
        std::string error;
        EXPECT_TRUE(server_->start("127.0.0.1", 0, &error)) << error;
        AppConfig::setBaseURL(server_->url());
    }
    ~RequestToolTest() override {
        THProgressHUD::resetForTesting();
        AppConfig::resetBaseURL();
    }
    static std::shared_ptr<THProgressHUD> hud() { return THProgressHUD::shareInstancetype(); }
    static std::string tipText() { return hud()->tipView() ? hud()->tipView()->label()->text() : ""; }

    std::unique_ptr<DevServer> server_;
};

TEST_F(RequestToolTest, EachReplyEndsInTheCallerOrAnErrorTipAndTakesBackItsLoadingCount) {
    struct Case {
        const char* name;
        std::optional<EntryReply> reply;  // nullopt: the back end is down
        int32_t method;
        bool isLoding;
        bool succeeds;
        const char* tip;  // nullptr: no tip
    } cases[] = {
        {"errCode 0", EntryReply::json(R"({"errCode":0,"x":"y"})"), 1, true, true, nullptr},
        {"errCode 0 quietly", EntryReply::json(R"({"errCode":0})"), 1, false, true, nullptr},
        {"errCode \"1\"", EntryReply::json(R"({"errCode":"1","errInfo":"号码有误"})"), 1, true, false,
         "号码有误"},
        {"errCode 1 without errInfo", EntryReply::json(R"({"errCode":1})"), 1, true, false,
         kHttpRequestFailedText},
        {"errCode 2", EntryReply::json(R"({"errCode":2,"errInfo":"x"})"), 1, true, false, nullptr},
        {"500 with JSON", EntryReply::json(R"({"errCode":0})", 500), 1, true, false,
         "Request failed: internal server error (500)"},
        {"text/plain", EntryReply::text(R"({"errCode":0})"), 1, true, false,
         "Request failed: unacceptable content-type: text/plain"},
        {"JSON array", EntryReply::json("[0]"), 1, true, false, kHttpRequestFailedText},
        {"refused connection", std::nullopt, 1, true, false, "Could not connect to the server."},
        {"method 0", EntryReply::json(R"({"errCode":0})"), 0, true, false, nullptr},
    };
    const std::string liveURL = server_->url();
    DevServer down(DevServer::Config{QUORVANE_DEVSERVER_PAGES, {}});
    ASSERT_TRUE(down.start("127.0.0.1", 0));
    const std::string downURL = down.url();
    down.stop();

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        THProgressHUD::resetForTesting();
        if (c.reply) server_->scriptReply("1", *c.reply);
        AppConfig::setBaseURL(c.reply ? liveURL : downURL);
        const size_t hitsBefore = server_->hits(kEntry);
        std::optional<Value> received;
        int countInSuccess = -1;
        HttpRequestManager::httpRequestManagerRequpestWithPathString(
            kHttpRequestEntryPath, {{"type", Value("1")}, {"account", Value("13800138000")}},
            [&](const Value& reply) {
                received = reply;
                countInSuccess = hud()->loadingCount();
            },
            [] { ADD_FAILURE() << "the failure block is never called"; }, c.method, c.isLoding);

        if (c.method != kHttpRequestMethodPOST) {
            turn();
            EXPECT_EQ(hud()->state(), THProgressHUDState::Idle);
            EXPECT_EQ(server_->hits(kEntry), hitsBefore);
            EXPECT_FALSE(received);
            continue;
        }
        EXPECT_EQ(hud()->state(), c.isLoding ? THProgressHUDState::Loading : THProgressHUDState::Idle);
        EXPECT_EQ(hud()->loadingCount(), c.isLoding ? 1 : 0);
        // Every outcome ends with the tip or the caller's block; a silent one with the count taken back.
        ASSERT_TRUE(NSRunLoop::main().runUntil(
            [&] {
                return received || hud()->state() == THProgressHUDState::Tip ||
                       (c.isLoding && hud()->loadingCount() == 0);
            },
            kReplyWait));
        turn();
        EXPECT_EQ(received.has_value(), c.succeeds);
        if (c.succeeds) {
            EXPECT_EQ(countInSuccess, c.isLoding ? 1 : 0) << "the caller runs before the count is taken back";
            EXPECT_EQ(*received, parse(c.reply->body));
        }
        EXPECT_EQ(hud()->loadingCount(), 0);
        if (c.tip) {
            EXPECT_EQ(hud()->state(), THProgressHUDState::Tip);
            EXPECT_EQ(tipText(), c.tip);
        } else {
            EXPECT_NE(hud()->state(), THProgressHUDState::Tip);
            EXPECT_NE(hud()->state(), THProgressHUDState::Loading);
        }
    }
}

TEST_F(RequestToolTest, AHundredRequestsInvalidateTheirSessionsAndLeaveNoThreadOrDescriptorBehind) {
    server_->scriptReply("1", EntryReply::json(R"({"errCode":0})"));
    int done = 0;
    int invalidated = 0;  // sessions that let go of their manager
    auto& center = NSNotificationCenter::defaultCenter();
    auto observer = center.addObserver(HCURLSessionDidInvalidateNotification, nullptr, DispatchQueue::main(),
                                       [&](const NSNotification&) { ++invalidated; });
    auto send = [&](int count) {
        for (int i = 0; i < count; ++i) {
            HttpRequestManager::httpRequestManagerRequpestWithPathString(
                kHttpRequestEntryPath, {{"type", Value("1")}}, [&](const Value&) { ++done; }, {},
                kHttpRequestMethodPOST, false);
        }
    };
    // One request first, so that what the process sets up once (queues, the transport) is in the baseline.
    send(1);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return done == 1; }, kReplyWait));
    auto settled = [this](size_t threads, size_t descriptors) {
        return NSRunLoop::main().runUntil(
            [&] {
                advance(DispatchQueue::kIdleWorkerLingerSeconds);  // idle queue workers leave after it
                return entriesIn("/proc/self/task") <= threads && entriesIn("/proc/self/fd") <= descriptors;
            },
            kReplyWait);
    };
    const size_t threads = entriesIn("/proc/self/task");
    const size_t descriptors = entriesIn("/proc/self/fd");

    send(100);
    ASSERT_TRUE(NSRunLoop::main().runUntil([&] { return done == 101; }, 3 * kReplyWait));
    EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return invalidated == 101; }, kReplyWait)) << invalidated;
    center.removeObserver(observer);
    EXPECT_TRUE(settled(threads + 2, descriptors + 2))
        << "threads " << entriesIn("/proc/self/task") << " (were " << threads << "), descriptors "
        << entriesIn("/proc/self/fd") << " (were " << descriptors << ")";
}

}  // namespace
