#include "pushlog/PUSHFileLogger.h"

#include "pushlog/PUSHLocalTime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "pushlog/PUSHLog.h"

namespace {

// The age timer never waits longer than this; when it fires early the age is checked and it is set again.
constexpr double kMaximumTimerDelay = 7 * 24 * 60 * 60;
constexpr uint64_t kPrintedWriteFailures = 10;

std::atomic<uint64_t> writeFailures{0};

// "yyyy/MM/dd HH:mm:ss:SSS" in local time, the text of the second kept per thread.
std::string localDateString(Date date) {
    thread_local PUSHLocalTimeFormatter formatter("%Y/%m/%d %H:%M:%S", ':');
    return formatter.format(date);
}

// Writes all of `text`, retrying partial writes and interruptions. Empty on success, else the reason;
// `written` tells how many bytes reached the file either way.
std::string writeAll(int fd, const std::string& text, size_t& written) {
    written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::strerror(errno);
        }
        if (n == 0) return "the file takes no more bytes";
        written += size_t(n);
    }
    return "";
}

}  // namespace

std::shared_ptr<PUSHLogFileFormatterDefault> PUSHLogFileFormatterDefault::create(
    DateFormatter dateFormatter) {
    return std::shared_ptr<PUSHLogFileFormatterDefault>(
        new PUSHLogFileFormatterDefault(dateFormatter ? std::move(dateFormatter) : localDateString));
}

PUSHLogFormatResult PUSHLogFileFormatterDefault::formatLogMessage(const PUSHLogMessage& message) {
    return PUSHLogFormatResult::text(
        NSString::format("%@  %@", {dateFormatter_(message.timestamp()), message.message()}));
}

PUSHFileLogger::PUSHFileLogger(PUSHLogFileManagerPtr logFileManager)
    : PUSHAbstractLogger("push.logging.fileLogger"), logFileManager_(std::move(logFileManager)) {}

std::shared_ptr<PUSHFileLogger> PUSHFileLogger::create(PUSHLogFileManagerPtr logFileManager) {
    if (!logFileManager) logFileManager = PUSHLogFileManagerDefault::create();
    auto logger = std::shared_ptr<PUSHFileLogger>(new PUSHFileLogger(std::move(logFileManager)));
    // Through the queues, so that a formatter the caller installs right away replaces it in order.
    logger->setLogFormatter(PUSHLogFileFormatterDefault::create());
    return logger;
}

PUSHFileLogger::~PUSHFileLogger() {
    // Not archived: the next start may continue the file.
    if (currentLogFileVnode_) currentLogFileVnode_->cancel();
    if (rollingTimer_) rollingTimer_->cancel();
    if (currentFd_ >= 0) {
        ::close(currentFd_);
        if (currentIdentity_) logFileManager_->endUsingLogFile(*currentIdentity_);
    }
}

std::weak_ptr<PUSHFileLogger> PUSHFileLogger::weakSelf() {
    return std::static_pointer_cast<PUSHFileLogger>(shared_from_this());
}

uint64_t PUSHFileLogger::writeFailureCount() {
    return writeFailures.load();
}

template <class T>
T PUSHFileLogger::readSetting(const T& field) {
    T value{};
    readInOrder([&] { value = field; });
    return value;
}

template <class T, class Then>
void PUSHFileLogger::changeSetting(T PUSHFileLogger::*field, T value, Then then) {
    runInOrder(RunHere::WhenOnLoggerQueue, [weak = weakSelf(), field, value, then] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->stateMutex());
            (*self).*field = value;
        }
        then(*self);
    });
}

uint64_t PUSHFileLogger::maximumFileSize() {
    return readSetting(maximumFileSize_);
}

void PUSHFileLogger::setMaximumFileSize(uint64_t bytes) {
    changeSetting(&PUSHFileLogger::maximumFileSize_, bytes, [](PUSHFileLogger& self) {
        if (self.currentFd_ >= 0) self.maybeRollLogFileDueToSize(self.currentSize_);
    });
}

double PUSHFileLogger::rollingFrequency() {
    return readSetting(rollingFrequency_);
}

void PUSHFileLogger::setRollingFrequency(double seconds) {
    changeSetting(&PUSHFileLogger::rollingFrequency_, seconds,
                  [](PUSHFileLogger& self) { self.maybeRollLogFileDueToAge(); });
}

std::optional<std::string> PUSHFileLogger::currentLogFilePath() {
    std::optional<std::string> path;
    readInOrder([&] {
        if (currentLogFileInfo_ && currentFd_ >= 0) path = currentLogFileInfo_->filePath();
    });
    return path;
}

