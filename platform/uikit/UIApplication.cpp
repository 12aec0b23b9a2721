#include "platform/uikit/UIApplication.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/Console.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"
#include "platform/uikit/UIWindow.h"

std::shared_ptr<UIUserNotificationSettings> UIUserNotificationSettings::settingsForTypes(
    UIUserNotificationType types, Value categories) {
    auto settings = std::shared_ptr<UIUserNotificationSettings>(new UIUserNotificationSettings());
    settings->types_ =
        types & (UIUserNotificationTypeBadge | UIUserNotificationTypeSound | UIUserNotificationTypeAlert);
    settings->categories_ = std::move(categories);
    return settings;
}

std::shared_ptr<UIApplication> UIApplication::sharedApplication() {
    static auto* app = new std::shared_ptr<UIApplication>(new UIApplication());
    return *app;
}

void UIApplication::setApplicationState(UIApplicationState target) {
    UIAssertMainThread();
    auto self = sharedApplication();
    auto& center = NSNotificationCenter::defaultCenter();
    // Walk one step at a time through inactive, as the platform does.
    while (state_ != target) {
        auto delegate = delegate_;
        if (state_ == UIApplicationState::Active) {
            state_ = UIApplicationState::Inactive;
            if (delegate) delegate->applicationWillResignActive(*this);
            center.post(UIApplicationWillResignActiveNotification, self);
        } else if (state_ == UIApplicationState::Background) {
            state_ = UIApplicationState::Inactive;
            if (delegate) delegate->applicationWillEnterForeground(*this);
            center.post(UIApplicationWillEnterForegroundNotification, self);
        } else if (target == UIApplicationState::Active) {
            state_ = UIApplicationState::Active;
            if (delegate) delegate->applicationDidBecomeActive(*this);
            center.post(UIApplicationDidBecomeActiveNotification, self);
        } else {
            state_ = UIApplicationState::Background;
            if (delegate) delegate->applicationDidEnterBackground(*this);
            center.post(UIApplicationDidEnterBackgroundNotification, self);
        }
    }
}

void UIApplication::registerForRemoteNotifications() {
    UIAssertMainThread();
    ++remoteRequests_;
    remotePending_ = true;
}

bool UIApplication::deliverDeviceToken(const Data& token) {
    UIAssertMainThread();
    if (!remotePending_) return false;
    remotePending_ = false;
    remoteRegistered_ = true;
    if (auto delegate = delegate_) delegate->didRegisterForRemoteNotificationsWithDeviceToken(*this, token);
    return true;
}

bool UIApplication::failRemoteRegistration(const NSErrorPtr& error) {
    UIAssertMainThread();
    if (!remotePending_) return false;
    remotePending_ = false;
    if (auto delegate = delegate_) delegate->didFailToRegisterForRemoteNotificationsWithError(*this, error);
    return true;
}

void UIApplication::receiveRemoteNotification(const Value& payload) {
    UIAssertMainThread();
    if (auto delegate = delegate_) delegate->didReceiveRemoteNotification(*this, payload);
}

void UIApplication::simulateMemoryWarning() {
    UIAssertMainThread();
    NSNotificationCenter::defaultCenter().post(UIApplicationDidReceiveMemoryWarningNotification,
                                               sharedApplication());
}

void UIApplication::registerUserNotificationSettings(
    const std::shared_ptr<UIUserNotificationSettings>& settings) {
    UIAssertMainThread();
    if (!settings) return;
    settings_ = settings;
    NSRunLoop::main().perform([settings] {
        auto app = sharedApplication();
        if (auto delegate = app->delegate_) delegate->didRegisterUserNotificationSettings(*app, settings);
    });
}

void UIApplication::scheduleLocalNotification(const UILocalNotificationPtr& notification) {
    UIAssertMainThread();
    if (!notification) return;
    // The application keeps a copy, as the platform does; later changes to the caller's object do not count.
    auto copy = UILocalNotification::create();
    *copy = *notification;
    localNotifications_.push_back(copy);
}

void UIApplication::registerWindow(const std::shared_ptr<UIWindow>& window) {
    windows_.erase(std::remove_if(windows_.begin(), windows_.end(), [](auto& w) { return w.expired(); }),
                   windows_.end());
    windows_.push_back(window);
}

std::vector<std::shared_ptr<UIWindow>> UIApplication::windows() const {
    std::vector<std::shared_ptr<UIWindow>> out;
    for (auto& weak : windows_) {
        if (auto w = weak.lock()) out.push_back(w);
    }
    std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
        if (a->windowLevel() != b->windowLevel()) return a->windowLevel() < b->windowLevel();
        return a->orderStamp() < b->orderStamp();
    });
    return out;
}

void UIApplication::setKeyWindow(const std::shared_ptr<UIWindow>& window) {
    keyWindow_ = window;
}

void UIApplication::passKeyStatusFrom(const UIWindow* window) {
    if (keyWindow_.lock().get() != window) return;
    keyWindow_.reset();
    auto all = windows();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if ((*it).get() != window && !(*it)->isHidden()) {
            (*it)->makeKeyWindow();
            return;
        }
    }
}

std::shared_ptr<UIView> UIApplication::hitTest(CGPoint screenPoint) const {
    auto all = windows();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        const auto& w = *it;
        CGPoint p{screenPoint.x - w->frame().origin.x + w->bounds().origin.x,
                  screenPoint.y - w->frame().origin.y + w->bounds().origin.y};
        if (auto hit = w->hitTest(p)) return hit;
    }
    return nullptr;
}

void UIApplication::terminate() {
    terminate_ = true;
    NSRunLoop::main().perform([] {});  // wakes the loop
}

void UIApplication::resetForTesting() {
    delegate_.reset();
    state_ = UIApplicationState::Inactive;
    badge_ = 0;
    networkActivity_ = false;
    remotePending_ = false;
    remoteRegistered_ = false;
    remoteRequests_ = 0;
    settings_.reset();
    localNotifications_.clear();
    keyWindow_.reset();
    terminate_ = false;
}

int UIApplicationMain(int, char**, const char* principalClassName,
                      const UIApplicationDelegateFactory& delegateFactory) {
    UIAssertMainThread();
    if (principalClassName && std::strcmp(principalClassName, "UIApplication") != 0) {
        NSLog(std::string("Unknown principal class \"") + principalClassName + "\"; using UIApplication.");
    }
    auto app = UIApplication::sharedApplication();
    app->terminate_ = false;
    app->state_ = UIApplicationState::Inactive;
    auto delegate = delegateFactory ? delegateFactory() : nullptr;
    app->setDelegate(delegate);
    if (delegate) delegate->didFinishLaunchingWithOptions(*app, Value());
    if (!app->terminate_) app->setApplicationState(UIApplicationState::Active);
    while (!app->terminate_) NSRunLoop::main().runOnce(NSDefaultRunLoopMode, 0.05);
    if (auto d = app->delegate()) d->applicationWillTerminate(*app);
    return 0;
}

void UIMarkLaunchInstant(const char* name) {
    static const bool enabled = [] {
        const char* wanted = std::getenv("QUORVANE_LAUNCH_TIMES");
        return wanted && *wanted;
    }();
    if (!enabled) return;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    std::fprintf(stderr, "launch-time %s %lld\n", name,
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
    std::fflush(stderr);
}
