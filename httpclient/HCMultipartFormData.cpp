#include "httpclient/HCMultipartFormData.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "httpclient/HCNetworkingStrings.h"
#include "httpclient/HCQueryString.h"
#include "httpclient/HCURLRequestSerialization.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/TextUtil.h"

namespace {

constexpr const char* kCRLF = "\r\n";
// How long spooling waits for a body stream that has no bytes yet before it gives up.
constexpr double kSpoolStallSeconds = 60;

NSErrorPtr multipartError(const std::string& reason) {
    std::string text = HCNetworkingLocalizedString(reason);
    return NSError::create(
        HCRequestSerializationErrorDomain, HCMultipartErrorCode,
        {{NSLocalizedFailureReasonErrorKey, Value(text)}, {NSLocalizedDescriptionKey, Value(text)}});
}

NSErrorPtr posixError(int code, const std::string& path) {
    return NSError::create(NSPOSIXErrorDomain, code,
                           {{NSLocalizedDescriptionKey, Value(path + ": " + std::strerror(code))},
                            {NSFilePathErrorKey, Value(path)}});
}

// A name or file name inside double quotes: nothing in it may close the quotes or the header line.
std::string quotedFieldText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '"':
                out += "%22";
                break;
            case '\r':
                out += "%0D";
                break;
            case '\n':
                out += "%0A";
                break;
            case '\\':
                out += "%5C";
                break;  // some receivers drop it or take it as an escape
            default:
                out += c;
        }
    }
    return out;
}

// A raw header name or value on one line.
std::string oneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return text;
}

HCPartHeaders fileHeaders(const std::string& name, const std::string& fileName,
                          const std::optional<std::string>& mimeType) {
    HCPartHeaders headers{{"Content-Disposition", "form-data; name=\"" + quotedFieldText(name) +
                                                      "\"; filename=\"" + quotedFieldText(fileName) + "\""}};
    if (mimeType) headers.emplace_back("Content-Type", *mimeType);
    return headers;
}

std::string randomBoundary() {
    std::random_device random;
    char text[32];
    std::snprintf(text, sizeof text, "Boundary+%08X%08X", unsigned(random()), unsigned(random()));
    return text;
}

}  // namespace

std::string HCMIMETypeForPathExtension(const std::string& extension) {
    static const std::array<std::pair<const char*, const char*>, 40> kTable{{
        {"7z", "application/x-7z-compressed"},
        {"aac", "audio/aac"},
        {"avi", "video/x-msvideo"},
        {"bmp", "image/bmp"},
        {"css", "text/css"},
        {"csv", "text/csv"},
        {"doc", "application/msword"},
        {"gif", "image/gif"},
        {"gz", "application/gzip"},
        {"heic", "image/heic"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"ico", "image/x-icon"},
        {"jpeg", "image/jpeg"},
        {"jpg", "image/jpeg"},
        {"js", "text/javascript"},
        {"json", "application/json"},
        {"m4a", "audio/mp4"},
        {"mov", "video/quicktime"},
        {"mp3", "audio/mpeg"},
        {"mp4", "video/mp4"},
        {"pdf", "application/pdf"},
        {"plist", "application/x-plist"},
        {"png", "image/png"},
        {"rtf", "text/rtf"},
        {"svg", "image/svg+xml"},
        {"tar", "application/x-tar"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"txt", "text/plain"},
        {"wav", "audio/wav"},
        {"webp", "image/webp"},
        {"xls", "application/vnd.ms-excel"},
        {"xml", "application/xml"},
        {"zip", "application/zip"},
        {"m4v", "video/x-m4v"},
        {"3gp", "video/3gpp"},
        {"amr", "audio/amr"},
        {"caf", "audio/x-caf"},
        {"mpeg", "video/mpeg"},
    }};
    std::string lower = TextUtil::toLowerASCII(extension);
    for (const auto& [ext, type] : kTable)
        if (lower == ext) return type;
    return HCMultipartDefaultMIMEType;
}

// ---- HCHTTPBodyPart ----

