// The application delegate: the launch and its hold, push registration, and what becomes of the device
// token and of remote notifications in each application state.
#include <atomic>
#include <chrono>
#include <thread>

#include "app/screens/AppDelegate.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Process.h"
#include "push/Lib/Controller/PUSHService.h"
#include "pushlog/PUSHLog.h"
#include "testsupport/LoggingTestLoggers.h"

namespace {

class AppDelegateTest : public WebScreenTest {
  protected:
    AppDelegateTest() {
        EXPECT_TRUE(PUSHService::resetForTesting());
        capture_ = CapturingLogger::create();
        PUSHLog::addLogger(capture_, PUSHLogLevelAll);
        application_ = UIApplication::sharedApplication();
        delegate_ = AppDelegate::create();
        application_->setDelegate(delegate_);
    }
    ~AppDelegateTest() override {
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        PUSHLog::removeLogger(capture_);
        AppScreens::registerMaker(AppScreens::Screen::Login, nullptr);
        DeviceProfile::reset();
    }

    // Runs the launch while another thread moves the manual clock on, so that the hold can end; returns
    // how much clock time the launch took.
    double launch() {
        std::atomic<bool> done{false};
        std::thread mover([&] {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!done && std::chrono::steady_clock::now() < limit) {
                clock_.advance(0.25);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        const double start = Clock::monotonic();
        EXPECT_TRUE(delegate_->didFinishLaunchingWithOptions(*application_, Value()));
        done = true;
        mover.join();
        return Clock::monotonic() - start;
    }
    // Lets the push client's thread finish, then counts its lines holding `fragment` since the last mark.
    size_t pushLines(const std::string& fragment) {
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        auto messages = capture_->messages();
        size_t n = 0;
        for (size_t i = mark_; i < messages.size(); ++i) {
            n += messages[i]->message().find(fragment) != std::string::npos;
        }
        return n;
    }
    void markLog() {
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        mark_ = capture_->messages().size();
    }
    size_t banners() const {
        size_t n = 0;
        for (auto& view : delegate_->window()->subviews())
            n += bool(std::dynamic_pointer_cast<NotificationView>(view));
        return n;
    }

    std::shared_ptr<UIApplication> application_;
    std::shared_ptr<AppDelegate> delegate_;
    std::shared_ptr<CapturingLogger> capture_;
    size_t mark_ = 0;
};

TEST_F(AppDelegateTest, LaunchHoldsTwoSecondsThenShowsTheRootThenRegistersForPush) {
    struct Case {
        const char* systemVersion;
        int registrations;  // remote-notification requests to the platform
    } cases[] = {{"9.3", 2}, {"7.1", 1}};
    auto version = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    ASSERT_TRUE(version);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.systemVersion);
        application_->resetForTesting();
        application_->setDelegate(delegate_);
        application_->setApplicationIconBadgeNumber(4);
        ASSERT_TRUE(PUSHService::resetForTesting());
        DeviceProfile profile = DeviceProfile::current();
        profile.systemVersion = c.systemVersion;
        DeviceProfile::set(profile);
        SaveService::setObject(*version, kSaveServiceVersionKey);
        // When the root is chosen: the hold is over, no window is key yet and push is not yet asked for.
        double choseAt = -1;
        UIViewControllerPtr chosen;
        AppScreens::registerMaker(AppScreens::Screen::Login, [&] {
            choseAt = Clock::monotonic();
            EXPECT_FALSE(application_->keyWindow());
            EXPECT_EQ(application_->remoteRegistrationRequests(), 0);
            return chosen = UIViewController::create();
        });
        const double start = Clock::monotonic();
        EXPECT_GE(launch(), kAppLaunchImageHold);
        EXPECT_GE(choseAt - start, kAppLaunchImageHold);

        auto window = delegate_->window();
        ASSERT_TRUE(window);
        EXPECT_EQ(window->rootViewController(), chosen);
        EXPECT_EQ(application_->keyWindow(), window);
        EXPECT_EQ(application_->remoteRegistrationRequests(), c.registrations);
        EXPECT_EQ(application_->applicationIconBadgeNumber(), 0);
        EXPECT_TRUE(PUSHService::isSetUp());
        EXPECT_EQ(pushLines("appKey:9be2407d13ac6f58d2e71a3c channel:Publish channel apsForProduction:YES"),
                  1u);
        markLog();
    }
}

TEST_F(AppDelegateTest, TheDeviceTokenGoesToThePushClientAndAFailureIsOnlyLogged) {
    delegate_->registForPushWithDic(Value());
    ASSERT_TRUE(application_->deliverDeviceToken(Data::fromString("\x01\x02\xab")));
    EXPECT_EQ(pushLines("device token:0102ab"), 1u);

    Console::Capture console;
    application_->registerForRemoteNotifications();
    ASSERT_TRUE(application_->failRemoteRegistration(NSError::create("NSCocoaErrorDomain", 3010, {})));
    EXPECT_TRUE(console.contains("DeviceToken 获取失败，原因："));
    EXPECT_EQ(pushLines("device token:"), 1u);
}

TEST_F(AppDelegateTest, ForegroundPushesBecomeLocalNotificationsAndOneBannerAtATime) {
    struct Push { double after; UIApplicationState state; };  // `after` the previous step, in seconds
    struct Case {
        const char* name;
        std::vector<Push> pushes;
        size_t localNotifications;
        size_t bannersMade;  // distinct banners seen
    } cases[] = {
        {"two within three seconds", {{0, UIApplicationState::Active}, {1, UIApplicationState::Active}},
         2, 1},
        {"one after the fade", {{0, UIApplicationState::Active}, {3.1, UIApplicationState::Active}}, 2, 2},
        {"background", {{0, UIApplicationState::Background}}, 0, 0},
    };
    launch();
    const Value payload =
        Value::dictionary({{"aps", Value::dictionary({{"alert", "您有一条新消息"}})}, {"_p_msgid", "42"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        application_->cancelAllLocalNotifications();
        markLog();
        std::vector<NotificationViewPtr> seen;
        for (const auto& push : c.pushes) {
            advance(push.after);
            application_->setApplicationIconBadgeNumber(3);
            application_->setApplicationState(push.state);
            application_->receiveRemoteNotification(payload);
            EXPECT_EQ(application_->applicationIconBadgeNumber(), 0);
            EXPECT_LE(banners(), 1u);
            auto banner = delegate_->notiView();
            if (banner && std::find(seen.begin(), seen.end(), banner) == seen.end()) seen.push_back(banner);
        }
        EXPECT_EQ(seen.size(), c.bannersMade);
        const auto& locals = application_->scheduledLocalNotifications();
        ASSERT_EQ(locals.size(), c.localNotifications);
        for (auto& local : locals) {
            EXPECT_EQ(local->alertBody, "您有一条新消息");
            EXPECT_EQ(Value(local->userInfo), payload);
        }
        if (!seen.empty()) {
            EXPECT_EQ(seen.back()->detailLb()->text(), "您有一条新消息");
        }
        EXPECT_EQ(pushLines("message _p_msgid:42 arrived"), c.pushes.size());
        advance(kAppBannerFadeDuration + 0.1);
        turn();
        EXPECT_FALSE(delegate_->notiView());
        EXPECT_EQ(banners(), 0u);
    }
}

}  // namespace
