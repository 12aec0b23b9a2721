// The request tool against the stand-in back end: what each reply shows, and that nothing outlives a request.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "app/hud/THProgressHUD.h"
#include "app/tools/AppConfig.h"
#include "app/tools/HttpRequestManager.h"
#include "devserver/DevServer.h"
#include "httpclient/HCTaskNotifications.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/tests/UITestFixture.h"
#include "testsupport/LoopbackRawServer.h"

namespace {

constexpr double kReplyWait = 20;  // seconds of real time for a loopback reply
const char* const kEntry = "/viziDO/entry/appWeb.do";

size_t entriesIn(const char* directory) {
    return size_t(std::distance(std::filesystem::directory_iterator(directory), {}));
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
        // A session lets go of its manager after its reply has been handled: wait for every one this test
        // made, so that none is counted by the next test.
        EXPECT_TRUE(NSRunLoop::main().runUntil([&] { return invalidated_ == sent_; }, kReplyWait))
            << invalidated_ << " of " << sent_ << " sessions invalidated";
        NSNotificationCenter::defaultCenter().removeObserver(observer_);
        THProgressHUD::resetForTesting();
        HttpRequestManager::setDeadlineForTesting(0);
        AppConfig::resetBaseURL();
    }
    void send(HttpRequestManager::Success success, int32_t method = kHttpRequestMethodPOST,
              bool isLoding = false) {
        sent_ += method == kHttpRequestMethodPOST;
        HttpRequestManager::httpRequestManagerRequpestWithPathString(
            kHttpRequestEntryPath, {{"type", Value("1")}}, std::move(success),
            [] { ADD_FAILURE() << "the failure block is never called"; }, method, isLoding);
    }
    static std::shared_ptr<THProgressHUD> hud() { return THProgressHUD::shareInstancetype(); }
    static std::string tipText() { return hud()->tipView() ? hud()->tipView()->label()->text() : ""; }

    std::unique_ptr<DevServer> server_;
    int sent_ = 0, invalidated_ = 0;  // sessions made, and those that let go of their manager
    NSNotificationCenter::Token observer_ = NSNotificationCenter::defaultCenter().addObserver(
        HCURLSessionDidInvalidateNotification, nullptr, DispatchQueue::main(),
        [this](const NSNotification&) { ++invalidated_; });
};

TEST_F(RequestToolTest, EachReplyEndsInTheCallerOrAnErrorTipAndTakesBackItsLoadingCount) {
    // A tip shows the first 200 characters of a long text and an ellipsis.
    std::string longText;
    for (int i = 0; i < 100000; ++i) longText += "长";  // 3 bytes, 1 UTF-16 unit each
    const std::string cappedText = longText.substr(0, 3 * THProgressHUDTipMaxLength) + "…";
    // The reply (a JSON body and status), method, isLoding, whether the caller gets it, the tip ("": none).
    const std::tuple<std::string, int, int32_t, bool, bool, std::string> rows[] = {
        {R"({"errCode":0,"x":"y"})", 200, 1, true, true, ""},
        {R"({"errCode":"0"})", 200, 1, false, true, ""},
        {R"({"x":1})", 200, 1, true, true, ""},
        {R"({"errCode":null})", 200, 1, true, false, ""},
        {R"({"errCode":"ok"})", 200, 1, true, false, ""},
        {R"({"errCode":0.5})", 200, 1, true, false, ""},
        {R"({"errCode":2,"errInfo":"x"})", 200, 1, true, false, ""},
        {R"({"errCode":"1","errInfo":"号码有误"})", 200, 1, true, false, "号码有误"},
        {R"({"errCode":1})", 200, 1, true, false, kHttpRequestFailedText},
        {R"({"errCode":1,"errInfo":")" + longText + "\"}", 200, 1, true, false, cappedText},
        {"", 200, 1, true, true, ""},  // no body: nothing to read, no errCode, so a success without a reply
        {" ", 200, 1, true, true, ""},
        {"[0]", 200, 1, true, false, kHttpRequestFailedText},  // JSON, but nothing that holds an errCode
        {R"({"errCode":0})", 500, 1, true, false, "Request failed: internal server error (500)"},
        {R"({"errCode":0})", 200, 0, true, false, ""},  // method 0: nothing is sent
    };
    for (const auto& [body, status, method, isLoding, succeeds, tip] : rows) {
        SCOPED_TRACE(body.substr(0, 40) + " " + std::to_string(status) + " method " + std::to_string(method));
        THProgressHUD::resetForTesting();
        server_->scriptReply("1", EntryReply::json(body, status));
        const size_t hits = server_->hits(kEntry);
        std::optional<Value> received;
        int countInSuccess = -1;
        send([&](const Value& reply) { received = reply, countInSuccess = hud()->loadingCount(); }, method,
             isLoding);
        EXPECT_EQ(hud()->loadingCount(), isLoding && method == kHttpRequestMethodPOST ? 1 : 0);
        // Every outcome ends with the tip or the caller's block; a silent one with the count taken back.
        ASSERT_TRUE(NSRunLoop::main().runUntil(
            [&] { return received || !tipText().empty() || (isLoding && hud()->loadingCount() == 0); },
            kReplyWait));
        turn();
        EXPECT_EQ(server_->hits(kEntry), hits + (method == kHttpRequestMethodPOST ? 1 : 0));
        EXPECT_EQ(received.has_value(), succeeds);
        if (received) {
            EXPECT_EQ(countInSuccess, isLoding ? 1 : 0) << "the caller runs before the count is taken back";
            // An empty body reaches the caller as null.
            EXPECT_EQ(*received, NSJSONSerialization::JSONObjectWithData(Data::fromString(body), 0, nullptr)
                                     .value_or(Value()));
        }
        EXPECT_EQ(hud()->loadingCount(), 0);
        EXPECT_NE(hud()->state(), THProgressHUDState::Loading);
        EXPECT_EQ(tipText(), tip);
    }
}

