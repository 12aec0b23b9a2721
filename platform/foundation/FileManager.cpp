#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/foundation/UniqueFd.h"

namespace {

std::atomic<bool> faultNoXattr{false};
std::atomic<bool> faultNoBirthTime{false};
std::atomic<bool> faultCrossDevice{false};

constexpr const char* kUserPrefix = "user.";

std::string errnoText(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);  // GNU strerror_r returns the text
}

long cocoaCode(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return NSFileNoSuchFileError;
        case EEXIST:
            return NSFileWriteFileExistsError;
        case EACCES:
        case EPERM:
            return NSFileWriteNoPermissionError;
        case ENOSPC:
        case EDQUOT:
            return NSFileWriteOutOfSpaceError;
        case EROFS:
            return NSFileWriteVolumeReadOnlyError;
        default:
            return 0;
    }
}

// Fills `error` (when asked for) and returns false, so that call sites read `return fail(...)`.
bool fail(NSErrorPtr* error, int err, const std::string& operation, const std::string& path) {
    if (!error) return false;
    auto underlying = NSError::withDescription(NSPOSIXErrorDomain, err, errnoText(err));
    Value::Dictionary info{
        {NSFilePathErrorKey, Value(path)},
        {NSLocalizedDescriptionKey, Value(operation + " \"" + path + "\": " + errnoText(err))},
    };
    long code = cocoaCode(err);
    if (code != 0) {
        info[NSUnderlyingErrorKey] = Value(underlying);
        *error = NSError::create(NSCocoaErrorDomain, code, std::move(info));
    } else {
        *error = NSError::create(NSPOSIXErrorDomain, err, std::move(info));
    }
    return false;
}

int openRetrying(const char* path, int flags, mode_t mode = 0) {
    int fd;
    do fd = ::open(path, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// Writes everything; returns 0 or the errno.
int writeAll(int fd, const uint8_t* bytes, size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes += n;
        length -= size_t(n);
    }
    return 0;
}

// Reads to the end; returns 0 or the errno.
int readAll(int fd, std::vector<uint8_t>& out) {
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return 0;
        out.insert(out.end(), buf, buf + n);
    }
}

std::string parentOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Date toDate(const struct statx_timestamp& t) {
    return Date::fromUnixTime(double(t.tv_sec) + t.tv_nsec / 1e9);
}
Date toDate(const struct timespec& t) {
    return Date::fromUnixTime(double(t.tv_sec) + t.tv_nsec / 1e9);
}

FileType typeOf(mode_t mode) {
    if (S_ISREG(mode)) return FileType::Regular;
    if (S_ISDIR(mode)) return FileType::Directory;
    if (S_ISLNK(mode)) return FileType::SymbolicLink;
    return FileType::Other;
}

// A failure and the path it happened on, for the recursive walks.
struct Failure {
    int err = 0;
    std::string path;
};

int listDirectory(const std::string& path, std::vector<std::string>& names) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return errno;
    errno = 0;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(std::move(name));
        errno = 0;
    }
    int err = errno;
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return err;
}

Failure removeTree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return {errno, path};
    if (S_ISDIR(st.st_mode)) {
        std::vector<std::string> names;
        if (int err = listDirectory(path, names)) return {err, path};
        for (const auto& name : names) {
            Failure f = removeTree(path + "/" + name);
            if (f.err) return f;
        }
        if (::rmdir(path.c_str()) != 0) return {errno, path};
        return {};
    }
    if (::unlink(path.c_str()) != 0) return {errno, path};
    return {};
}

void copyUserAttributes(int from, int to) {
    if (faultNoXattr) return;
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size <= 0) return;
    std::string names(size_t(size), '\0');
    size = ::flistxattr(from, names.data(), names.size());
    if (size <= 0) return;
    for (size_t i = 0; i < size_t(size);) {
        std::string name(names.c_str() + i);
        i += name.size() + 1;
        if (name.rfind(kUserPrefix, 0) != 0) continue;
        ssize_t len = ::fgetxattr(from, name.c_str(), nullptr, 0);
        if (len < 0) continue;
        std::vector<char> value(size_t(len) + 1);
        len = ::fgetxattr(from, name.c_str(), value.data(), value.size());
        if (len >= 0) ::fsetxattr(to, name.c_str(), value.data(), size_t(len), 0);  // best effort
    }
}

