// The application object, its delegate and the application loop.
//
// `UIApplicationMain` makes the shared application and the delegate, calls
// didFinishLaunchingWithOptions and then applicationDidBecomeActive, and runs the main run loop until
// `terminate()`; then it calls applicationWillTerminate and returns 0.
//
// Remote-notification registration is answered later by the headless device or a test through
// `deliverDeviceToken` or `failRemoteRegistration`; until then it stays unanswered.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/Geometry.h"
#include "platform/uikit/UIView.h"

class UIWindow;
class UIApplication;

enum class UIApplicationState { Active = 0, Inactive = 1, Background = 2 };

inline constexpr const char* UIApplicationDidBecomeActiveNotification =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* UIApplicationWillResignActiveNotification =
    "UIApplicationWillResignActiveNotification";
inline constexpr const char* UIApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* UIApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* UIApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";

using UIUserNotificationType = unsigned long;
inline constexpr UIUserNotificationType UIUserNotificationTypeNone = 0;
inline constexpr UIUserNotificationType UIUserNotificationTypeBadge = 1 << 0;
inline constexpr UIUserNotificationType UIUserNotificationTypeSound = 1 << 1;
inline constexpr UIUserNotificationType UIUserNotificationTypeAlert = 1 << 2;

class UIUserNotificationSettings final : public Object {
  public:
    static std::shared_ptr<UIUserNotificationSettings> settingsForTypes(UIUserNotificationType types,
                                                                        Value categories = Value());
    UIUserNotificationType types() const { return types_; }
    const Value& categories() const { return categories_; }

  private:
    UIUserNotificationSettings() = default;
    UIUserNotificationType types_ = 0;
    Value categories_;
};

class UILocalNotification final : public Object {
  public:
    static std::shared_ptr<UILocalNotification> create() {
        return std::shared_ptr<UILocalNotification>(new UILocalNotification());
    }
    std::string alertBody;         // "" when unset
    std::optional<Date> fireDate;  // unset: deliver now
    std::string timeZone;          // "" for none (floating)
    std::string soundName;
    Value::Dictionary userInfo;
    long applicationIconBadgeNumber = 0;

  private:
    UILocalNotification() = default;
};

using UILocalNotificationPtr = std::shared_ptr<UILocalNotification>;

// The application delegate; every method is optional and its default does what the platform does when
// the delegate lacks it.
class UIApplicationDelegate : public UIResponder {
  public:
    virtual bool didFinishLaunchingWithOptions(UIApplication&, const Value& /*launchOptions*/) {
        return true;
    }
    virtual void applicationDidBecomeActive(UIApplication&) {}
    virtual void applicationWillResignActive(UIApplication&) {}
    virtual void applicationDidEnterBackground(UIApplication&) {}
    virtual void applicationWillEnterForeground(UIApplication&) {}
    virtual void applicationWillTerminate(UIApplication&) {}
    virtual void didRegisterForRemoteNotificationsWithDeviceToken(UIApplication&, const Data& /*token*/) {}
    virtual void didFailToRegisterForRemoteNotificationsWithError(UIApplication&, const NSErrorPtr&) {}
    virtual void didReceiveRemoteNotification(UIApplication&, const Value& /*userInfo*/) {}
    virtual void didReceiveLocalNotification(UIApplication&, const UILocalNotificationPtr&) {}
    virtual void didRegisterUserNotificationSettings(UIApplication&,
                                                     const std::shared_ptr<UIUserNotificationSettings>&) {}

  protected:
    UIApplicationDelegate() = default;
};

using UIApplicationDelegatePtr = std::shared_ptr<UIApplicationDelegate>;

class UIApplication final : public UIResponder {
  public:
    // The one application of the process; it lives until the process ends.
    static std::shared_ptr<UIApplication> sharedApplication();

    UIApplicationDelegatePtr delegate() const { return delegate_; }
    void setDelegate(UIApplicationDelegatePtr delegate) { delegate_ = std::move(delegate); }

    UIApplicationState applicationState() const { return state_; }
    // Moves to `state` with the delegate's life-cycle calls and notifications on the way:
    // active -> inactive: willResignActive; inactive -> background: didEnterBackground;
    // background -> inactive: willEnterForeground; inactive -> active: didBecomeActive.
    void setApplicationState(UIApplicationState state);

