// NSURLRequest and NSMutableURLRequest: what to load and how.
//
// One value type serves both: `NSURLRequest` is copyable, and copying it is the platform's `copy` and
// `mutableCopy` (a body stream is shared by the copies, as on the platform). `NSMutableURLRequest` names
// the same class; a `const NSURLRequest&` is the immutable view. Defaults are the platform's: method "GET",
// timeout 60 seconds, cache policy 0 (use the protocol's policy), cookies handled, cellular access allowed,
// no pipelining, network service type 0.
//
// Header names are looked up without regard to case; a name keeps the spelling it was first set with.
// The body is one of: none, bytes (`HTTPBody`), a file (`HTTPBodyFile`) or a stream (`HTTPBodyStream`);
// setting one replaces the others.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/InputStream.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

// Header fields in order, with case-insensitive names (shared by requests and responses).
class HTTPHeaderFields {
  public:
    using Field = std::pair<std::string, std::string>;

    HTTPHeaderFields() = default;
    // Takes fields whose names are already distinct (case-insensitively), in their order.
    explicit HTTPHeaderFields(std::vector<Field> fields) : fields_(std::move(fields)) {}

    std::optional<std::string> value(std::string_view name) const;
    // The field's value in place, or null: no copy (valid until the fields change).
    const std::string* find(std::string_view name) const;
    bool contains(std::string_view name) const { return find(name) != nullptr; }
    // Replaces the value (keeping the name's first spelling), or adds the field.
    void set(std::string_view name, std::string_view value);
    // Appends to an existing value with ","; adds the field when absent.
    void add(std::string_view name, std::string_view value);
    void remove(std::string_view name);
    void clear() { fields_.clear(); }

    const std::vector<Field>& fields() const { return fields_; }
    bool empty() const { return fields_.empty(); }
    // The fields as a dictionary of strings (allHTTPHeaderFields).
    Value::Dictionary dictionary() const;

    static bool namesEqual(std::string_view a, std::string_view b);

  private:
    void append(std::string_view name, std::string_view value);

    std::vector<Field> fields_;
};

enum class NSURLRequestCachePolicy : unsigned {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
};

enum class NSURLRequestNetworkServiceType : unsigned {
    Default = 0,
    VoIP = 1,
    Video = 2,
    Background = 3,
    Voice = 4,
};

inline constexpr double NSURLRequestDefaultTimeoutInterval = 60.0;

class NSURLRequest {
  public:
    NSURLRequest() = default;
    explicit NSURLRequest(
        std::shared_ptr<NSURL> url,
        NSURLRequestCachePolicy cachePolicy = NSURLRequestCachePolicy::UseProtocolCachePolicy,
        double timeoutInterval = NSURLRequestDefaultTimeoutInterval);
    static NSURLRequest requestWithURL(std::shared_ptr<NSURL> url) { return NSURLRequest(std::move(url)); }

    enum class BodyKind { None, Data, File, Stream };

    const std::shared_ptr<NSURL>& URL() const { return url_; }
    void setURL(std::shared_ptr<NSURL> url) { url_ = std::move(url); }
    const std::string& HTTPMethod() const { return method_; }
    // An empty method means "GET".
    void setHTTPMethod(std::string method) { method_ = method.empty() ? "GET" : std::move(method); }
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    NSURLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(NSURLRequestCachePolicy policy) { cachePolicy_ = policy; }
    NSURLRequestNetworkServiceType networkServiceType() const { return networkServiceType_; }
    void setNetworkServiceType(NSURLRequestNetworkServiceType type) { networkServiceType_ = type; }
    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool allows) { allowsCellularAccess_ = allows; }
    bool HTTPShouldHandleCookies() const { return shouldHandleCookies_; }
    void setHTTPShouldHandleCookies(bool handle) { shouldHandleCookies_ = handle; }
    bool HTTPShouldUsePipelining() const { return shouldUsePipelining_; }
    void setHTTPShouldUsePipelining(bool use) { shouldUsePipelining_ = use; }

    const HTTPHeaderFields& headerFields() const { return headers_; }
    Value::Dictionary allHTTPHeaderFields() const { return headers_.dictionary(); }
    // Replaces every header field; values that are not strings are skipped.
    void setAllHTTPHeaderFields(const Value::Dictionary& fields);
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
        return headers_.value(name);
    }
    // nullopt removes the field.
    void setValue(std::optional<std::string> value, std::string_view field);
    void addValue(std::string_view value, std::string_view field) { headers_.add(field, value); }

    BodyKind bodyKind() const { return bodyKind_; }
    // The body bytes; nullopt unless the body is bytes.
    std::optional<Data> HTTPBody() const;
    void setHTTPBody(std::optional<Data> body);
    // The path of a body file; "" unless the body is a file.
    const std::string& HTTPBodyFile() const { return bodyFile_; }
    void setHTTPBodyFile(std::string path);
    const NSInputStreamPtr& HTTPBodyStream() const { return bodyStream_; }
    void setHTTPBodyStream(NSInputStreamPtr stream);

    // "<NSURLRequest: URL>" style text for logs.
    std::string description() const;

  private:
    std::shared_ptr<NSURL> url_;
    std::string method_ = "GET";
    double timeoutInterval_ = NSURLRequestDefaultTimeoutInterval;
    NSURLRequestCachePolicy cachePolicy_ = NSURLRequestCachePolicy::UseProtocolCachePolicy;
    NSURLRequestNetworkServiceType networkServiceType_ = NSURLRequestNetworkServiceType::Default;
    bool allowsCellularAccess_ = true;
    bool shouldHandleCookies_ = true;
    bool shouldUsePipelining_ = false;
    HTTPHeaderFields headers_;
    BodyKind bodyKind_ = BodyKind::None;
    Data body_;
    std::string bodyFile_;
    NSInputStreamPtr bodyStream_;
};

using NSMutableURLRequest = NSURLRequest;
