#include "httpclient/HCNetworkActivityIndicatorManager.h"

#include <mutex>

#include "httpclient/HCTaskNotifications.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIApplication.h"

namespace {

// The task behind a notification, when it is one whose request has a URL.
std::shared_ptr<Object> countableTask(const NSNotification& notification) {
    auto task = std::dynamic_pointer_cast<NSURLSessionTask>(notification.object);
    if (!task || !task->originalRequest().URL()) return nullptr;
    return notification.object;
}

}  // namespace

std::shared_ptr<HCNetworkActivityIndicatorManager> HCNetworkActivityIndicatorManager::sharedManager() {
    // Never destroyed: the manager lives until the process ends.
    static auto* shared = new std::shared_ptr<HCNetworkActivityIndicatorManager>(create());
    return *shared;
}

std::shared_ptr<HCNetworkActivityIndicatorManager> HCNetworkActivityIndicatorManager::create() {
    std::shared_ptr<HCNetworkActivityIndicatorManager> manager(new HCNetworkActivityIndicatorManager());
    manager->registerForNotifications();
    return manager;
}

void HCNetworkActivityIndicatorManager::registerForNotifications() {
    auto& center = NSNotificationCenter::defaultCenter();
    std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    auto on = [&](const char* name,
                  void (HCNetworkActivityIndicatorManager::*handler)(const NSNotification&)) {
        observers_.push_back(
            center.addObserver(weak, name, nullptr, [weak, handler](const NSNotification& note) {
                if (auto self = weak.lock()) ((*self).*handler)(note);
            }));
    };
    on(HCNetworkingTaskDidResumeNotification, &HCNetworkActivityIndicatorManager::networkRequestDidStart);
    on(HCNetworkingTaskDidSuspendNotification, &HCNetworkActivityIndicatorManager::networkRequestDidFinish);
    on(HCNetworkingTaskDidCompleteNotification, &HCNetworkActivityIndicatorManager::networkRequestDidFinish);
}

HCNetworkActivityIndicatorManager::~HCNetworkActivityIndicatorManager() {
    for (auto token : observers_) NSNotificationCenter::defaultCenter().removeObserver(token);
    invalidateTimers();
}

void HCNetworkActivityIndicatorManager::setEnabled(bool enabled) {
    enabled_.store(enabled);
    if (!enabled) setCurrentState(HCNetworkActivityManagerState::NotActive);
}

bool HCNetworkActivityIndicatorManager::isNetworkActivityIndicatorVisible() const {
    std::lock_guard lock(lock_);
    return networkActivityIndicatorVisible_;
}

bool HCNetworkActivityIndicatorManager::isNetworkActivityOccurring() const {
    std::lock_guard lock(lock_);
    return activityCount_ > 0;
}

long HCNetworkActivityIndicatorManager::activityCount() const {
    std::lock_guard lock(lock_);
    return activityCount_;
}

HCNetworkActivityManagerState HCNetworkActivityIndicatorManager::currentState() const {
    std::lock_guard lock(lock_);
    return currentState_;
}

void HCNetworkActivityIndicatorManager::setNetworkingActivityActionWithBlock(ActionBlock block) {
    std::lock_guard lock(lock_);
    networkActivityActionBlock_ = std::move(block);
}

void HCNetworkActivityIndicatorManager::incrementActivityCount() {
    willChangeValueForKey("activityCount");
    {
        std::lock_guard lock(lock_);
        ++activityCount_;
    }
    didChangeValueForKey("activityCount");
    requestStateUpdate();
}

void HCNetworkActivityIndicatorManager::decrementActivityCount() {
    willChangeValueForKey("activityCount");
    {
        std::lock_guard lock(lock_);
        if (activityCount_ > 0) --activityCount_;
    }
    didChangeValueForKey("activityCount");
    requestStateUpdate();
}

void HCNetworkActivityIndicatorManager::setActivityCount(long count) {
    {
        std::lock_guard lock(lock_);
        activityCount_ = count > 0 ? count : 0;
    }
    requestStateUpdate();
}

void HCNetworkActivityIndicatorManager::networkRequestDidStart(const NSNotification& notification) {
    auto task = countableTask(notification);
    if (!task) return;
    {
        std::lock_guard lock(lock_);
        // A task that went away without its finish being seen is no longer in flight.
        for (auto it = countedTasks_.begin(); it != countedTasks_.end();) {
            if (it->expired()) {
                it = countedTasks_.erase(it);
                if (activityCount_ > 0) --activityCount_;
            } else {
                ++it;
            }
        }
        if (!countedTasks_.insert(task).second) return;  // already counted as running
    }
    incrementActivityCount();
}

void HCNetworkActivityIndicatorManager::networkRequestDidFinish(const NSNotification& notification) {
    auto task = countableTask(notification);
    if (!task) return;
    {
        std::lock_guard lock(lock_);
        if (countedTasks_.erase(task) == 0) return;  // never counted: nothing to take back
    }
    decrementActivityCount();
}

