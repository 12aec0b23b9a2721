// Threading: see Lock.h; every member is guarded by mutex_, and waiters sleep on released_.
#include "platform/foundation/Lock.h"

#include <chrono>

namespace {

std::chrono::duration<double> toDuration(double seconds) {
    return std::chrono::duration<double>(seconds > 0 ? seconds : 0);
}

}  // namespace

void NSLock::lock() {
    std::unique_lock guard(mutex_);
    released_.wait(guard, [&] { return !held_; });
    held_ = true;
}

void NSLock::unlock() {
    std::lock_guard guard(mutex_);
    held_ = false;
    released_.notify_one();
}

bool NSLock::tryLock() {
    std::lock_guard guard(mutex_);
    if (held_) return false;
    held_ = true;
    return true;
}

bool NSLock::lockBeforeDate(double timeoutSeconds) {
    std::unique_lock guard(mutex_);
    auto available = [&] { return !held_; };
    if (timeoutSeconds < 0) {
        released_.wait(guard, available);
    } else if (!released_.wait_for(guard, toDuration(timeoutSeconds), available)) {
        return false;
    }
    held_ = true;
    return true;
}

void NSLock::setName(std::string name) {
    std::lock_guard guard(mutex_);
    name_ = std::move(name);
}

std::string NSLock::name() const {
    std::lock_guard guard(mutex_);
    return name_;
}

void NSRecursiveLock::lock() {
    lockBeforeDate(-1);
}

void NSRecursiveLock::unlock() {
    std::lock_guard guard(mutex_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return;  // not ours to release
    if (--depth_ == 0) {
        owner_ = {};
        released_.notify_one();
    }
}

bool NSRecursiveLock::tryLock() {
    return lockBeforeDate(0);
}

bool NSRecursiveLock::lockBeforeDate(double timeoutSeconds) {
    const auto self = std::this_thread::get_id();
    std::unique_lock guard(mutex_);
    auto available = [&] { return depth_ == 0 || owner_ == self; };
    if (timeoutSeconds < 0) {
        released_.wait(guard, available);
    } else if (!released_.wait_for(guard, toDuration(timeoutSeconds), available)) {
        return false;
    }
    owner_ = self;
    ++depth_;
    return true;
}

void NSRecursiveLock::setName(std::string name) {
    std::lock_guard guard(mutex_);
    name_ = std::move(name);
}

std::string NSRecursiveLock::name() const {
    std::lock_guard guard(mutex_);
    return name_;
}
