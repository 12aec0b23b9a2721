// Loggers for the logging tests: one that keeps what it is given (and can hold the queue until released),
// and one that throws.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "pushlog/PUSHAbstractLogger.h"

class CapturingLogger : public PUSHAbstractLogger {
  public:
    static std::shared_ptr<CapturingLogger> create(std::string name = "test.capturing") {
        return std::shared_ptr<CapturingLogger>(new CapturingLogger(std::move(name)));
    }

    void logMessage(const PUSHLogMessagePtr& message) override {
        std::function<void(CapturingLogger&, const PUSHLogMessagePtr&)> hook;
        {
            std::unique_lock lock(mutex_);
            ++entered_;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !held_; });
            hook = onMessage_;
        }
        // The hook runs before the record counts as taken, so a waiter never sees a hook still running.
        if (hook) hook(*this, message);
        const auto& formatter = formatterOnQueue();
        PUSHLogFormatResult result =
            formatter ? formatter->formatLogMessage(*message) : PUSHLogFormatResult::original();
        std::lock_guard lock(mutex_);
        messages_.push_back(message);
        texts_.push_back(result.kind() == PUSHLogFormatResult::Kind::Drop ? "<dropped>"
                                                                          : result.textFor(*message));
        changed_.notify_all();
    }

    bool implementsFlush() const override { return true; }
    void flush() override {
        std::lock_guard lock(mutex_);
        ++flushes_;
    }

    // While held, logMessage waits inside the logger queue.
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        held_ = false;
        changed_.notify_all();
    }
    // Called on the logger queue for each record, before it is kept.
    void setOnMessage(std::function<void(CapturingLogger&, const PUSHLogMessagePtr&)> hook) {
        std::lock_guard lock(mutex_);
        onMessage_ = std::move(hook);
    }

    // Bounded waits: false when the count is not reached within `seconds`.
    bool waitForCount(size_t count, double seconds = 10) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return messages_.size() >= count; });
    }
    bool waitForEntered(size_t count, double seconds = 10) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return entered_ >= count; });
    }

    std::vector<PUSHLogMessagePtr> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    std::vector<std::string> texts() const {
        std::lock_guard lock(mutex_);
        return texts_;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return messages_.size();
    }
    int flushes() const {
        std::lock_guard lock(mutex_);
        return flushes_;
    }

  private:
    explicit CapturingLogger(std::string name) : PUSHAbstractLogger(std::move(name)) {}

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool held_ = false;
    size_t entered_ = 0;
    int flushes_ = 0;
    std::vector<PUSHLogMessagePtr> messages_;
    std::vector<std::string> texts_;
    std::function<void(CapturingLogger&, const PUSHLogMessagePtr&)> onMessage_;
};

class ThrowingLogger : public PUSHAbstractLogger {
  public:
    static std::shared_ptr<ThrowingLogger> create() {
        return std::shared_ptr<ThrowingLogger>(new ThrowingLogger());
    }
    void logMessage(const PUSHLogMessagePtr&) override { throw std::runtime_error("logger failed"); }
    bool implementsFlush() const override { return true; }
    void flush() override { throw 42; }

  private:
    ThrowingLogger() : PUSHAbstractLogger("test.throwing") {}
};

class ThrowingFormatter : public PUSHLogFormatter {
  public:
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage&) override {
        throw std::runtime_error("formatter failed");
    }
};
