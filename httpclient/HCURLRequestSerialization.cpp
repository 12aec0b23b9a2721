#include "httpclient/HCURLRequestSerialization.h"

#include <mutex>

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TextUtil.h"

namespace {

constexpr long kNSURLErrorBadURL = -1000;
constexpr long kNSFileWriteInapplicableStringEncodingError = 517;
constexpr long kNSPropertyListWriteInvalidError = 3851;

constexpr const char* kAllowsCellularAccess = "allowsCellularAccess";
constexpr const char* kCachePolicy = "cachePolicy";
constexpr const char* kHTTPShouldHandleCookies = "HTTPShouldHandleCookies";
constexpr const char* kHTTPShouldUsePipelining = "HTTPShouldUsePipelining";
constexpr const char* kNetworkServiceType = "networkServiceType";
constexpr const char* kTimeoutInterval = "timeoutInterval";

// Archive keys.
constexpr const char* kHeadersKey = "mutableHTTPRequestHeaders";
constexpr const char* kStyleKey = "queryStringSerializationStyle";
constexpr const char* kStringEncodingKey = "stringEncoding";
constexpr const char* kMethodsKey = "HTTPMethodsEncodingParametersInURI";
constexpr const char* kWritingOptionsKey = "writingOptions";
constexpr const char* kFormatKey = "format";
constexpr const char* kWriteOptionsKey = "writeOptions";

std::optional<std::string> transliteratedToASCII(const std::string& text) {
    static std::mutex lock;
    static icu::Transliterator* transliterator = nullptr;  // kept until the process ends
    static bool failed = false;
    std::lock_guard guard(lock);
    if (!transliterator && !failed) {
        UErrorCode status = U_ZERO_ERROR;
        transliterator = icu::Transliterator::createInstance(
            icu::UnicodeString::fromUTF8("Any-Latin; Latin-ASCII; [:^ASCII:] Remove"), UTRANS_FORWARD,
            status);
        if (U_FAILURE(status)) {
            delete transliterator;
            transliterator = nullptr;
            failed = true;
        }
    }
    if (!transliterator) return std::nullopt;
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    transliterator->transliterate(unicode);
    std::string out;
    unicode.toUTF8String(out);
    return out;
}

NSErrorPtr badURLError(const std::string& URLString) {
    return NSError::create(NSURLErrorDomain, kNSURLErrorBadURL,
                           {{NSLocalizedDescriptionKey, Value("unsupported URL")},
                            {NSURLErrorFailingURLStringErrorKey, Value(URLString)}});
}

// The URL text with `query` added to its query, before any fragment.
std::string appendingQuery(const NSURL& url, const std::string& query) {
    std::string text = url.absoluteString();
    std::string fragment;
    if (auto hash = text.find('#'); hash != std::string::npos) {
        fragment = text.substr(hash);
        text.resize(hash);
    }
    text += url.query() ? "&" : "?";
    text += query;
    return text + fragment;
}

// Adding a field the request lacks sets it, without a string made only to be copied.
void setIfAbsent(NSMutableURLRequest& request, const char* field, const char* value) {
    if (!request.headerFields().contains(field)) request.addValue(value, field);
}

}  // namespace

