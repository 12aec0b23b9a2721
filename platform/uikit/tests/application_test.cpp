#include "UITestFixture.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UITree.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace {

using Calls = std::vector<std::string>;

class RecordingDelegate : public UIApplicationDelegate {
  public:
    CallLog log;
    UIWindowPtr window;
    Data token;
    NSErrorPtr error;
    Value payload;
    std::shared_ptr<UIUserNotificationSettings> settings;
    std::function<void(UIApplication&)> onLaunch;

    bool didFinishLaunchingWithOptions(UIApplication& app, const Value&) override {
        log("didFinishLaunching");
        if (onLaunch) onLaunch(app);
        return true;
    }
    void applicationDidBecomeActive(UIApplication&) override { log("didBecomeActive"); }
    void applicationWillResignActive(UIApplication&) override { log("willResignActive"); }
    void applicationDidEnterBackground(UIApplication&) override { log("didEnterBackground"); }
    void applicationWillEnterForeground(UIApplication&) override { log("willEnterForeground"); }
    void applicationWillTerminate(UIApplication&) override { log("willTerminate"); }
    void didRegisterForRemoteNotificationsWithDeviceToken(UIApplication&, const Data& t) override {
        token = t;
    }
    void didFailToRegisterForRemoteNotificationsWithError(UIApplication&, const NSErrorPtr& e) override {
        error = e;
    }
    void didReceiveRemoteNotification(UIApplication&, const Value& p) override { payload = p; }
    void didRegisterUserNotificationSettings(UIApplication&,
                                             const std::shared_ptr<UIUserNotificationSettings>& s) override {
        settings = s;
    }
};

