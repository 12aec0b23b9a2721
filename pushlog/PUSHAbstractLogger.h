// Base of the loggers: its own serial queue (labelled with the logger's name) and a formatter.
//
// The formatter is changed asynchronously, through the logging queue and then the logger queue, so that a
// formatter set before a log call applies to that call's record and to every later one. Subclasses read it
// on the logger queue with `formatterOnQueue()`.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "pushlog/PUSHLogger.h"

class PUSHAbstractLogger : public PUSHLogger, public std::enable_shared_from_this<PUSHAbstractLogger> {
  public:
    ~PUSHAbstractLogger() override;

    void logMessage(const PUSHLogMessagePtr& message) override;

    // Waits for the logging queue and the logger queue, unless called on one of the registry's queues: then
    // it answers with the formatter installed now.
    PUSHLogFormatterPtr logFormatter() override;
    void setLogFormatter(PUSHLogFormatterPtr formatter) override;

    DispatchQueuePtr loggerQueue() const override;
    void setLoggerQueue(DispatchQueuePtr queue);
    std::string loggerName() const override { return loggerName_; }

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;

  protected:
    explicit PUSHAbstractLogger(std::string loggerName);

    // Only on the logger queue.
    const PUSHLogFormatterPtr& formatterOnQueue() const { return formatter_; }

    // Runs `block` on the logger queue after everything queued through the logging queue before it: at once
    // when the caller is on the logger queue (`RunHere::WhenOnLoggerQueue`), else through both queues.
    enum class RunHere { WhenOnLoggerQueue, Never };
    void runInOrder(RunHere runHere, std::function<void()> block);
    // Runs `block` on the logger queue and waits; when waiting could deadlock, runs it under `mutex`
    // instead, which the logger-queue writers of the value hold too.
    void readInOrder(const std::function<void()>& block);
    std::mutex& stateMutex() const { return stateMutex_; }

  private:
    void installFormatter(PUSHLogFormatterPtr formatter);

    std::string loggerName_;
    mutable std::mutex queueMutex_;
    DispatchQueuePtr loggerQueue_;
    PUSHLogFormatterPtr formatter_;
    mutable std::mutex stateMutex_;
};
