// NSURLResponse and NSHTTPURLResponse: what a server answered, without the body.
//
// Both are immutable shared objects. For an HTTP response the MIME type is the media type of
// "Content-Type" before any ";", trimmed and lower-cased (none without the header); the text encoding name
// is its "charset" parameter, unquoted and lower-cased; the expected length is "Content-Length", or -1
// when unknown. Header names are looked up without regard to case.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/NSURL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

inline constexpr int64_t NSURLResponseUnknownLength = -1;

class NSURLResponse : public Object {
  public:
    static std::shared_ptr<NSURLResponse> create(std::shared_ptr<NSURL> url,
                                                 std::optional<std::string> mimeType,
                                                 int64_t expectedContentLength,
                                                 std::optional<std::string> textEncodingName);

    const std::shared_ptr<NSURL>& URL() const { return url_; }
    const std::optional<std::string>& MIMEType() const { return mimeType_; }
    int64_t expectedContentLength() const { return expectedContentLength_; }
    const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
    // The last path component of the URL, or "Unknown" when there is none.
    std::string suggestedFilename() const;

    std::string description() const override;

  protected:
    NSURLResponse() = default;
    std::shared_ptr<NSURL> url_;
    std::optional<std::string> mimeType_;
    int64_t expectedContentLength_ = NSURLResponseUnknownLength;
    std::optional<std::string> textEncodingName_;
};

class NSHTTPURLResponse final : public NSURLResponse {
  public:
    // Repeated header fields should already be joined with ", " (as the session does).
    static std::shared_ptr<NSHTTPURLResponse> create(std::shared_ptr<NSURL> url, long statusCode,
                                                     std::string httpVersion, HTTPHeaderFields headerFields);

    long statusCode() const { return statusCode_; }
    const std::string& HTTPVersion() const { return httpVersion_; }
    const HTTPHeaderFields& headerFields() const { return headers_; }
    Value::Dictionary allHeaderFields() const { return headers_.dictionary(); }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
        return headers_.value(name);
    }

    // The platform's short, lower-case reason text for a status code ("not found", "internal server
    // error"); codes without their own text get the text of their class ("client error", ...).
    static std::string localizedStringForStatusCode(long statusCode);

    std::string description() const override;

  private:
    NSHTTPURLResponse() = default;
    long statusCode_ = 0;
    std::string httpVersion_;
    HTTPHeaderFields headers_;
};

using NSURLResponsePtr = std::shared_ptr<NSURLResponse>;
using NSHTTPURLResponsePtr = std::shared_ptr<NSHTTPURLResponse>;
