#include "pushlog/PUSHLog.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>

#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Process.h"

namespace {

char kLoggingQueueKey;
char kLoggerQueueKey;

struct Registry {
    // Changed only on the logging queue, which also reads it without a lock; `listMutex` guards the
    // reads of callers that may not wait for the logging queue.
    std::vector<std::shared_ptr<PUSHLoggerNode>> loggers;
    std::mutex listMutex;
    DispatchQueuePtr loggingQueue;
    std::shared_ptr<DispatchGroup> group;
    std::shared_ptr<DispatchSemaphore> admission;
    std::atomic<unsigned> processors{1};
    std::atomic<size_t> inFlight{0};
    std::atomic<size_t> waiting{0};
    std::atomic<uint64_t> blocked{0};

    struct LevelClass {
        std::function<uint32_t()> get;
        std::function<void(uint32_t)> set;
    };
    std::mutex classMutex;
    std::vector<std::pair<std::string, LevelClass>> classes;
};

Registry& registry() {
    // Lives until the process ends; never destroyed, so that logging from exit handlers is safe.
    static Registry* state = [] {
        auto* r = new Registry;
        r->loggers.reserve(4);
        r->loggingQueue = DispatchQueue::serial("push.logging");
        r->group = DispatchGroup::create();
        r->loggingQueue->setSpecific(&kLoggingQueueKey, &kLoggingQueueKey);
        r->admission = DispatchSemaphore::create(PUSHLog::kMaxAdmittedRecords);
        r->processors = std::max(1u, ProcessInfo::processorCount());
        NSNotificationCenter::defaultCenter().addObserver(UIApplicationWillTerminateNotification, nullptr, nullptr,
                                                          [](const NSNotification&) {
                                                              PUSHLog::applicationWillTerminate();
                                                          });
        return r;
    }();
    return *state;
}

bool mayNotWait() { return PUSHLog::isOnLoggingQueue() || PUSHLog::isOnAnyLoggerQueue(); }

// Runs one call into a logger; whatever it throws stays here.
template <class F>
void guarded(const PUSHLogger& logger, const char* what, F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        NSLog("PUSHLog: logger \"" + logger.loggerName() + "\" threw from " + what + ": " + e.what());
    } catch (...) {
        NSLog("PUSHLog: logger \"" + logger.loggerName() + "\" threw from " + what);
    }
}

void ltLog(Registry& r, const PUSHLogMessagePtr& message) {
    const uint32_t flag = message->flag();
    if (r.processors.load(std::memory_order_relaxed) < 2) {
        for (const auto& node : r.loggers) {
            if ((node->level() & flag) == 0) continue;
            node->loggerQueue()->sync([&] { guarded(*node->logger(), "logMessage", [&] { node->logger()->logMessage(message); }); });
        }
        return;
    }
    // Every matching logger but the last runs on its queue in the group; the last runs on its queue from
    // this thread (a synchronous call takes the queue without a thread hop), in parallel with the others.
    const PUSHLoggerNode* last = nullptr;
    bool grouped = false;
    for (const auto& node : r.loggers) {
        if ((node->level() & flag) == 0) continue;
        if (last) {
            grouped = true;
            r.group->async(last->loggerQueue(), [node = last->shared_from_this(), message] {
                guarded(*node->logger(), "logMessage", [&] { node->logger()->logMessage(message); });
            });
        }
        last = node.get();
    }
    if (last) {
        last->loggerQueue()->sync([&] { guarded(*last->logger(), "logMessage", [&] { last->logger()->logMessage(message); }); });
    }
    if (grouped) r.group->wait(-1);
}

void ltFlush(Registry& r) {
    bool any = false;
    for (const auto& node : r.loggers) {
        if (!node->logger()->implementsFlush()) continue;
        any = true;
        r.group->async(node->loggerQueue(), [node] { guarded(*node->logger(), "flush", [&] { node->logger()->flush(); }); });
    }
    if (any) r.group->wait(-1);
}

