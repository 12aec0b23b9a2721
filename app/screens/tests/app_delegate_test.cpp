// The application delegate: the launch and its hold, push registration, what becomes of the device token
// and of remote notifications in each application state, and the foreground banner.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <tuple>

#include "app/screens/AppDelegate.h"
#include "app/screens/tests/WebScreenFixture.h"
#include "app/tools/SaveService.h"
#include "httpclient/HCTaskNotifications.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/NotificationCenter.h"
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
        DeviceProfile::reset();
    }

    // Runs the launch while another thread moves the manual clock on, so that the hold can end.
    void launch() {
        std::atomic<bool> done{false};
        std::thread mover([&] {
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!done && std::chrono::steady_clock::now() < limit) {
                clock_.advance(0.25);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        EXPECT_TRUE(delegate_->didFinishLaunchingWithOptions(*application_, Value()));
        done = true;
        mover.join();
    }
    // Lets the push client's thread finish, then counts its lines holding `fragment` since the last count.
    size_t pushLines(const std::string& fragment) {
        EXPECT_TRUE(PUSHService::waitUntilIdleForTesting());
        auto messages = capture_->messages();
        auto from = messages.begin() + long(std::exchange(mark_, messages.size()));
        return size_t(std::count_if(
            from, messages.end(), [&](auto& m) { return m->message().find(fragment) != std::string::npos; }));
    }
    size_t banners() const {
        auto views = delegate_->window()->subviews();
        return size_t(std::count_if(views.begin(), views.end(), [](auto& v) {
            return bool(std::dynamic_pointer_cast<NotificationView>(v));
        }));
    }

    std::shared_ptr<UIApplication> application_;
    std::shared_ptr<AppDelegate> delegate_;
    std::shared_ptr<CapturingLogger> capture_;
    size_t mark_ = 0;
};

TEST_F(AppDelegateTest, LaunchHoldsTwoSecondsThenShowsTheRootThenRegistersForPushAndPassesOnTheToken) {
    auto version = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
    ASSERT_TRUE(version);
    // The system version, and the remote-notification requests the launch makes of the platform.
    for (const auto& [systemVersion, registrations] : {std::pair("9.3", 2), std::pair("7.1", 1)}) {
        SCOPED_TRACE(systemVersion);
        application_->resetForTesting();
        application_->setDelegate(delegate_);
        application_->setApplicationIconBadgeNumber(4);
        ASSERT_TRUE(PUSHService::resetForTesting());
        DeviceProfile profile = DeviceProfile::current();
        profile.systemVersion = systemVersion;
        DeviceProfile::set(profile);
        SaveService::setObject(*version, kSaveServiceVersionKey);
        // When the root is chosen: the hold is over, no window is key yet and push is not yet asked for.
        double choseAt = -1;
        UIViewControllerPtr chosen;
        AppScreens::registerMaker(AppScreens::Screen::Login, [&] {
            choseAt = Clock::monotonic();
            EXPECT_EQ(std::pair(application_->keyWindow(), application_->remoteRegistrationRequests()),
                      std::pair(UIWindowPtr(), 0));
            return chosen = UIViewController::create();
        });
        const double start = Clock::monotonic();
        launch();
        EXPECT_GE(choseAt - start, kAppLaunchImageHold);

        auto window = delegate_->window();
        ASSERT_TRUE(window);
        EXPECT_EQ(std::tuple(window->rootViewController(), application_->keyWindow(),
                             application_->remoteRegistrationRequests(),
                             application_->applicationIconBadgeNumber()),
                  std::tuple(chosen, window, registrations, 0L));
        EXPECT_EQ(pushLines("appKey:9be2407d13ac6f58d2e71a3c channel:Publish channel apsForProduction:YES"),
                  1u);
    }
    // The device token goes to the push client; a failure to get one is only logged.
    ASSERT_TRUE(application_->deliverDeviceToken(Data::fromString("\x01\x02\xab")));
    EXPECT_EQ(pushLines("device token:0102ab"), 1u);
    Console::Capture console;
    application_->registerForRemoteNotifications();
    ASSERT_TRUE(application_->failRemoteRegistration(NSError::create("NSCocoaErrorDomain", 3010, {})));
    EXPECT_EQ(std::pair(console.contains("DeviceToken 获取失败，原因："), pushLines("device token:")),
              std::pair(true, size_t(0)));
}

TEST_F(AppDelegateTest, ForegroundPushesBecomeLocalNotificationsAndOneBannerAtATime) {
    using State = UIApplicationState;
    const Value text = Value::dictionary({{"alert", "您有一条新消息"}});
    const Value localisable = Value::dictionary({{"alert", Value::dictionary({{"body", "您有一条新消息"}})}});
    // The aps, the pushes (seconds after the one before, the application's state), the distinct banners.
    const std::tuple<Value, std::vector<std::pair<double, State>>, size_t> rows[] = {
        {text, {{0, State::Active}, {1, State::Active}}, 1},  // within the banner's three seconds
        {localisable, {{0, State::Active}, {3.1, State::Active}}, 2},
        {text, {{0, State::Background}, {0, State::Inactive}}, 0}};
    launch();
    for (const auto& [aps, pushes, bannersMade] : rows) {
        application_->cancelAllLocalNotifications();
        std::vector<NotificationViewPtr> seen;
        size_t active = 0;
        const Value payload = Value::dictionary({{"aps", aps}, {"_p_msgid", "42"}});
        for (const auto& [after, state] : pushes) {
            advance(after);
            application_->setApplicationIconBadgeNumber(3);
            application_->setApplicationState(state);
            application_->receiveRemoteNotification(payload);
            active += state == State::Active;
            EXPECT_EQ(std::pair(application_->applicationIconBadgeNumber(), banners() <= 1),
                      std::pair(0L, true));
            // The push client hears of the message with the application state's code.
            EXPECT_EQ(
                pushLines("message _p_msgid:42 arrived, application state:" + std::to_string(int(state))),
                1u);
            auto banner = delegate_->notiView();
            if (banner && std::find(seen.begin(), seen.end(), banner) == seen.end()) seen.push_back(banner);
        }
        EXPECT_EQ(seen.size(), bannersMade);
        const auto& locals = application_->scheduledLocalNotifications();
        ASSERT_EQ(locals.size(), active);
        for (auto& local : locals)
            EXPECT_EQ(std::pair(local->alertBody, Value(local->userInfo)),
                      std::pair(std::string("您有一条新消息"), payload));
        EXPECT_TRUE(seen.empty() || seen.back()->detailLb()->text() == "您有一条新消息");
        advance(kAppBannerFadeDuration + 0.1);
        turn();
        EXPECT_EQ(std::pair(delegate_->notiView(), banners()), std::pair(NotificationViewPtr(), size_t(0)));
    }
}

TEST_F(AppDelegateTest, TheBannerShowsTheAppNameAndNothingForAnAlertThatIsNoText) {
    auto banner = NotificationView::create();
    const auto name = NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleExecutable");
    ASSERT_TRUE(name && name->isString());
    // A payload's aps without an alert text leaves the detail line empty; a console line names an alert of
    // an unexpected type. (The alert texts a banner shows are seen in the foreground pushes above.)
    for (const auto& [aps, logged] :
         {std::pair(Value::dictionary({{"alert", Value::dictionary({{"body", Value::array({"x"})}})}}), true),
          std::pair(Value::dictionary({{"sound", "default"}}), false),
          std::pair(Value::dictionary({{"alert", 42}}), true), std::pair(Value("alert text"), true)}) {
        banner->refreshShowNotiWithDic(Value::dictionary({{"alert", "an earlier alert"}}));
        Console::Capture console;
        banner->refreshShowNotiWithDic(aps);
        EXPECT_EQ(std::tuple(banner->titleLb()->text(), banner->detailLb()->text(),
                             console.contains("NotificationView:")),
                  std::tuple(*name->asString(), std::string(), logged))
            << aps.description();
    }
}

// The application's start installs the task notifications before anything can make a task: a task of a
// plain session, resumed before any session manager exists, announces it. In a fresh process, where no
// earlier test's manager has installed them.
TEST(AppStartDeathTest, TasksAnnounceTheirResumeBeforeAnySessionManagerExists) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            installAppScreens();
            std::atomic<int> posted{0};
            auto token = NSNotificationCenter::defaultCenter().addObserver(
                HCNSURLSessionTaskDidResumeNotification, nullptr, nullptr,
                [&](const NSNotification&) { ++posted; });
            auto session = NSURLSession::sessionWithConfiguration(
                NSURLSessionConfiguration::defaultSessionConfiguration());
            auto task =
                session->dataTaskWithRequest(NSURLRequest(NSURL::URLWithString("http://127.0.0.1:9/")));
            task->resume();
            task->cancel();
            NSNotificationCenter::defaultCenter().removeObserver(token);
            std::_Exit(posted == 1 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
