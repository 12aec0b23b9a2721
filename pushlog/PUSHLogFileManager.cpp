#include "pushlog/PUSHLogFileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/Sandbox.h"
#include "pushlog/PUSHLog.h"

namespace {

// Name clashes beyond this many in one minute mean something else is wrong; creation gives up.
constexpr unsigned long kMaxNameAttempts = 10000;

bool isProtectionClass(const std::string& level) {
    return level == "NSFileProtectionNone" || level == "NSFileProtectionComplete" ||
           level == "NSFileProtectionCompleteUnlessOpen" ||
           level == "NSFileProtectionCompleteUntilFirstUserAuthentication";
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool twoDigits(const std::string& t, size_t at, int low, int high, int* out) {
    if (!std::isdigit(static_cast<unsigned char>(t[at])) ||
        !std::isdigit(static_cast<unsigned char>(t[at + 1])))
        return false;
    *out = (t[at] - '0') * 10 + (t[at + 1] - '0');
    return *out >= low && *out <= high;
}

NSErrorPtr posixError(int code, const std::string& what, const std::string& path) {
    return NSError::create(
        NSPOSIXErrorDomain, code,
        {{NSLocalizedDescriptionKey, Value(what + " " + path + ": " + std::strerror(code))},
         {NSFilePathErrorKey, Value(path)}});
}

std::string withClashNumber(const std::string& name, unsigned long attempt) {
    if (attempt == 1) return name;
    auto dot = name.rfind('.');
    std::string suffix = NSString::format(" %lu", {attempt});
    if (dot == std::string::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

// The clash number `fileName` carries as a variant of `name` ("<stem>.log" is 1, "<stem> n.log" is n), or 0.
unsigned long clashNumberOf(const std::string& fileName, const std::string& name) {
    if (fileName == name) return 1;
    auto dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string extension = stem.size() == name.size() ? "" : name.substr(dot);
    if (fileName.size() <= stem.size() + 1 + extension.size() ||
        fileName.compare(0, stem.size(), stem) != 0 || fileName[stem.size()] != ' ' ||
        !endsWith(fileName, extension))
        return 0;
    const std::string digits =
        fileName.substr(stem.size() + 1, fileName.size() - stem.size() - 1 - extension.size());
    if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
    return std::stoul(digits);
}

}  // namespace

std::optional<PUSHLogFileIdentity> PUSHLogFileIdentity::ofDescriptor(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return PUSHLogFileIdentity{st.st_dev, st.st_ino};
}

std::optional<PUSHLogFileIdentity> PUSHLogFileIdentity::ofPath(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return PUSHLogFileIdentity{st.st_dev, st.st_ino};
}

PUSHLogFileManagerDefault::PUSHLogFileManagerDefault(std::string logsDirectory, std::string protectionLevel)
    : logsDirectory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)),
      defaultFileProtectionLevel_(isProtectionClass(protectionLevel) ? std::move(protectionLevel) : "") {}

std::shared_ptr<PUSHLogFileManagerDefault> PUSHLogFileManagerDefault::create(std::string logsDirectory,
                                                                             std::string protectionLevel) {
    return std::shared_ptr<PUSHLogFileManagerDefault>(
        new PUSHLogFileManagerDefault(std::move(logsDirectory), std::move(protectionLevel)));
}

std::string PUSHLogFileManagerDefault::defaultLogsDirectory() {
    return Sandbox::cachesDirectory() + "/PUSHLogs";
}

const std::string& PUSHLogFileManagerDefault::applicationName() {
    static const std::string* name = [] {
        std::string identifier = NSBundle::mainBundle() ? NSBundle::mainBundle()->bundleIdentifier() : "";
        return new std::string(identifier.empty() ? ProcessInfo::processName() : identifier);
    }();
    return *name;
}

std::string PUSHLogFileManagerDefault::logFileDateString(Date date) {
    double seconds = std::floor(date.unixTime());
    if (!std::isfinite(seconds)) seconds = 0;
    time_t t = time_t(seconds);
    struct tm parts {};
    gmtime_r(&t, &parts);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H-%M", &parts);
    return buffer;
}

std::optional<Date> PUSHLogFileManagerDefault::logFileDateFromString(const std::string& text) {
    // Exactly "yyyy-MM-dd HH-mm".
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != '-')
        return std::nullopt;
    for (size_t i : {0, 1, 2, 3}) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    }
    struct tm parts {};
    int month, day, hour, minute;
    if (!twoDigits(text, 5, 1, 12, &month) || !twoDigits(text, 8, 1, 31, &day) ||
        !twoDigits(text, 11, 0, 23, &hour) || !twoDigits(text, 14, 0, 59, &minute)) {
        return std::nullopt;
    }
    parts.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    time_t t = timegm(&parts);
    // A day the month does not have (02-31) comes back normalised: not a date.
    if (parts.tm_mday != day || parts.tm_mon != month - 1) return std::nullopt;
    return Date::fromUnixTime(double(t));
}