// Copies without replacing anything; on failure the caller removes what was made.
Failure copyTree(const std::string& source, const std::string& destination) {
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) return {errno, source};
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(size_t(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = ::readlink(source.c_str(), target.data(), target.size());
        if (n < 0) return {errno, source};
        if (size_t(n) >= target.size()) return {ENAMETOOLONG, source};
        if (::symlink(std::string(target.data(), size_t(n)).c_str(), destination.c_str()) != 0)
            return {errno, destination};
        return {};
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(destination.c_str(), 0700) != 0) return {errno, destination};
        std::vector<std::string> names;
        if (int err = listDirectory(source, names)) return {err, source};
        for (const auto& name : names) {
            Failure f = copyTree(source + "/" + name, destination + "/" + name);
            if (f.err) return f;
        }
        if (::chmod(destination.c_str(), st.st_mode & 07777) != 0) return {errno, destination};
        return {};
    }
    if (!S_ISREG(st.st_mode)) return {ENOTSUP, source};
    UniqueFd in(openRetrying(source.c_str(), O_RDONLY));
    if (in.get() < 0) return {errno, source};
    UniqueFd out(openRetrying(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0777));
    if (out.get() < 0) return {errno, destination};
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(in.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return {errno, source};
        if (n == 0) break;
        if (int err = writeAll(out.get(), buf, size_t(n))) return {err, destination};
    }
    ::fchmod(out.get(), st.st_mode & 07777);
    copyUserAttributes(in.get(), out.get());
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    if (out.close() != 0) return {errno, destination};
    return {};
}

bool validName(const std::string& name, NSErrorPtr* error, const std::string& path) {
    if (!name.empty() && name.find('\0') == std::string::npos) return true;
    if (error)
        *error = NSError::create(
            NSPOSIXErrorDomain, EINVAL,
            {{NSFilePathErrorKey, Value(path)},
             {NSLocalizedDescriptionKey, Value("Invalid extended attribute name for \"" + path + "\"")}});
    return false;
}

// A temporary name beside `path` that nobody else will pick.
std::string temporarySibling(const std::string& path) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
    return parentOf(path) + "/." + baseName(path) + suffix + ".tmp";
}

}  // namespace

std::shared_ptr<NSFileManager> NSFileManager::defaultManager() {
    static auto* manager = new std::shared_ptr<NSFileManager>(new NSFileManager());
    return *manager;
}

void NSFileManager::setFaultsForTesting(const Faults& faults) {
    faultNoXattr = faults.extendedAttributesUnsupported;
    faultNoBirthTime = faults.noBirthTime;
    faultCrossDevice = faults.crossDevice;
}

bool NSFileManager::createDirectoryAtPath(const std::string& path, Intermediates intermediates,
                                          NSErrorPtr* error) {
    if (path.empty()) return fail(error, ENOENT, "Cannot create directory", path);
    if (intermediates == Intermediates::No) {
        if (::mkdir(path.c_str(), 0777) != 0) return fail(error, errno, "Cannot create directory", path);
        return true;
    }
    // Each prefix ending before a "/" and then the whole path; existing directories are fine.
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        if (path[i - 1] == '/') continue;
        std::string prefix = path.substr(0, i);
        if (::mkdir(prefix.c_str(), 0777) == 0) continue;
        int err = errno;
        struct stat st;
        if (err == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        return fail(error, err, "Cannot create directory", prefix);
    }
    return true;
}

bool NSFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    struct stat st;
    bool exists = !path.empty() && ::stat(path.c_str(), &st) == 0;
    if (isDirectory) *isDirectory = exists && S_ISDIR(st.st_mode);
    return exists;
}

std::optional<std::vector<std::string>> NSFileManager::contentsOfDirectoryAtPath(const std::string& path,
                                                                                 NSErrorPtr* error) const {
    std::vector<std::string> names;
    if (int err = listDirectory(path, names)) {
        fail(error, err, "Cannot list directory", path);
        return std::nullopt;
    }
    return names;
}

std::optional<FileAttributes> NSFileManager::attributesOfItemAtPath(const std::string& path,
                                                                    NSErrorPtr* error) const {
    FileAttributes a;
    struct statx stx;
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) == 0) {
        a.type = typeOf(stx.stx_mode);
        a.size = stx.stx_size;
        a.permissions = stx.stx_mode & 07777;
        a.modificationDate = toDate(stx.stx_mtime);
        a.hasBirthTime = (stx.stx_mask & STATX_BTIME) && !faultNoBirthTime;
        a.creationDate =
            a.hasBirthTime ? toDate(stx.stx_btime) : std::min(toDate(stx.stx_ctime), a.modificationDate);
        return a;
    }
    if (errno != ENOSYS && errno != EPERM) {
        fail(error, errno, "Cannot read attributes of", path);
        return std::nullopt;
    }
    // No statx here (an old kernel or a filter): lstat knows no birth time.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        fail(error, errno, "Cannot read attributes of", path);
        return std::nullopt;
    }
    a.type = typeOf(st.st_mode);
    a.size = uint64_t(st.st_size);
    a.permissions = st.st_mode & 07777;
    a.modificationDate = toDate(st.st_mtim);
    a.creationDate = std::min(toDate(st.st_ctim), a.modificationDate);
    return a;
}

