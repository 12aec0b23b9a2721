#include "app/screens/AppDelegate.h"

#include <filesystem>

#include "app/screens/LoginViewController.h"
#include "app/screens/MainViewController.h"
#include "app/screens/NewFeatureViewController.h"
#include "app/screens/SettingViewController.h"
#include "app/tools/AppConfig.h"
#include "app/tools/GuideServiceTool.h"
#include "httpclient/HCTaskNotifications.h"
#include "layout/LAYConstraintMaker.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/TextUtil.h"
#include "platform/uikit/UIScreen.h"
#include "platform/webkit/UIWebView.h"
#include "push/Lib/Controller/PUSHService.h"

namespace {

constexpr double kSystemRegistrationVersion = 8.0;

// The local time zone's name: TZ, else the zone /etc/localtime points to, else "GMT".
std::string defaultTimeZoneName() {
    std::string tz = ProcessInfo::environment("TZ");
    if (!tz.empty() && tz.front() == ':') tz.erase(0, 1);
    if (!tz.empty()) return tz;
    std::error_code error;
    const auto target = std::filesystem::read_symlink("/etc/localtime", error).string();
    const auto at = target.find("zoneinfo/");
    if (!error && at != std::string::npos) return target.substr(at + 9);
    return "GMT";
}

// The text a payload's `aps` `alert` gives: the string itself, the "body" of the localisable dictionary
// form, or "" for anything else.
std::string alertText(const Value& aps) {
    const Value* alert = aps.find("alert");
    if (!alert) return "";
    if (alert->isString()) return *alert->asString();
    const Value* body = alert->find("body");
    return body && body->isString() ? *body->asString() : "";
}

}  // namespace

bool AppDelegate::didFinishLaunchingWithOptions(UIApplication&, const Value& launchOptions) {
    // The engine starts while the launch image is up, and the main page begins loading when it comes
    // first; no screen of the app shows before the hold is over.
    UIMarkLaunchInstant("hold-start");
    const bool mainPageFirst = GuideServiceTool::upcomingRoot() == GuideServiceTool::Root::Main;
    UIWebView::holdWhileEngineStarts(kAppLaunchImageHold, mainPageFirst ? AppConfig::startPageURL() : "");
    UIMarkLaunchInstant("hold-end");
    window_ = UIWindow::create(UIScreen::mainScreen().bounds());
    window_->setBackgroundColor(UIColor::whiteColor());
    window_->setRootViewController(GuideServiceTool::create()->chooseWindowRootViewController());
    window_->makeKeyAndVisible();
    registForPushWithDic(launchOptions);
    return true;
}

void AppDelegate::registForPushWithDic(const Value& launchOptions) {
    const double systemVersion = Value(DeviceProfile::current().systemVersion).doubleValue();
    PUSHService::registerForRemoteNotificationTypes(kAppRemoteNotificationTypes, Value());
    auto application = UIApplication::sharedApplication();
    if (systemVersion >= kSystemRegistrationVersion) application->registerForRemoteNotifications();
    application->setApplicationIconBadgeNumber(0);
    PUSHService::setupWithOption(launchOptions, kPushAppKey, kPushChannel, kPushApsForProduction);
}

void AppDelegate::didRegisterForRemoteNotificationsWithDeviceToken(UIApplication&, const Data& token) {
    PUSHService::registerDeviceToken(token);
}

void AppDelegate::didFailToRegisterForRemoteNotificationsWithError(UIApplication&, const NSErrorPtr& error) {
    NSLog(NSString::format("DeviceToken 获取失败，原因：%@", {Value(error)}));
}

void AppDelegate::didReceiveRemoteNotification(UIApplication& application, const Value& userInfo) {
    if (application.applicationState() == UIApplicationState::Active) {
        const Value aps = userInfo.find("aps") ? *userInfo.find("aps") : Value();
        auto local = UILocalNotification::create();
        local->timeZone = defaultTimeZoneName();
        local->alertBody = alertText(aps);
        local->soundName = "default";
        if (auto* payload = userInfo.asDictionary()) local->userInfo = *payload;
        application.scheduleLocalNotification(local);
        if (!notiView_) showBanner(aps);
    }
    application.setApplicationIconBadgeNumber(0);
    PUSHService::handleRemoteNotification(userInfo);
}

void AppDelegate::showBanner(const Value& aps) {
    if (!window_) return;
    auto banner = NotificationView::create();
    notiView_ = banner;
    window_->addSubview(banner);
    auto window = window_;
    lay_makeConstraints(banner, [&](LAYConstraintMaker& make) {
        make.left().right().top().equalTo(window);
        make.height().equalTo(LAYBox(kAppBannerHeight));
    });
    banner->refreshShowNotiWithDic(aps);
    std::weak_ptr<AppDelegate> weak = std::static_pointer_cast<AppDelegate>(shared_from_this());
    std::weak_ptr<NotificationView> weakBanner = banner;
    UIView::animateWithDuration(
        kAppBannerFadeDuration, [banner] { banner->setAlpha(0); },
        [weak, weakBanner](bool) {
            auto shown = weakBanner.lock();
            if (shown) shown->removeFromSuperview();
            auto self = weak.lock();
            if (self && self->notiView_ == shown) self->notiView_ = nullptr;
        });
}

void installAppScreens() {
    // Every session task of the process announces its resume and suspend from the start, also those that
    // no session manager made (the managers install it as well, for programs that are not this one).
    HCInstallSessionTaskStateNotifications();
    installWebScreens();
    installLoginScreen();
    installSettingScreen();
    installGuideScreen();
}

int AppMain(int argc, char** argv) {
    installAppScreens();
    return UIApplicationMain(argc, argv, nullptr, [] { return AppDelegate::create(); });
}
