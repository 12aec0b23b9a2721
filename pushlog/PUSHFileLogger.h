// Writes log records to plain text files in the log-file manager's directory, one record per line, and rolls
// to a new file when the current one grows too large (checked after each write), grows too old (a one-shot
// timer on the platform clock), is deleted or renamed under it (a file watch), when asked, and when the
// logger is removed from the registry.
//
// Life of a record, on the logger's queue "push.logging.fileLogger":
//   1. format it (PUSHLogFileFormatterDefault unless another formatter is installed) and end it with "\n";
//   2. without an open file, choose one: the newest file when it may be continued (not archived, below
//      the size and age limits, `doNotReuseLogFiles` off), else a new file from the manager; open it with
//      O_APPEND, start the age timer and the file watch;
//   3. write the whole line in one call (partial writes and interruptions are retried), after a newline
//      when the file's last byte is not one (a record cut short by a crash); a write that fails part-way
//      is cut back out of the file, so no half line stays; then roll when the file has reached
//      `maximumFileSize` (counted, not asked of the file system).
// Deletion and renaming of the open file reach the logger through its file watch, which rolls it.
// Rolling marks the file archived through its descriptor, closes it and forgets it; the next record
// chooses afresh. A file that cannot be created or opened loses that record only: the next record tries
// again, and the failure is reported on the developer console at most once a minute.
//
// Destruction closes the file without archiving it, so that the next start may continue it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/DispatchQueue.h"
#include "pushlog/PUSHAbstractLogger.h"
#include "pushlog/PUSHFailureReport.h"
#include "pushlog/PUSHLogFileManager.h"

// "2016/03/01 08:05:09:007  text": local time, two spaces, the record's text.
class PUSHLogFileFormatterDefault : public PUSHLogFormatter {
  public:
    using DateFormatter = std::function<std::string(Date)>;
    // Without a date formatter: "yyyy/MM/dd HH:mm:ss:SSS" in local time.
    static std::shared_ptr<PUSHLogFileFormatterDefault> create(DateFormatter dateFormatter = nullptr);
    PUSHLogFormatResult formatLogMessage(const PUSHLogMessage& message) override;

  private:
    explicit PUSHLogFileFormatterDefault(DateFormatter dateFormatter)
        : dateFormatter_(std::move(dateFormatter)) {}
    DateFormatter dateFormatter_;
};

class PUSHFileLogger : public PUSHAbstractLogger {
  public:
    static inline constexpr uint64_t kDefaultMaximumFileSize = 1024 * 1024;
    static inline constexpr double kDefaultRollingFrequency = 60 * 60 * 24;

    // Without a manager: a PUSHLogFileManagerDefault over the default logs directory.
    static std::shared_ptr<PUSHFileLogger> create(PUSHLogFileManagerPtr logFileManager = nullptr);
    ~PUSHFileLogger() override;

    void logMessage(const PUSHLogMessagePtr& message) override;
    bool implementsWillRemoveLogger() const override { return true; }
    void willRemoveLogger() override;

    const PUSHLogFileManagerPtr& logFileManager() const { return logFileManager_; }

    // Settings kept in order with the records (see PUSHAbstractLogger). 0 switches rolling by size off;
    // a frequency of 0 or less switches rolling by age off.
    uint64_t maximumFileSize();
    void setMaximumFileSize(uint64_t bytes);
    double rollingFrequency();
    void setRollingFrequency(double seconds);

    // Read on the logger's queue without synchronisation: set them before the logger is registered.
    bool doNotReuseLogFiles() const { return doNotReuseLogFiles_; }
    void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_ = value; }
    bool automaticallyAppendNewlineForCustomFormatters() const { return automaticallyAppendNewline_; }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { automaticallyAppendNewline_ = value; }

    // Closes and archives the current file; `completion` (may be empty) then runs on the main queue.
    void rollLogFile(std::function<void()> completion = nullptr);

    // The file being written, for tests and tools; waits for the logger's queue.
    std::optional<std::string> currentLogFilePath();

    // Write failures since the process started (process-wide; the first ten are printed).
    static uint64_t writeFailureCount();

  private:
    explicit PUSHFileLogger(PUSHLogFileManagerPtr logFileManager);

    // All on the logger's queue.
    bool openCurrentFile();
    void chooseCurrentFile(NSErrorPtr* error);
    void rollLogFileNow();
    void closeCurrentFile();
    void maybeRollLogFileDueToSize(uint64_t fileSize);
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();
    void startFileWatch();
    double currentFileAge() const;
    void writeRecord(const std::string& bytes);
    void noteOpenFailure(const std::string& reason);
    void noteWriteFailure(const std::string& reason);

    std::weak_ptr<PUSHFileLogger> weakSelf();
    // A setting as the logger queue sees it once everything logged before has been written.
    template <class T>
    T readSetting(const T& field);
    // Sets `field` on the logger queue, after everything logged before, then runs `then` there so that the
    // current file can answer to the new value.
    template <class T, class Then>
    void changeSetting(T PUSHFileLogger::*field, T value, Then then);

    const PUSHLogFileManagerPtr logFileManager_;
    PUSHLogFileInfoPtr currentLogFileInfo_;
    int currentFd_ = -1;
    // Bytes in the current file as we wrote them (read once at open), and whether its last byte is not a
    // newline, so that the next record must begin with one.
    uint64_t currentSize_ = 0;
    bool pendingNewline_ = false;
    std::string line_;  // the bytes of one record, kept to reuse its buffer
    std::optional<PUSHLogFileIdentity> currentIdentity_;
    Date currentCreationDate_;
    std::shared_ptr<DispatchFileSource> currentLogFileVnode_;
    std::shared_ptr<DispatchTimerSource> rollingTimer_;
    uint64_t maximumFileSize_ = kDefaultMaximumFileSize;
    double rollingFrequency_ = kDefaultRollingFrequency;
    bool doNotReuseLogFiles_ = false;
    bool automaticallyAppendNewline_ = true;
    PUSHFailureReport openFailures_;
};
