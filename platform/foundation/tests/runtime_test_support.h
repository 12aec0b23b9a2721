// Small helpers shared by the runtime tests: bounded polling and a count of the process's threads.
#pragma once

#include <dirent.h>

#include <chrono>
#include <functional>
#include <thread>

namespace runtime_test {

// Polls `predicate` until it holds or `seconds` of real time pass; returns its last value.
inline bool eventually(const std::function<bool()>& predicate, double seconds = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Threads of this process, from /proc/self/task.
inline int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
    }
    return count;
}

}  // namespace runtime_test
