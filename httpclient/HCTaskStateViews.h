// Views that follow a URL-session task of the HTTP client: an activity indicator that spins and a refresh
// control that shows refreshing while the task runs, and a progress view that shows how far its upload or
// download has come.
//
// Activity indicator and refresh control. Each view keeps one notification observer (made on first use,
// held by the view, holding the view weakly) that follows one task at a time; setting a task, or nil,
// forgets the one before. What the task's state decides when it is set:
//
//   state when set         activity indicator              refresh control
//   running                start; follow the task          begin refreshing; follow the task
//   suspended, canceling   stop; follow the task           end refreshing
//   completed              nothing                         end refreshing
//   nil                    nothing (the view keeps its look)
//
// Following a task means observing the session managers' "com.hcnet.networking.task.resume" (start, begin
// refreshing), ".suspend" and ".complete" (stop, end refreshing) for that very task. Each of these changes
// is handed to the main queue and is dropped when the view is gone by then. So a suspended task drives an
// indicator once it is resumed, while a refresh control only follows a task that runs when it is set.
//
// Progress view. The view observes the task's "countOfBytesSent" (upload) or "countOfBytesReceived"
// (download) and its "state". Each change of a counter whose expected total is known (greater than 0)
// sets sent / expected (or received / expected) on the main queue, animated as the view's flag for that
// direction says; counts are never taken while the total is unknown. Once the task announces the completed
// state, the view stops observing it; a task completed already is not observed at all, and setting a task
// the view follows in that direction already adds nothing. A view may follow several tasks; it keeps no
// task alive.
//
// Main thread only, except the notification and key-value callbacks, which may arrive on any thread.
#pragma once

#include <memory>
#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSession.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIProgressView.h"
#include "platform/uikit/UIRefreshControl.h"

// Follows one task for an activity indicator.
class HCActivityIndicatorViewNotificationObserver final : public Object {
  public:
    static std::shared_ptr<HCActivityIndicatorViewNotificationObserver> create(
        const UIActivityIndicatorViewPtr& activityIndicatorView);
    ~HCActivityIndicatorViewNotificationObserver() override;

    UIActivityIndicatorViewPtr activityIndicatorView() const { return activityIndicatorView_.lock(); }
    void setAnimatingWithStateOfTask(const NSURLSessionTaskPtr& task);
    // Start or stop the indicator from the main queue, unless it is gone by then.
    void hc_startAnimating();
    void hc_stopAnimating();

  private:
    HCActivityIndicatorViewNotificationObserver() = default;
    void stopObserving();

    std::weak_ptr<UIActivityIndicatorView> activityIndicatorView_;
    std::vector<NSNotificationCenter::Token> tokens_;
};

// Follows one task for a refresh control.
class HCRefreshControlNotificationObserver final : public Object {
  public:
    static std::shared_ptr<HCRefreshControlNotificationObserver> create(
        const UIRefreshControlPtr& refreshControl);
    ~HCRefreshControlNotificationObserver() override;

    UIRefreshControlPtr refreshControl() const { return refreshControl_.lock(); }
    void setRefreshingWithStateOfTask(const NSURLSessionTaskPtr& task);
    void hc_beginRefreshing();
    void hc_endRefreshing();

  private:
    HCRefreshControlNotificationObserver() = default;
    void stopObserving();

    std::weak_ptr<UIRefreshControl> refreshControl_;
    std::vector<NSNotificationCenter::Token> tokens_;
};

// ---- UIActivityIndicatorView(HCNetworking)
void setAnimatingWithStateOfTask(const UIActivityIndicatorViewPtr& view, const NSURLSessionTaskPtr& task);
// The view's observer, made and attached on first use.
std::shared_ptr<HCActivityIndicatorViewNotificationObserver> hc_notificationObserver(
    const UIActivityIndicatorViewPtr& view);

// ---- UIRefreshControl(HCNetworking)
void setRefreshingWithStateOfTask(const UIRefreshControlPtr& control, const NSURLSessionTaskPtr& task);
std::shared_ptr<HCRefreshControlNotificationObserver> hc_notificationObserver(
    const UIRefreshControlPtr& control);

// ---- UIProgressView(HCNetworking)
void setProgressWithUploadProgressOfTask(const UIProgressViewPtr& view, const NSURLSessionTaskPtr& task,
                                         bool animated);
void setProgressWithDownloadProgressOfTask(const UIProgressViewPtr& view, const NSURLSessionTaskPtr& task,
                                           bool animated);
// Whether upload (download) progress is shown animated; false until set.
bool hc_uploadProgressAnimated(const UIProgressViewPtr& view);
void hc_setUploadProgressAnimated(const UIProgressViewPtr& view, bool animated);
bool hc_downloadProgressAnimated(const UIProgressViewPtr& view);
void hc_setDownloadProgressAnimated(const UIProgressViewPtr& view, bool animated);
