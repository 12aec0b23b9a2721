// The root-screen choice, the back end's address and the push tags of the signed-in account.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "app/tools/AppConfig.h"
#include "app/tools/GuideServiceTool.h"
#include "app/tools/PushTagTool.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Sandbox.h"
#include "platform/foundation/UserDefaults.h"
#include "push/Lib/Controller/PUSHService.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"
#include "testsupport/TempDir.h"

namespace {

class ToolsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = std::make_unique<TempDir>();
        Sandbox::setHome(home_->path());
        NSUserDefaults::resetStandardUserDefaultsForTesting();
    }
    void TearDown() override {
        NSUserDefaults::resetStandardUserDefaultsForTesting();
        Sandbox::resetHome();
    }
    static std::optional<Value> stored(const char* key) { return SaveService::objectForKey(key); }

    std::unique_ptr<TempDir> home_;
};

TEST_F(ToolsTest, RootScreenFollowsTheStoredVersionAndToken) {
    const auto bundleVersion =
        NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    ASSERT_TRUE(bundleVersion && bundleVersion->isString());
    const std::optional<Value> none;
    const struct { std::optional<Value> version, token; const char* root; } cases[] = {
        {none, Value("tok"), "NewFeatureViewController"},
        {Value("0.9"), Value("tok"), "NewFeatureViewController"},
        {Value(1), Value("tok"), "NewFeatureViewController"},
        {bundleVersion, none, "LoginViewController"},
        {bundleVersion, Value(""), "LoginViewController"},
        {bundleVersion, Value(5), "LoginViewController"},
        {bundleVersion, Value("tok"), "MainViewController"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.root) + " version " + (c.version ? c.version->description() : "none") +
                     " token " + (c.token ? c.token->description() : "none"));
        SaveService::setObject(c.version.value_or(Value()), kSaveServiceVersionKey);
        SaveService::setObject(c.token.value_or(Value()), kSaveServiceAccessTokenKey);
        auto root = GuideServiceTool::create()->chooseWindowRootViewController();
        ASSERT_TRUE(root);
        EXPECT_EQ(root->title(), c.root);
        // The version is stored at once, so the next launch of it skips the guide.
        EXPECT_EQ(stored(kSaveServiceVersionKey), bundleVersion);
        EXPECT_EQ(stored(kSaveServiceAccessTokenKey), c.token);
    }
}

TEST(AppConfigTest, BaseURLAndStartPageFromBuildHostEnvironmentOrSetter) {
    struct Case {
        const char* environment;  // nullptr: unset
        const char* set;          // nullptr: setBaseURL not called
        bool accepted;
        std::string base;
    } cases[] = {
        {nullptr, nullptr, true, std::string("http://") + kAppBackendHost + ":8080"},
        {"10.1.2.3", nullptr, true, "http://10.1.2.3:8080"},
        {"http://localhost:9000/", nullptr, true, "http://localhost:9000"},
        {"not a host", nullptr, true, std::string("http://") + kAppBackendHost + ":8080"},
        {"10.1.2.3", "https://back.example:8443", true, "https://back.example:8443"},
        {nullptr, "http://", false, std::string("http://") + kAppBackendHost + ":8080"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.environment ? c.environment : "-") + " / " + (c.set ? c.set : "-"));
        if (c.environment) setenv(kAppBackendEnvironmentVariable, c.environment, 1);
        else unsetenv(kAppBackendEnvironmentVariable);
        AppConfig::resetBaseURL();
        if (c.set) {
            EXPECT_EQ(AppConfig::setBaseURL(c.set), c.accepted);
        }
        EXPECT_EQ(AppConfig::baseURL(), c.base);
        EXPECT_EQ(AppConfig::startPageURL(), c.base + "/vqd_web/#/");
    }
    unsetenv(kAppBackendEnvironmentVariable);
    AppConfig::resetBaseURL();
}

TEST(AppConfigTest, OnlyTheBackEndsSchemeHostAndPortAreItsOrigin) {
    ASSERT_TRUE(AppConfig::setBaseURL("http://127.0.0.1:8080"));
    const struct { const char* url; bool origin; } cases[] = {
        {"HTTP://127.0.0.1:8080/x?y", true},
        {"http://127.0.0.1:8081/vqd_web/", false},
        {"https://127.0.0.1:8080/", false},
        {"http://127.0.0.2:8080/", false},
        {"http://127.0.0.1/", false},
        {"file:///etc/passwd", false},
    };
    for (const auto& c : cases) EXPECT_EQ(AppConfig::isBackendOrigin(c.url), c.origin) << c.url;
    ASSERT_TRUE(AppConfig::setBaseURL("https://back.example"));
    EXPECT_TRUE(AppConfig::isBackendOrigin("https://BACK.example:443/page"));
    AppConfig::resetBaseURL();
}

TEST_F(ToolsTest, PushTagBindsTheStoredAccountAsTagAndAlias) {
    ASSERT_TRUE(PUSHService::resetForTesting());
    auto capture = CapturingLogger::create();
    PUSHLog::addLogger(capture, PUSHLogLevelAll);
    PUSHService::setupWithOption(Value(), kPushAppKey, kPushChannel, kPushApsForProduction);
    struct Case {
        std::optional<Value> account;
        const char* line;  // the push client's answer, nullptr: the client is not asked
    } cases[] = {
        {Value("13800138000"), "app not registed, give up set tag:{(\n    13800138000\n)} alias:13800138000"},
        {std::nullopt, nullptr},
        {Value(138), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.account ? c.account->description() : "none");
        SaveService::setObject(c.account.value_or(Value()), kSaveServiceAccountKey);
        ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
        const size_t before = capture->messages().size();
        Console::Capture console;
        PushTagTool::setPushTag();
        ASSERT_TRUE(PUSHService::waitUntilIdleForTesting());
        std::vector<std::string> lines;
        auto messages = capture->messages();
        for (size_t i = before; i < messages.size(); ++i) lines.push_back(messages[i]->message());
        if (c.line) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end())
                << ::testing::PrintToString(lines);
        } else {
            EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
            EXPECT_TRUE(console.contains("no account stored"));
        }
    }
    NSRunLoop::main().runUntilIdle();
    PUSHLog::removeLogger(capture);
    EXPECT_TRUE(PUSHService::resetForTesting());
}

}  // namespace
