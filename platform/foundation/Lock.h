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

// The machinery both locks share; `Ownership` says when the lock is free for the calling thread (available),
// records that the caller took it (take) and gives one hold back (release: true when the lock became free).
template <class Ownership>
class BasicNSLock {
  public:
    BasicNSLock(const BasicNSLock&) = delete;
    BasicNSLock& operator=(const BasicNSLock&) = delete;

    void lock() { lockBeforeDate(-1); }
    void unlock();
    bool tryLock() { return lockBeforeDate(0); }
    bool try_lock() { return tryLock(); }
    // Waits up to `timeoutSeconds` of real time for the lock (negative: no limit); true when it was taken.
    bool lockBeforeDate(double timeoutSeconds);

    void setName(std::string name);
    std::string name() const;

  protected:
    BasicNSLock() = default;
    ~BasicNSLock() = default;

  private:
    mutable std::mutex mutex_;
    std::condition_variable released_;
    Ownership ownership_;
    std::string name_;
};

// Held by one thread at a time; unlocking frees it whoever calls.
struct NSLockOwnership {
    bool held = false;
    bool available() const { return !held; }
    void take() { held = true; }
    bool release() {
        held = false;
        return true;
    }
};

// Held by one thread, which may take it again; only that thread's unlocks count, one for each lock.
struct NSRecursiveLockOwnership {
    std::thread::id owner;
    int depth = 0;
    bool available() const { return depth == 0 || owner == std::this_thread::get_id(); }
    void take() {
        owner = std::this_thread::get_id();
        ++depth;
    }
    bool release();
};

class NSLock final : public BasicNSLock<NSLockOwnership> {
  public:
    NSLock() = default;
};

// May be locked again by the thread that holds it; each lock needs its unlock.
class NSRecursiveLock final : public BasicNSLock<NSRecursiveLockOwnership> {
  public:
    NSRecursiveLock() = default;
};
