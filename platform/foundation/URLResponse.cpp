#include "platform/foundation/URLResponse.h"

#include <charconv>

#include "platform/foundation/TextUtil.h"

namespace {

struct ContentType {
    std::optional<std::string> mimeType;
    std::optional<std::string> charset;
};

ContentType parseContentType(const std::string* header) {
    ContentType result;
    if (!header) return result;
    std::string_view text = *header;
    size_t semicolon = text.find(';');
    std::string mime = TextUtil::toLowerASCII(TextUtil::trim(text.substr(0, semicolon)));
    if (!mime.empty()) result.mimeType = std::move(mime);
    while (semicolon != std::string_view::npos) {
        text = text.substr(semicolon + 1);
        semicolon = text.find(';');
        std::string_view parameter = TextUtil::trim(text.substr(0, semicolon));
        size_t equals = parameter.find('=');
        if (equals == std::string_view::npos) continue;
        if (!TextUtil::equalsIgnoringASCIICase(TextUtil::trim(parameter.substr(0, equals)), "charset"))
            continue;
        std::string_view value = TextUtil::trim(parameter.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) result.charset = TextUtil::toLowerASCII(value);
        break;
    }
    return result;
}

// A Content-Length, or several equal ones joined with ", " (a repeated field); anything else is unknown.
int64_t parseLength(const std::string* header) {
    if (!header) return NSURLResponseUnknownLength;
    int64_t length = NSURLResponseUnknownLength;
    std::string_view rest = *header;
    do {
        const size_t comma = rest.find(',');
        const std::string_view text = TextUtil::trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        int64_t one = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), one);
        if (error != std::errc() || end != text.data() + text.size() || one < 0)
            return NSURLResponseUnknownLength;
        if (length != NSURLResponseUnknownLength && one != length) return NSURLResponseUnknownLength;
        length = one;
    } while (!rest.empty());
    return length;
}

}  // namespace

std::shared_ptr<NSURLResponse> NSURLResponse::create(std::shared_ptr<NSURL> url,
                                                     std::optional<std::string> mimeType,
                                                     int64_t expectedContentLength,
                                                     std::optional<std::string> textEncodingName) {
    auto response = std::shared_ptr<NSURLResponse>(new NSURLResponse());
    response->url_ = std::move(url);
    response->mimeType_ = std::move(mimeType);
    response->expectedContentLength_ = expectedContentLength;
    response->textEncodingName_ = std::move(textEncodingName);
    return response;
}

std::string NSURLResponse::suggestedFilename() const {
    std::string last = url_ ? url_->lastPathComponent() : "";
    return last.empty() || last == "/" ? "Unknown" : last;
}

std::string NSURLResponse::description() const {
    return "<NSURLResponse: " + (url_ ? url_->absoluteString() : std::string("(null)")) + ">";
}

std::shared_ptr<NSHTTPURLResponse> NSHTTPURLResponse::create(std::shared_ptr<NSURL> url, long statusCode,
                                                             std::string httpVersion,
                                                             HTTPHeaderFields headerFields) {
    auto response = std::shared_ptr<NSHTTPURLResponse>(new NSHTTPURLResponse());
    ContentType contentType = parseContentType(headerFields.find("Content-Type"));
    response->url_ = std::move(url);
    response->mimeType_ = std::move(contentType.mimeType);
    response->textEncodingName_ = std::move(contentType.charset);
    response->expectedContentLength_ = parseLength(headerFields.find("Content-Length"));
    response->statusCode_ = statusCode;
    response->httpVersion_ = std::move(httpVersion);
    response->headers_ = std::move(headerFields);
    return response;
}

std::string NSHTTPURLResponse::localizedStringForStatusCode(long statusCode) {
    switch (statusCode) {
        case 100:
            return "continue";
        case 101:
            return "switching protocols";
        case 200:
            return "no error";
        case 201:
            return "created";
        case 202:
            return "accepted";
        case 203:
            return "non-authoritative information";
        case 204:
            return "no content";
        case 205:
            return "reset content";
        case 206:
            return "partial content";
        case 300:
            return "multiple choices";
        case 301:
            return "moved permanently";
        case 302:
            return "found";
        case 303:
            return "see other";
        case 304:
            return "not modified";
        case 305:
            return "needs proxy";
        case 307:
            return "temporarily redirected";
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 402:
            return "payment required";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 406:
            return "unacceptable";
        case 407:
            return "proxy authentication required";
        case 408:
            return "request timed out";
        case 409:
            return "conflict";
        case 410:
            return "no longer exists";
        case 411:
            return "length required";
        case 412:
            return "precondition failed";
        case 413:
            return "request too large";
        case 414:
            return "requested URL too long";
        case 415:
            return "unsupported media type";
        case 416:
            return "requested range not satisfiable";
        case 417:
            return "expectation failed";
        case 500:
            return "internal server error";
        case 501:
            return "unimplemented";
        case 502:
            return "bad gateway";
        case 503:
            return "service unavailable";
        case 504:
            return "gateway timed out";
        case 505:
            return "unsupported version";
        default:
            break;
    }
    if (statusCode >= 100 && statusCode < 200) return "informational";
    if (statusCode >= 200 && statusCode < 300) return "success";
    if (statusCode >= 300 && statusCode < 400) return "redirected";
    if (statusCode >= 400 && statusCode < 500) return "client error";
    return "server error";
}

std::string NSHTTPURLResponse::description() const {
    return "<NSHTTPURLResponse: " + (url_ ? url_->absoluteString() : std::string("(null)")) +
           " { Status Code: " + std::to_string(statusCode_) + " }>";
}
