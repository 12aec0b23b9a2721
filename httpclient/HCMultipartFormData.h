// Streamed "multipart/form-data" request bodies.
//
// HCStreamingMultipartFormData builds one: it holds a copy of the request and a random boundary, takes
// parts through the HCMultipartFormData interface, and finally puts the body stream, the multipart
// "Content-Type" and the "Content-Length" on the request. HCMultipartBodyStream is that body: an input
// stream that hands the parts out one after another, each as its boundary line, its header block and its
// body, and the closing boundary after the last. Bodies are never assembled in memory: files and streams are
// read in place while the request is sent.
//
//   --<boundary>CRLF                      first part: no leading CRLF
//   Content-Disposition: form-data; name="a"CRLF
//   CRLF
//   <body bytes>
//   CRLF--<boundary>CRLF                  every later part
//   ...
//   CRLF--<boundary>--CRLF                after the last part
//
// Header lines come in the order they were given (Content-Disposition, then Content-Type). Quotes, CR, LF
// and backslashes in a name or file name are written as %22, %0D, %0A and %5C, and CR or LF in a raw
// header as a space, so a field can never end its header line or forge a boundary.
//
// A part yields exactly its declared length. A file or stream that turns out shorter or longer than it was
// declared (a file changed after it was appended, a stream given the wrong length) fails the body stream
// with an error instead of sending a body that disagrees with its "Content-Length"; a failed body stream
// stays failed. A body stream is read by one thread at a time (the URL session's); a copy starts over from
// the first byte.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/InputStream.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

inline constexpr long HCMultipartErrorCode = -1000;  // in HCRequestSerializationErrorDomain
inline constexpr const char* HCMultipartDefaultMIMEType = "application/octet-stream";

// The MIME type for a file-name extension (case-insensitive, without the dot), from our own table;
// "application/octet-stream" for an extension the table does not know.
std::string HCMIMETypeForPathExtension(const std::string& extension);

// Header fields of one part, in order.
using HCPartHeaders = std::vector<std::pair<std::string, std::string>>;

// What a body-constructing block may do with the builder.
class HCMultipartFormData {
  public:
    virtual ~HCMultipartFormData() = default;

    // A file part named after the file, typed by its extension. false with the error when the URL is not a
    // file URL, the file cannot be reached, or its attributes cannot be read.
    virtual bool appendPartWithFileURL(const NSURLPtr& fileURL, const std::string& name,
                                       NSErrorPtr* error) = 0;
    // The file's size now is its declared length.
    virtual bool appendPartWithFileURL(const NSURLPtr& fileURL, const std::string& name,
                                       const std::string& fileName,
                                       const std::optional<std::string>& mimeType, NSErrorPtr* error) = 0;
    // A part read from `stream` while the body is sent; `length` bytes are declared (negative counts as 0).
    // No "Content-Type" line without a MIME type.
    virtual void appendPartWithInputStream(NSInputStreamPtr stream, const std::string& name,
                                           const std::string& fileName, int64_t length,
                                           const std::optional<std::string>& mimeType) = 0;
    virtual void appendPartWithFileData(const Data& data, const std::string& name,
                                        const std::string& fileName,
                                        const std::optional<std::string>& mimeType) = 0;
    // A form field: "Content-Disposition" only.
    virtual void appendPartWithFormData(const Data& data, const std::string& name) = 0;
    // A part with exactly these headers.
    virtual void appendPartWithHeaders(const HCPartHeaders& headers, const Data& body) = 0;
    // At most `numberOfBytes` a read (0 lifts the cap) and a pause of `delay` seconds after each part read.
    // The pause blocks the reading thread.
    virtual void throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay) = 0;
};

// One part: its boundary line, header block, body and (for the last) closing boundary.
class HCHTTPBodyPart {
  public:
    using Body = std::variant<Data, NSURLPtr, NSInputStreamPtr>;

    HCHTTPBodyPart(unsigned long stringEncoding, HCPartHeaders headers, std::string boundary, Body body,
                   uint64_t bodyContentLength);
    ~HCHTTPBodyPart();
    HCHTTPBodyPart(const HCHTTPBodyPart&) = delete;
    HCHTTPBodyPart& operator=(const HCHTTPBodyPart&) = delete;

    // A fresh part with the same encoding, headers, boundary, body and length. A stream body is copied when
    // the stream can start over, else shared.
    std::unique_ptr<HCHTTPBodyPart> copy() const;

    const HCPartHeaders& headers() const { return headers_; }
    const std::string& boundary() const { return boundary_; }
    const Body& body() const { return body_; }
    uint64_t bodyContentLength() const { return bodyContentLength_; }
    bool hasInitialBoundary() const { return hasInitialBoundary_; }
    void setHasInitialBoundary(bool has) { hasInitialBoundary_ = has; }
    bool hasFinalBoundary() const { return hasFinalBoundary_; }
    void setHasFinalBoundary(bool has) { hasFinalBoundary_ = has; }

    // Bytes this part puts on the wire.
    uint64_t contentLength() const;

    // Up to `maxLength` bytes of the part; -1 on a failure (see error()). 0 with `finished()` false means the
    // body's stream has no bytes yet.
    long read(uint8_t* buffer, size_t maxLength);
    bool finished() const { return phase_ == Phase::Done; }
    bool waitingForBody() const;
    const NSErrorPtr& error() const { return error_; }
    // Back to the first byte, with a fresh stream over a data or file body.
    void rewind();