    long applicationIconBadgeNumber() const { return badge_; }
    void setApplicationIconBadgeNumber(long badge) { badge_ = badge; }
    bool isNetworkActivityIndicatorVisible() const { return networkActivity_; }
    void setNetworkActivityIndicatorVisible(bool visible) { networkActivity_ = visible; }

    // Remote notifications.
    void registerForRemoteNotifications();
    bool isRemoteRegistrationPending() const { return remotePending_; }
    int remoteRegistrationRequests() const { return remoteRequests_; }
    bool isRegisteredForRemoteNotifications() const { return remoteRegistered_; }
    // Answers a pending registration; false (and nothing called) when none is pending.
    bool deliverDeviceToken(const Data& token);
    bool failRemoteRegistration(const NSErrorPtr& error);
    // A remote notification arriving (the device or a test): passed to the delegate.
    void receiveRemoteNotification(const Value& payload);

    // Memory pressure (the device or a test): posts UIApplicationDidReceiveMemoryWarningNotification, object
    // the application, to the default centre on the calling (main) thread.
    void simulateMemoryWarning();

    // User-notification settings are granted as asked; the delegate hears of it on the next turn of the
    // main run loop.
    void registerUserNotificationSettings(const std::shared_ptr<UIUserNotificationSettings>& settings);
    std::shared_ptr<UIUserNotificationSettings> currentUserNotificationSettings() const { return settings_; }

    void scheduleLocalNotification(const UILocalNotificationPtr& notification);
    const std::vector<UILocalNotificationPtr>& scheduledLocalNotifications() const {
        return localNotifications_;
    }
    void cancelAllLocalNotifications() { localNotifications_.clear(); }

    // Windows, ordered by level (lowest first; among equal levels the one shown last comes last).
    std::vector<std::shared_ptr<UIWindow>> windows() const;
    std::shared_ptr<UIWindow> keyWindow() const { return keyWindow_.lock(); }
    // The view under a point in screen coordinates: the topmost visible window that answers wins.
    std::shared_ptr<UIView> hitTest(CGPoint screenPoint) const;

    // Ends the application loop (any thread).
    void terminate();
    bool isTerminating() const { return terminate_; }

    // Clears delegate, windows' key status, state and records (tests between cases).
    void resetForTesting();

  private:
    friend class UIWindow;
    friend int UIApplicationMain(int, char**, const char*, const std::function<UIApplicationDelegatePtr()>&);
    UIApplication() = default;
    void registerWindow(const std::shared_ptr<UIWindow>& window);
    void setKeyWindow(const std::shared_ptr<UIWindow>& window);
    // Key status leaves `window`, for the topmost other visible window (or none).
    void passKeyStatusFrom(const UIWindow* window);
    uint64_t nextOrderStamp() { return ++orderStamp_; }

    UIApplicationDelegatePtr delegate_;
    UIApplicationState state_ = UIApplicationState::Inactive;
    long badge_ = 0;
    bool networkActivity_ = false;
    bool remotePending_ = false;
    bool remoteRegistered_ = false;
    int remoteRequests_ = 0;
    std::shared_ptr<UIUserNotificationSettings> settings_;
    std::vector<UILocalNotificationPtr> localNotifications_;
    std::vector<std::weak_ptr<UIWindow>> windows_;
    std::weak_ptr<UIWindow> keyWindow_;
    uint64_t orderStamp_ = 0;
    std::atomic<bool> terminate_{false};
};

using UIApplicationDelegateFactory = std::function<UIApplicationDelegatePtr()>;

// `principalClassName` must be null or "UIApplication" (the only application class here).
int UIApplicationMain(int argc, char** argv, const char* principalClassName,
                      const UIApplicationDelegateFactory& delegateFactory);

// For the launch benchmark (bench/app_launch.sh): with QUORVANE_LAUNCH_TIMES set in the environment, writes
// "launch-time NAME MICROSECONDS" (the real clock, since the epoch) to standard error; nothing otherwise.
// The instants: "hold-start" and "hold-end" (the launch image's hold), "first-screen" (the first window
// made key and visible) and "page-loaded" (a page load ended and its page is on screen).
void UIMarkLaunchInstant(const char* name);