std::optional<Data> HCEncodedText(const std::string& text, unsigned long encoding) {
    switch (encoding) {
        case HCUTF8StringEncoding:
            if (!TextUtil::isValidUTF8(text)) return std::nullopt;
            return Data::fromString(text);
        case HCASCIIStringEncoding:
            if (auto ascii = TextUtil::toASCII(text)) return Data::fromString(*ascii);
            return std::nullopt;
        case HCISOLatin1StringEncoding:
            if (auto latin1 = TextUtil::toLatin1(text)) return Data::fromString(*latin1);
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

NSErrorPtr HCInapplicableStringEncodingError(unsigned long encoding) {
    return NSError::withDescription(
        NSCocoaErrorDomain, kNSFileWriteInapplicableStringEncodingError,
        NSString::format("The parameters cannot be encoded in the string encoding %lu.",
                         {Value(uint64_t(encoding))}));
}

// ---- default headers ----

std::string HCAcceptLanguageHeaderValue(const std::vector<std::string>& preferredLanguages) {
    std::string out;
    for (size_t i = 0; i < preferredLanguages.size(); ++i) {
        // Single precision on purpose: the sixth language gets exactly 0.5 and ends the list.
        float q = 1.0f - float(i) * 0.1f;
        if (!out.empty()) out += ", ";
        out += NSString::format("%@;q=%0.1g", {Value(preferredLanguages[i]), Value(double(q))});
        if (q <= 0.5f) break;
    }
    return out;
}

std::string HCUserAgentHeaderValue(const Value::Dictionary& infoDictionary, const DeviceProfile& device) {
    auto text = [&](const char* key) -> const std::string* {
        auto it = infoDictionary.find(key);
        return it != infoDictionary.end() && it->second.isString() ? it->second.asString() : nullptr;
    };
    const std::string* name = text("CFBundleExecutable");
    if (!name) name = text("CFBundleIdentifier");
    const std::string* version = text("CFBundleShortVersionString");
    if (!version) version = text("CFBundleVersion");
    static const std::string kNil = "(null)";
    std::string userAgent =
        NSString::format("%@/%@ (%@; iOS %@; Scale/%0.2f)",
                         {Value(name ? *name : kNil), Value(version ? *version : kNil), Value(device.model),
                          Value(device.systemVersion), Value(device.screenScale)});
    if (TextUtil::toASCII(userAgent)) return userAgent;
    if (auto ascii = transliteratedToASCII(userAgent)) return *ascii;
    return userAgent;
}

namespace {

// "Accept-Language" and "User-Agent" for `device` and the main bundle.
Value::Dictionary defaultHeaders(const DeviceProfile& device) {
    // Every serializer starts with these, and the application makes two for each request. The main
    // bundle's Info.plist is read once per process; the device profile can change, so the headers are kept
    // with the profile values they were made from and made again when those differ.
    struct Made {
        std::vector<std::string> preferredLanguages;
        std::string model;
        std::string systemVersion;
        double screenScale = 0;
        Value::Dictionary headers;
    };
    static std::mutex lock;
    static auto* made = new std::optional<Made>;  // kept until the process ends
    std::lock_guard guard(lock);
    if (!*made || (*made)->preferredLanguages != device.preferredLanguages ||
        (*made)->model != device.model || (*made)->systemVersion != device.systemVersion ||
        (*made)->screenScale != device.screenScale) {
        static const Value::Dictionary kNoInfo;
        auto bundle = NSBundle::mainBundle();
        Value::Dictionary headers{
            {"Accept-Language", HCAcceptLanguageHeaderValue(device.preferredLanguages)},
            {"User-Agent", HCUserAgentHeaderValue(bundle ? bundle->infoDictionary() : kNoInfo, device)}};
        *made = Made{device.preferredLanguages, device.model, device.systemVersion, device.screenScale,
                     std::move(headers)};
    }
    return (*made)->headers;
}

}  // namespace

// ---- HCHTTPRequestSerializer ----

const std::shared_ptr<const std::set<std::string>>& HCHTTPRequestSerializer::noMethods() {
    static const auto* none =
        new std::shared_ptr<const std::set<std::string>>(std::make_shared<const std::set<std::string>>());
    return *none;
}

const std::vector<std::string>& HCHTTPRequestSerializer::observedKeyPaths() {
    static const auto* paths =
        new std::vector<std::string>{kAllowsCellularAccess,    kCachePolicy,        kHTTPShouldHandleCookies,
                                     kHTTPShouldUsePipelining, kNetworkServiceType, kTimeoutInterval};
    return *paths;
}

std::shared_ptr<HCHTTPRequestSerializer> HCHTTPRequestSerializer::serializer() {
    registerArchivableClasses();
    return makeInitialised<HCHTTPRequestSerializer>();
}

void HCHTTPRequestSerializer::init() {
    stringEncoding_ = HCUTF8StringEncoding;
    mutableHTTPRequestHeaders_ = defaultHeaders(DeviceProfile::current());
    static const auto* kURIMethods = new std::shared_ptr<const std::set<std::string>>(
        std::make_shared<const std::set<std::string>>(std::set<std::string>{"GET", "HEAD", "DELETE"}));
    HTTPMethodsEncodingParametersInURI_ = *kURIMethods;
    mutableObservedChangedKeyPaths_.clear();
    // The serializer watches its own request properties to learn which ones have been assigned. The
    // registrations end with the serializer.
    std::weak_ptr<void> self = weak_from_this();
    for (const auto& key : observedKeyPaths()) {
        addObserver(self, key, KVOOptions::New,
                    [this](const KVOChange& change) { markObservedKey(change.key, change.newValue); });
    }
}

void HCHTTPRequestSerializer::markObservedKey(const std::string& key, const std::optional<Value>& newValue) {
    if (newValue && newValue->isNull())
        mutableObservedChangedKeyPaths_.erase(key);
    else
        mutableObservedChangedKeyPaths_.insert(key);
}

template <class T>
void HCHTTPRequestSerializer::setObserved(const char* key, T& member, T value) {
    willChangeValueForKey(key);
    member = value;
    didChangeValueForKey(key);
}

void HCHTTPRequestSerializer::setAllowsCellularAccess(bool allows) {
    setObserved(kAllowsCellularAccess, allowsCellularAccess_, allows);
}
void HCHTTPRequestSerializer::setCachePolicy(NSURLRequestCachePolicy policy) {
    setObserved(kCachePolicy, cachePolicy_, policy);
}
void HCHTTPRequestSerializer::setHTTPShouldHandleCookies(bool handle) {
    setObserved(kHTTPShouldHandleCookies, HTTPShouldHandleCookies_, handle);
}
void HCHTTPRequestSerializer::setHTTPShouldUsePipelining(bool use) {
    setObserved(kHTTPShouldUsePipelining, HTTPShouldUsePipelining_, use);
}
void HCHTTPRequestSerializer::setNetworkServiceType(NSURLRequestNetworkServiceType type) {
    setObserved(kNetworkServiceType, networkServiceType_, type);
}
void HCHTTPRequestSerializer::setTimeoutInterval(double seconds) {
    setObserved(kTimeoutInterval, timeoutInterval_, seconds);
}

Value HCHTTPRequestSerializer::valueForKey(const std::string& key) const {
    if (key == kAllowsCellularAccess) return allowsCellularAccess_;
    if (key == kCachePolicy) return uint64_t(cachePolicy_);
    if (key == kHTTPShouldHandleCookies) return HTTPShouldHandleCookies_;
    if (key == kHTTPShouldUsePipelining) return HTTPShouldUsePipelining_;
    if (key == kNetworkServiceType) return uint64_t(networkServiceType_);
    if (key == kTimeoutInterval) return timeoutInterval_;
    if (key == kStringEncodingKey) return uint64_t(stringEncoding_);
    return KVOObservable::valueForKey(key);
}

void HCHTTPRequestSerializer::setValue(std::optional<std::string> value, const std::string& field) {
    if (value)
        mutableHTTPRequestHeaders_[field] = std::move(*value);
    else
        mutableHTTPRequestHeaders_.erase(field);
}

std::optional<std::string> HCHTTPRequestSerializer::valueForHTTPHeaderField(const std::string& field) const {
    auto it = mutableHTTPRequestHeaders_.find(field);
    if (it == mutableHTTPRequestHeaders_.end() || !it->second.isString()) return std::nullopt;
    return *it->second.asString();
}

void HCHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const std::string& username,
                                                                      const std::string& password) {
    std::string credentials = NSString::format("%@:%@", {Value(username), Value(password)});
    setValue(NSString::format("Basic %@", {Value(TextUtil::base64Encode(std::string_view(credentials)))}),
             "Authorization");
}

void HCHTTPRequestSerializer::clearAuthorizationHeader() {
    setValue(std::nullopt, "Authorization");
}

void HCHTTPRequestSerializer::setQueryStringSerializationWithStyle(HCQueryStringSerializationStyle style) {
    queryStringSerializationStyle_ = style;
    queryStringSerialization_ = nullptr;
}

void HCHTTPRequestSerializer::setQueryStringSerializationWithBlock(QueryStringSerialization block) {
    queryStringSerialization_ = std::move(block);
}

std::optional<NSMutableURLRequest> HCHTTPRequestSerializer::requestWithMethod(const std::string& method,
                                                                              const std::string& URLString,
                                                                              const Value& parameters,
                                                                              NSErrorPtr* error) const {
    auto url = NSURL::URLWithString(URLString);
    if (!url) {
        // Without a URL the request could only fail later, and with a vaguer error.
        if (error) *error = badURLError(URLString);
        return std::nullopt;
    }
    return requestWithMethod(method, url, parameters, error);
}

std::optional<NSMutableURLRequest> HCHTTPRequestSerializer::requestWithMethod(const std::string& method,
                                                                              const NSURLPtr& URL,
                                                                              const Value& parameters,
                                                                              NSErrorPtr* error) const {
    if (!URL) {
        if (error) *error = badURLError("");
        return std::nullopt;
    }
    NSMutableURLRequest request(URL);
    request.setHTTPMethod(method);
    for (const auto& key : observedKeyPaths()) {
        if (!mutableObservedChangedKeyPaths_.count(key)) continue;
        if (key == kAllowsCellularAccess)
            request.setAllowsCellularAccess(allowsCellularAccess_);
        else if (key == kCachePolicy)
            request.setCachePolicy(cachePolicy_);
        else if (key == kHTTPShouldHandleCookies)
            request.setHTTPShouldHandleCookies(HTTPShouldHandleCookies_);
        else if (key == kHTTPShouldUsePipelining)
            request.setHTTPShouldUsePipelining(HTTPShouldUsePipelining_);
        else if (key == kNetworkServiceType)
            request.setNetworkServiceType(networkServiceType_);
        else if (key == kTimeoutInterval)
            request.setTimeoutInterval(timeoutInterval_);
    }
    return requestBySerializingRequest(request, parameters, error);
}

void HCHTTPRequestSerializer::applyDefaultHeaders(const NSURLRequest& request,
                                                  NSMutableURLRequest& copy) const {
    for (const auto& [field, value] : mutableHTTPRequestHeaders_) {
        if (!value.isString() || request.headerFields().contains(field)) continue;
        copy.setValue(*value.asString(), field);
    }
}

std::optional<NSMutableURLRequest> HCHTTPRequestSerializer::requestBySerializingRequest(
    const NSURLRequest& request, const Value& parameters, NSErrorPtr* error) const {
    NSMutableURLRequest copy = request;
    applyDefaultHeaders(request, copy);

    std::optional<std::string> query;
    if (!parameters.isNull()) {
        if (queryStringSerialization_) {
            NSErrorPtr blockError;
            query = queryStringSerialization_(request, parameters, &blockError);
            if (blockError) {
                if (error) *error = blockError;
                return std::nullopt;
            }
        } else if (queryStringSerializationStyle_ == HCQueryStringSerializationStyle::Default) {
            query = HCJoinedQueryString(parameters);
        }
    }

    if (HTTPMethodsEncodingParametersInURI().count(TextUtil::toUpperASCII(request.HTTPMethod()))) {
        if (query && !query->empty() && copy.URL()) {
            std::string text = appendingQuery(*copy.URL(), *query);
            auto url = NSURL::URLWithString(text);
            if (!url) {
                // Only a query-string block can produce text that is not a URL.
                if (error) *error = badURLError(text);
                return std::nullopt;
            }
            copy.setURL(url);
        }
        return copy;
    }

    setIfAbsent(copy, "Content-Type", "application/x-www-form-urlencoded");
    auto body = HCEncodedText(query.value_or(std::string()), stringEncoding_);
    if (!body) {
        if (error) *error = HCInapplicableStringEncodingError(stringEncoding_);
        return std::nullopt;
    }
    copy.setHTTPBody(*body);
    return copy;
}

// ---- archiving and copying ----

void HCHTTPRequestSerializer::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto factory = [](auto make) {
            return [make](NSKeyedUnarchiver& coder) -> std::shared_ptr<Object> {
                auto serializer = make();
                if (!serializer->decodeSettings(coder)) return nullptr;
                return serializer;
            };
        };
        NSKeyedUnarchiver::registerClass(archiveClassName(), "",
                                         factory([] { return makeInitialised<HCHTTPRequestSerializer>(); }));
        NSKeyedUnarchiver::registerClass(HCJSONRequestSerializer::archiveClassName(), archiveClassName(),
                                         factory([] { return makeInitialised<HCJSONRequestSerializer>(); }));
        NSKeyedUnarchiver::registerClass(
            HCPropertyListRequestSerializer::archiveClassName(), archiveClassName(),
            factory([] { return makeInitialised<HCPropertyListRequestSerializer>(); }));
    });
}

void HCHTTPRequestSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    coder.encodeObject(Value(mutableHTTPRequestHeaders_), kHeadersKey);
    coder.encodeInteger(int64_t(queryStringSerializationStyle_), kStyleKey);
    coder.encodeInteger(int64_t(stringEncoding_), kStringEncodingKey);
    Value methods = Value::set();
    for (const auto& method : HTTPMethodsEncodingParametersInURI()) methods.insert(method);
    coder.encodeObject(methods, kMethodsKey);
    // Only assigned request properties are written, so that they come back assigned.
    for (const auto& key : mutableObservedChangedKeyPaths_) coder.encodeObject(valueForKey(key), key);
}

bool HCHTTPRequestSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (auto headers = coder.decodeObjectOfClasses({"NSDictionary", "NSString"}, kHeadersKey)) {
        if (!headers->isDictionary()) return false;
        mutableHTTPRequestHeaders_ = *headers->asDictionary();
    }
    queryStringSerializationStyle_ =
        HCQueryStringSerializationStyle(coder.decodeUnsignedIntegerForKey(kStyleKey));
    if (coder.containsValueForKey(kStringEncodingKey))
        stringEncoding_ = coder.decodeUnsignedIntegerForKey(kStringEncodingKey);
    if (auto methods = coder.decodeObjectOfClasses({"NSSet", "NSString"}, kMethodsKey)) {
        if (!methods->isSet()) return false;
        std::set<std::string> decoded;
        for (const auto& method : *methods->asSet()) decoded.insert(*method.asString());
        setHTTPMethodsEncodingParametersInURI(std::move(decoded));
    }
    if (coder.containsValueForKey(kAllowsCellularAccess))
        setAllowsCellularAccess(coder.decodeBoolForKey(kAllowsCellularAccess));
    if (coder.containsValueForKey(kCachePolicy))
        setCachePolicy(NSURLRequestCachePolicy(coder.decodeUnsignedIntegerForKey(kCachePolicy)));
    if (coder.containsValueForKey(kHTTPShouldHandleCookies))
        setHTTPShouldHandleCookies(coder.decodeBoolForKey(kHTTPShouldHandleCookies));
    if (coder.containsValueForKey(kHTTPShouldUsePipelining))
        setHTTPShouldUsePipelining(coder.decodeBoolForKey(kHTTPShouldUsePipelining));
    if (coder.containsValueForKey(kNetworkServiceType))
        setNetworkServiceType(
            NSURLRequestNetworkServiceType(coder.decodeUnsignedIntegerForKey(kNetworkServiceType)));
    if (coder.containsValueForKey(kTimeoutInterval))
        setTimeoutInterval(coder.decodeDoubleForKey(kTimeoutInterval));
    return !coder.error();
}

