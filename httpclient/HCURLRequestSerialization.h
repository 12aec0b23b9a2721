// Request serializers: turn a method, a URL string and parameters into a request.
//
// Every request carries the serializer's default headers ("Accept-Language" and "User-Agent", plus any the
// caller adds) unless it already has them. Parameters of "GET", "HEAD" and "DELETE" go into the URL query
// (before any fragment); other methods carry them as a form body (HCHTTPRequestSerializer), a JSON document
// (HCJSONRequestSerializer) or a property list (HCPropertyListRequestSerializer).
//
// Request properties (timeout, cache policy, ...) reach requests only once they have been assigned on the
// serializer; until then requests keep the platform's defaults.
//
// Serializers take no locks: configure one, then build requests with it from any thread. Archiving and
// copying carry every setting except the query-string block, which copies carry but archives cannot.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "httpclient/HCQueryString.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Process.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

// String-encoding numbers the serializers understand.
inline constexpr unsigned long HCASCIIStringEncoding = 1;
inline constexpr unsigned long HCUTF8StringEncoding = 4;
inline constexpr unsigned long HCISOLatin1StringEncoding = 5;

// `text` (UTF-8) in one of the encodings above; nothing when the text is not valid UTF-8, holds a character
// the encoding lacks, or the encoding is not one of these.
std::optional<Data> HCEncodedText(const std::string& text, unsigned long encoding);
// The error for parameters that `encoding` cannot hold (NSCocoaErrorDomain 517).
NSErrorPtr HCInapplicableStringEncodingError(unsigned long encoding);

// The domain of request-building errors (also used by the multipart builder).
inline constexpr const char* HCRequestSerializationErrorDomain = "com.hcnet.error.serialization.request";

class HCMultipartFormData;

// Request serializers. A null `parameters` value means no parameters.
class HCURLRequestSerialization : public NSCoding, public NSCopying {
  public:
    // A new request, or nullopt with the error set.
    virtual std::optional<NSMutableURLRequest> requestBySerializingRequest(const NSURLRequest& request,
                                                                           const Value& parameters,
                                                                           NSErrorPtr* error) const = 0;
};

enum class HCQueryStringSerializationStyle : unsigned long { Default = 0 };

// The default headers, from the device profile and the application's Info.plist.
// "tag;q=1, tag;q=0.9, ..." for at most six languages; "" for none.
std::string HCAcceptLanguageHeaderValue(const std::vector<std::string>& preferredLanguages);
// "App/1.0 (iPhone; iOS 9.3; Scale/2.00)", transliterated to ASCII when it is not.
std::string HCUserAgentHeaderValue(const Value::Dictionary& infoDictionary, const DeviceProfile& device);

class HCHTTPRequestSerializer : public Object, public KVOObservable, public HCURLRequestSerialization {
  public:
    using QueryStringSerialization = std::function<std::optional<std::string>(
        const NSURLRequest& request, const Value& parameters, NSErrorPtr* error)>;

    static std::shared_ptr<HCHTTPRequestSerializer> serializer();
    static std::string archiveClassName() { return "HCHTTPRequestSerializer"; }
    // Registers the serializer classes for unarchiving; called by every factory, safe to call again.
    static void registerArchivableClasses();

    unsigned long stringEncoding() const { return stringEncoding_; }
    void setStringEncoding(unsigned long encoding) { stringEncoding_ = encoding; }

