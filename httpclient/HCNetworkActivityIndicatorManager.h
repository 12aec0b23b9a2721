// HCNetworkActivityIndicatorManager: drives the application's network-activity indicator from the tasks in
// flight.
//
// It counts the session managers' task notifications (task.resume starts a task; task.suspend and
// task.complete finish it), shows the indicator only once activity has lasted `activationDelay` seconds and
// hides it `completionDelay` seconds after the last task ended. Each task is counted at most once: a
// finish for a task that was never counted as started (a task cancelled before it was resumed, a suspended
// task that then completes) changes nothing, so one task's unbalanced notifications never hide another
// task's activity.
//
// States: NotActive -> DelayingStart (activity begins) -> Active (delay ends with activity) or NotActive
// (it ends without); Active -> DelayingEnd (activity ends) -> Active (activity resumes) or NotActive (delay
// ends). Disabling moves to NotActive at once from any state. Only Active shows the indicator.
//
// A counted task that goes away without its finish being seen stops counting at the next notification, or
// within `kSweepInterval` seconds, whichever comes first.
//
// Threads: notifications may arrive on any thread; counting takes the manager's lock and the state update
// runs on the main queue. The state, its timers (on the main run loop, the platform clock), the indicator
// and the action block belong to the main thread: `setEnabled(false)` or
// `setNetworkActivityIndicatorVisible` called elsewhere is carried out there. The lock guards the fields
// only; observers, the action block and the application are never called with it held.
//
// Key-value observable keys: "activityCount", "currentState", "networkActivityIndicatorVisible".
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Lock.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"

enum class HCNetworkActivityManagerState : long {
    NotActive = 0,
    DelayingStart = 1,
    Active = 2,
    DelayingEnd = 3,
};

class HCNetworkActivityIndicatorManager : public Object, public KVOObservable {
  public:
    using ActionBlock = std::function<void(bool networkActivityIndicatorVisible)>;

    static constexpr double kDefaultActivationDelay = 1.0;
    static constexpr double kDefaultCompletionDelay = 0.17;
    static constexpr double kSweepInterval = 1.0;

    // The process-wide manager; it lives until the process ends.
    static std::shared_ptr<HCNetworkActivityIndicatorManager> sharedManager();
    // A manager of its own, observing the default notification centre until it is destroyed.
    static std::shared_ptr<HCNetworkActivityIndicatorManager> create();

    ~HCNetworkActivityIndicatorManager() override;

    bool isEnabled() const { return enabled_.load(); }
    // false moves to NotActive at once on the main thread, else as soon as the main queue runs.
    void setEnabled(bool enabled);

    bool isNetworkActivityIndicatorVisible() const;
    bool isNetworkActivityOccurring() const;
    long activityCount() const;
    HCNetworkActivityManagerState currentState() const;

    double activationDelay() const { return activationDelay_.load(); }
    void setActivationDelay(double seconds) { activationDelay_.store(seconds); }
    double completionDelay() const { return completionDelay_.load(); }
    void setCompletionDelay(double seconds) { completionDelay_.store(seconds); }

    // When set, the block is called with each change of visibility instead of the application's indicator.
    void setNetworkingActivityActionWithBlock(ActionBlock block);

    // Direct counting, for callers with work of their own. The decrement stops at 0; a negative count is
    // stored as 0. Each asks for a state update on the main queue.
    void incrementActivityCount();
    void decrementActivityCount();
    void setActivityCount(long count);

    // The notification handlers. The object must be a session task whose original request has a URL;
    // anything else is ignored.
    void networkRequestDidStart(const NSNotification& notification);
    void networkRequestDidFinish(const NSNotification& notification);

    // Shows or hides the indicator (through the action block when one is set); a repeat changes nothing.
    void setNetworkActivityIndicatorVisible(bool visible);

    Value valueForKey(const std::string& key) const override;

  private:
    HCNetworkActivityIndicatorManager() = default;
    void registerForNotifications();

    void requestStateUpdate();
    void updateCurrentStateForNetworkActivityChange();
    void setCurrentState(HCNetworkActivityManagerState state);
    void startActivationDelayTimer();
    void startCompletionDelayTimer();
    void invalidateTimers();
    void activationDelayTimerFired();
    void completionDelayTimerFired();
    void sweepTimerFired();
    // Forgets counted tasks that have gone away; returns how many. Under lock_.
    long sweepLocked();
    // Takes `count` back from the activity count (not below 0) and asks for a state update.
    void takeBack(long count);

    std::atomic<bool> enabled_{false};
    std::atomic<double> activationDelay_{kDefaultActivationDelay};
    std::atomic<double> completionDelay_{kDefaultCompletionDelay};

    // Guards the count, the counted tasks, the visibility, the state and the block.
    mutable NSRecursiveLock lock_;
    long activityCount_ = 0;
    std::set<std::weak_ptr<Object>, std::owner_less<std::weak_ptr<Object>>> countedTasks_;
    bool networkActivityIndicatorVisible_ = false;
    HCNetworkActivityManagerState currentState_ = HCNetworkActivityManagerState::NotActive;
    // Main thread only.
    std::shared_ptr<NSTimer> activationDelayTimer_;
    std::shared_ptr<NSTimer> completionDelayTimer_;
    std::shared_ptr<NSTimer> sweepTimer_;
    ActionBlock networkActivityActionBlock_;

    std::vector<NSNotificationCenter::Token> observers_;
};

using HCNetworkActivityIndicatorManagerPtr = std::shared_ptr<HCNetworkActivityIndicatorManager>;