std::shared_ptr<HCHTTPRequestSerializer> HCHTTPRequestSerializer::newSerializer() const {
    return makeInitialised<HCHTTPRequestSerializer>();
}

void HCHTTPRequestSerializer::copySettingsTo(HCHTTPRequestSerializer& copy) const {
    copy.stringEncoding_ = stringEncoding_;
    copy.allowsCellularAccess_ = allowsCellularAccess_;
    copy.cachePolicy_ = cachePolicy_;
    copy.HTTPShouldHandleCookies_ = HTTPShouldHandleCookies_;
    copy.HTTPShouldUsePipelining_ = HTTPShouldUsePipelining_;
    copy.networkServiceType_ = networkServiceType_;
    copy.timeoutInterval_ = timeoutInterval_;
    copy.mutableObservedChangedKeyPaths_ = mutableObservedChangedKeyPaths_;
    copy.HTTPMethodsEncodingParametersInURI_ = HTTPMethodsEncodingParametersInURI_;
    copy.queryStringSerializationStyle_ = queryStringSerializationStyle_;
    copy.queryStringSerialization_ = queryStringSerialization_;
    copy.mutableHTTPRequestHeaders_ = mutableHTTPRequestHeaders_;
}

std::shared_ptr<Object> HCHTTPRequestSerializer::copyWithZone(NSZone*) const {
    auto copy = newSerializer();
    copySettingsTo(*copy);
    return copy;
}

