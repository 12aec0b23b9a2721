// The stored sign-in state, the root-screen choice, the back end's address, the push tags of the signed-in
// account, and the view and image conveniences.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <optional>
#include <tuple>

#include "app/tools/AppConfig.h"
#include "app/tools/GuideServiceTool.h"
#include "app/tools/PushTagTool.h"
#include "app/tools/SaveService.h"
#include "app/tools/UIImageScale.h"
#include "app/tools/UIViewFrame.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/TextUtil.h"
#include "platform/foundation/UserDefaults.h"
#include "push/Lib/Controller/PUSHService.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/TempDir.h"

namespace {

class ToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Sandbox::setHome(home_.path());
        NSUserDefaults::resetStandardUserDefaultsForTesting();
    }
    void TearDown() override {
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        Sandbox::resetHome();
    }
    static std::optional<Value> stored(const char* key) { return SaveService::objectForKey(key); }

    TempDir home_;
};

TEST_F(ToolsTest, StoredValuesSurviveARelaunchAndAValueTheStoreRefusesLosesNothing) {
    auto relaunch = [] { NSUserDefaults::resetStandardUserDefaultsForTesting(); };  // saves, then forgets
    EXPECT_FALSE(stored(kSaveServiceAccessTokenKey));
    SaveService::setObject("tok-123", kSaveServiceAccessTokenKey);
    EXPECT_EQ(stored(kSaveServiceAccessTokenKey), Value("tok-123"));
    SaveService::setObject("13800000000", kSaveServiceAccountKey);
    const Value page = Value::dictionary({{"list", Value::array({1, "two", 3.5})}, {"flag", true}});
    SaveService::setObject(page, "pageCache");
    SaveService::setObject("", kSaveServiceAccessTokenKey);  // an empty token is kept as "", not removed
    SaveService::setObject(Value::set({"a"}), kSaveServiceAccountKey);  // no property-list value: refused
    relaunch();
    EXPECT_EQ(
        std::tuple(stored(kSaveServiceAccessTokenKey), stored(kSaveServiceAccountKey), stored("pageCache")),
        std::tuple(Value(""), Value("13800000000"), page));
}

TEST_F(ToolsTest, RootScreenFollowsTheStoredVersionAndTokenAndIsKnownAheadWithoutStoringAnything) {
    const auto version = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    ASSERT_TRUE(version && version->isString());
    const std::optional<Value> none;
    const std::tuple<std::optional<Value>, std::optional<Value>, std::string> rows[] = {
        {none, Value("tok"), "NewFeatureViewController"},
        {Value("0.9"), Value("tok"), "NewFeatureViewController"},
        {version, none, "LoginViewController"},
        {version, Value(""), "LoginViewController"},
        {version, Value(5), "LoginViewController"},
        {version, Value("tok"), "MainViewController"}};
    for (const auto& [stored, token, root] : rows) {
        SaveService::setObject(stored.value_or(Value()), kSaveServiceVersionKey);
        SaveService::setObject(token.value_or(Value()), kSaveServiceAccessTokenKey);
        // Known ahead (the launch hold prepares the main page by it), with nothing stored.
        const auto upcoming = GuideServiceTool::upcomingRoot();
        EXPECT_EQ(std::pair(this->stored(kSaveServiceVersionKey), this->stored(kSaveServiceAccessTokenKey)),
                  std::pair(stored, token));
        EXPECT_EQ(upcoming == GuideServiceTool::Root::Guide   ? "NewFeatureViewController"
                  : upcoming == GuideServiceTool::Root::Login ? "LoginViewController"
                                                              : "MainViewController",
                  root);
        EXPECT_EQ(GuideServiceTool::create()->chooseWindowRootViewController()->title(), root)
            << (stored ? stored->description() : "none") << " " << (token ? token->description() : "none");
        // The version is stored at once, so the next launch of it skips the guide; the token stays.
        EXPECT_EQ(std::pair(this->stored(kSaveServiceVersionKey), this->stored(kSaveServiceAccessTokenKey)),
                  std::pair(version, token));
    }
}

TEST(AppConfigTest, BaseURLFromBuildHostEnvironmentOrSetterAndTheBackEndsOrigin) {
    const std::string built = std::string("http://") + kAppBackendHost + ":8080";
    // The environment (nullptr: unset), what is set (nullptr: nothing), whether that is taken, the base URL.
    const std::tuple<const char*, const char*, bool, std::string> rows[] = {
        {nullptr, nullptr, true, built},
        {"10.1.2.3", nullptr, true, "http://10.1.2.3:8080"},
        {"http://localhost:9000/", nullptr, true, "http://localhost:9000"},
        {"not a host", nullptr, true, built},
        {"10.1.2.3", "https://back.example:8443", true, "https://back.example:8443"},
        {nullptr, "http://", false, built}};
    for (const auto& [environment, set, accepted, base] : rows) {
        if (environment)
            setenv(kAppBackendEnvironmentVariable, environment, 1);
        else
            unsetenv(kAppBackendEnvironmentVariable);
        AppConfig::resetBaseURL();
        EXPECT_TRUE(!set || AppConfig::setBaseURL(set) == accepted) << set;
        EXPECT_EQ(AppConfig::baseURL() + " " + AppConfig::startPageURL(), base + " " + base + "/vqd_web/#/");
    }
    unsetenv(kAppBackendEnvironmentVariable);
    ASSERT_TRUE(AppConfig::setBaseURL("http://127.0.0.1:8080"));
    for (const auto& [url, origin] :
         {std::pair("HTTP://127.0.0.1:8080/x?y", true), std::pair("http://127.0.0.1:8081/", false),
          std::pair("https://127.0.0.1:8080/", false), std::pair("http://127.0.0.2:8080/", false),
          std::pair("http://127.0.0.1/", false), std::pair("file:///etc/passwd", false)})
        EXPECT_EQ(AppConfig::isBackendOrigin(url), origin) << url;
    ASSERT_TRUE(AppConfig::setBaseURL("https://back.example"));
    EXPECT_TRUE(AppConfig::isBackendOrigin("https://BACK.example:443/page"));

    // A refusal is said once: to the caller that asks for the reason, else on the console.
    Console::Capture console;
    std::string why;
    EXPECT_FALSE(AppConfig::setBaseURL("ftp://back.example", &why));
    EXPECT_EQ(why, "its scheme is not http or https");
    EXPECT_TRUE(console.lines().empty());
    EXPECT_FALSE(AppConfig::setBaseURL("ftp://back.example"));
    EXPECT_EQ(console.lines(),
              std::vector<std::string>{"AppConfig: base URL \"ftp://back.example\" refused (its "
                                       "scheme is not http or https); keeping https://back.example"});
    AppConfig::resetBaseURL();
}