void ltAddLogger(Registry& r, const PUSHLoggerPtr& logger, uint32_t level) {
    DispatchQueuePtr queue = logger->loggerQueue();
    if (!queue) queue = DispatchQueue::serial(logger->loggerName());
    PUSHLog::markLoggerQueue(queue);
    auto node = PUSHLoggerNode::nodeWithLogger(logger, queue, level);
    {
        std::lock_guard lock(r.listMutex);
        r.loggers.push_back(node);
    }
    if (logger->implementsDidAddLogger()) {
        queue->async([logger] { guarded(*logger, "didAddLogger", [&] { logger->didAddLogger(); }); });
    }
}

void noticeRemoval(const std::shared_ptr<PUSHLoggerNode>& node) {
    if (!node->logger()->implementsWillRemoveLogger()) return;
    auto logger = node->logger();
    node->loggerQueue()->async([logger] { guarded(*logger, "willRemoveLogger", [&] { logger->willRemoveLogger(); }); });
}

void ltRemoveLogger(Registry& r, const PUSHLoggerPtr& logger) {
    auto it = std::find_if(r.loggers.begin(), r.loggers.end(), [&](const auto& node) { return node->logger() == logger; });
    if (it == r.loggers.end()) return;
    noticeRemoval(*it);
    std::lock_guard lock(r.listMutex);
    r.loggers.erase(it);
}

void ltRemoveAllLoggers(Registry& r) {
    for (const auto& node : r.loggers) noticeRemoval(node);
    std::lock_guard lock(r.listMutex);
    r.loggers.clear();
}

std::vector<PUSHLoggerPtr> loggersOf(const std::vector<std::shared_ptr<PUSHLoggerNode>>& nodes) {
    std::vector<PUSHLoggerPtr> out;
    out.reserve(nodes.size());
    for (const auto& node : nodes) out.push_back(node->logger());
    return out;
}

// Gives the permit back when the step ends, whatever happens inside it.
struct Permit {
    Registry& r;
    ~Permit() {
        r.inFlight.fetch_sub(1, std::memory_order_relaxed);
        r.admission->signal();
    }
};

