#include "pushlog/PUSHAbstractDatabaseLogger.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Clock.h"

namespace {

// Timer sources take their delays as seconds of clock time; longer ones are never reached and would only
// overflow the clock's arithmetic.
constexpr double kLongestTimerSeconds = 1e9;

double timerSeconds(double seconds) {
    return std::min(seconds, kLongestTimerSeconds);
}

// "Less than or greater than": equal values, and anything compared with NaN, are no change.
bool changes(double from, double to) {
    return from < to || from > to;
}

}  // namespace

PUSHAbstractDatabaseLogger::PUSHAbstractDatabaseLogger(std::string loggerName)
    : PUSHAbstractLogger(std::move(loggerName)) {}

PUSHAbstractDatabaseLogger::~PUSHAbstractDatabaseLogger() {
    destroySaveTimer();
    destroyDeleteTimer();
}

std::weak_ptr<PUSHAbstractDatabaseLogger> PUSHAbstractDatabaseLogger::weakSelf() {
    return std::static_pointer_cast<PUSHAbstractDatabaseLogger>(shared_from_this());
}

bool PUSHAbstractDatabaseLogger::db_log(const PUSHLogMessagePtr&) {
    return false;
}
void PUSHAbstractDatabaseLogger::db_save() {}
void PUSHAbstractDatabaseLogger::db_delete() {}
void PUSHAbstractDatabaseLogger::db_saveAndDelete() {}

// ---- Committing and deleting

void PUSHAbstractDatabaseLogger::performSaveAndSuspendSaveTimer() {
    if (unsavedCount_ > 0) {
        // With deletion switched off (maxAge 0 or less) nothing is deleted, whatever deleteOnEverySave says.
        if (deleteOnEverySave_ && maxAge_ > 0) {
            db_saveAndDelete();
        } else {
            db_save();
        }
    }
    unsavedCount_ = 0;
    unsavedTime_.reset();
    if (saveTimer_ && !saveTimerSuspended_) {
        saveTimer_->suspend();
        saveTimerSuspended_ = true;
    }
}

void PUSHAbstractDatabaseLogger::performDelete() {
    if (maxAge_ > 0) {
        db_delete();
        lastDeleteTime_ = Clock::monotonic();
    }
}

void PUSHAbstractDatabaseLogger::logMessage(const PUSHLogMessagePtr& message) {
    if (!db_log(message)) return;
    ++unsavedCount_;
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) {
        performSaveAndSuspendSaveTimer();
    } else if (unsavedCount_ == 1) {
        unsavedTime_ = Clock::monotonic();
        updateAndResumeSaveTimer();
    }
}

void PUSHAbstractDatabaseLogger::didAddLogger() {
    createSuspendedSaveTimer();
    createAndStartDeleteTimer();
}

void PUSHAbstractDatabaseLogger::willRemoveLogger() {
    performSaveAndSuspendSaveTimer();
    destroySaveTimer();
    destroyDeleteTimer();
}

void PUSHAbstractDatabaseLogger::flush() {
    performSaveAndSuspendSaveTimer();
}

void PUSHAbstractDatabaseLogger::savePendingLogEntries() {
    if (isOnInternalLoggerQueue()) {
        performSaveAndSuspendSaveTimer();
        return;
    }
    loggerQueue()->async([self = shared_from_this(), this] { performSaveAndSuspendSaveTimer(); });
}

void PUSHAbstractDatabaseLogger::deleteOldLogEntries() {
    if (isOnInternalLoggerQueue()) {
        performDelete();
        return;
    }
    loggerQueue()->async([self = shared_from_this(), this] { performDelete(); });
}

// ---- Save timer

void PUSHAbstractDatabaseLogger::createSuspendedSaveTimer() {
    if (saveTimer_ || !(saveInterval_ > 0)) return;
    saveTimer_ = DispatchTimerSource::create(loggerQueue());
    saveTimer_->setEventHandler([weak = weakSelf()] {
        if (auto self = weak.lock()) self->performSaveAndSuspendSaveTimer();
    });
    saveTimerSuspended_ = true;
}