HCHTTPBodyPart::HCHTTPBodyPart(unsigned long stringEncoding, HCPartHeaders headers, std::string boundary,
                               Body body, uint64_t bodyContentLength)
    : stringEncoding_(stringEncoding),
      headers_(std::move(headers)),
      boundary_(std::move(boundary)),
      body_(std::move(body)),
      bodyContentLength_(bodyContentLength) {}

HCHTTPBodyPart::~HCHTTPBodyPart() {
    if (ownsInputStream_ && inputStream_) inputStream_->close();
}

std::unique_ptr<HCHTTPBodyPart> HCHTTPBodyPart::copy() const {
    Body body = body_;
    if (const auto* stream = std::get_if<NSInputStreamPtr>(&body_);
        stream && *stream && (*stream)->supportsCopying()) {
        if (auto fresh = std::dynamic_pointer_cast<NSInputStream>((*stream)->copyWithZone(nullptr)))
            body = fresh;
    }
    return std::make_unique<HCHTTPBodyPart>(stringEncoding_, headers_, boundary_, std::move(body),
                                            bodyContentLength_);
}

std::string HCHTTPBodyPart::boundaryText() const {
    return hasInitialBoundary_ ? "--" + boundary_ + kCRLF : std::string(kCRLF) + "--" + boundary_ + kCRLF;
}

std::string HCHTTPBodyPart::headerText() const {
    std::string text;
    for (const auto& [name, value] : headers_) text += oneLine(name) + ": " + oneLine(value) + kCRLF;
    return text + kCRLF;
}

std::string HCHTTPBodyPart::finalBoundaryText() const {
    return hasFinalBoundary_ ? std::string(kCRLF) + "--" + boundary_ + "--" + kCRLF : std::string();
}

// UTF-8 when the encoding cannot hold the text: the same bytes every time, so lengths and reads agree.
Data HCHTTPBodyPart::encoded(const std::string& text) const {
    if (auto data = HCEncodedText(text, stringEncoding_)) return *data;
    return Data::fromString(text);
}

uint64_t HCHTTPBodyPart::contentLength() const {
    return encoded(boundaryText()).length() + encoded(headerText()).length() + bodyContentLength_ +
           encoded(finalBoundaryText()).length();
}

const NSInputStreamPtr& HCHTTPBodyPart::inputStream() {
    if (inputStream_) return inputStream_;
    if (const auto* data = std::get_if<Data>(&body_)) {
        inputStream_ = NSInputStream::inputStreamWithData(*data);
        ownsInputStream_ = true;
    } else if (const auto* url = std::get_if<NSURLPtr>(&body_); url && *url) {
        inputStream_ = NSInputStream::inputStreamWithFileAtPath((*url)->path());
        ownsInputStream_ = true;
    } else if (const auto* stream = std::get_if<NSInputStreamPtr>(&body_); stream && *stream) {
        inputStream_ = *stream;
    } else {
        inputStream_ = NSInputStream::inputStreamWithData(Data());
        ownsInputStream_ = true;
    }
    return inputStream_;
}

void HCHTTPBodyPart::transitionToNextPhase() {
    // Our streams are read where they are, with no run loop to schedule them on: the transition runs on the
    // reading thread and never waits for another.
    switch (phase_) {
        case Phase::Boundary:
            phase_ = Phase::Headers;
            break;
        case Phase::Headers:
            phase_ = Phase::Body;
            if (inputStream()->streamStatus() == NSStreamStatus::NotOpen) inputStream_->open();
            break;
        case Phase::Body:
            phase_ = Phase::FinalBoundary;
            inputStream_->close();
            break;
        case Phase::FinalBoundary:
            phase_ = Phase::Done;
            break;
        case Phase::Done:
            break;
    }
    phaseOffset_ = 0;
}

long HCHTTPBodyPart::fail(NSErrorPtr error) {
    error_ = error ? std::move(error) : multipartError("The body of a multipart part could not be read.");
    return -1;
}

