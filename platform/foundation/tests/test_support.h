// Small helpers shared by the foundation tests: error checks, bounded polling, thread counting, environment
// overrides and whole-file reads and writes. Header-only, so that every part's test binary can use it.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

// Readable failure messages.
inline void PrintTo(const Value& v, std::ostream* os) {
    *os << v.description();
}

namespace foundation_test {

// A reported error: its domain and code, and a description that names `detail`.
inline void expectError(const NSErrorPtr& error, const std::string& domain, long code,
                        std::string_view detail) {
    ASSERT_TRUE(error) << detail;
    EXPECT_EQ(error->domain(), domain) << detail;
    EXPECT_EQ(error->code(), code) << error->description();
    EXPECT_NE(error->localizedDescription().find(detail), std::string::npos) << error->localizedDescription();
}

// Polls `predicate` until it holds or `seconds` of real time pass; returns its last value. The default bound
// is generous, so that a loaded machine never runs it out; a condition that holds returns at once.
inline bool eventually(const std::function<bool()>& predicate, double seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= end) return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs `body` in a child forked from this process, threads and all, without exec: a child that hangs or
// fails shows here, waited for at most `seconds` (then killed). The child answers through its exit status.
inline ::testing::AssertionResult passesInForkedChild(const std::function<bool()>& body,
                                                      double seconds = 60) {
    const pid_t pid = ::fork();
    if (pid < 0) return ::testing::AssertionFailure() << "fork failed";
    if (pid == 0) {
        ::alarm(unsigned(seconds) + 10);  // never outlives the test, whatever the parent does
        ::_exit(body() ? 0 : 1);
    }
    int status = 0;
    const bool ended = eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, seconds);
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return ::testing::AssertionFailure() << "the forked child did not finish within " << seconds << " s";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the forked child failed (status " << status << ")";
}

// Threads of this process, from /proc/self/task.
inline int threadCount() {
    std::filesystem::directory_iterator tasks("/proc/self/task");
    return int(std::distance(begin(tasks), end(tasks)));
}

// Tracks the most blocks that ran at once.
struct Overlap {
    std::atomic<int> now{0}, most{0};
    void enter() {
        int n = ++now;
        for (int seen = most; n > seen && !most.compare_exchange_weak(seen, n);) {
        }
    }
    void leave() { --now; }
};

// Sets (or, for nullptr, unsets) environment variables and restores them at destruction. `set` changes more
// later; the first value seen for each name is the one restored.
class ScopedEnv {
  public:
    explicit ScopedEnv(std::vector<std::pair<const char*, const char*>> values = {}) {
        for (auto [name, value] : values) set(name, value);
    }
    void set(const char* name, const char* value) {
        bool known = false;
        for (const auto& entry : saved_) known = known || entry.first == name;
        if (!known) {
            const char* old = std::getenv(name);
            saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        put(name, value);
    }
    ~ScopedEnv() {
        for (const auto& [name, value] : saved_) put(name.c_str(), value ? value->c_str() : nullptr);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    static void put(const char* name, const char* value) {
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::string repeat(std::string_view text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

// Writes `bytes` to `path`, creating the folders on the way.
inline void writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace foundation_test
