// NSProgress: a count of units done out of a total, observable, with cancel, pause and resume handlers.
//
// Observable keys: "totalUnitCount", "completedUnitCount" and "fractionCompleted" (which changes with
// either count). Observers run on the thread that changed the count. A total of -1 (or 0) means "not known
// yet"; `fractionCompleted` is then 0.
//
// Threading: every method may be called from any thread. Handlers are called with no lock held; `cancel`
// calls the cancellation handler once, the first time only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"

class NSProgress final : public Object, public KVOObservable {
  public:
    using Handler = std::function<void()>;

    // A progress without parent or user info.
    static std::shared_ptr<NSProgress> create(int64_t totalUnitCount = -1);

    int64_t totalUnitCount() const { return total_.load(); }
    void setTotalUnitCount(int64_t count);
    int64_t completedUnitCount() const { return completed_.load(); }
    void setCompletedUnitCount(int64_t count);
    double fractionCompleted() const;

    bool isCancellable() const { return cancellable_.load(); }
    void setCancellable(bool cancellable) { cancellable_.store(cancellable); }
    bool isPausable() const { return pausable_.load(); }
    void setPausable(bool pausable) { pausable_.store(pausable); }
    bool isCancelled() const { return cancelled_.load(); }
    bool isPaused() const { return paused_.load(); }

    void setCancellationHandler(Handler handler);
    void setPausingHandler(Handler handler);
    void setResumingHandler(Handler handler);

    // Cancels once: marks the progress cancelled and calls the cancellation handler.
    void cancel();
    // Pausing and resuming are calls of their handlers when the state really changes.
    void pause();
    void resume();

    Value valueForKey(const std::string& key) const override;
    std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override;
    // "<NSProgress: 0x...> Fraction completed: 0.5000 / Completed: 5 of 10"
    std::string description() const override;

  private:
    NSProgress() = default;
    Handler handler(const Handler& slot) const;

    std::atomic<int64_t> total_{-1};
    std::atomic<int64_t> completed_{0};
    std::atomic<bool> cancellable_{true};
    std::atomic<bool> pausable_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> paused_{false};
    mutable std::mutex mutex_;
    Handler cancellationHandler_;
    Handler pausingHandler_;
    Handler resumingHandler_;
};

using NSProgressPtr = std::shared_ptr<NSProgress>;