  private:
    enum class Phase { Boundary, Headers, Body, FinalBoundary, Done };

    std::string boundaryText() const;
    std::string headerText() const;
    std::string finalBoundaryText() const;
    Data encoded(const std::string& text) const;
    size_t readText(const Data& text, uint8_t* buffer, size_t maxLength);
    long readBody(uint8_t* buffer, size_t maxLength);
    const NSInputStreamPtr& inputStream();
    void transitionToNextPhase();
    long fail(NSErrorPtr error);

    unsigned long stringEncoding_;
    HCPartHeaders headers_;
    std::string boundary_;
    Body body_;
    uint64_t bodyContentLength_;
    bool hasInitialBoundary_ = false;
    bool hasFinalBoundary_ = false;

    Phase phase_ = Phase::Boundary;
    uint64_t phaseOffset_ = 0;
    uint64_t bodyRead_ = 0;
    NSInputStreamPtr inputStream_;
    bool ownsInputStream_ = false;
    NSErrorPtr error_;
};

class HCMultipartBodyStream final : public NSInputStream {
  public:
    static std::shared_ptr<HCMultipartBodyStream> create(unsigned long stringEncoding);

    void appendHTTPBodyPart(std::unique_ptr<HCHTTPBodyPart> part);
    bool isEmpty() const { return parts_.empty(); }
    size_t partCount() const { return parts_.size(); }
    const HCHTTPBodyPart& part(size_t index) const { return *parts_.at(index); }
    // The first part opens with the initial boundary line, the last one closes the body.
    void setInitialAndFinalBoundaries();
    uint64_t contentLength() const;

    size_t numberOfBytesInPacket() const { return numberOfBytesInPacket_; }
    void setNumberOfBytesInPacket(size_t bytes) { numberOfBytesInPacket_ = bytes ? bytes : kUnlimited; }
    double delay() const { return delay_; }
    void setDelay(double seconds) { delay_ = seconds > 0 ? seconds : 0; }

    // Opening (again, after a close) starts over from the first byte.
    void open() override;
    void close() override;
    // Bytes of the body in order; 0 once it is all read (the stream is then at its end) or while a part's
    // stream has no bytes yet; -1 once a part has failed (streamError() tells why).
    long read(uint8_t* buffer, size_t maxLength) override;
    bool hasBytesAvailable() const override;

    // A fresh, unopened stream over copies of the parts, with the same packet size and delay.
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;
    bool supportsCopying() const override { return true; }

  private:
    static constexpr size_t kUnlimited = size_t(INT64_MAX);
    explicit HCMultipartBodyStream(unsigned long stringEncoding) : stringEncoding_(stringEncoding) {}

    unsigned long stringEncoding_;
    std::vector<std::unique_ptr<HCHTTPBodyPart>> parts_;
    size_t current_ = 0;
    size_t numberOfBytesInPacket_ = kUnlimited;
    double delay_ = 0;
    double readyAt_ = 0;  // platform clock: when a throttled stream gives its next packet
};

using HCMultipartBodyStreamPtr = std::shared_ptr<HCMultipartBodyStream>;

class HCStreamingMultipartFormData final : public HCMultipartFormData {
  public:
    // `stringEncoding` encodes every boundary and header text (HCUTF8StringEncoding and friends).
    static std::shared_ptr<HCStreamingMultipartFormData> create(const NSURLRequest& request,
                                                                unsigned long stringEncoding);

    const NSMutableURLRequest& request() const { return request_; }
    unsigned long stringEncoding() const { return stringEncoding_; }
    // "Boundary+" and 16 upper-case hexadecimal digits.
    const std::string& boundary() const { return boundary_; }
    const HCMultipartBodyStreamPtr& bodyStream() const { return bodyStream_; }

    bool appendPartWithFileURL(const NSURLPtr& fileURL, const std::string& name, NSErrorPtr* error) override;
    bool appendPartWithFileURL(const NSURLPtr& fileURL, const std::string& name, const std::string& fileName,
                               const std::optional<std::string>& mimeType, NSErrorPtr* error) override;
    void appendPartWithInputStream(NSInputStreamPtr stream, const std::string& name,
                                   const std::string& fileName, int64_t length,
                                   const std::optional<std::string>& mimeType) override;
    void appendPartWithFileData(const Data& data, const std::string& name, const std::string& fileName,
                                const std::optional<std::string>& mimeType) override;
    void appendPartWithFormData(const Data& data, const std::string& name) override;
    void appendPartWithHeaders(const HCPartHeaders& headers, const Data& body) override;
    void throttleBandwidthWithPacketSize(size_t numberOfBytes, double delay) override;

    // The request with the body stream and the multipart headers; unchanged when no part was appended.
    NSMutableURLRequest requestByFinalizingMultipartFormData();

  private:
    HCStreamingMultipartFormData(const NSURLRequest& request, unsigned long stringEncoding);
    void append(HCPartHeaders headers, HCHTTPBodyPart::Body body, uint64_t length);

    NSMutableURLRequest request_;
    unsigned long stringEncoding_;
    std::string boundary_;
    HCMultipartBodyStreamPtr bodyStream_;
};

using HCStreamingMultipartFormDataPtr = std::shared_ptr<HCStreamingMultipartFormData>;