void PUSHFileLogger::rollLogFile(std::function<void()> completion) {
    runInOrder(RunHere::WhenOnLoggerQueue, [weak = weakSelf(), completion = std::move(completion)] {
        if (auto self = weak.lock()) self->rollLogFileNow();
        if (completion) DispatchQueue::main()->async(completion);
    });
}

void PUSHFileLogger::willRemoveLogger() {
    rollLogFileNow();
}

void PUSHFileLogger::logMessage(const PUSHLogMessagePtr& message) {
    const auto& formatter = formatterOnQueue();
    PUSHLogFormatResult result =
        formatter ? formatter->formatLogMessage(*message) : PUSHLogFormatResult::original();
    if (result.kind() == PUSHLogFormatResult::Kind::Drop) return;
    const std::string& text = result.textFor(*message);
    const bool formatted = result.kind() == PUSHLogFormatResult::Kind::Text;

    // Deletion and renaming reach us through the file watch; a record costs one write and no stat. The
    // watch's handler waits for this queue: once the event is heard, no record goes to the old file.
    if (currentLogFileVnode_ &&
        (currentLogFileVnode_->pendingEvents() & (DispatchFileSource::Delete | DispatchFileSource::Rename)))
        rollLogFileNow();
    if (!openCurrentFile()) return;
    line_.clear();
    if (pendingNewline_) line_ += '\n';
    line_ += text;
    if ((!formatted || automaticallyAppendNewline_) && (text.empty() || text.back() != '\n')) line_ += '\n';
    writeRecord(line_);
}

void PUSHFileLogger::writeRecord(const std::string& bytes) {
    size_t written = 0;
    std::string failure = writeAll(currentFd_, bytes, written);
    if (!failure.empty()) {
        // A record cut short (a full disk, a size limit) would glue the next one onto it: cut it back.
        if (written > 0) {
            struct stat st {};
            if (::fstat(currentFd_, &st) != 0 || uint64_t(st.st_size) < written ||
                ::ftruncate(currentFd_, st.st_size - off_t(written)) != 0) {
                failure += "; the cut-short record stays in the file";
                currentSize_ += written;
                pendingNewline_ = true;  // whatever stays, the next record starts on a line of its own
            }
        }
        noteWriteFailure("write to " + currentLogFileInfo_->fileName() + ": " + failure);
        return;
    }
    pendingNewline_ = false;
    currentSize_ += bytes.size();
    maybeRollLogFileDueToSize(currentSize_);
}

bool PUSHFileLogger::openCurrentFile() {
    if (currentFd_ >= 0) return true;
    NSErrorPtr error;
    if (!currentLogFileInfo_) chooseCurrentFile(&error);
    if (!currentLogFileInfo_) {
        noteOpenFailure(error ? error->localizedDescription() : "no log file");
        return false;
    }
    const std::string& path = currentLogFileInfo_->filePath();
    int fd;
    do {
        // No O_CREAT: the manager creates files (exclusively); a file gone by now is chosen afresh.
        fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        std::string reason = "Cannot open " + path + ": " + std::strerror(errno);
        {
            std::lock_guard lock(stateMutex());
            currentLogFileInfo_.reset();
        }
        noteOpenFailure(reason);
        return false;
    }
    {
        std::lock_guard lock(stateMutex());
        currentFd_ = fd;
    }
    openFailures_.clear();
    struct stat st {};
    currentSize_ = ::fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    currentIdentity_ = PUSHLogFileIdentity{st.st_dev, st.st_ino};
    logFileManager_->beginUsingLogFile(*currentIdentity_);
    // A file whose last record was cut short (a crash mid-write) goes on with a line of its own.
    char last = '\n';
    pendingNewline_ = currentSize_ > 0 && ::pread(fd, &last, 1, off_t(currentSize_ - 1)) == 1 && last != '\n';
    // A creation date ahead of the clock (another clock wrote it) would hold the file open forever; the
    // file's age counts from now then.
    Date now = Clock::now();
    auto created = currentLogFileInfo_->creationDate();
    currentCreationDate_ = created && *created <= now ? *created : now;
    scheduleTimerToRollLogFileDueToAge();
    startFileWatch();
    return true;
}