    // Observed request properties: 0 / NO until assigned; assigning one (even to its current value) makes
    // it reach every later request.
    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool allows);
    NSURLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(NSURLRequestCachePolicy policy);
    bool HTTPShouldHandleCookies() const { return HTTPShouldHandleCookies_; }
    void setHTTPShouldHandleCookies(bool handle);
    bool HTTPShouldUsePipelining() const { return HTTPShouldUsePipelining_; }
    void setHTTPShouldUsePipelining(bool use);
    NSURLRequestNetworkServiceType networkServiceType() const { return networkServiceType_; }
    void setNetworkServiceType(NSURLRequestNetworkServiceType type);
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds);
    // Names of the assigned observed properties.
    const std::set<std::string>& mutableObservedChangedKeyPaths() const {
        return mutableObservedChangedKeyPaths_;
    }
    // The six observed property names, in the order they are applied to requests.
    static const std::vector<std::string>& observedKeyPaths();

    // Method names (upper case) whose parameters go into the URL.
    const std::set<std::string>& HTTPMethodsEncodingParametersInURI() const {
        return *HTTPMethodsEncodingParametersInURI_;
    }
    void setHTTPMethodsEncodingParametersInURI(std::set<std::string> methods) {
        HTTPMethodsEncodingParametersInURI_ =
            std::make_shared<const std::set<std::string>>(std::move(methods));
    }

    // Default headers, by exact (case-sensitive) name.
    Value::Dictionary HTTPRequestHeaders() const { return mutableHTTPRequestHeaders_; }
    void setValue(std::optional<std::string> value, const std::string& field);  // nullopt removes
    std::optional<std::string> valueForHTTPHeaderField(const std::string& field) const;
    void setAuthorizationHeaderFieldWithUsername(const std::string& username, const std::string& password);
    void clearAuthorizationHeader();

    HCQueryStringSerializationStyle queryStringSerializationStyle() const {
        return queryStringSerializationStyle_;
    }
    // Sets the style and drops any block.
    void setQueryStringSerializationWithStyle(HCQueryStringSerializationStyle style);
    // Sets the block (an empty one clears it); the style stays.
    void setQueryStringSerializationWithBlock(QueryStringSerialization block);

    // A request for `URLString` with `method`, the assigned request properties and the parameters; nullopt
    // with the error set when the URL string is not a URL or the parameters cannot be encoded.
    std::optional<NSMutableURLRequest> requestWithMethod(const std::string& method,
                                                         const std::string& URLString,
                                                         const Value& parameters, NSErrorPtr* error) const;
    // The same for a URL already parsed, which saves parsing its text again; no URL fails as a bad URL.
    std::optional<NSMutableURLRequest> requestWithMethod(const std::string& method, const NSURLPtr& URL,
                                                         const Value& parameters, NSErrorPtr* error) const;

    std::optional<NSMutableURLRequest> requestBySerializingRequest(const NSURLRequest& request,
                                                                   const Value& parameters,
                                                                   NSErrorPtr* error) const override;

    // Multipart requests (HCMultipartFormData.h). One form part per flattened parameter (data as it is,
    // null as empty data, anything else as its text in `stringEncoding`; values that text cannot hold are
    // left out), then whatever `block` appends; the body is streamed. nullopt with the error when the
    // request cannot be built.
    using ConstructingBodyBlock = std::function<void(HCMultipartFormData& formData)>;
    std::optional<NSMutableURLRequest> multipartFormRequestWithMethod(const std::string& method,
                                                                      const std::string& URLString,
                                                                      const Value& parameters,
                                                                      const ConstructingBodyBlock& block,
                                                                      NSErrorPtr* error) const;
    // Writes the request's body stream to the file at `fileURL` (replacing it) on a background queue, then
    // calls `completionHandler` on the main queue with the first error, or null. Returns at once a copy of
    // the request without its body stream, its multipart headers kept, for an upload from the file.
    using SpoolCompletion = std::function<void(const NSErrorPtr& error)>;
    NSMutableURLRequest requestWithMultipartFormRequest(const NSURLRequest& request, const NSURLPtr& fileURL,
                                                        SpoolCompletion completionHandler) const;

    // Observation of the serializer's own properties.
    Value valueForKey(const std::string& key) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;

  protected:
    HCHTTPRequestSerializer() = default;
    // The defaults: UTF-8, the default headers, the URI methods; then the self-observation.
    void init();
    // Builds a fresh, initialised instance of the receiver's class.
    virtual std::shared_ptr<HCHTTPRequestSerializer> newSerializer() const;
    // Copies every setting onto `copy`, which is of the receiver's class.
    virtual void copySettingsTo(HCHTTPRequestSerializer& copy) const;
    // Reads the settings back; false (or an error in the coder) when they do not make a serializer.
    virtual bool decodeSettings(NSKeyedUnarchiver& coder);
    template <class T>
    static std::shared_ptr<T> makeInitialised() {
        auto serializer = std::shared_ptr<T>(new T);
        serializer->init();
        return serializer;
    }

    // Headers of the serializer that the request lacks, set on `copy`.
    void applyDefaultHeaders(const NSURLRequest& request, NSMutableURLRequest& copy) const;

  private:
    static const std::shared_ptr<const std::set<std::string>>& noMethods();
    template <class T>
    void setObserved(const char* key, T& member, T value);
    void markObservedKey(const std::string& key, const std::optional<Value>& newValue);

    unsigned long stringEncoding_ = HCUTF8StringEncoding;
    bool allowsCellularAccess_ = false;
    NSURLRequestCachePolicy cachePolicy_ = NSURLRequestCachePolicy(0);
    bool HTTPShouldHandleCookies_ = false;
    bool HTTPShouldUsePipelining_ = false;
    NSURLRequestNetworkServiceType networkServiceType_ = NSURLRequestNetworkServiceType(0);
    double timeoutInterval_ = 0;
    // Never changed in place, so serializers share it: most keep the default for good.
    std::shared_ptr<const std::set<std::string>> HTTPMethodsEncodingParametersInURI_ = noMethods();
    HCQueryStringSerializationStyle queryStringSerializationStyle_ = HCQueryStringSerializationStyle::Default;
    QueryStringSerialization queryStringSerialization_;
    Value::Dictionary mutableHTTPRequestHeaders_;
    std::set<std::string> mutableObservedChangedKeyPaths_;
};

