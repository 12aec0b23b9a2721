#include "pushlog/PUSHLogFileInfo.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "platform/foundation/Format.h"
#include "pushlog/PUSHLogFileManager.h"

namespace {

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The errno an NSError of the file manager carries, or 0.
int posixCode(const NSErrorPtr& error) {
    if (!error) return 0;
    if (error->domain() == NSPOSIXErrorDomain) return int(error->code());
    if (auto underlying = error->underlyingError(); underlying && underlying->domain() == NSPOSIXErrorDomain)
        return int(underlying->code());
    return 0;
}

std::string errorText(const NSErrorPtr& error) {
    int code = posixCode(error);
    if (code) return std::strerror(code);
    return error ? error->localizedDescription() : "unknown error";
}

bool ownerWriteCleared(const struct stat& st) {
    return (st.st_mode & S_IWUSR) == 0;
}

// Splits "<stem>[ n]" off a log file name: the date part's end and the clash number.
struct NameParts {
    std::string stem;  // the name without ".log" and without the clash number
    unsigned long clash = 1;
};

NameParts partsOf(const std::string& fileName) {
    NameParts parts;
    std::string stem = fileName;
    if (stem.size() >= 4 && stem.compare(stem.size() - 4, 4, ".log") == 0) stem.resize(stem.size() - 4);
    auto space = stem.rfind(' ');
    if (space != std::string::npos && space + 1 < stem.size() && space + 1 + 9 >= stem.size()) {
        bool digits = true;
        for (size_t i = space + 1; i < stem.size(); ++i) digits = digits && stem[i] >= '0' && stem[i] <= '9';
        // "08-05" is the time, not a clash number: only a piece after the date counts.
        if (digits && space >= 16 &&
            PUSHLogFileManagerDefault::logFileDateFromString(stem.substr(space - 16, 16))) {
            parts.clash = std::stoul(stem.substr(space + 1));
            stem.resize(space);
        }
    }
    parts.stem = stem;
    return parts;
}

}  // namespace

PUSHLogFileInfoPtr PUSHLogFileInfo::logFileWithPath(std::string filePath) {
    return PUSHLogFileInfoPtr(new PUSHLogFileInfo(std::move(filePath)));
}

PUSHLogFileInfoPtr PUSHLogFileInfo::logFileWithPath(std::string filePath, FileAttributes attributes) {
    auto info = logFileWithPath(std::move(filePath));
    info->fileAttributes_ = attributes;
    info->attributesRead_ = true;
    return info;
}

const std::optional<FileAttributes>& PUSHLogFileInfo::fileAttributes() {
    if (!attributesRead_) {
        fileAttributes_ = NSFileManager::defaultManager()->attributesOfItemAtPath(filePath_);
        attributesRead_ = true;
    }
    return fileAttributes_;
}

const std::string& PUSHLogFileInfo::fileName() {
    if (!fileName_) {
        auto slash = filePath_.rfind('/');
        fileName_ = slash == std::string::npos ? filePath_ : filePath_.substr(slash + 1);
    }
    return *fileName_;
}

std::optional<Date> PUSHLogFileInfo::dateInFileName(const std::string& fileName) {
    NameParts parts = partsOf(fileName);
    if (parts.stem.size() < 16) return std::nullopt;
    return PUSHLogFileManagerDefault::logFileDateFromString(parts.stem.substr(parts.stem.size() - 16));
}

unsigned long PUSHLogFileInfo::clashNumber() {
    return partsOf(fileName()).clash;
}

std::optional<Date> PUSHLogFileInfo::creationDate() {
    if (!creationDate_) {
        const auto& attributes = fileAttributes();
        if (attributes && attributes->hasBirthTime) {
            creationDate_ = attributes->creationDate;
        } else {
            creationDate_ = dateInFileName(fileName());
        }
    }
    return *creationDate_;
}

std::optional<Date> PUSHLogFileInfo::modificationDate() {
    if (!modificationDate_) {
        const auto& attributes = fileAttributes();
        modificationDate_ = attributes ? std::optional<Date>(attributes->modificationDate) : std::nullopt;
    }
    return *modificationDate_;
}

uint64_t PUSHLogFileInfo::fileSize() {
    if (fileSize_ == 0) {
        const auto& attributes = fileAttributes();
        if (attributes) fileSize_ = attributes->size;
    }
    return fileSize_;
}

double PUSHLogFileInfo::age() {
    auto created = creationDate();
    return created ? Clock::now().timeIntervalSinceDate(*created) : 0;
}

std::string PUSHLogFileInfo::description() {
    Value::Dictionary d;
    d["filePath"] = Value(filePath_);
    d["fileName"] = Value(fileName());
    const auto& attributes = fileAttributes();
    if (attributes) {
        Value::Dictionary a;
        a["NSFileSize"] = Value(attributes->size);
        a["NSFilePosixPermissions"] = Value(uint64_t(attributes->permissions));
        a["NSFileModificationDate"] = Value(attributes->modificationDate);
        a["NSFileCreationDate"] = Value(attributes->creationDate);
        d["fileAttributes"] = Value(std::move(a));
    } else {
        d["fileAttributes"] = Value(std::string());
    }
    auto created = creationDate();
    d["creationDate"] = created ? Value(*created) : Value(std::string());
    auto modified = modificationDate();
    d["modificationDate"] = modified ? Value(*modified) : Value(std::string());
    d["fileSize"] = Value(fileSize());
    d["age"] = Value(age());
    d["isArchived"] = Value(isArchived());
    return Value(std::move(d)).description();
}

