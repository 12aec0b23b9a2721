// NSLock and NSRecursiveLock. Both meet the standard's Lockable requirements through lock/unlock/try_lock, so
// std::lock_guard and std::unique_lock take them.
//
// Threading: each lock is a flag (and, for the recursive one, an owner and depth) guarded by a std::mutex,
// with a condition variable for waiters. Built this way rather than on std::timed_mutex because the
// sanitizers do not follow timed locking of the latter.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class NSLock {
  public:
    NSLock() = default;
    NSLock(const NSLock&) = delete;
    NSLock& operator=(const NSLock&) = delete;

    void lock();
    void unlock();
    bool tryLock();
    bool try_lock() { return tryLock(); }
    // Waits up to `timeoutSeconds` of real time for the lock (negative: no limit); true when it was taken.
    bool lockBeforeDate(double timeoutSeconds);

    void setName(std::string name);
    std::string name() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    std::string name_;
};

// May be locked again by the thread that holds it; each lock needs its unlock.
class NSRecursiveLock {
  public:
    NSRecursiveLock() = default;
    NSRecursiveLock(const NSRecursiveLock&) = delete;
    NSRecursiveLock& operator=(const NSRecursiveLock&) = delete;

    void lock();
    void unlock();
    bool tryLock();
    bool try_lock() { return tryLock(); }
    bool lockBeforeDate(double timeoutSeconds);

    void setName(std::string name);
    std::string name() const;

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id owner_;
    int depth_ = 0;
    std::string name_;
};
