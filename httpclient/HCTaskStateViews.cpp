#include "httpclient/HCTaskStateViews.h"

#include <mutex>
#include <string>
#include <vector>

#include "httpclient/HCTaskNotifications.h"
#include "platform/foundation/DispatchQueue.h"

namespace {

// Keys of the state attached to the views.
const char kActivityIndicatorObserverKey = 0;
const char kRefreshControlObserverKey = 0;
const char kUploadProgressAnimatedKey = 0;
const char kDownloadProgressAnimatedKey = 0;

// Registers `onStart` for task.resume and `onStop` for task.suspend and task.complete of `task`; the
// blocks stop being called once `owner` is gone.
std::vector<NSNotificationCenter::Token> observeTask(const std::shared_ptr<Object>& owner,
                                                     const NSURLSessionTaskPtr& task,
                                                     const std::function<void()>& onStart,
                                                     const std::function<void()>& onStop) {
    auto& center = NSNotificationCenter::defaultCenter();
    std::weak_ptr<void> weakOwner = owner;
    return {
        center.addObserver(weakOwner, HCNetworkingTaskDidResumeNotification, task,
                           [onStart](const NSNotification&) { onStart(); }),
        center.addObserver(weakOwner, HCNetworkingTaskDidSuspendNotification, task,
                           [onStop](const NSNotification&) { onStop(); }),
        center.addObserver(weakOwner, HCNetworkingTaskDidCompleteNotification, task,
                           [onStop](const NSNotification&) { onStop(); }),
    };
}

void removeTokens(std::vector<NSNotificationCenter::Token>& tokens) {
    for (auto token : tokens) NSNotificationCenter::defaultCenter().removeObserver(token);
    tokens.clear();
}

// Calls `change` with the view on the main queue, if the view still exists then.
template <class View>
void onMainQueue(const std::weak_ptr<View>& weakView, void (View::*change)()) {
    DispatchQueue::main()->async([weakView, change] {
        if (auto view = weakView.lock()) (view.get()->*change)();
    });
}

}  // namespace

// ---- HCActivityIndicatorViewNotificationObserver

std::shared_ptr<HCActivityIndicatorViewNotificationObserver>
HCActivityIndicatorViewNotificationObserver::create(const UIActivityIndicatorViewPtr& activityIndicatorView) {
    auto observer = std::shared_ptr<HCActivityIndicatorViewNotificationObserver>(
        new HCActivityIndicatorViewNotificationObserver());
    observer->activityIndicatorView_ = activityIndicatorView;
    return observer;
}

HCActivityIndicatorViewNotificationObserver::~HCActivityIndicatorViewNotificationObserver() {
    stopObserving();
}

void HCActivityIndicatorViewNotificationObserver::stopObserving() {
    removeTokens(tokens_);
}

void HCActivityIndicatorViewNotificationObserver::setAnimatingWithStateOfTask(
    const NSURLSessionTaskPtr& task) {
    stopObserving();
    if (!task) return;
    const auto state = task->state();
    if (state == NSURLSessionTaskState::Completed) return;
    if (auto view = activityIndicatorView()) {
        if (state == NSURLSessionTaskState::Running) {
            view->startAnimating();
        } else {
            view->stopAnimating();
        }
    }
    std::weak_ptr<HCActivityIndicatorViewNotificationObserver> weak =
        std::static_pointer_cast<HCActivityIndicatorViewNotificationObserver>(shared_from_this());
    tokens_ = observeTask(
        shared_from_this(), task,
        [weak] {
            if (auto self = weak.lock()) self->hc_startAnimating();
        },
        [weak] {
            if (auto self = weak.lock()) self->hc_stopAnimating();
        });
}

void HCActivityIndicatorViewNotificationObserver::hc_startAnimating() {
    onMainQueue(activityIndicatorView_, &UIActivityIndicatorView::startAnimating);
}

void HCActivityIndicatorViewNotificationObserver::hc_stopAnimating() {
    onMainQueue(activityIndicatorView_, &UIActivityIndicatorView::stopAnimating);
}

// ---- HCRefreshControlNotificationObserver

std::shared_ptr<HCRefreshControlNotificationObserver> HCRefreshControlNotificationObserver::create(
    const UIRefreshControlPtr& refreshControl) {
    auto observer =
        std::shared_ptr<HCRefreshControlNotificationObserver>(new HCRefreshControlNotificationObserver());
    observer->refreshControl_ = refreshControl;
    return observer;
}