// ---- HCJSONRequestSerializer ----

std::shared_ptr<HCJSONRequestSerializer> HCJSONRequestSerializer::serializer() {
    return serializerWithWritingOptions(0);
}

std::shared_ptr<HCJSONRequestSerializer> HCJSONRequestSerializer::serializerWithWritingOptions(
    unsigned long writingOptions) {
    registerArchivableClasses();
    auto serializer = makeInitialised<HCJSONRequestSerializer>();
    serializer->writingOptions_ = writingOptions;
    return serializer;
}

std::optional<NSMutableURLRequest> HCJSONRequestSerializer::requestBySerializingRequest(
    const NSURLRequest& request, const Value& parameters, NSErrorPtr* error) const {
    if (HTTPMethodsEncodingParametersInURI().count(TextUtil::toUpperASCII(request.HTTPMethod())))
        return HCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    NSMutableURLRequest copy = request;
    applyDefaultHeaders(request, copy);
    if (parameters.isNull()) return copy;
    setIfAbsent(copy, "Content-Type", "application/json");
    NSErrorPtr writeError;
    auto body = NSJSONSerialization::dataWithJSONObject(parameters, unsigned(writingOptions_), &writeError);
    if (body)
        copy.setHTTPBody(*body);
    else if (error)
        *error = writeError;
    return copy;
}

void HCJSONRequestSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeInteger(int64_t(writingOptions_), kWritingOptionsKey);
}

bool HCJSONRequestSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (!HCHTTPRequestSerializer::decodeSettings(coder)) return false;
    writingOptions_ = coder.decodeUnsignedIntegerForKey(kWritingOptionsKey);
    return !coder.error();
}

std::shared_ptr<HCHTTPRequestSerializer> HCJSONRequestSerializer::newSerializer() const {
    return makeInitialised<HCJSONRequestSerializer>();
}

void HCJSONRequestSerializer::copySettingsTo(HCHTTPRequestSerializer& copy) const {
    HCHTTPRequestSerializer::copySettingsTo(copy);
    static_cast<HCJSONRequestSerializer&>(copy).writingOptions_ = writingOptions_;
}

// ---- HCPropertyListRequestSerializer ----

std::shared_ptr<HCPropertyListRequestSerializer> HCPropertyListRequestSerializer::serializer() {
    return serializerWithFormat(unsigned(NSPropertyListSerialization::Format::XML), 0);
}

std::shared_ptr<HCPropertyListRequestSerializer> HCPropertyListRequestSerializer::serializerWithFormat(
    unsigned long format, unsigned long writeOptions) {
    registerArchivableClasses();
    auto serializer = makeInitialised<HCPropertyListRequestSerializer>();
    serializer->format_ = format;
    serializer->writeOptions_ = writeOptions;
    return serializer;
}

std::optional<NSMutableURLRequest> HCPropertyListRequestSerializer::requestBySerializingRequest(
    const NSURLRequest& request, const Value& parameters, NSErrorPtr* error) const {
    if (HTTPMethodsEncodingParametersInURI().count(TextUtil::toUpperASCII(request.HTTPMethod())))
        return HCHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
    NSMutableURLRequest copy = request;
    applyDefaultHeaders(request, copy);
    if (parameters.isNull()) return copy;
    setIfAbsent(copy, "Content-Type", "application/x-plist");
    NSErrorPtr writeError;
    std::optional<Data> body;
    if (format_ == unsigned(NSPropertyListSerialization::Format::XML) ||
        format_ == unsigned(NSPropertyListSerialization::Format::Binary)) {
        body = NSPropertyListSerialization::dataWithPropertyList(
            parameters, NSPropertyListSerialization::Format(format_), &writeError);
    } else {
        writeError = NSError::withDescription(
            NSCocoaErrorDomain, kNSPropertyListWriteInvalidError,
            NSString::format("Property lists cannot be written in format %lu.", {Value(uint64_t(format_))}));
    }
    if (body)
        copy.setHTTPBody(*body);
    else if (error)
        *error = writeError;
    return copy;
}

void HCPropertyListRequestSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCHTTPRequestSerializer::encodeWithCoder(coder);
    coder.encodeInteger(int64_t(format_), kFormatKey);
    coder.encodeInteger(int64_t(writeOptions_), kWriteOptionsKey);
}

bool HCPropertyListRequestSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (!HCHTTPRequestSerializer::decodeSettings(coder)) return false;
    format_ = coder.decodeUnsignedIntegerForKey(kFormatKey);
    writeOptions_ = coder.decodeUnsignedIntegerForKey(kWriteOptionsKey);
    return !coder.error();
}

std::shared_ptr<HCHTTPRequestSerializer> HCPropertyListRequestSerializer::newSerializer() const {
    return makeInitialised<HCPropertyListRequestSerializer>();
}

void HCPropertyListRequestSerializer::copySettingsTo(HCHTTPRequestSerializer& copy) const {
    HCHTTPRequestSerializer::copySettingsTo(copy);
    auto& plistCopy = static_cast<HCPropertyListRequestSerializer&>(copy);
    plistCopy.format_ = format_;
    plistCopy.writeOptions_ = writeOptions_;
}