TEST_F(RequestToolTest, AReplyThatTricklesInEndsAtTheDeadlineWithTheTimeOutTip) {
    // Each byte would restart an idle timer; only a deadline for the whole request ends it.
    LoopbackRawServer trickle([](LoopbackConnection& connection) {
        if (connection.readRequest().empty()) return;
        connection.write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n");
        while (connection.write(" ") && connection.stall(0.05)) {
        }
    });
    ASSERT_TRUE(AppConfig::setBaseURL(trickle.url("")));
    HttpRequestManager::setDeadlineForTesting(1);
    send([](const Value&) { ADD_FAILURE() << "no reply came"; }, kHttpRequestMethodPOST, true);
    ASSERT_TRUE(
        NSRunLoop::main().runUntil([&] { return hud()->state() == THProgressHUDState::Tip; }, kReplyWait));
    EXPECT_EQ(tipText(), "The request timed out.");
    EXPECT_EQ(hud()->loadingCount(), 0);
}

TEST_F(RequestToolTest, AHundredRequestsInvalidateTheirSessionsAndLeaveNoThreadOrDescriptorBehind) {
    server_->scriptReply("1", EntryReply::json(R"({"errCode":0})"));
    int done = 0;
    // Counts only what was sent here: a session of an earlier request may still be on its way out.
    auto sendAndSettle = [&](int count) {
        for (int i = 0; i < count; ++i) send([&](const Value&) { ++done; });
        return NSRunLoop::main().runUntil([&] { return done == count && invalidated_ == sent_; },
                                          6 * kReplyWait);
    };
    // Requests first, so that what the process sets up once (queues, the transport, its pool of kept
    // connections, filled by concurrent requests) is in the baseline.
    ASSERT_TRUE(sendAndSettle(10));
    const size_t threads = entriesIn("/proc/self/task"), descriptors = entriesIn("/proc/self/fd");
    done = 0;
    EXPECT_TRUE(sendAndSettle(100)) << done << " done, " << invalidated_ << " of " << sent_ << " invalidated";
    // How many idle connections the shared pool keeps (at most 6 for one host) depends on how the requests
    // overlapped: a leak of one per request would be far beyond that.
    constexpr size_t kPooledConnections = 6;
    EXPECT_TRUE(NSRunLoop::main().runUntil(
        [&] {
            advance(DispatchQueue::kIdleWorkerLingerSeconds);  // idle queue workers leave after it
            return entriesIn("/proc/self/task") <= threads + 2 &&
                   entriesIn("/proc/self/fd") <= descriptors + 2 + kPooledConnections;
        },
        kReplyWait))
        << "threads " << entriesIn("/proc/self/task") << " (were " << threads << "), descriptors "
        << entriesIn("/proc/self/fd") << " (were " << descriptors << ")";
}

}  // namespace
