// The process-wide log registry.
//
// Loggers are registered with a level mask; a record reaches every logger whose mask shares a bit with the
// record's flag. Records pass through one serial logging queue ("push.logging") and then each matching
// logger's own serial queue. A synchronous log call returns once every matching logger has taken the
// record: with nothing queued ahead of it and at most one matching logger it enters that logger's queue
// alone; otherwise it enters the logging queue itself, after every record and step queued before it.
// An asynchronous one
// puts the record in a ring that one long-lived worker drains on the logging queue, in batches, each
// logger taking a batch in one visit to its queue. At most 1000 records are admitted and unfinished at a
// time; the next caller waits for a permit (`admissionStats` shows how many are in flight and how often a
// caller had to wait). Steps queued on the logging queue through the registry (registration, formatter
// and setting changes) come after every record admitted before them.
//
// Calls made on the logging queue or on a logger's queue never wait for those queues: a log call there is
// queued asynchronously without a permit, `flushLog` is queued, and getters read what is registered now. A
// logger or formatter that throws loses that record for that logger only (reported on the console).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/Value.h"
#include "pushlog/PUSHLogger.h"

// One registration: the logger, the queue it is called on and its level mask. Compared by identity.
class PUSHLoggerNode : public std::enable_shared_from_this<PUSHLoggerNode> {
  public:
    static std::shared_ptr<PUSHLoggerNode> nodeWithLogger(PUSHLoggerPtr logger, DispatchQueuePtr loggerQueue,
                                                          uint32_t level) {
        return std::shared_ptr<PUSHLoggerNode>(
            new PUSHLoggerNode(std::move(logger), std::move(loggerQueue), level));
    }
    const PUSHLoggerPtr& logger() const { return logger_; }
    const DispatchQueuePtr& loggerQueue() const { return loggerQueue_; }
    uint32_t level() const { return level_; }

  private:
    PUSHLoggerNode(PUSHLoggerPtr logger, DispatchQueuePtr queue, uint32_t level)
        : logger_(std::move(logger)), loggerQueue_(std::move(queue)), level_(level) {}
    PUSHLoggerPtr logger_;
    DispatchQueuePtr loggerQueue_;
    uint32_t level_;
};

struct PUSHLogAdmissionStats {
    size_t inFlight = 0;        // admitted records not yet finished
    size_t waitingCallers = 0;  // callers waiting for a permit now
    uint64_t blockedCalls = 0;  // calls that had to wait, since start
};

class PUSHLog {
  public:
    static inline constexpr long kMaxAdmittedRecords = 1000;

    static DispatchQueuePtr loggingQueue();
    // Run `block` on the logging queue after every record admitted before the call: asynchronously, or
    // waiting for it (never from the logging queue or a logger's queue).
    static void asyncOnLoggingQueue(std::function<void()> block);
    static void syncOnLoggingQueue(const std::function<void()>& block);
    static void applicationWillTerminate();

    // Registration, removal and their notices are asynchronous and keep their order.
    static void addLogger(const PUSHLoggerPtr& logger, uint32_t level = PUSHLogLevelAll);
    static void removeLogger(const PUSHLoggerPtr& logger);
    static void removeAllLoggers();
    static std::vector<PUSHLoggerPtr> allLoggers();

    static void queueLogMessage(const PUSHLogMessagePtr& message, bool asynchronously);
    // The log call: `format` (nullptr: nothing is logged) applied to `args` by NSString::format.
    static void log(bool asynchronous, uint32_t level, uint32_t flag, int32_t context, const char* file,
                    const char* function, uint32_t line, const Value& tag, const char* format,
                    std::initializer_list<Value> args);
    static void log(bool asynchronous, uint32_t level, uint32_t flag, int32_t context, const char* file,
                    const char* function, uint32_t line, const Value& tag, const char* format,
                    const std::vector<Value>& args);
    // A finished text.
    static void log(bool asynchronous, std::string message, uint32_t level, uint32_t flag, int32_t context,
                    const char* file, const char* function, uint32_t line, const Value& tag);
    // A record built by the caller.
    static void log(bool asynchronous, const PUSHLogMessagePtr& message);

    // Runs `flush` of every logger that has one, and returns when all have finished.
    static void flushLog();

    // Per-class levels: a class takes part by registering both of its level operations.
    static void registerClass(const std::string& className, std::function<uint32_t()> ddLogLevel,
                              std::function<void(uint32_t)> ddSetLogLevel);
    static bool isRegisteredClass(const std::string& className);
    static std::vector<std::string> registeredClassNames();
    static uint32_t levelForClass(const std::string& className);  // PUSHLogLevelAll when it takes no part
    static void setLevel(uint32_t level, const std::string& className);

    // Where the caller runs: the logging queue, or the queue of any logger.
    static bool isOnLoggingQueue();
    static bool isOnAnyLoggerQueue();
    // Marks `queue` as a logger's queue (the registry does this for every queue it calls a logger on).
    static void markLoggerQueue(const DispatchQueuePtr& queue);

    static PUSHLogAdmissionStats admissionStats();
    // The processor count that chooses between serial and parallel delivery (read from the host; tests
    // and embedders may set it; at least 1).
    static unsigned processorCount();
    static void setProcessorCount(unsigned count);

    PUSHLog() = delete;
};