void PUSHFileLogger::chooseCurrentFile(NSErrorPtr* error) {
    auto files = logFileManager_->sortedLogFileInfos();
    if (!files.empty()) {
        const auto& newest = files.front();
        const bool archived = newest->isArchived();
        const bool toArchive =
            !archived && ((maximumFileSize_ > 0 && newest->fileSize() >= maximumFileSize_) ||
                          (rollingFrequency_ > 0 && newest->age() >= rollingFrequency_));
        if (!doNotReuseLogFiles_ && !archived && !toArchive) {
            std::lock_guard lock(stateMutex());
            currentLogFileInfo_ = newest;
            return;
        }
        if (toArchive) {
            newest->setIsArchived(true);
            logFileManager_->didArchiveLogFile(newest->filePath());
        }
    }
    std::string path = logFileManager_->createNewLogFile(error);
    if (path.empty()) return;
    std::lock_guard lock(stateMutex());
    currentLogFileInfo_ = PUSHLogFileInfo::logFileWithPath(path);
}

void PUSHFileLogger::rollLogFileNow() {
    if (currentFd_ < 0) return;
    const std::string path = currentLogFileInfo_->filePath();
    PUSHLogFileInfo::markArchived(currentFd_, currentLogFileInfo_->fileName());
    closeCurrentFile();
    logFileManager_->didRollAndArchiveLogFile(path);
}

void PUSHFileLogger::closeCurrentFile() {
    if (currentLogFileVnode_) currentLogFileVnode_->cancel();
    currentLogFileVnode_.reset();
    if (rollingTimer_) rollingTimer_->cancel();
    rollingTimer_.reset();
    ::close(currentFd_);
    if (currentIdentity_) logFileManager_->endUsingLogFile(*currentIdentity_);
    currentIdentity_.reset();
    std::lock_guard lock(stateMutex());
    currentFd_ = -1;
    currentLogFileInfo_.reset();
}

void PUSHFileLogger::maybeRollLogFileDueToSize(uint64_t fileSize) {
    if (maximumFileSize_ > 0 && fileSize >= maximumFileSize_) rollLogFileNow();
}

double PUSHFileLogger::currentFileAge() const {
    if (currentFd_ < 0) return 0;
    return Clock::now().timeIntervalSinceDate(currentCreationDate_);
}

void PUSHFileLogger::maybeRollLogFileDueToAge() {
    if (rollingFrequency_ > 0 && currentFileAge() >= rollingFrequency_) {
        rollLogFileNow();
    } else {
        scheduleTimerToRollLogFileDueToAge();
    }
}

void PUSHFileLogger::scheduleTimerToRollLogFileDueToAge() {
    if (rollingTimer_) rollingTimer_->cancel();
    rollingTimer_.reset();
    if (currentFd_ < 0 || !(rollingFrequency_ > 0)) return;
    double delay = rollingFrequency_ - currentFileAge();
    // Past dates fire at once; huge frequencies and odd clocks never make an unbounded wait.
    if (!(delay > 0)) delay = 0;
    delay = std::min({delay, rollingFrequency_, kMaximumTimerDelay});
    rollingTimer_ = DispatchTimerSource::create(loggerQueue());
    rollingTimer_->setTimer(delay, 0, 1e-9);
    rollingTimer_->setEventHandler([weak = weakSelf()] {
        if (auto self = weak.lock()) self->maybeRollLogFileDueToAge();
    });
    rollingTimer_->resume();
}

void PUSHFileLogger::startFileWatch() {
    auto source = DispatchFileSource::create(
        currentFd_, DispatchFileSource::Delete | DispatchFileSource::Rename, loggerQueue());
    std::weak_ptr<DispatchFileSource> weakSource = source;
    source->setEventHandler([weak = weakSelf(), weakSource](unsigned) {
        auto self = weak.lock();
        // Only the watch of the file still open may roll it.
        if (!self || !self->currentLogFileVnode_ || self->currentLogFileVnode_ != weakSource.lock()) return;
        self->rollLogFileNow();
    });
    source->resume();
    currentLogFileVnode_ = std::move(source);
}

void PUSHFileLogger::noteOpenFailure(const std::string& reason) {
    openFailures_.note("PUSHFileLogger: Cannot open a log file; records are lost until one opens: " + reason);
}

void PUSHFileLogger::noteWriteFailure(const std::string& reason) {
    const uint64_t count = writeFailures.fetch_add(1) + 1;
    if (count > kPrintedWriteFailures) return;
    NSLog(NSString::format("PUSHFileLogger.logMessage: %@", {reason}));
    if (count == kPrintedWriteFailures)
        NSLog("PUSHFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}