HCRefreshControlNotificationObserver::~HCRefreshControlNotificationObserver() {
    stopObserving();
}

void HCRefreshControlNotificationObserver::stopObserving() {
    removeTokens(tokens_);
}

void HCRefreshControlNotificationObserver::setRefreshingWithStateOfTask(const NSURLSessionTaskPtr& task) {
    stopObserving();
    if (!task) return;
    auto control = refreshControl();
    if (task->state() != NSURLSessionTaskState::Running) {
        if (control) control->endRefreshing();
        return;
    }
    if (control) control->beginRefreshing();
    std::weak_ptr<HCRefreshControlNotificationObserver> weak =
        std::static_pointer_cast<HCRefreshControlNotificationObserver>(shared_from_this());
    tokens_ = observeTask(
        shared_from_this(), task,
        [weak] {
            if (auto self = weak.lock()) self->hc_beginRefreshing();
        },
        [weak] {
            if (auto self = weak.lock()) self->hc_endRefreshing();
        });
}

void HCRefreshControlNotificationObserver::hc_beginRefreshing() {
    onMainQueue(refreshControl_, &UIRefreshControl::beginRefreshing);
}

void HCRefreshControlNotificationObserver::hc_endRefreshing() {
    onMainQueue(refreshControl_, &UIRefreshControl::endRefreshing);
}

// ---- UIActivityIndicatorView(HCNetworking)

std::shared_ptr<HCActivityIndicatorViewNotificationObserver> hc_notificationObserver(
    const UIActivityIndicatorViewPtr& view) {
    UIAssertMainThread();
    auto observer =
        view->associatedObject<HCActivityIndicatorViewNotificationObserver>(&kActivityIndicatorObserverKey);
    if (!observer) {
        observer = HCActivityIndicatorViewNotificationObserver::create(view);
        view->setAssociatedObject(&kActivityIndicatorObserverKey, observer);
    }
    return observer;
}

void setAnimatingWithStateOfTask(const UIActivityIndicatorViewPtr& view, const NSURLSessionTaskPtr& task) {
    hc_notificationObserver(view)->setAnimatingWithStateOfTask(task);
}

// ---- UIRefreshControl(HCNetworking)

std::shared_ptr<HCRefreshControlNotificationObserver> hc_notificationObserver(
    const UIRefreshControlPtr& control) {
    UIAssertMainThread();
    auto observer =
        control->associatedObject<HCRefreshControlNotificationObserver>(&kRefreshControlObserverKey);
    if (!observer) {
        observer = HCRefreshControlNotificationObserver::create(control);
        control->setAssociatedObject(&kRefreshControlObserverKey, observer);
    }
    return observer;
}

void setRefreshingWithStateOfTask(const UIRefreshControlPtr& control, const NSURLSessionTaskPtr& task) {
    hc_notificationObserver(control)->setRefreshingWithStateOfTask(task);
}

// ---- UIProgressView(HCNetworking)

namespace {

enum class Direction { Upload, Download };

// One observation of one task by one view. The key-value callbacks run on the thread that changes the
// task; the view is only touched on the main queue.
struct ProgressObservation {
    std::weak_ptr<UIProgressView> view;
    std::weak_ptr<NSURLSessionTask> task;
    Direction direction = Direction::Download;
    std::mutex mutex;
    bool ended = false;  // under mutex
    KVOObservable::Token stateToken = 0;
    KVOObservable::Token counterToken = 0;