TEST_F(ToolsTest, PushTagBindsTheStoredAccountAsTagAndAlias) {
    ASSERT_TRUE(PUSHService::resetForTesting());
    auto capture = CapturingLogger::create();
    PUSHLog::addLogger(capture, PUSHLogLevelAll);
    PUSHService::setupWithOption(Value(), kPushAppKey, kPushChannel, kPushApsForProduction);
    // The stored account, and the push client's answer ("": the client is not asked).
    const std::pair<std::optional<Value>, std::string> rows[] = {
        {Value("13800138000"), "app not registed, give up set tag:{(\n    13800138000\n)} alias:13800138000"},
        {std::nullopt, ""},
        {Value(138), ""}};
    for (const auto& [account, line] : rows) {
        SaveService::setObject(account.value_or(Value()), kSaveServiceAccountKey);
        ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
        const size_t before = capture->messages().size();
        Console::Capture console;
        PushTagTool::setPushTag();
        ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
        auto messages = capture->messages();
        std::string lines;
        for (size_t i = before; i < messages.size(); ++i) lines += messages[i]->message() + "\n";
        EXPECT_EQ(lines.find(line) != std::string::npos && lines.empty() == line.empty(), true) << lines;
        EXPECT_EQ(console.contains("no account stored"), line.empty());
    }
    NSRunLoop::main().runUntilIdle();
    PUSHLog::removeLogger(capture);
    EXPECT_TRUE(PUSHService::resetForTesting());
}

// A 2 x 1 PNG at scale 2: opaque red on the left, transparent blue on the right.
UIImagePtr redAndClear() {
    return UIImage::imageWithData(
        *TextUtil::base64Decode("iVBORw0KGgoAAAANSUhEUgAAAAIAAAABCAYAAAD0In+KAAAADUlEQVR4nG"
                                "P4z8AARgAO+gL+9R5MqQAAAABJRU5ErkJggg=="),
        2);
}

TEST(UIImageScale, StretchesToTheSizeAtScaleOne) {
    auto source = redAndClear();
    ASSERT_TRUE(source);
    ASSERT_EQ(source->size(), CGSizeMake(1, 0.5));
    auto scaled = scaleToSize(source, CGSizeMake(4, 3));
    ASSERT_TRUE(scaled);
    EXPECT_EQ(scaled->size(), CGSizeMake(4, 3));
    EXPECT_EQ(scaled->scale(), 1);
    auto pixel = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = &scaled->rgba()[(y * scaled->pixelWidth() + x) * 4];
        return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(pixel(0, 2), (std::array<int, 4>{255, 0, 0, 255}));
    // Blended with a transparent pixel, red stays red (no blue fringe) and only fades.
    EXPECT_EQ(pixel(1, 0), (std::array<int, 4>{255, 0, 0, 191}));
    EXPECT_EQ(pixel(3, 1)[3], 0);
    // Big enough for more than one stored block of the intermediate PNG.
    auto large = scaleToSize(source, CGSizeMake(200, 100.5));
    ASSERT_TRUE(large);
    EXPECT_EQ(large->pixelHeight(), 101u);
    for (const CGSize size :
         {CGSizeMake(0, 10), CGSizeMake(10, -1), CGSizeMake(NAN, 5), CGSizeMake(1e6, 1e6)}) {
        EXPECT_FALSE(scaleToSize(source, size)) << size.width << " x " << size.height;
    }
}

TEST(UIViewFrame, EachSetterReplacesOneFieldOfTheFrame) {
    auto view = UIView::create(CGRectMake(1, 2, 3, 4));
    UIViewFrame::setX(*view, 10), UIViewFrame::setHeight(*view, 40);
    EXPECT_EQ(view->frame(), CGRectMake(10, 2, 3, 40));
    UIViewFrame::setY(*view, 20), UIViewFrame::setWidth(*view, 30);
    EXPECT_EQ(std::tuple(view->frame(), UIViewFrame::x(*view), UIViewFrame::y(*view),
                         UIViewFrame::width(*view), UIViewFrame::height(*view)),
              std::tuple(CGRectMake(10, 20, 30, 40), 10.0, 20.0, 30.0, 40.0));
}

}  // namespace