void takePermit(Registry& r) {
    if (!r.admission->wait(0)) {
        r.blocked.fetch_add(1, std::memory_order_relaxed);
        r.waiting.fetch_add(1);
        r.admission->wait(-1);
        r.waiting.fetch_sub(1);
    }
    r.inFlight.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

DispatchQueuePtr PUSHLog::loggingQueue() { return registry().loggingQueue; }

void PUSHLog::applicationWillTerminate() { flushLog(); }

void PUSHLog::addLogger(const PUSHLoggerPtr& logger, uint32_t level) {
    if (!logger) return;
    Registry& r = registry();
    r.loggingQueue->async([&r, logger, level] { ltAddLogger(r, logger, level); });
}

void PUSHLog::removeLogger(const PUSHLoggerPtr& logger) {
    if (!logger) return;
    Registry& r = registry();
    r.loggingQueue->async([&r, logger] { ltRemoveLogger(r, logger); });
}

void PUSHLog::removeAllLoggers() {
    Registry& r = registry();
    r.loggingQueue->async([&r] { ltRemoveAllLoggers(r); });
}

std::vector<PUSHLoggerPtr> PUSHLog::allLoggers() {
    Registry& r = registry();
    if (isOnLoggingQueue()) return loggersOf(r.loggers);
    if (isOnAnyLoggerQueue()) {
        std::lock_guard lock(r.listMutex);
        return loggersOf(r.loggers);
    }
    std::vector<PUSHLoggerPtr> result;
    r.loggingQueue->sync([&] { result = loggersOf(r.loggers); });
    return result;
}

void PUSHLog::queueLogMessage(const PUSHLogMessagePtr& message, bool asynchronously) {
    if (!message) return;
    Registry& r = registry();
    if (mayNotWait()) {
        // A logger (or the registry itself) logging: waiting here could wait for ourselves, and a permit
        // could be one that only we would give back.
        r.loggingQueue->async([&r, message] { ltLog(r, message); });
        return;
    }
    takePermit(r);
    auto step = [&r, message] {
        Permit permit{r};
        ltLog(r, message);
    };
    if (asynchronously) {
        r.loggingQueue->async(step);
    } else {
        r.loggingQueue->sync(step);
    }
}

void PUSHLog::log(bool asynchronous, uint32_t level, uint32_t flag, int32_t context, const char* file,
                  const char* function, uint32_t line, const Value& tag, const char* format,
                  std::initializer_list<Value> args) {
    if (!format) return;
    log(asynchronous, NSString::format(format, args), level, flag, context, file, function, line, tag);
}

void PUSHLog::log(bool asynchronous, uint32_t level, uint32_t flag, int32_t context, const char* file,
                  const char* function, uint32_t line, const Value& tag, const char* format,
                  const std::vector<Value>& args) {
    if (!format) return;
    log(asynchronous, NSString::format(format, args), level, flag, context, file, function, line, tag);
}

void PUSHLog::log(bool asynchronous, std::string message, uint32_t level, uint32_t flag, int32_t context,
                  const char* file, const char* function, uint32_t line, const Value& tag) {
    auto record = PUSHLogMessage::create(std::move(message), level, flag, context, file ? file : "",
                                         function ? function : "", line, tag);
    queueLogMessage(record, asynchronous);
}

void PUSHLog::log(bool asynchronous, const PUSHLogMessagePtr& message) { queueLogMessage(message, asynchronous); }

void PUSHLog::flushLog() {
    Registry& r = registry();
    if (mayNotWait()) {
        r.loggingQueue->async([&r] { ltFlush(r); });
        return;
    }
    r.loggingQueue->sync([&r] { ltFlush(r); });
}

void PUSHLog::registerClass(const std::string& className, std::function<uint32_t()> ddLogLevel,
                            std::function<void(uint32_t)> ddSetLogLevel) {
    if (className.empty() || !ddLogLevel || !ddSetLogLevel) return;
    Registry& r = registry();
    std::lock_guard lock(r.classMutex);
    for (auto& [name, ops] : r.classes) {
        if (name == className) {
            ops = {std::move(ddLogLevel), std::move(ddSetLogLevel)};
            return;
        }
    }
    r.classes.push_back({className, {std::move(ddLogLevel), std::move(ddSetLogLevel)}});
}

bool PUSHLog::isRegisteredClass(const std::string& className) {
    Registry& r = registry();
    std::lock_guard lock(r.classMutex);
    return std::any_of(r.classes.begin(), r.classes.end(), [&](const auto& c) { return c.first == className; });
}

std::vector<std::string> PUSHLog::registeredClassNames() {
    Registry& r = registry();
    std::lock_guard lock(r.classMutex);
    std::vector<std::string> names;
    for (const auto& c : r.classes) names.push_back(c.first);
    return names;
}

uint32_t PUSHLog::levelForClass(const std::string& className) {
    Registry& r = registry();
    std::function<uint32_t()> get;
    {
        std::lock_guard lock(r.classMutex);
        for (const auto& c : r.classes) {
            if (c.first == className) get = c.second.get;
        }
    }
    return get ? get() : PUSHLogLevelAll;
}

void PUSHLog::setLevel(uint32_t level, const std::string& className) {
    Registry& r = registry();
    std::function<void(uint32_t)> set;
    {
        std::lock_guard lock(r.classMutex);
        for (const auto& c : r.classes) {
            if (c.first == className) set = c.second.set;
        }
    }
    if (set) set(level);
}

bool PUSHLog::isOnLoggingQueue() { return DispatchQueue::getSpecific(&kLoggingQueueKey) != nullptr; }
bool PUSHLog::isOnAnyLoggerQueue() { return DispatchQueue::getSpecific(&kLoggerQueueKey) != nullptr; }
void PUSHLog::markLoggerQueue(const DispatchQueuePtr& queue) {
    if (queue) queue->setSpecific(&kLoggerQueueKey, &kLoggerQueueKey);
}

PUSHLogAdmissionStats PUSHLog::admissionStats() {
    Registry& r = registry();
    return {r.inFlight.load(), r.waiting.load(), r.blocked.load()};
}

unsigned PUSHLog::processorCount() { return registry().processors.load(); }
void PUSHLog::setProcessorCount(unsigned count) { registry().processors = std::max(1u, count); }
