// Threading: see Lock.h; every member is guarded by mutex_, and waiters sleep on released_.
#include "platform/foundation/Lock.h"

#include <chrono>

namespace {

std::chrono::duration<double> toDuration(double seconds) {
    return std::chrono::duration<double>(seconds > 0 ? seconds : 0);
}

}  // namespace

bool NSRecursiveLockOwnership::release() {
    if (depth == 0 || owner != std::this_thread::get_id()) return false;  // not ours to release
    if (--depth > 0) return false;
    owner = {};
    return true;
}

template <class Ownership>
void BasicNSLock<Ownership>::unlock() {
    std::lock_guard guard(mutex_);
    if (ownership_.release()) released_.notify_one();
}

template <class Ownership>
bool BasicNSLock<Ownership>::lockBeforeDate(double timeoutSeconds) {
    std::unique_lock guard(mutex_);
    auto available = [&] { return ownership_.available(); };
    if (timeoutSeconds < 0) {
        released_.wait(guard, available);
    } else if (!released_.wait_for(guard, toDuration(timeoutSeconds), available)) {
        return false;
    }
    ownership_.take();
    return true;
}

template <class Ownership>
void BasicNSLock<Ownership>::setName(std::string name) {
    std::lock_guard guard(mutex_);
    name_ = std::move(name);
}

template <class Ownership>
std::string BasicNSLock<Ownership>::name() const {
    std::lock_guard guard(mutex_);
    return name_;
}

template class BasicNSLock<NSLockOwnership>;
template class BasicNSLock<NSRecursiveLockOwnership>;