bool PUSHLogFileManagerDefault::isLogFile(const std::string& fileName) const {
    const std::string& app = applicationName();
    if (fileName.compare(0, app.size(), app) != 0 || !endsWith(fileName, ".log")) return false;
    if (fileName.size() < app.size() + 4) return false;
    std::string middle = fileName.substr(app.size(), fileName.size() - app.size() - 4);
    if (middle.size() < 17) return false;
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t space; (space = middle.find(' ', start)) != std::string::npos; start = space + 1) {
        pieces.push_back(middle.substr(start, space - start));
    }
    pieces.push_back(middle.substr(start));
    // The first piece is what follows the application name before its space: it must be nothing, or a
    // longer application name sharing our prefix would pass.
    if (pieces.size() < 3 || pieces.size() > 4 || !pieces[0].empty()) return false;
    return logFileDateFromString(pieces[1] + " " + pieces[2]).has_value();
}

bool PUSHLogFileManagerDefault::ensureLogsDirectory(NSErrorPtr* error) {
    bool isDirectory = false;
    auto fm = NSFileManager::defaultManager();
    if (fm->fileExistsAtPath(logsDirectory_, &isDirectory)) {
        if (isDirectory) return true;
        if (error) *error = posixError(ENOTDIR, "Not a directory:", logsDirectory_);
        return false;
    }
    return fm->createDirectoryAtPath(logsDirectory_, NSFileManager::Intermediates::Yes, error);
}

std::string PUSHLogFileManagerDefault::logsDirectory() {
    NSErrorPtr error;
    if (ensureLogsDirectory(&error)) {
        directoryFailures_.clear();
    } else {
        directoryFailures_.note(
            NSString::format("PUSHFileLogManagerDefault: Error creating logsDirectory: %@", {Value(error)}));
    }
    return logsDirectory_;
}

std::vector<PUSHLogFileInfoPtr> PUSHLogFileManagerDefault::unsortedLogFileInfos() {
    const std::string directory = logsDirectory();
    auto fm = NSFileManager::defaultManager();
    auto names = fm->contentsOfDirectoryAtPath(directory);
    std::vector<PUSHLogFileInfoPtr> infos;
    if (!names) return infos;
    for (const auto& name : *names) {
        if (!isLogFile(name)) continue;
        std::string path = directory + "/" + name;
        // Only regular files: a directory that happens to carry a log file's name is not ours to delete.
        auto attributes = fm->attributesOfItemAtPath(path);
        if (!attributes || attributes->type != FileType::Regular) continue;
        infos.push_back(PUSHLogFileInfo::logFileWithPath(std::move(path), *attributes));
    }
    return infos;
}

std::vector<std::string> PUSHLogFileManagerDefault::unsortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : unsortedLogFileInfos()) paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> PUSHLogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : unsortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::vector<PUSHLogFileInfoPtr> PUSHLogFileManagerDefault::sortedLogFileInfos() {
    auto infos = unsortedLogFileInfos();
    std::stable_sort(infos.begin(), infos.end(),
                     [](const PUSHLogFileInfoPtr& a, const PUSHLogFileInfoPtr& b) {
                         return a->reverseCompareByCreationDate(*b) < 0;
                     });
    return infos;
}

std::vector<std::string> PUSHLogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> PUSHLogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::string PUSHLogFileManagerDefault::newLogFileName() const {
    return NSString::format("%@ %@.log", {applicationName(), logFileDateString(Clock::now())});
}