// Ends the application loop from another thread if a test would otherwise hang.
class Watchdog {
  public:
    explicit Watchdog(double seconds)
        : thread_([this, seconds] {
              std::unique_lock lock(mutex_);
              if (cv_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return done_; }))
                  return;
              fired_ = true;
              UIApplication::sharedApplication()->terminate();
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    bool fired() {
        std::lock_guard lock(mutex_);
        return fired_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false, fired_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace

class Application : public UITest {};

TEST_F(Application, MainRunsALaunchedAppWhoseButtonIsTappedUntilItTerminates) {
    auto delegate = std::make_shared<RecordingDelegate>();
    int taps = 0;
    delegate->onLaunch = [&](UIApplication&) {
        auto window = UIWindow::create(UIScreen::mainScreen().bounds());
        window->setBackgroundColor(UIColor::whiteColor());
        auto root = UIViewController::create();
        window->setRootViewController(root);
        auto button = UIButton::buttonWithType(UIButtonType::System);
        button->setTitle("Quit", UIControlStateNormal);
        button->setFrame(CGRectMake(100, 300, 175, 44));
        button->addAction(
            [&](UIControl&) {
                ++taps;
                UIApplication::sharedApplication()->terminate();
            },
            UIControlEventTouchUpInside);
        root->view()->addSubview(button);
        window->makeKeyAndVisible();
        delegate->window = window;
        // The "finger": once the loop runs, tap the button.
        NSRunLoop::main().perform([] { EXPECT_TRUE(UITree::tapText("Quit")); });
    };
    Watchdog watchdog(120);  // only against a hang: generous for a loaded machine
    char arg0[] = "quorvane";
    char* argv[] = {arg0, nullptr};
    int rc = UIApplicationMain(1, argv, nullptr, [&] { return delegate; });
    EXPECT_FALSE(watchdog.fired());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(taps, 1);
    EXPECT_EQ(delegate->log.take(), (Calls{"didFinishLaunching", "didBecomeActive", "willTerminate"}));
    EXPECT_EQ(UIApplication::sharedApplication()->keyWindow(), delegate->window);
    EXPECT_EQ(UIApplication::sharedApplication()->applicationState(), UIApplicationState::Active);
}

TEST_F(Application, StateChangesMakeTheLifeCycleCalls) {
    auto app = UIApplication::sharedApplication();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    int activeNotes = 0;
    auto token = NSNotificationCenter::defaultCenter().addObserver(
        UIApplicationDidBecomeActiveNotification, nullptr, nullptr,
        [&](const NSNotification&) { ++activeNotes; });
    app->setApplicationState(UIApplicationState::Active);
    app->setApplicationState(UIApplicationState::Background);
    app->setApplicationState(UIApplicationState::Active);
    app->setApplicationState(UIApplicationState::Inactive);
    app->setApplicationState(UIApplicationState::Inactive);
    EXPECT_EQ(delegate->log.take(), (Calls{"didBecomeActive", "willResignActive", "didEnterBackground",
                                           "willEnterForeground", "didBecomeActive", "willResignActive"}));
    EXPECT_EQ(activeNotes, 2);
    NSNotificationCenter::defaultCenter().removeObserver(token);

    // The memory warning is posted by the application.
    std::vector<std::shared_ptr<Object>> senders;
    token = NSNotificationCenter::defaultCenter().addObserver(
        UIApplicationDidReceiveMemoryWarningNotification, nullptr, nullptr,
        [&](const NSNotification& note) { senders.push_back(note.object); });
    app->simulateMemoryWarning();
    NSNotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(senders, (std::vector<std::shared_ptr<Object>>{app}));
}

TEST_F(Application, RemoteRegistrationWaitsForAnAnswerAndSettingsOnTheNextTurn) {
    auto app = UIApplication::sharedApplication();
    auto delegate = std::make_shared<RecordingDelegate>();
    app->setDelegate(delegate);
    EXPECT_FALSE(app->deliverDeviceToken(Data::fromString("early")));  // nothing asked yet
    app->registerForRemoteNotifications();
    turn();
    advance(60);
    EXPECT_TRUE(app->isRemoteRegistrationPending());
    EXPECT_TRUE(delegate->token.empty());
    EXPECT_TRUE(app->deliverDeviceToken(Data::fromString("\x01\x02")));
    EXPECT_EQ(delegate->token, Data::fromString("\x01\x02"));
    EXPECT_TRUE(app->isRegisteredForRemoteNotifications());
    EXPECT_FALSE(app->failRemoteRegistration(NSError::create(NSCocoaErrorDomain, 3010)));

    app->registerForRemoteNotifications();
    EXPECT_TRUE(app->failRemoteRegistration(NSError::create(NSCocoaErrorDomain, 3010)));
    ASSERT_NE(delegate->error, nullptr);
    EXPECT_EQ(delegate->error->code(), 3010);
    EXPECT_EQ(app->remoteRegistrationRequests(), 2);

    app->receiveRemoteNotification(Value(Dict{{"aps", Value(Dict{{"alert", "hi"}})}}));
    EXPECT_EQ(delegate->payload["aps"]["alert"], Value("hi"));

    // Notification settings are answered on the next turn; local notifications are copied when scheduled.
    EXPECT_EQ(app->currentUserNotificationSettings(), nullptr);
    app->registerUserNotificationSettings(UIUserNotificationSettings::settingsForTypes(7 | 64));
    EXPECT_EQ(app->currentUserNotificationSettings()->types(), 7u);
    EXPECT_EQ(delegate->settings, nullptr);
    turn();
    ASSERT_NE(delegate->settings, nullptr);

    auto note = UILocalNotification::create();
    note->alertBody = "hello";
    note->soundName = "default";
    note->userInfo = Dict{{"k", 1}};
    app->scheduleLocalNotification(note);
    note->alertBody = "changed later";
    ASSERT_EQ(app->scheduledLocalNotifications().size(), 1u);
    EXPECT_EQ(app->scheduledLocalNotifications()[0]->alertBody, "hello");
    EXPECT_FALSE(app->scheduledLocalNotifications()[0]->fireDate.has_value());
}