bool NSFileManager::setAttributes(const FileAttributeChanges& changes, const std::string& path,
                                  NSErrorPtr* error) {
    if (changes.permissions && ::chmod(path.c_str(), *changes.permissions & 07777) != 0)
        return fail(error, errno, "Cannot change permissions of", path);
    if (changes.modificationDate) {
        double t = changes.modificationDate->unixTime();
        if (!std::isfinite(t)) return fail(error, EINVAL, "Cannot set the modification date of", path);
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        double whole = std::floor(t);
        times[1].tv_sec = time_t(whole);
        times[1].tv_nsec = long((t - whole) * 1e9);
        if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
            return fail(error, errno, "Cannot set the modification date of", path);
    }
    return true;
}

std::optional<Data> NSFileManager::extendedAttribute(const std::string& name, const std::string& path,
                                                     NSErrorPtr* error) const {
    if (!validName(name, error, path)) return std::nullopt;
    if (faultNoXattr) {
        fail(error, ENOTSUP, "Cannot read extended attribute \"" + name + "\" of", path);
        return std::nullopt;
    }
    std::string full = kUserPrefix + name;
    // The value may change between asking its size and reading it; retry a few times.
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t size = ::getxattr(path.c_str(), full.c_str(), nullptr, 0);
        if (size < 0) break;
        std::vector<uint8_t> value(size_t(size) + 1);
        ssize_t n = ::getxattr(path.c_str(), full.c_str(), value.data(), value.size());
        if (n >= 0) {
            value.resize(size_t(n));
            return Data(std::move(value));
        }
        if (errno != ERANGE) break;
    }
    fail(error, errno, "Cannot read extended attribute \"" + name + "\" of", path);
    return std::nullopt;
}

bool NSFileManager::setExtendedAttribute(const std::string& name, const Data& value, const std::string& path,
                                         NSErrorPtr* error) {
    if (!validName(name, error, path)) return false;
    const std::string what = "Cannot set extended attribute \"" + name + "\" on";
    if (faultNoXattr) return fail(error, ENOTSUP, what, path);
    std::string full = kUserPrefix + name;
    if (::setxattr(path.c_str(), full.c_str(), value.bytes(), value.length(), 0) != 0)
        return fail(error, errno, what, path);
    return true;
}

bool NSFileManager::removeExtendedAttribute(const std::string& name, const std::string& path,
                                            NSErrorPtr* error) {
    if (!validName(name, error, path)) return false;
    const std::string what = "Cannot remove extended attribute \"" + name + "\" from";
    if (faultNoXattr) return fail(error, ENOTSUP, what, path);
    std::string full = kUserPrefix + name;
    if (::removexattr(path.c_str(), full.c_str()) != 0) return fail(error, errno, what, path);
    return true;
}

