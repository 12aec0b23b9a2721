#include "platform/net/URLSessionDownload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/Sandbox.h"

namespace URLSessionDownload {

namespace {

constexpr int64_t kVersion = 1;

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!::realpath(path.c_str(), resolved)) return "";
    return resolved;
}

// Whether `path` names a regular file directly inside the sandbox's tmp (no links, no other directory).
bool isInTemporaryDirectory(const std::string& path) {
    std::string tmp = realPath(Sandbox::temporaryDirectory());
    if (tmp.empty() || path.empty() || path.find('/') == std::string::npos) return false;
    std::string directory = realPath(path.substr(0, path.rfind('/')));
    std::string name = path.substr(path.rfind('/') + 1);
    return directory == tmp && !name.empty() && name != "." && name != "..";
}

bool parseDecimal(std::string_view text, int64_t* out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    *out = value;
    return true;
}

}  // namespace

Data encodeResumeData(const ResumeInfo& info) {
    Value::Dictionary plist{
        {"version", Value(kVersion)},
        {"URL", Value(info.url)},
        {"headers", Value(info.headers)},
        {"partialFile", Value(info.path)},
        {"bytesReceived", Value(info.bytesReceived)},
    };
    if (!info.etag.empty()) plist["ETag"] = Value(info.etag);
    if (!info.lastModified.empty()) plist["Last-Modified"] = Value(info.lastModified);
    auto data = NSPropertyListSerialization::dataWithPropertyList(
        Value(std::move(plist)), NSPropertyListSerialization::Format::Binary, nullptr);
    return data ? *data : Data();
}

std::optional<ResumeInfo> decodeResumeData(const Data& data, std::string* problem) {
    auto fail = [&](const char* why) {
        if (problem) *problem = why;
        return std::nullopt;
    };
    if (data.empty()) return fail("the resume data is empty");
    auto plist = NSPropertyListSerialization::propertyListWithData(data, nullptr, nullptr);
    if (!plist || !plist->isDictionary())
        return fail("the resume data is not a property list of resume data");
    const Value* version = plist->find("version");
    if (!version || !version->isNumber() || version->integerValue() != kVersion)
        return fail("the resume data has an unknown version");
    ResumeInfo info;
    const Value* url = plist->find("URL");
    const Value* path = plist->find("partialFile");
    const Value* bytes = plist->find("bytesReceived");
    if (!url || !url->isString() || url->asString()->empty()) return fail("the resume data has no URL");
    if (!path || !path->isString()) return fail("the resume data names no partial file");
    if (!bytes || bytes->kind() != Value::Kind::Int || bytes->integerValue() < 0)
        return fail("the resume data has no byte count");
    info.url = *url->asString();
    info.path = *path->asString();
    info.bytesReceived = bytes->integerValue();
    if (const Value* headers = plist->find("headers")) {
        if (!headers->isDictionary()) return fail("the resume data's header fields are not a dictionary");
        for (const auto& [name, value] : *headers->asDictionary()) {
            if (!value.isString()) return fail("the resume data's header fields are not strings");
            info.headers[name] = value;
        }
    }
    for (auto [key, field] :
         {std::pair{"ETag", &info.etag}, std::pair{"Last-Modified", &info.lastModified}}) {
        if (const Value* value = plist->find(key)) {
            if (!value->isString()) return fail("the resume data's validators are not strings");
            *field = *value->asString();
        }
    }
    if (info.etag.empty() && info.lastModified.empty())
        return fail("the resume data has neither ETag nor Last-Modified");
    if (!isInTemporaryDirectory(info.path)) return fail("the resume data's partial file is not in tmp");
    return info;
}

int createTemporaryFile(std::string* path, std::string* problem) {
    std::string directory = Sandbox::temporaryDirectory();
    NSErrorPtr error;
    if (!NSFileManager::defaultManager()->createDirectoryAtPath(directory, NSFileManager::Intermediates::Yes,
                                                                &error)) {
        *problem = "cannot make " + directory + ": " + (error ? error->localizedDescription() : "");
        return -1;
    }
    std::string pattern = directory + "/Download_XXXXXX.tmp";
    int fd = ::mkostemps(pattern.data(), 4, O_CLOEXEC);
    if (fd < 0) {
        *problem = "cannot make a file in " + directory + ": " + std::strerror(errno);
        return -1;
    }
    *path = pattern;
    return fd;
}

int openPartialFile(const std::string& path, int64_t offset, int64_t* kept) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    int64_t keep = std::min<int64_t>(offset, int64_t(info.st_size));
    if (::ftruncate(fd, off_t(keep)) != 0 || ::lseek(fd, off_t(keep), SEEK_SET) < 0) {
        ::close(fd);
        return -1;
    }
    *kept = keep;
    return fd;
}

bool truncateFile(int fd) {
    return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0;
}

bool writeAll(int fd, const char* bytes, size_t length, std::string* problem) {
    while (length > 0) {
        ssize_t n = ::write(fd, bytes, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *problem = std::string("cannot write the download: ") + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        bytes += n;
        length -= size_t(n);
    }
    return true;
}

std::optional<ContentRange> parseContentRange(const std::string& value) {
    std::string_view text = value;
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.substr(0, 6) != "bytes ") return std::nullopt;
    text.remove_prefix(6);
    size_t dash = text.find('-');
    size_t slash = text.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash)
        return std::nullopt;
    ContentRange range;
    if (!parseDecimal(text.substr(0, dash), &range.first) ||
        !parseDecimal(text.substr(dash + 1, slash - dash - 1), &range.last) || range.last < range.first)
        return std::nullopt;
    std::string_view total = text.substr(slash + 1);
    while (!total.empty() && (total.back() == ' ' || total.back() == '\r')) total.remove_suffix(1);
    if (total != "*" && (!parseDecimal(total, &range.total) || range.total <= range.last))
        return std::nullopt;
    return range;
}

}  // namespace URLSessionDownload