bool PUSHLogFileInfo::isArchived() {
    if (hasExtendedAttributeWithName(PUSHLogFileArchivedAttributeName)) return true;
    struct stat st;
    return ::stat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ownerWriteCleared(st);
}

void PUSHLogFileInfo::setIsArchived(bool archived) {
    if (archived) {
        addExtendedAttributeWithName(PUSHLogFileArchivedAttributeName);
        return;
    }
    removeExtendedAttributeWithName(PUSHLogFileArchivedAttributeName);
    struct stat st;
    if (::stat(filePath_.c_str(), &st) == 0 && ownerWriteCleared(st) &&
        ::chmod(filePath_.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
        NSLog(NSString::format("PUSHLogFileInfo: chmod(%@): error = %s", {fileName(), std::strerror(errno)}));
    }
}

void PUSHLogFileInfo::markArchived(int fd, const std::string& fileName) {
    // The descriptor's entry in /proc names the open file itself, whatever became of its path.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    NSErrorPtr error;
    if (NSFileManager::defaultManager()->setExtendedAttribute(PUSHLogFileArchivedAttributeName, Data(), self,
                                                              &error))
        return;
    struct stat st;
    if (::fstat(fd, &st) == 0 &&
        ::fchmod(fd, st.st_mode & 07777 & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        return;
    }
    NSLog(NSString::format("PUSHLogFileInfo: setxattr(%@, %@): error = %s",
                           {PUSHLogFileArchivedAttributeName, fileName, errorText(error)}));
}

void PUSHLogFileInfo::reset() {
    fileName_.reset();
    attributesRead_ = false;
    fileAttributes_.reset();
    creationDate_.reset();
    modificationDate_.reset();
}

void PUSHLogFileInfo::renameFile(const std::string& newName) {
    if (newName == fileName()) return;
    auto fm = NSFileManager::defaultManager();
    const std::string newPath = directoryOf(filePath_) + "/" + newName;
    NSErrorPtr error;
    if (fm->fileExistsAtPath(newPath) && !fm->removeItemAtPath(newPath, &error)) {
        NSLog(
            NSString::format("PUSHLogFileInfo: Error deleting archive (%@): %@", {fileName(), Value(error)}));
    }
    error.reset();
    if (!fm->moveItemAtPath(filePath_, newPath, &error)) {
        NSLog(NSString::format("PUSHLogFileInfo: Error renaming file (%@): %@", {fileName(), Value(error)}));
    }
    filePath_ = newPath;
    reset();
}

bool PUSHLogFileInfo::hasExtendedAttributeWithName(const std::string& name) {
    return NSFileManager::defaultManager()->extendedAttribute(name, filePath_).has_value();
}

void PUSHLogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    NSErrorPtr error;
    if (NSFileManager::defaultManager()->setExtendedAttribute(name, Data(), filePath_, &error)) return;
    // Refused extended attributes: the archived mark falls back to the owner-write bit.
    if (name == PUSHLogFileArchivedAttributeName) {
        struct stat st;
        if (::stat(filePath_.c_str(), &st) == 0 &&
            ::chmod(filePath_.c_str(), st.st_mode & 07777 & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
            return;
        }
    }
    NSLog(NSString::format("PUSHLogFileInfo: setxattr(%@, %@): error = %s",
                           {name, fileName(), errorText(error)}));
}

void PUSHLogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    NSErrorPtr error;
    if (NSFileManager::defaultManager()->removeExtendedAttribute(name, filePath_, &error)) return;
    int code = posixCode(error);
    // Absent is fine; so is a file system without extended attributes, which cannot hold one.
    if (code == ENODATA || code == ENOTSUP) return;
    NSLog(NSString::format("PUSHLogFileInfo: removexattr(%@, %@): error = %s",
                           {name, fileName(), errorText(error)}));
}

namespace {

template <class Get>
int reverseCompare(PUSHLogFileInfo& a, PUSHLogFileInfo& b, Get get) {
    std::optional<Date> da = get(a), db = get(b);
    if (da && !db) return -1;
    if (!da && db) return 1;
    if (da && db && *da != *db) return *da > *db ? -1 : 1;
    return 0;
}

}  // namespace

int PUSHLogFileInfo::reverseCompareByCreationDate(PUSHLogFileInfo& other) {
    int order = reverseCompare(*this, other, [](PUSHLogFileInfo& i) { return i.creationDate(); });
    if (order != 0) return order;
    // Two files of one minute without birth times: the clash number tells which came later.
    unsigned long mine = clashNumber(), theirs = other.clashNumber();
    if (mine != theirs) return mine > theirs ? -1 : 1;
    return other.fileName().compare(fileName()) < 0 ? 1 : (other.fileName() == fileName() ? 0 : -1);
}

int PUSHLogFileInfo::reverseCompareByModificationDate(PUSHLogFileInfo& other) {
    return reverseCompare(*this, other, [](PUSHLogFileInfo& i) { return i.modificationDate(); });
}