class HCJSONRequestSerializer : public HCHTTPRequestSerializer {
  public:
    static std::shared_ptr<HCJSONRequestSerializer> serializer();
    static std::shared_ptr<HCJSONRequestSerializer> serializerWithWritingOptions(
        unsigned long writingOptions);
    static std::string archiveClassName() { return "HCJSONRequestSerializer"; }

    // NSJSONSerialization writing options; 0 writes compact JSON.
    unsigned long writingOptions() const { return writingOptions_; }
    void setWritingOptions(unsigned long options) { writingOptions_ = options; }

    // Body methods: the parameters as JSON ("application/json"); no parameters, no body.
    std::optional<NSMutableURLRequest> requestBySerializingRequest(const NSURLRequest& request,
                                                                   const Value& parameters,
                                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;

  protected:
    friend class HCHTTPRequestSerializer;
    HCJSONRequestSerializer() = default;
    std::shared_ptr<HCHTTPRequestSerializer> newSerializer() const override;
    void copySettingsTo(HCHTTPRequestSerializer& copy) const override;
    bool decodeSettings(NSKeyedUnarchiver& coder) override;

  private:
    unsigned long writingOptions_ = 0;
};

class HCPropertyListRequestSerializer : public HCHTTPRequestSerializer {
  public:
    // XML property lists (format 100).
    static std::shared_ptr<HCPropertyListRequestSerializer> serializer();
    static std::shared_ptr<HCPropertyListRequestSerializer> serializerWithFormat(unsigned long format,
                                                                                 unsigned long writeOptions);
    static std::string archiveClassName() { return "HCPropertyListRequestSerializer"; }

    // 100 XML, 200 binary; other formats cannot be written and fail each body request with an error.
    unsigned long format() const { return format_; }
    void setFormat(unsigned long format) { format_ = format; }
    unsigned long writeOptions() const { return writeOptions_; }
    void setWriteOptions(unsigned long options) { writeOptions_ = options; }

    // Body methods: the parameters as a property list ("application/x-plist"); no parameters, no body.
    std::optional<NSMutableURLRequest> requestBySerializingRequest(const NSURLRequest& request,
                                                                   const Value& parameters,
                                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;

  protected:
    friend class HCHTTPRequestSerializer;
    HCPropertyListRequestSerializer() = default;
    std::shared_ptr<HCHTTPRequestSerializer> newSerializer() const override;
    void copySettingsTo(HCHTTPRequestSerializer& copy) const override;
    bool decodeSettings(NSKeyedUnarchiver& coder) override;

  private:
    unsigned long format_ = 100;
    unsigned long writeOptions_ = 0;
};
