// A logger base for stores that take records in batches, such as a database.
//
// A subclass supplies the store through four operations, all called on the logger queue: `db_log` takes one
// record into the pending batch (false: not taken), `db_save` commits the batch, `db_delete` removes entries
// older than `maxAge`, and `db_saveAndDelete` does both at once. The base counts the records taken and not
// yet committed, and commits them
//   - as soon as `saveThreshold` of them are pending (0: never by count),
//   - `saveInterval` seconds after the first of them arrived (0 or less: never by time),
//   - on `flush` (which the registry also runs when the application terminates), on
//     `savePendingLogEntries` and when the logger is removed from the registry.
// Every `deleteInterval` seconds it asks the subclass to delete old entries, as long as `maxAge` is above 0.
// Both timers are timer sources on the logger queue, on the platform clock; the save timer is suspended
// while nothing is pending, and both are created when the logger is registered and destroyed when it is
// removed or destroyed.
//
// The five settings follow the logging framework's rule: a setter called on the logger queue acts at once,
// otherwise it is passed through the logging queue and then the logger queue, keeping its order with the
// records logged before it; a getter waits for both queues (on one of the registry's queues it reads the
// value now set instead). Intervals and ages that are not numbers are ignored.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "pushlog/PUSHAbstractLogger.h"

class PUSHAbstractDatabaseLogger : public PUSHAbstractLogger {
  public:
    ~PUSHAbstractDatabaseLogger() override;

    // Template operations; the base takes nothing and stores nothing.
    virtual bool db_log(const PUSHLogMessagePtr& message);
    virtual void db_save();
    // Called only while `maxAge` is above 0.
    virtual void db_delete();
    // Used instead of `db_save` when `deleteOnEverySave` is set (and `maxAge` is above 0).
    virtual void db_saveAndDelete();

    void logMessage(const PUSHLogMessagePtr& message) override;
    bool implementsDidAddLogger() const override { return true; }
    void didAddLogger() override;
    bool implementsWillRemoveLogger() const override { return true; }
    void willRemoveLogger() override;
    bool implementsFlush() const override { return true; }
    void flush() override;

    void savePendingLogEntries();
    void deleteOldLogEntries();

    unsigned saveThreshold();
    void setSaveThreshold(unsigned threshold);
    double saveInterval();
    void setSaveInterval(double interval);
    double maxAge();
    void setMaxAge(double age);
    double deleteInterval();
    void setDeleteInterval(double interval);
    bool deleteOnEverySave();
    void setDeleteOnEverySave(bool flag);

  protected:
    explicit PUSHAbstractDatabaseLogger(std::string loggerName = "PUSHAbstractDatabaseLogger");

  private:
    // All of these run on the logger queue.
    void performSaveAndSuspendSaveTimer();
    void performDelete();
    void createSuspendedSaveTimer();
    void updateAndResumeSaveTimer();
    void destroySaveTimer();
    void createAndStartDeleteTimer();
    void updateDeleteTimer();
    void destroyDeleteTimer();
    void changeSaveThreshold(unsigned threshold);
    void changeSaveInterval(double interval);
    void changeMaxAge(double age);
    void changeDeleteInterval(double interval);
    std::weak_ptr<PUSHAbstractDatabaseLogger> weakSelf();

    template <class T>
    T read(const T& field);

    // The settings are written on the logger queue under stateMutex() and read through readInOrder.
    unsigned saveThreshold_ = 500;
    double saveInterval_ = 60.0;
    double maxAge_ = 604800.0;
    double deleteInterval_ = 300.0;
    bool deleteOnEverySave_ = false;

    // Only on the logger queue. Times are on the platform clock's monotonic scale.
    bool saveTimerSuspended_ = false;
    unsigned unsavedCount_ = 0;
    std::optional<double> unsavedTime_;
    std::shared_ptr<DispatchTimerSource> saveTimer_;
    std::optional<double> lastDeleteTime_;
    std::shared_ptr<DispatchTimerSource> deleteTimer_;
};
