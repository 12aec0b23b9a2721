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
    if (sweepTimer_) sweepTimer_->invalidate();
}

void HCNetworkActivityIndicatorManager::setEnabled(bool enabled) {
    enabled_.store(enabled);
    if (enabled) return;
    // The state, its timers and the application's flag belong to the main thread.
    if (NSRunLoop::isMainThread()) {
        setCurrentState(HCNetworkActivityManagerState::NotActive);
        return;
    }
    std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    DispatchQueue::main()->async([weak] {
        auto self = weak.lock();
        if (self && !self->isEnabled()) self->setCurrentState(HCNetworkActivityManagerState::NotActive);
    });
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

long HCNetworkActivityIndicatorManager::sweepLocked() {
    long swept = 0;
    for (auto it = countedTasks_.begin(); it != countedTasks_.end();) {
        if (it->expired()) {
            it = countedTasks_.erase(it);
            ++swept;
        } else {
            ++it;
        }
    }
    return swept;
}

void HCNetworkActivityIndicatorManager::takeBack(long count) {
    if (count <= 0) return;
    willChangeValueForKey("activityCount");
    {
        std::lock_guard lock(lock_);
        activityCount_ = activityCount_ > count ? activityCount_ - count : 0;
    }
    didChangeValueForKey("activityCount");
    requestStateUpdate();
}

void HCNetworkActivityIndicatorManager::networkRequestDidStart(const NSNotification& notification) {
    auto task = countableTask(notification);
    if (!task) return;
    long swept = 0;
    bool counted = false;
    {
        std::lock_guard lock(lock_);
        // A task that went away without its finish being seen is no longer in flight.
        swept = sweepLocked();
        counted = countedTasks_.insert(task).second;  // false: already counted as running
    }
    takeBack(swept);
    if (counted) incrementActivityCount();
}

void HCNetworkActivityIndicatorManager::networkRequestDidFinish(const NSNotification& notification) {
    auto task = countableTask(notification);
    if (!task) return;
    long taken = 0;
    {
        std::lock_guard lock(lock_);
        taken = sweepLocked() + long(countedTasks_.erase(task));  // never counted: nothing to take back
    }
    takeBack(taken);
}

void HCNetworkActivityIndicatorManager::requestStateUpdate() {
    std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
        std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
    DispatchQueue::main()->async([weak] {
        if (auto self = weak.lock()) self->updateCurrentStateForNetworkActivityChange();
    });
}

void HCNetworkActivityIndicatorManager::updateCurrentStateForNetworkActivityChange() {
    bool occurring = false;
    bool tasksCounted = false;
    HCNetworkActivityManagerState state;
    {
        std::lock_guard lock(lock_);
        occurring = activityCount_ > 0;
        tasksCounted = !countedTasks_.empty();
        state = currentState_;
    }
    // Counted tasks are looked after while there are any, so that one that vanishes unfinished does not
    // keep the indicator on until the next task starts.
    if (tasksCounted && !sweepTimer_) {
        std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
            std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
        sweepTimer_ = NSTimer::timerWithTimeInterval(kSweepInterval, Repeats::Yes, [weak](const auto&) {
            if (auto self = weak.lock()) self->sweepTimerFired();
        });
        NSRunLoop::main().addTimer(sweepTimer_, NSRunLoopCommonModes);
    }
    if (!isEnabled()) return;
    switch (state) {
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

void HCNetworkActivityIndicatorManager::sweepTimerFired() {
    long swept = 0;
    bool empty = false;
    {
        std::lock_guard lock(lock_);
        swept = sweepLocked();
        empty = countedTasks_.empty();
    }
    if (empty && sweepTimer_) {
        sweepTimer_->invalidate();
        sweepTimer_ = nullptr;
    }
    takeBack(swept);
}

// Main thread only. The lock guards the fields alone: observers, timers, the action block and the
// application are called with it released.
void HCNetworkActivityIndicatorManager::setCurrentState(HCNetworkActivityManagerState state) {
    {
        std::lock_guard lock(lock_);
        if (state == currentState_) return;
    }
    willChangeValueForKey("currentState");
    {
        std::lock_guard lock(lock_);
        currentState_ = state;
    }
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
    if (activationDelayTimer_) activationDelayTimer_->invalidate();
    if (completionDelayTimer_) completionDelayTimer_->invalidate();
    activationDelayTimer_ = nullptr;
    completionDelayTimer_ = nullptr;
}

void HCNetworkActivityIndicatorManager::activationDelayTimerFired() {
    activationDelayTimer_ = nullptr;
    bool occurring = false;
    {
        std::lock_guard lock(lock_);
        // A fire that raced with a state change finds nothing to do.
        if (currentState_ != HCNetworkActivityManagerState::DelayingStart) return;
        occurring = activityCount_ > 0;
    }
    setCurrentState(occurring ? HCNetworkActivityManagerState::Active
                              : HCNetworkActivityManagerState::NotActive);
}

void HCNetworkActivityIndicatorManager::completionDelayTimerFired() {
    completionDelayTimer_ = nullptr;
    {
        std::lock_guard lock(lock_);
        if (currentState_ != HCNetworkActivityManagerState::DelayingEnd) return;
    }
    setCurrentState(HCNetworkActivityManagerState::NotActive);
}

void HCNetworkActivityIndicatorManager::setNetworkActivityIndicatorVisible(bool visible) {
    // The application's flag and the caller's block are used on the main thread only.
    if (!NSRunLoop::isMainThread()) {
        std::weak_ptr<HCNetworkActivityIndicatorManager> weak =
            std::static_pointer_cast<HCNetworkActivityIndicatorManager>(shared_from_this());
        DispatchQueue::main()->async([weak, visible] {
            if (auto self = weak.lock()) self->setNetworkActivityIndicatorVisible(visible);
        });
        return;
    }
    {
        std::lock_guard lock(lock_);
        if (visible == networkActivityIndicatorVisible_) return;
    }
    willChangeValueForKey("networkActivityIndicatorVisible");
    ActionBlock block;
    {
        std::lock_guard lock(lock_);
        networkActivityIndicatorVisible_ = visible;
        block = networkActivityActionBlock_;
    }
    didChangeValueForKey("networkActivityIndicatorVisible");
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