std::string PUSHLogFileManagerDefault::createNewLogFile(NSErrorPtr* error) {
    NSErrorPtr failure;
    std::string created;
    std::optional<PUSHLogFileIdentity> identity;
    if (ensureLogsDirectory(&failure)) {
        // Old files go before the new one comes: a process killed in between never leaves one too many.
        deleteOldLogFiles(std::nullopt, /*reserved=*/1);
        const std::string name = newLogFileName();
        // Above the highest number of this minute, never a gap left by a deleted file: a reused lower
        // number would sort the new file as older than the ones beside it.
        unsigned long highest = 0;
        if (auto names = NSFileManager::defaultManager()->contentsOfDirectoryAtPath(logsDirectory_)) {
            for (const auto& existing : *names) highest = std::max(highest, clashNumberOf(existing, name));
        }
        for (unsigned long attempt = highest + 1; attempt <= highest + kMaxNameAttempts; ++attempt) {
            std::string path = logsDirectory_ + "/" + withClashNumber(name, attempt);
            // O_EXCL: a file another writer created a moment ago is never taken over or truncated.
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 && errno == EINTR) {
                --attempt;
                continue;
            }
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0) {
                failure = posixError(errno, "Cannot create log file", path);
                break;
            }
            // A umask without owner write would make the new file look archived.
            struct stat st;
            if (::fstat(fd, &st) == 0 && (st.st_mode & S_IWUSR) == 0)
                ::fchmod(fd, (st.st_mode & 07777) | S_IWUSR);
            identity = PUSHLogFileIdentity::ofDescriptor(fd);
            ::close(fd);
            created = std::move(path);
            break;
        }
        if (created.empty() && !failure) {
            failure = posixError(EEXIST, "No free log file name for", logsDirectory_ + "/" + name);
        }
    }
    if (created.empty()) {
        if (error) {
            *error = failure;
        } else {
            NSLog(
                NSString::format("PUSHLogFileManagerDefault: Error creating log file: %@", {Value(failure)}));
        }
        return "";
    }
    deleteOldLogFiles(identity, 0);
    return created;
}

void PUSHLogFileManagerDefault::deleteOldLogFiles() {
    deleteOldLogFiles(std::nullopt, 0);
}

void PUSHLogFileManagerDefault::deleteOldLogFiles(const std::optional<PUSHLogFileIdentity>& keep,
                                                  uint32_t reserved) {
    auto files = sortedLogFileInfos();
    const uint64_t quota = logFilesDiskQuota();
    const uint32_t limit = maximumNumberOfLogFiles();
    // Room for files about to be made; a limit is never reserved away entirely (0 means no limit).
    const uint32_t count = limit > reserved ? limit - reserved : std::min<uint32_t>(limit, 1);

    std::optional<size_t> cut;
    if (quota > 0) {
        uint64_t total = 0;
        for (size_t i = 0; i < files.size(); ++i) {
            total += files[i]->fileSize();
            if (total > quota) {
                cut = i;
                break;
            }
        }
    }
    if (count > 0) cut = cut ? std::min<size_t>(*cut, count) : size_t(count);
    // The newest unarchived file is the one being written.
    if (cut && *cut == 0 && !files.empty() && !files.front()->isArchived()) cut = 1;
    if (!cut) return;

    for (size_t i = *cut; i < files.size(); ++i) {
        const std::string& path = files[i]->filePath();
        auto identity = PUSHLogFileIdentity::ofPath(path);
        if (!identity) continue;
        // Creation times can disagree with the order files were really written in (clock changes, a file
        // system without birth times): a file in use is kept wherever it sorts.
        if ((keep && *identity == *keep) || isInUse(*identity)) continue;
        ::unlink(path.c_str());
    }
}

void PUSHLogFileManagerDefault::scheduleDeletion() {
    PUSHLog::asyncOnLoggingQueue([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->deleteOldLogFiles();
    });
}

void PUSHLogFileManagerDefault::setMaximumNumberOfLogFiles(uint32_t count) {
    if (maximumNumberOfLogFiles_.exchange(count) != count) scheduleDeletion();
}

void PUSHLogFileManagerDefault::setLogFilesDiskQuota(uint64_t bytes) {
    if (logFilesDiskQuota_.exchange(bytes) != bytes) scheduleDeletion();
}

void PUSHLogFileManagerDefault::beginUsingLogFile(const PUSHLogFileIdentity& file) {
    std::lock_guard lock(inUseMutex_);
    ++filesInUse_[file];
}

void PUSHLogFileManagerDefault::endUsingLogFile(const PUSHLogFileIdentity& file) {
    std::lock_guard lock(inUseMutex_);
    auto it = filesInUse_.find(file);
    if (it != filesInUse_.end() && --it->second <= 0) filesInUse_.erase(it);
}

bool PUSHLogFileManagerDefault::isInUse(const PUSHLogFileIdentity& file) const {
    std::lock_guard lock(inUseMutex_);
    return filesInUse_.count(file) != 0;
}
