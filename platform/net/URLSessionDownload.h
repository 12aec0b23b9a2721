// Files and resume data of download tasks (internal to platform/net).
//
// Resume data is a binary property list (version 1): the URL, the request's header fields, the partial
// file's path, the bytes it holds and the validators (ETag, Last-Modified) that the resumed request sends in
// "If-Range". Callers treat it as opaque bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace URLSessionDownload {

struct ResumeInfo {
    std::string url;
    Value::Dictionary headers;  // the request's header fields (strings)
    std::string path;           // the partial file, in the sandbox's tmp
    int64_t bytesReceived = 0;
    std::string etag;
    std::string lastModified;
};

Data encodeResumeData(const ResumeInfo& info);
// nullopt when `data` is not resume data of ours, or names a file outside the sandbox's tmp; `problem`
// then says why.
std::optional<ResumeInfo> decodeResumeData(const Data& data, std::string* problem);

// A new empty file in the sandbox's tmp (made when missing), open for writing; -1 with `problem` on failure.
int createTemporaryFile(std::string* path, std::string* problem);
// Opens the partial file `path` for appending at `offset` (cut there when longer). Returns the descriptor
// and the offset really kept in `kept` (less than `offset` when the file is shorter); -1 when the file is
// missing or cannot be opened.
int openPartialFile(const std::string& path, int64_t offset, int64_t* kept);
// Empties an open file and rewinds it.
bool truncateFile(int fd);
bool writeAll(int fd, const char* bytes, size_t length, std::string* problem);

// "bytes <first>-<last>/<total or *>": the first byte and the total (-1 for "*"); nullopt when malformed.
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    int64_t total = -1;
};
std::optional<ContentRange> parseContentRange(const std::string& value);

}  // namespace URLSessionDownload