size_t HCHTTPBodyPart::readText(const Data& text, uint8_t* buffer, size_t maxLength) {
    size_t count = size_t(std::min<uint64_t>(text.length() - phaseOffset_, maxLength));
    if (count) std::memcpy(buffer, text.bytes() + phaseOffset_, count);
    phaseOffset_ += count;
    if (phaseOffset_ >= text.length()) transitionToNextPhase();
    return count;
}

long HCHTTPBodyPart::readBody(uint8_t* buffer, size_t maxLength) {
    NSInputStream& stream = *inputStream();
    auto lengthError = [&](const char* what) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The body of a multipart part is %s than the %llu bytes declared for it.", what,
                      static_cast<unsigned long long>(bodyContentLength_));
        return NSError::withDescription(HCRequestSerializationErrorDomain, HCMultipartErrorCode, text);
    };
    size_t total = 0;
    for (;;) {
        const NSStreamStatus status = stream.streamStatus();
        if (status == NSStreamStatus::Error) return fail(stream.streamError());
        const bool ended = status == NSStreamStatus::AtEnd || status == NSStreamStatus::Closed;
        // A caller's stream that is still open but has nothing yet: come back later.
        if (!ended && !ownsInputStream_ && !stream.hasBytesAvailable()) return long(total);

        const uint64_t remaining = bodyContentLength_ - bodyRead_;
        if (remaining == 0) {
            // The declared bytes are out; the stream must have nothing more.
            if (!ended) {
                uint8_t probe;
                long n = stream.read(&probe, 1);
                if (n < 0) return fail(stream.streamError());
                if (n > 0) return fail(lengthError("longer"));
                if (stream.streamStatus() != NSStreamStatus::AtEnd &&
                    stream.streamStatus() != NSStreamStatus::Closed)
                    return long(total);
            }
            transitionToNextPhase();
            return long(total);
        }
        if (ended) return fail(lengthError("shorter"));
        if (total == maxLength) return long(total);
        long n = stream.read(buffer + total, size_t(std::min<uint64_t>(remaining, maxLength - total)));
        if (n < 0) return fail(stream.streamError());
        if (n == 0) {
            const NSStreamStatus after = stream.streamStatus();
            if (after == NSStreamStatus::AtEnd || after == NSStreamStatus::Closed)
                return fail(lengthError("shorter"));
            return long(total);
        }
        bodyRead_ += uint64_t(n);
        total += size_t(n);
    }
}

long HCHTTPBodyPart::read(uint8_t* buffer, size_t maxLength) {
    if (error_) return -1;
    size_t total = 0;
    if (phase_ == Phase::Boundary) total += readText(encoded(boundaryText()), buffer, maxLength);
    if (phase_ == Phase::Headers) total += readText(encoded(headerText()), buffer + total, maxLength - total);
    if (phase_ == Phase::Body) {
        long n = readBody(buffer + total, maxLength - total);
        if (n < 0) return -1;
        total += size_t(n);
    }
    if (phase_ == Phase::FinalBoundary)
        total += readText(encoded(finalBoundaryText()), buffer + total, maxLength - total);
    return long(total);
}

bool HCHTTPBodyPart::waitingForBody() const {
    if (phase_ != Phase::Body || !inputStream_ || ownsInputStream_ || error_) return false;
    const NSStreamStatus status = inputStream_->streamStatus();
    return status != NSStreamStatus::AtEnd && status != NSStreamStatus::Closed &&
           status != NSStreamStatus::Error && !inputStream_->hasBytesAvailable();
}

void HCHTTPBodyPart::rewind() {
    phase_ = Phase::Boundary;
    phaseOffset_ = 0;
    bodyRead_ = 0;
    error_.reset();
    if (ownsInputStream_) {
        if (inputStream_) inputStream_->close();
        inputStream_.reset();
        ownsInputStream_ = false;
    } else if (inputStream_ && inputStream_->streamStatus() != NSStreamStatus::NotOpen &&
               inputStream_->supportsCopying()) {
        // A caller's stream that has been read: start over on a fresh copy when it can.
        if (auto fresh = std::dynamic_pointer_cast<NSInputStream>(inputStream_->copyWithZone(nullptr))) {
            body_ = fresh;
            inputStream_.reset();
        }
    }
}