    // Removes both registrations once, whoever asks first.
    void end(NSURLSessionTask& observed) {
        {
            std::lock_guard lock(mutex);
            if (ended) return;
            ended = true;
        }
        observed.removeObserver(stateToken);
        observed.removeObserver(counterToken);
    }
};

void showProgress(const std::weak_ptr<UIProgressView>& weakView, float progress, Direction direction) {
    DispatchQueue::main()->async([weakView, progress, direction] {
        auto view = weakView.lock();
        if (!view) return;
        const bool animated = direction == Direction::Upload ? hc_uploadProgressAnimated(view)
                                                             : hc_downloadProgressAnimated(view);
        view->setProgress(progress, animated);
    });
}

// The change of one observed key of the observation's task.
void observeValueForKeyPath(const std::shared_ptr<ProgressObservation>& observation,
                            const std::string& keyPath) {
    auto task = observation->task.lock();
    if (!task) return;
    if (keyPath == "countOfBytesSent") {
        const int64_t expected = task->countOfBytesExpectedToSend();
        if (expected > 0) {
            showProgress(observation->view, float(task->countOfBytesSent()) / float(expected),
                         Direction::Upload);
        }
    }
    if (keyPath == "countOfBytesReceived") {
        const int64_t expected = task->countOfBytesExpectedToReceive();
        if (expected > 0) {
            showProgress(observation->view, float(task->countOfBytesReceived()) / float(expected),
                         Direction::Download);
        }
    }
    if (keyPath == "state" && task->state() == NSURLSessionTaskState::Completed) observation->end(*task);
}

// The observations a progress view holds. Main thread only.
struct ProgressObservations final : Object {
    std::vector<std::shared_ptr<ProgressObservation>> list;
};

const char kProgressObservationsKey = 0;

void observeProgress(const UIProgressViewPtr& view, const NSURLSessionTaskPtr& task, Direction direction) {
    auto held = view->associatedObject<ProgressObservations>(&kProgressObservationsKey);
    if (!held) {
        held = std::make_shared<ProgressObservations>();
        view->setAssociatedObject(&kProgressObservationsKey, held);
    }
    std::erase_if(held->list, [](const auto& observation) {
        std::lock_guard lock(observation->mutex);
        return observation->ended || observation->task.expired();
    });
    // A finished task moves no more bytes; a task followed already in this direction needs no second
    // observation.
    if (task->state() == NSURLSessionTaskState::Completed) return;
    for (const auto& observation : held->list) {
        if (observation->direction == direction && observation->task.lock() == task) return;
    }

    auto observation = std::make_shared<ProgressObservation>();
    observation->view = view;
    observation->task = task;
    observation->direction = direction;
    held->list.push_back(observation);
    // The registrations belong to the observation, which the view holds: they end with the view, and a
    // callback in flight keeps only the observation alive, never the view, which is released on the main
    // thread alone.
    auto callback = [weak = std::weak_ptr<ProgressObservation>(observation)](const KVOChange& change) {
        if (auto observation = weak.lock()) observeValueForKeyPath(observation, change.key);
    };
    const std::string counter = direction == Direction::Upload ? "countOfBytesSent" : "countOfBytesReceived";
    {
        std::lock_guard lock(observation->mutex);
        observation->stateToken = task->addObserver(observation, "state", KVOOptions::None, callback);
        observation->counterToken = task->addObserver(observation, counter, KVOOptions::None, callback);
    }
    // The task may have completed on its own thread before the state was observed.
    if (task->state() == NSURLSessionTaskState::Completed) observation->end(*task);
}

bool animatedFlag(const UIProgressViewPtr& view, const char* key) {
    UIAssertMainThread();
    const Value value = view->associatedValue(key);
    return !value.isNull() && value.boolValue();
}

}  // namespace

void setProgressWithUploadProgressOfTask(const UIProgressViewPtr& view, const NSURLSessionTaskPtr& task,
                                         bool animated) {
    UIAssertMainThread();
    if (!view || !task) return;
    observeProgress(view, task, Direction::Upload);
    hc_setUploadProgressAnimated(view, animated);
}

void setProgressWithDownloadProgressOfTask(const UIProgressViewPtr& view, const NSURLSessionTaskPtr& task,
                                           bool animated) {
    UIAssertMainThread();
    if (!view || !task) return;
    observeProgress(view, task, Direction::Download);
    hc_setDownloadProgressAnimated(view, animated);
}

bool hc_uploadProgressAnimated(const UIProgressViewPtr& view) {
    return animatedFlag(view, &kUploadProgressAnimatedKey);
}

void hc_setUploadProgressAnimated(const UIProgressViewPtr& view, bool animated) {
    UIAssertMainThread();
    view->setAssociatedValue(&kUploadProgressAnimatedKey, Value(animated));
}

bool hc_downloadProgressAnimated(const UIProgressViewPtr& view) {
    return animatedFlag(view, &kDownloadProgressAnimatedKey);
}

void hc_setDownloadProgressAnimated(const UIProgressViewPtr& view, bool animated) {
    UIAssertMainThread();
    view->setAssociatedValue(&kDownloadProgressAnimatedKey, Value(animated));
}
