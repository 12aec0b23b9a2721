#include "pushlog/PUSHAbstractLogger.h"

#include "platform/foundation/Console.h"
#include "pushlog/PUSHLog.h"

namespace {

template <class F>
void noticeFormatter(const char* what, F&& call) {
    try {
        call();
    } catch (const std::exception& e) {
        NSLog(std::string("PUSHAbstractLogger: formatter threw from ") + what + ": " + e.what());
    } catch (...) {
        NSLog(std::string("PUSHAbstractLogger: formatter threw from ") + what);
    }
}

}  // namespace

PUSHAbstractLogger::PUSHAbstractLogger(std::string loggerName)
    : loggerName_(std::move(loggerName)), loggerQueue_(DispatchQueue::serial(loggerName_)) {
    loggerQueue_->setSpecific(this, this);
    PUSHLog::markLoggerQueue(loggerQueue_);
}

PUSHAbstractLogger::~PUSHAbstractLogger() {
    std::lock_guard lock(queueMutex_);
    if (loggerQueue_) loggerQueue_->setSpecific(this, nullptr);
}

void PUSHAbstractLogger::logMessage(const PUSHLogMessagePtr&) {}

DispatchQueuePtr PUSHAbstractLogger::loggerQueue() const {
    std::lock_guard lock(queueMutex_);
    return loggerQueue_;
}

void PUSHAbstractLogger::setLoggerQueue(DispatchQueuePtr queue) {
    if (!queue) return;
    std::lock_guard lock(queueMutex_);
    if (loggerQueue_) loggerQueue_->setSpecific(this, nullptr);
    loggerQueue_ = std::move(queue);
    loggerQueue_->setSpecific(this, this);
    PUSHLog::markLoggerQueue(loggerQueue_);
}

bool PUSHAbstractLogger::isOnGlobalLoggingQueue() const {
    return PUSHLog::isOnLoggingQueue();
}

bool PUSHAbstractLogger::isOnInternalLoggerQueue() const {
    return DispatchQueue::getSpecific(this) != nullptr;
}

void PUSHAbstractLogger::runInOrder(RunHere runHere, std::function<void()> block) {
    if (runHere == RunHere::WhenOnLoggerQueue && isOnInternalLoggerQueue()) {
        block();
        return;
    }
    auto self = shared_from_this();
    PUSHLog::asyncOnLoggingQueue([self, block = std::move(block)] { self->loggerQueue()->async(block); });
}

void PUSHAbstractLogger::readInOrder(const std::function<void()>& block) {
    if (isOnInternalLoggerQueue()) {
        block();
        return;
    }
    if (PUSHLog::isOnLoggingQueue() || PUSHLog::isOnAnyLoggerQueue()) {
        std::lock_guard lock(stateMutex_);
        block();
        return;
    }
    PUSHLog::syncOnLoggingQueue([&] { loggerQueue()->sync(block); });
}

PUSHLogFormatterPtr PUSHAbstractLogger::logFormatter() {
    PUSHLogFormatterPtr result;
    readInOrder([&] { result = formatter_; });
    return result;
}

void PUSHAbstractLogger::setLogFormatter(PUSHLogFormatterPtr formatter) {
    auto self = shared_from_this();
    runInOrder(RunHere::Never,
               [self, formatter = std::move(formatter)] { self->installFormatter(formatter); });
}

void PUSHAbstractLogger::installFormatter(PUSHLogFormatterPtr formatter) {
    if (formatter == formatter_) return;
    if (formatter_) noticeFormatter("willRemoveFromLogger", [&] { formatter_->willRemoveFromLogger(*this); });
    {
        std::lock_guard lock(stateMutex_);
        formatter_ = formatter;
    }
    if (formatter) noticeFormatter("didAddToLogger", [&] { formatter->didAddToLogger(*this); });
}