// ---- HCMultipartBodyStream ----

std::shared_ptr<HCMultipartBodyStream> HCMultipartBodyStream::create(unsigned long stringEncoding) {
    return std::shared_ptr<HCMultipartBodyStream>(new HCMultipartBodyStream(stringEncoding));
}

void HCMultipartBodyStream::appendHTTPBodyPart(std::unique_ptr<HCHTTPBodyPart> part) {
    if (part) parts_.push_back(std::move(part));
}

void HCMultipartBodyStream::setInitialAndFinalBoundaries() {
    if (parts_.empty()) return;
    for (auto& part : parts_) {
        part->setHasInitialBoundary(false);
        part->setHasFinalBoundary(false);
    }
    parts_.front()->setHasInitialBoundary(true);
    parts_.back()->setHasFinalBoundary(true);
}

uint64_t HCMultipartBodyStream::contentLength() const {
    uint64_t length = 0;
    for (const auto& part : parts_) length += part->contentLength();
    return length;
}

void HCMultipartBodyStream::open() {
    const NSStreamStatus status = streamStatus();
    if (status != NSStreamStatus::NotOpen && status != NSStreamStatus::Closed) return;
    setInitialAndFinalBoundaries();
    for (auto& part : parts_) part->rewind();
    current_ = 0;
    setStatus(NSStreamStatus::Open);
}

void HCMultipartBodyStream::close() {
    if (streamStatus() != NSStreamStatus::Error) setStatus(NSStreamStatus::Closed);
}

long HCMultipartBodyStream::read(uint8_t* buffer, size_t maxLength) {
    const NSStreamStatus status = streamStatus();
    if (status == NSStreamStatus::Error) return -1;
    if (status != NSStreamStatus::Open) return 0;
    // Throttled: nothing until the delay after the last packet is over. The reader (the session's I/O
    // loop) pauses meanwhile instead of sleeping here, so its other transfers go on.
    if (delay_ > 0 && Clock::monotonic() < readyAt_) return 0;
    const size_t limit = std::min(maxLength, numberOfBytesInPacket_);
    size_t total = 0;
    while (total < limit && current_ < parts_.size()) {
        HCHTTPBodyPart& part = *parts_[current_];
        if (part.finished()) {
            ++current_;
            continue;
        }
        long n = part.read(buffer + total, limit - total);
        if (n < 0) {
            // The body can no longer match its length: the stream fails for good.
            fail(part.error());
            return total ? long(total) : -1;
        }
        total += size_t(n);
        if (n == 0 && !part.finished()) break;  // its stream has nothing yet
    }
    if (delay_ > 0 && total > 0) readyAt_ = Clock::monotonic() + delay_;
    if (total == 0 && current_ >= parts_.size()) setStatus(NSStreamStatus::AtEnd);
    return long(total);
}

bool HCMultipartBodyStream::hasBytesAvailable() const {
    if (streamStatus() != NSStreamStatus::Open) return false;
    if (delay_ > 0 && Clock::monotonic() < readyAt_) return false;
    for (size_t i = current_; i < parts_.size(); ++i) {
        if (!parts_[i]->finished()) return !parts_[i]->waitingForBody();
    }
    return true;  // the next read reports the end
}

std::shared_ptr<Object> HCMultipartBodyStream::copyWithZone(NSZone*) const {
    auto copy = create(stringEncoding_);
    // A resent body (a redirect, a new body stream) keeps to the bandwidth the caller asked for.
    copy->numberOfBytesInPacket_ = numberOfBytesInPacket_;
    copy->delay_ = delay_;
    for (const auto& part : parts_) copy->appendHTTPBodyPart(part->copy());
    copy->setInitialAndFinalBoundaries();
    return copy;
}

// ---- HCStreamingMultipartFormData ----