std::optional<std::vector<std::string>> NSFileManager::extendedAttributeNames(const std::string& path,
                                                                              NSErrorPtr* error) const {
    if (faultNoXattr) {
        fail(error, ENOTSUP, "Cannot list extended attributes of", path);
        return std::nullopt;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        ssize_t size = ::listxattr(path.c_str(), nullptr, 0);
        if (size < 0) break;
        std::string buffer(size_t(size) + 1, '\0');
        ssize_t n = ::listxattr(path.c_str(), buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == ERANGE) continue;
            break;
        }
        std::vector<std::string> names;
        const std::string_view prefix = kUserPrefix;
        for (size_t i = 0; i < size_t(n);) {
            std::string name(buffer.c_str() + i);
            i += name.size() + 1;
            if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
                names.push_back(name.substr(prefix.size()));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    fail(error, errno, "Cannot list extended attributes of", path);
    return std::nullopt;
}

bool NSFileManager::moveItemAtPath(const std::string& source, const std::string& destination,
                                   NSErrorPtr* error) {
    const std::string what = "Cannot move to";
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) return fail(error, errno, "Cannot move", source);
    int err = EXDEV;
    if (!faultCrossDevice) {
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        err = errno;
        if (err == EINVAL || err == ENOSYS) {
            // The file system cannot refuse to replace by itself. A hard link can for files; a directory
            // is checked first and renamed (a narrow window, but no silent replace of anything we saw).
            if (!S_ISDIR(st.st_mode) && ::link(source.c_str(), destination.c_str()) == 0) {
                ::unlink(source.c_str());
                return true;
            }
            if (errno == EEXIST) return fail(error, EEXIST, what, destination);
            struct stat existing;
            if (::lstat(destination.c_str(), &existing) == 0) return fail(error, EEXIST, what, destination);
            if (::rename(source.c_str(), destination.c_str()) == 0) return true;
            err = errno;
        }
    }
    if (err != EXDEV) return fail(error, err, what, destination);
    // Another file system: copy, and remove the source only once the copy is whole.
    struct stat existing;
    if (::lstat(destination.c_str(), &existing) == 0) return fail(error, EEXIST, what, destination);
    Failure f = copyTree(source, destination);
    if (f.err) {
        if (f.err != EEXIST || f.path != destination) removeTree(destination);
        return fail(error, f.err, what, f.path);
    }
    f = removeTree(source);
    if (f.err) return fail(error, f.err, "Moved, but cannot remove", f.path);
    return true;
}

bool NSFileManager::copyItemAtPath(const std::string& source, const std::string& destination,
                                   NSErrorPtr* error) {
    struct stat st;
    if (::lstat(source.c_str(), &st) != 0) return fail(error, errno, "Cannot copy", source);
    if (::lstat(destination.c_str(), &st) == 0) return fail(error, EEXIST, "Cannot copy to", destination);
    Failure f = copyTree(source, destination);
    if (f.err) {
        // Leave nothing half-copied, but never touch a destination someone else created meanwhile.
        if (f.err != EEXIST || f.path != destination) removeTree(destination);
        return fail(error, f.err, "Cannot copy to", f.path);
    }
    return true;
}

bool NSFileManager::removeItemAtPath(const std::string& path, NSErrorPtr* error) {
    if (path.empty()) return fail(error, ENOENT, "Cannot remove", path);
    Failure f = removeTree(path);
    if (f.err) return fail(error, f.err, "Cannot remove", f.path);
    return true;
}

bool NSFileManager::createFileAtPath(const std::string& path, const Data& contents, Atomically atomically,
                                     NSErrorPtr* error) {
    const std::string what = "Cannot write";
    if (path.empty()) return fail(error, ENOENT, what, path);
    if (atomically == Atomically::No) {
        UniqueFd fd(openRetrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
        if (fd.get() < 0) return fail(error, errno, what, path);
        if (int err = writeAll(fd.get(), contents.bytes(), contents.length()))
            return fail(error, err, what, path);
        if (fd.close() != 0) return fail(error, errno, what, path);
        return true;
    }
    std::string temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp = temporarySibling(path);
        int raw = openRetrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (raw >= 0 || errno != EEXIST) {
            if (raw < 0) return fail(error, errno, what, path);
            fd.reset(raw);
            break;
        }
    }
    if (fd.get() < 0) return fail(error, EEXIST, what, path);
    // A replaced file keeps its permissions.
    struct stat old;
    if (::stat(path.c_str(), &old) == 0) ::fchmod(fd.get(), old.st_mode & 07777);
    int err = writeAll(fd.get(), contents.bytes(), contents.length());
    if (!err && ::fsync(fd.get()) != 0) err = errno;
    if (fd.close() != 0 && !err) err = errno;
    if (!err && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        ::unlink(temp.c_str());
        return fail(error, err, what, path);
    }
    // Make the rename itself durable; a failure here leaves the new contents in place regardless.
    UniqueFd dir(openRetrying(parentOf(path).c_str(), O_RDONLY | O_DIRECTORY));
    if (dir.get() >= 0) ::fsync(dir.get());
    return true;
}

std::optional<Data> NSFileManager::contentsAtPath(const std::string& path, NSErrorPtr* error) const {
    UniqueFd fd(openRetrying(path.c_str(), O_RDONLY));
    if (fd.get() < 0) {
        fail(error, errno, "Cannot read", path);
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    if (int err = readAll(fd.get(), bytes)) {
        fail(error, err, "Cannot read", path);
        return std::nullopt;
    }
    return Data(std::move(bytes));
}
