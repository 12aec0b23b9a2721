// Helpers shared by the session manager tests: bounded main-loop waits and a notification recorder.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/RunLoop.h"

namespace sessiontest {

// Every wait in these tests is bounded by this many seconds of real time.
inline constexpr double kWait = 10;

inline bool runMainUntil(const std::function<bool()>& predicate, double timeout = kWait) {
    return NSRunLoop::main().runUntil(predicate, timeout);
}

// Records every post of the given names, in order, with the thread it came on.
class NotificationRecorder {
  public:
    struct Entry {
        std::string name;
        std::shared_ptr<Object> object;
        Value::Dictionary userInfo;
        bool onMainThread = false;
    };

    explicit NotificationRecorder(std::vector<std::string> names, std::shared_ptr<Object> sender = nullptr) {
        for (const auto& name : names) {
            tokens_.push_back(NSNotificationCenter::defaultCenter().addObserver(
                name, sender, nullptr, [this](const NSNotification& notification) {
                    std::lock_guard lock(mutex_);
                    entries_.push_back({notification.name, notification.object, notification.userInfo,
                                        NSRunLoop::isMainThread()});
                }));
        }
    }
    ~NotificationRecorder() {
        for (auto token : tokens_) NSNotificationCenter::defaultCenter().removeObserver(token);
    }

    std::vector<Entry> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    size_t count(const std::string& name) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& entry : entries_) n += entry.name == name;
        return n;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    std::vector<NSNotificationCenter::Token> tokens_;
};

inline size_t countEntries(const char* directory) {
    size_t n = 0;
    if (DIR* dir = opendir(directory)) {
        while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
    }
    return n;
}
inline size_t threadCount() {
    return countEntries("/proc/self/task");
}
inline size_t descriptorCount() {
    return countEntries("/proc/self/fd");
}

}  // namespace sessiontest