HCStreamingMultipartFormData::HCStreamingMultipartFormData(const NSURLRequest& request,
                                                           unsigned long stringEncoding)
    : request_(request),
      stringEncoding_(stringEncoding),
      boundary_(randomBoundary()),
      bodyStream_(HCMultipartBodyStream::create(stringEncoding)) {}

std::shared_ptr<HCStreamingMultipartFormData> HCStreamingMultipartFormData::create(
    const NSURLRequest& request, unsigned long stringEncoding) {
    return std::shared_ptr<HCStreamingMultipartFormData>(
        new HCStreamingMultipartFormData(request, stringEncoding));
}

void HCStreamingMultipartFormData::append(HCPartHeaders headers, HCHTTPBodyPart::Body body, uint64_t length) {
    bodyStream_->appendHTTPBodyPart(std::make_unique<HCHTTPBodyPart>(stringEncoding_, std::move(headers),
                                                                     boundary_, std::move(body), length));
}

bool HCStreamingMultipartFormData::appendPartWithFileURL(const NSURLPtr& fileURL, const std::string& name,
                                                         NSErrorPtr* error) {
    std::string fileName = fileURL ? fileURL->lastPathComponent() : std::string();
    std::string mimeType = HCMIMETypeForPathExtension(fileURL ? fileURL->pathExtension() : std::string());
    return appendPartWithFileURL(fileURL, name, fileName, mimeType, error);
}

bool HCStreamingMultipartFormData::appendPartWithFileURL(const NSURLPtr& fileURL, const std::string& name,
                                                         const std::string& fileName,
                                                         const std::optional<std::string>& mimeType,
                                                         NSErrorPtr* error) {
    if (!fileURL || !fileURL->isFileURL()) {
        if (error) *error = multipartError("Expected URL to be a file URL");
        return false;
    }
    const std::string path = fileURL->path();
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        const int code = errno;
        if (error)
            *error = code == ENOENT || code == ENOTDIR ? multipartError("File URL not reachable.")
                                                       : posixError(code, path);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        // A directory or a device has no length to declare.
        if (error) *error = multipartError("Expected URL to be a regular file");
        return false;
    }
    append(fileHeaders(name, fileName, mimeType), fileURL, uint64_t(info.st_size));
    return true;
}

void HCStreamingMultipartFormData::appendPartWithInputStream(NSInputStreamPtr stream, const std::string& name,
                                                             const std::string& fileName, int64_t length,
                                                             const std::optional<std::string>& mimeType) {
    append(fileHeaders(name, fileName, mimeType), std::move(stream), length > 0 ? uint64_t(length) : 0);
}

void HCStreamingMultipartFormData::appendPartWithFileData(const Data& data, const std::string& name,
                                                          const std::string& fileName,
                                                          const std::optional<std::string>& mimeType) {
    appendPartWithHeaders(fileHeaders(name, fileName, mimeType), data);
}

void HCStreamingMultipartFormData::appendPartWithFormData(const Data& data, const std::string& name) {
    appendPartWithHeaders({{"Content-Disposition", "form-data; name=\"" + quotedFieldText(name) + "\""}},
                          data);
}

void HCStreamingMultipartFormData::appendPartWithHeaders(const HCPartHeaders& headers, const Data& body) {
    append(headers, body, body.length());
}

void HCStreamingMultipartFormData::throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay) {
    bodyStream_->setNumberOfBytesInPacket(numberOfBytes);
    bodyStream_->setDelay(delay);
}

NSMutableURLRequest HCStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
    if (bodyStream_->isEmpty()) return request_;
    bodyStream_->setInitialAndFinalBoundaries();
    request_.setHTTPBodyStream(bodyStream_);
    request_.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
    request_.setValue(std::to_string(bodyStream_->contentLength()), "Content-Length");
    return request_;
}

// ---- The request serializer's multipart requests ----

