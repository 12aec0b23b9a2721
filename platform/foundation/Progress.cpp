#include "platform/foundation/Progress.h"

#include <cstdio>

std::shared_ptr<NSProgress> NSProgress::create(int64_t totalUnitCount) {
    auto progress = std::shared_ptr<NSProgress>(new NSProgress());
    progress->total_.store(totalUnitCount);
    return progress;
}

void NSProgress::setTotalUnitCount(int64_t count) {
    willChangeValueForKey("totalUnitCount");
    total_.store(count);
    didChangeValueForKey("totalUnitCount");
}

void NSProgress::setCompletedUnitCount(int64_t count) {
    willChangeValueForKey("completedUnitCount");
    completed_.store(count);
    didChangeValueForKey("completedUnitCount");
}

double NSProgress::fractionCompleted() const {
    int64_t total = total_.load();
    if (total <= 0) return 0;
    return double(completed_.load()) / double(total);
}

void NSProgress::setCancellationHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    cancellationHandler_ = std::move(handler);
}

void NSProgress::setPausingHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    pausingHandler_ = std::move(handler);
}

void NSProgress::setResumingHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    resumingHandler_ = std::move(handler);
}

NSProgress::Handler NSProgress::handler(const Handler& slot) const {
    std::lock_guard lock(mutex_);
    return slot;
}

void NSProgress::cancel() {
    if (cancelled_.exchange(true)) return;
    if (auto call = handler(cancellationHandler_)) call();
}

void NSProgress::pause() {
    if (!pausable_.load() || paused_.exchange(true)) return;
    if (auto call = handler(pausingHandler_)) call();
}

void NSProgress::resume() {
    if (!paused_.exchange(false)) return;
    if (auto call = handler(resumingHandler_)) call();
}

Value NSProgress::valueForKey(const std::string& key) const {
    if (key == "totalUnitCount") return Value(totalUnitCount());
    if (key == "completedUnitCount") return Value(completedUnitCount());
    if (key == "fractionCompleted") return Value(fractionCompleted());
    return Value();
}

std::vector<std::string> NSProgress::keyPathsForValuesAffectingValueForKey(const std::string& key) const {
    if (key == "fractionCompleted") return {"completedUnitCount", "totalUnitCount"};
    return {};
}

std::string NSProgress::description() const {
    char text[160];
    std::snprintf(text, sizeof text, "<NSProgress: %p> Fraction completed: %.4f / Completed: %lld of %lld",
                  static_cast<const void*>(this), fractionCompleted(),
                  static_cast<long long>(completedUnitCount()), static_cast<long long>(totalUnitCount()));
    return text;
}