void PUSHAbstractDatabaseLogger::updateAndResumeSaveTimer() {
    if (!saveTimer_ || !(saveInterval_ > 0) || !unsavedTime_) return;
    const double interval = timerSeconds(saveInterval_);
    saveTimer_->setTimer(*unsavedTime_ + interval - Clock::monotonic(), interval, 1e-9);
    if (saveTimerSuspended_) {
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
}

void PUSHAbstractDatabaseLogger::destroySaveTimer() {
    if (!saveTimer_) return;
    saveTimer_->cancel();
    if (saveTimerSuspended_) {
        // A suspended source is resumed before it is let go.
        saveTimer_->resume();
        saveTimerSuspended_ = false;
    }
    saveTimer_.reset();
}

// ---- Delete timer

void PUSHAbstractDatabaseLogger::createAndStartDeleteTimer() {
    if (deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
    deleteTimer_ = DispatchTimerSource::create(loggerQueue());
    if (!deleteTimer_) return;
    deleteTimer_->setEventHandler([weak = weakSelf()] {
        if (auto self = weak.lock()) self->performDelete();
    });
    updateDeleteTimer();
    deleteTimer_->resume();
}

void PUSHAbstractDatabaseLogger::updateDeleteTimer() {
    if (!deleteTimer_ || !(deleteInterval_ > 0) || !(maxAge_ > 0)) return;
    const double interval = timerSeconds(deleteInterval_);
    const double start = lastDeleteTime_ ? *lastDeleteTime_ + interval : Clock::monotonic() + interval;
    deleteTimer_->setTimer(start - Clock::monotonic(), interval, 1e-9);
}

void PUSHAbstractDatabaseLogger::destroyDeleteTimer() {
    if (!deleteTimer_) return;
    deleteTimer_->cancel();
    deleteTimer_.reset();
}

// ---- Settings

template <class T>
T PUSHAbstractDatabaseLogger::read(const T& field) {
    T value{};
    readInOrder([&] { value = field; });
    return value;
}

unsigned PUSHAbstractDatabaseLogger::saveThreshold() {
    return read(saveThreshold_);
}
double PUSHAbstractDatabaseLogger::saveInterval() {
    return read(saveInterval_);
}
double PUSHAbstractDatabaseLogger::maxAge() {
    return read(maxAge_);
}
double PUSHAbstractDatabaseLogger::deleteInterval() {
    return read(deleteInterval_);
}
bool PUSHAbstractDatabaseLogger::deleteOnEverySave() {
    return read(deleteOnEverySave_);
}

void PUSHAbstractDatabaseLogger::setSaveThreshold(unsigned threshold) {
    runInOrder(RunHere::WhenOnLoggerQueue,
               [self = shared_from_this(), this, threshold] { changeSaveThreshold(threshold); });
}
void PUSHAbstractDatabaseLogger::setSaveInterval(double interval) {
    runInOrder(RunHere::WhenOnLoggerQueue,
               [self = shared_from_this(), this, interval] { changeSaveInterval(interval); });
}
void PUSHAbstractDatabaseLogger::setMaxAge(double age) {
    runInOrder(RunHere::WhenOnLoggerQueue, [self = shared_from_this(), this, age] { changeMaxAge(age); });
}
void PUSHAbstractDatabaseLogger::setDeleteInterval(double interval) {
    runInOrder(RunHere::WhenOnLoggerQueue,
               [self = shared_from_this(), this, interval] { changeDeleteInterval(interval); });
}
void PUSHAbstractDatabaseLogger::setDeleteOnEverySave(bool flag) {
    runInOrder(RunHere::WhenOnLoggerQueue, [self = shared_from_this(), this, flag] {
        std::lock_guard lock(stateMutex());
        deleteOnEverySave_ = flag;
    });
}

void PUSHAbstractDatabaseLogger::changeSaveThreshold(unsigned threshold) {
    if (threshold != saveThreshold_) {
        std::lock_guard lock(stateMutex());
        saveThreshold_ = threshold;
    }
    if (saveThreshold_ > 0 && unsavedCount_ >= saveThreshold_) performSaveAndSuspendSaveTimer();
}

void PUSHAbstractDatabaseLogger::changeSaveInterval(double interval) {
    if (!changes(saveInterval_, interval)) return;
    {
        std::lock_guard lock(stateMutex());
        saveInterval_ = interval;
    }
    if (saveInterval_ > 0) {
        createSuspendedSaveTimer();
        updateAndResumeSaveTimer();
    } else {
        destroySaveTimer();
    }
}

void PUSHAbstractDatabaseLogger::changeMaxAge(double age) {
    if (!changes(maxAge_, age)) return;
    const double old = maxAge_;
    {
        std::lock_guard lock(stateMutex());
        maxAge_ = age;
    }
    if (old > 0 && !(age > 0)) {
        destroyDeleteTimer();
    } else if (age > 0 && (!(old > 0) || age < old)) {
        performDelete();
        if (deleteTimer_) {
            updateDeleteTimer();
        } else {
            createAndStartDeleteTimer();
        }
    }
    // A larger age leaves the delete timer as it is.
}

void PUSHAbstractDatabaseLogger::changeDeleteInterval(double interval) {
    if (!changes(deleteInterval_, interval)) return;
    {
        std::lock_guard lock(stateMutex());
        deleteInterval_ = interval;
    }
    if (deleteInterval_ > 0) {
        if (deleteTimer_) {
            updateDeleteTimer();
        } else {
            createAndStartDeleteTimer();
        }
    } else {
        destroyDeleteTimer();
    }
}