void HCNetworkActivityIndicatorManager::requestStateUpdate() {
    std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock()) self->updateCurrentStateForNetworkActivityChange();
    });
}

void HCNetworkActivityIndicatorManager::updateCurrentStateForNetworkActivityChange() {
    if (!isEnabled()) return;
    std::lock_guard lock(lock_);
    const bool occurring = activityCount_ > 0;
    switch (currentState_) {
        case HCNetworkActivityManagerState::NotActive:
            if (occurring) setCurrentState(HCNetworkActivityManagerState::DelayingStart);
            break;
        case HCNetworkActivityManagerState::Active:
            if (!occurring) setCurrentState(HCNetworkActivityManagerState::DelayingEnd);
            break;
        case HCNetworkActivityManagerState::DelayingEnd:
            if (occurring) setCurrentState(HCNetworkActivityManagerState::Active);
            break;
        case HCNetworkActivityManagerState::DelayingStart:
            break;
    }
}

void HCNetworkActivityIndicatorManager::setCurrentState(HCNetworkActivityManagerState state) {
    std::lock_guard lock(lock_);
    if (state == currentState_) return;
    willChangeValueForKey("currentState");
    currentState_ = state;
    switch (state) {
        case HCNetworkActivityManagerState::NotActive:
            invalidateTimers();
            setNetworkActivityIndicatorVisible(false);
            break;
        case HCNetworkActivityManagerState::DelayingStart:
            startActivationDelayTimer();
            break;
        case HCNetworkActivityManagerState::Active:
            if (completionDelayTimer_) completionDelayTimer_->invalidate();
            completionDelayTimer_ = nullptr;
            setNetworkActivityIndicatorVisible(true);
            break;
        case HCNetworkActivityManagerState::DelayingEnd:
            startCompletionDelayTimer();
            break;
    }
    didChangeValueForKey("currentState");
}

void HCNetworkActivityIndicatorManager::startActivationDelayTimer() {
    std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    if (activationDelayTimer_) activationDelayTimer_->invalidate();
    activationDelayTimer_ =
        NSTimer::timerWithTimeInterval(activationDelay(), Repeats::No, [weak](const auto&) {
            if (auto self = weak.lock()) self->activationDelayTimerFired();
        });
    NSRunLoop::main().addTimer(activationDelayTimer_, NSRunLoopCommonModes);
}

void HCNetworkActivityIndicatorManager::startCompletionDelayTimer() {
    std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    if (completionDelayTimer_) completionDelayTimer_->invalidate();
    completionDelayTimer_ =
        NSTimer::timerWithTimeInterval(completionDelay(), Repeats::No, [weak](const auto&) {
            if (auto self = weak.lock()) self->completionDelayTimerFired();
        });
    NSRunLoop::main().addTimer(completionDelayTimer_, NSRunLoopCommonModes);
}

void HCNetworkActivityIndicatorManager::invalidateTimers() {
    std::lock_guard lock(lock_);
    if (activationDelayTimer_) activationDelayTimer_->invalidate();
    if (completionDelayTimer_) completionDelayTimer_->invalidate();
    activationDelayTimer_ = nullptr;
    completionDelayTimer_ = nullptr;
}

void HCNetworkActivityIndicatorManager::activationDelayTimerFired() {
    std::lock_guard lock(lock_);
    activationDelayTimer_ = nullptr;
    // A fire that raced with a state change (disabling on another thread) finds nothing to do.
    if (currentState_ != HCNetworkActivityManagerState::DelayingStart) return;
    setCurrentState(activityCount_ > 0 ? HCNetworkActivityManagerState::Active
                                       : HCNetworkActivityManagerState::NotActive);
}

void HCNetworkActivityIndicatorManager::completionDelayTimerFired() {
    std::lock_guard lock(lock_);
    completionDelayTimer_ = nullptr;
    if (currentState_ != HCNetworkActivityManagerState::DelayingEnd) return;
    setCurrentState(HCNetworkActivityManagerState::NotActive);
}

void HCNetworkActivityIndicatorManager::setNetworkActivityIndicatorVisible(bool visible) {
    ActionBlock block;
    {
        std::lock_guard lock(lock_);
        if (visible == networkActivityIndicatorVisible_) return;
        willChangeValueForKey("networkActivityIndicatorVisible");
        networkActivityIndicatorVisible_ = visible;
        didChangeValueForKey("networkActivityIndicatorVisible");
        block = networkActivityActionBlock_;
    }
    if (block) {
        block(visible);
    } else {
        UIApplication::sharedApplication()->setNetworkActivityIndicatorVisible(visible);
    }
}

Value HCNetworkActivityIndicatorManager::valueForKey(const std::string& key) const {
    if (key == "activityCount") return Value(int64_t(activityCount()));
    if (key == "currentState") return Value(int64_t(currentState()));
    if (key == "networkActivityIndicatorVisible") return Value(isNetworkActivityIndicatorVisible());
    if (key == "networkActivityOccurring") return Value(isNetworkActivityOccurring());
    if (key == "enabled") return Value(isEnabled());
    return KVOObservable::valueForKey(key);
}