std::optional<NSMutableURLRequest> HCHTTPRequestSerializer::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString, const Value& parameters,
    const ConstructingBodyBlock& block, NSErrorPtr* error) const {
    auto request = requestWithMethod(method, URLString, Value(), error);
    if (!request) return std::nullopt;

    auto formData = HCStreamingMultipartFormData::create(*request, HCUTF8StringEncoding);
    if (!parameters.isNull()) {
        for (const auto& pair : HCFlattenedQueryPairs(std::nullopt, parameters)) {
            std::optional<Data> data;
            if (const Data* bytes = pair.value().asData())
                data = *bytes;
            else if (pair.value().isNull())
                data = Data();
            else
                data = HCEncodedText(pair.value().stringValue(), stringEncoding_);
            // A parameter left out would send a form the caller did not ask for.
            if (!data) {
                if (error) *error = HCInapplicableStringEncodingError(stringEncoding_);
                return std::nullopt;
            }
            formData->appendPartWithFormData(*data, pair.field().stringValue());
        }
    }
    if (block) block(*formData);
    return formData->requestByFinalizingMultipartFormData();
}

NSMutableURLRequest HCHTTPRequestSerializer::requestWithMultipartFormRequest(
    const NSURLRequest& request, const NSURLPtr& fileURL, SpoolCompletion completionHandler) const {
    NSInputStreamPtr input = request.HTTPBodyStream();
    // A stream that has been read already (sent, say) is spooled from a fresh copy when it can start over.
    if (input && input->streamStatus() != NSStreamStatus::NotOpen && input->supportsCopying()) {
        if (auto fresh = std::dynamic_pointer_cast<NSInputStream>(input->copyWithZone(nullptr)))
            input = fresh;
    }
    std::string path = fileURL && fileURL->isFileURL() ? fileURL->path() : std::string();

    DispatchQueue::global()->async([input, path, completionHandler] {
        auto spool = [&]() -> NSErrorPtr {
            if (path.empty()) return multipartError("Expected URL to be a file URL");
            if (!input) return multipartError("The request has no body stream to write.");
            int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) return posixError(errno, path);
            NSErrorPtr error;
            input->open();
            uint8_t buffer[1024];
            using Steady = std::chrono::steady_clock;
            std::optional<Steady::time_point> stalledSince;
            for (;;) {
                const NSStreamStatus status = input->streamStatus();
                if (status == NSStreamStatus::Error) {
                    error = input->streamError();
                    break;
                }
                if (status == NSStreamStatus::AtEnd || status == NSStreamStatus::Closed) break;
                long n = input->hasBytesAvailable() ? input->read(buffer, sizeof buffer) : 0;
                if (n < 0) {
                    error = input->streamError();
                    break;
                }
                if (n == 0) {
                    const NSStreamStatus after = input->streamStatus();
                    if (after == NSStreamStatus::AtEnd || after == NSStreamStatus::Closed) break;
                    if (after == NSStreamStatus::Error) continue;
                    // Open with nothing yet: wait a little, but not for ever.
                    // Real time: this waits on another thread's stream, not on the app's clock.
                    const auto now = Steady::now();
                    if (!stalledSince) stalledSince = now;
                    if (now - *stalledSince > std::chrono::duration<double>(kSpoolStallSeconds)) {
                        error = multipartError("The body stream stopped delivering bytes.");
                        break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                stalledSince.reset();
                for (long written = 0; written < n && !error;) {
                    ssize_t w = ::write(fd, buffer + written, size_t(n - written));
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0)
                        error = posixError(w < 0 ? errno : EIO, path);
                    else
                        written += w;
                }
                if (error) break;
            }
            if (::close(fd) != 0 && !error) error = posixError(errno, path);
            input->close();
            if (!error && input->streamStatus() == NSStreamStatus::Error) error = input->streamError();
            return error ? error : nullptr;
        };
        NSErrorPtr error = spool();
        if (!completionHandler) return;
        DispatchQueue::main()->async([completionHandler, error] { completionHandler(error); });
    });

    NSMutableURLRequest copy = request;
    copy.setHTTPBodyStream(nullptr);
    return copy;
}
