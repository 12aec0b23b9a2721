// The log-file manager: owns the logs directory of a file logger, names and creates new log files, lists
// the existing ones (newest first) and deletes old ones so that at most a number of files and of bytes is
// kept.
//
// Files are named "<application name> <yyyy-MM-dd HH-mm in UTC>.log"; a name already taken gets " 2",
// " 3", ... before the extension. Every listing reads the directory afresh. Deletion runs after each new
// file and after each change of a limit (on the logging queue); it never removes a file that a logger has
// declared in use, nor the newest unarchived file, whatever the clocks say.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "pushlog/PUSHFailureReport.h"
#include "pushlog/PUSHLogFileInfo.h"

// A file's identity, which survives renames: the device and inode of an open descriptor.
struct PUSHLogFileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    static std::optional<PUSHLogFileIdentity> ofDescriptor(int fd);
    static std::optional<PUSHLogFileIdentity> ofPath(const std::string& path);
    auto operator<=>(const PUSHLogFileIdentity&) const = default;
};

class PUSHLogFileManager {
  public:
    virtual ~PUSHLogFileManager() = default;

    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<PUSHLogFileInfoPtr> unsortedLogFileInfos() = 0;
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    // Newest first.
    virtual std::vector<PUSHLogFileInfoPtr> sortedLogFileInfos() = 0;
    // Creates a new, empty log file and returns its path; "" when none could be created. With `error`
    // the reason goes to the caller, else to the developer console.
    virtual std::string createNewLogFile(NSErrorPtr* error = nullptr) = 0;

    virtual uint32_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(uint32_t count) = 0;
    virtual uint64_t logFilesDiskQuota() const = 0;
    virtual void setLogFilesDiskQuota(uint64_t bytes) = 0;

    // Told by the file logger; the default manager does nothing with them.
    virtual void didArchiveLogFile(const std::string& path) { (void)path; }
    virtual void didRollAndArchiveLogFile(const std::string& path) { (void)path; }

    // A logger writes to the file: it must not be deleted until the matching `endUsingLogFile`.
    virtual void beginUsingLogFile(const PUSHLogFileIdentity& file) { (void)file; }
    virtual void endUsingLogFile(const PUSHLogFileIdentity& file) { (void)file; }
};
using PUSHLogFileManagerPtr = std::shared_ptr<PUSHLogFileManager>;

class PUSHLogFileManagerDefault : public PUSHLogFileManager,
                                  public std::enable_shared_from_this<PUSHLogFileManagerDefault> {
  public:
    static inline constexpr uint32_t kDefaultMaximumNumberOfLogFiles = 5;
    static inline constexpr uint64_t kDefaultLogFilesDiskQuota = 20 * 1024 * 1024;

    // The default logs directory when `logsDirectory` is empty. `protectionLevel` is kept only when it is
    // one of the platform's four protection classes (the file system here has none to apply).
    static std::shared_ptr<PUSHLogFileManagerDefault> create(std::string logsDirectory = "",
                                                             std::string protectionLevel = "");

    // <caches directory>/PUSHLogs.
    static std::string defaultLogsDirectory();
    // The main bundle's identifier, else the process name; read once per process.
    static const std::string& applicationName();
    bool isLogFile(const std::string& fileName) const;
    // "yyyy-MM-dd HH-mm" in UTC, and back (minutes resolution; nothing for anything else).
    static std::string logFileDateString(Date date);
    static std::optional<Date> logFileDateFromString(const std::string& text);

    // Creates the directory when missing and returns its path in every case. A failure is printed when it
    // first happens, then at most once a minute while it lasts.
    std::string logsDirectory() override;
    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<PUSHLogFileInfoPtr> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<PUSHLogFileInfoPtr> sortedLogFileInfos() override;
    std::string newLogFileName() const;
    std::string createNewLogFile(NSErrorPtr* error = nullptr) override;
    void deleteOldLogFiles();

    // The setters delete old files (on the logging queue) only when the value changes.
    uint32_t maximumNumberOfLogFiles() const override { return maximumNumberOfLogFiles_.load(); }
    void setMaximumNumberOfLogFiles(uint32_t count) override;
    uint64_t logFilesDiskQuota() const override { return logFilesDiskQuota_.load(); }
    void setLogFilesDiskQuota(uint64_t bytes) override;

    void beginUsingLogFile(const PUSHLogFileIdentity& file) override;
    void endUsingLogFile(const PUSHLogFileIdentity& file) override;

    const std::string& defaultFileProtectionLevel() const { return defaultFileProtectionLevel_; }

  private:
    PUSHLogFileManagerDefault(std::string logsDirectory, std::string protectionLevel);

    bool ensureLogsDirectory(NSErrorPtr* error);
    // `keep` is a file just created, protected before any logger could declare it in use; `reserved` files
    // are about to be created and count against the limit.
    void deleteOldLogFiles(const std::optional<PUSHLogFileIdentity>& keep, uint32_t reserved);
    bool isInUse(const PUSHLogFileIdentity& file) const;
    void scheduleDeletion();

    std::string logsDirectory_;
    std::string defaultFileProtectionLevel_;
    std::atomic<uint32_t> maximumNumberOfLogFiles_{kDefaultMaximumNumberOfLogFiles};
    std::atomic<uint64_t> logFilesDiskQuota_{kDefaultLogFilesDiskQuota};
    PUSHFailureReport directoryFailures_;
    mutable std::mutex inUseMutex_;
    std::map<PUSHLogFileIdentity, int> filesInUse_;
};
