// The application delegate: the launch, the root screen, and the glue to the push client.
//
// Launch, in order: the launch image is held for 2.0 seconds (the main thread sleeps on the clock), a white
// window with the screen's bounds is made, GuideServiceTool chooses its root screen, the window becomes key
// and visible, and the application registers for push (registForPushWithDic).
//
// Remote notifications: every payload goes to the push client after the badge is reset to 0. While the
// application is active a payload also becomes a local notification (its `aps` `alert` text) and, unless a
// banner is already showing, a 60-point banner over the top of the window that fades out over 3.0 seconds.
//
// Main thread only.
#pragma once

#include <memory>

#include "app/screens/NotificationView.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIWindow.h"

inline constexpr double kAppLaunchImageHold = 2.0;
inline constexpr double kAppBannerFadeDuration = 3.0;
inline constexpr int kAppBannerHeight = 60;
inline constexpr unsigned long kAppRemoteNotificationTypes = 7;  // badge 1 + sound 2 + alert 4

class AppDelegate final : public UIApplicationDelegate {
  public:
    static std::shared_ptr<AppDelegate> create() { return std::shared_ptr<AppDelegate>(new AppDelegate()); }

    bool didFinishLaunchingWithOptions(UIApplication& application, const Value& launchOptions) override;
    void registForPushWithDic(const Value& launchOptions);

    void didRegisterForRemoteNotificationsWithDeviceToken(UIApplication& application,
                                                          const Data& token) override;
    void didFailToRegisterForRemoteNotificationsWithError(UIApplication& application,
                                                          const NSErrorPtr& error) override;
    void didReceiveRemoteNotification(UIApplication& application, const Value& userInfo) override;

    UIWindowPtr window() const { return window_; }
    // The banner while it is on screen, else null.
    NotificationViewPtr notiView() const { return notiView_; }

  private:
    AppDelegate() = default;
    void showBanner(const Value& aps);

    UIWindowPtr window_;
    NotificationViewPtr notiView_;
};

// Registers every screen the application opens through AppScreens, and installs the HTTP client's task
// notifications. The program's entry calls it once before the application loop; tests call it (or single
// screens' install functions) when they want the real screens instead of placeholders.
void installAppScreens();

// The program's entry: installs the screens and runs the application loop with AppDelegate; returns when
// the application ends.
int AppMain(int argc, char** argv);
