#include "httpclient/HCURLResponseSerialization.h"

#include <mutex>

#include "httpclient/HCNetworkingStrings.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"

namespace {

constexpr const char* kStatusCodesKey = "acceptableStatusCodes";
constexpr const char* kContentTypesKey = "acceptableContentTypes";
constexpr const char* kStringEncodingKey = "stringEncoding";
constexpr const char* kReadingOptionsKey = "readingOptions";
constexpr const char* kRemovesNullsKey = "removesKeysWithNullValues";
constexpr long kJSONReadCorruptError = 3840;

NSErrorPtr responseError(long code, std::string description, const NSHTTPURLResponse& response,
                         const NSHTTPURLResponsePtr& responseObject, const std::optional<Data>& data) {
    Value::Dictionary userInfo{
        {NSLocalizedDescriptionKey, Value(std::move(description))},
        {NSURLErrorFailingURLErrorKey, Value(response.URL())},
        {HCResponseErrorResponseKey, Value(responseObject)},
    };
    if (data) userInfo[HCResponseErrorDataKey] = Value(*data);
    return NSError::create(HCResponseSerializationErrorDomain, code, std::move(userInfo));
}

// A reader error as the user will see it: always with a description.
NSErrorPtr describedReaderError(NSErrorPtr error) {
    if (!error) {
        return NSError::withDescription(
            NSCocoaErrorDomain, kJSONReadCorruptError,
            "The data couldn\u2019t be read because it isn\u2019t in the correct format.");
    }
    auto it = error->userInfo().find(NSLocalizedDescriptionKey);
    if (it != error->userInfo().end() && it->second.isString() && !it->second.asString()->empty())
        return error;
    auto userInfo = error->userInfo();
    userInfo[NSLocalizedDescriptionKey] = error->localizedDescription();
    return NSError::create(error->domain(), error->code(), std::move(userInfo));
}

}  // namespace

NSErrorPtr HCErrorAddingUnderlyingError(const NSErrorPtr& error, const NSErrorPtr& underlyingError) {
    if (!error) return underlyingError;
    if (!underlyingError || error->userInfo().count(NSUnderlyingErrorKey)) return error;
    auto userInfo = error->userInfo();
    userInfo[NSUnderlyingErrorKey] = Value(underlyingError);
    return NSError::create(error->domain(), error->code(), std::move(userInfo));
}

bool HCErrorChainContainsCode(const NSErrorPtr& error) {
    for (auto current = error; current; current = current->underlyingError()) {
        if (current->domain() == HCResponseSerializationErrorDomain &&
            current->code() == HCResponseErrorCannotDecodeContentData)
            return true;
    }
    return false;
}

// ---- HCHTTPResponseSerializer ----

HCHTTPResponseSerializer::HCHTTPResponseSerializer() {
    static const auto* codes = new std::shared_ptr<const std::optional<HCIndexSet>>(
        std::make_shared<const std::optional<HCIndexSet>>(HCIndexSet::indexSetWithIndexesInRange(200, 100)));
    static const auto* anyType =
        new std::shared_ptr<const ContentTypes>(std::make_shared<const ContentTypes>());
    acceptableStatusCodes_ = *codes;
    acceptableContentTypes_ = *anyType;
}

std::shared_ptr<HCHTTPResponseSerializer> HCHTTPResponseSerializer::serializer() {
    registerArchivableClasses();
    return std::shared_ptr<HCHTTPResponseSerializer>(new HCHTTPResponseSerializer);
}

bool HCHTTPResponseSerializer::validateResponse(const NSURLResponsePtr& response,
                                                const std::optional<Data>& data, NSErrorPtr* error) const {
    auto http = std::dynamic_pointer_cast<NSHTTPURLResponse>(response);
    if (!http) return true;

    bool valid = true;
    NSErrorPtr held;
    const bool emptyBody = !data || data->empty();
    const auto& mimeType = http->MIMEType();
    const auto& acceptableContentTypes = *acceptableContentTypes_;
    if (acceptableContentTypes && !(mimeType && acceptableContentTypes->count(*mimeType)) &&
        !(!mimeType && emptyBody)) {
        if (!emptyBody && http->URL()) {
            std::string format = HCNetworkingLocalizedFormat("Request failed: unacceptable content-type: %@");
            // A missing type prints as the platform prints a nil object.
            Value type = mimeType ? Value(*mimeType) : Value("(null)");
            held = responseError(HCResponseErrorCannotDecodeContentData, NSString::format(format, {type}),
                                 *http, http, data);
        }
        valid = false;
    }
    const auto& acceptableStatusCodes = *acceptableStatusCodes_;
    if (acceptableStatusCodes && !acceptableStatusCodes->containsIndex(http->statusCode()) && http->URL()) {
        std::string format = HCNetworkingLocalizedFormat("Request failed: %@ (%ld)");
        std::string description = NSString::format(
            format, {Value(NSHTTPURLResponse::localizedStringForStatusCode(http->statusCode())),
                     Value(http->statusCode())});
        auto statusError =
            responseError(HCResponseErrorBadServerResponse, std::move(description), *http, http, data);
        held = HCErrorAddingUnderlyingError(statusError, held);
        valid = false;
    }
    if (!valid && error) *error = held;
    return valid;
}

std::optional<Value> HCHTTPResponseSerializer::responseObjectForResponse(const NSURLResponsePtr& response,
                                                                         const std::optional<Data>& data,
                                                                         NSErrorPtr* error) const {
    validateResponse(response, data, error);
    if (!data) return std::nullopt;
    return Value(*data);
}

void HCHTTPResponseSerializer::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto factory = [](auto make) {
            return [make](NSKeyedUnarchiver& coder) -> std::shared_ptr<Object> {
                std::shared_ptr<HCHTTPResponseSerializer> serializer = make();
                if (!serializer->decodeSettings(coder)) return nullptr;
                return serializer;
            };
        };
        NSKeyedUnarchiver::registerClass(
            archiveClassName(), "",
            factory([] { return std::shared_ptr<HCHTTPResponseSerializer>(new HCHTTPResponseSerializer); }));
        NSKeyedUnarchiver::registerClass(
            HCJSONResponseSerializer::archiveClassName(), archiveClassName(),
            factory([] { return std::shared_ptr<HCJSONResponseSerializer>(new HCJSONResponseSerializer); }));
    });
}

void HCHTTPResponseSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    if (const auto& codes = acceptableStatusCodes())
        coder.encodeObject(codes->archiveValue(), kStatusCodesKey);
    if (const auto& acceptableContentTypes = this->acceptableContentTypes()) {
        Value types = Value::set();
        for (const auto& type : *acceptableContentTypes) types.insert(type);
        coder.encodeObject(types, kContentTypesKey);
    }
    coder.encodeInteger(int64_t(stringEncoding_), kStringEncodingKey);
}

bool HCHTTPResponseSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    // An absent key means "accept everything", as it was when archived.
    setAcceptableStatusCodes(std::nullopt);
    if (auto codes = coder.decodeObjectOfClasses({"NSArray", "NSNumber"}, kStatusCodesKey)) {
        setAcceptableStatusCodes(HCIndexSet::fromArchiveValue(*codes));
        if (!acceptableStatusCodes()) {
            coder.failWithError(NSError::withDescription(NSCocoaErrorDomain, NSCoderReadCorruptError,
                                                         "The archived status codes are malformed."));
            return false;
        }
    }
    setAcceptableContentTypes(std::nullopt);
    if (auto types = coder.decodeObjectOfClasses({"NSSet", "NSString"}, kContentTypesKey)) {
        if (!types->isSet()) return false;
        std::set<std::string> decoded;
        for (const auto& type : *types->asSet()) decoded.insert(*type.asString());
        setAcceptableContentTypes(std::move(decoded));
    }
    if (coder.containsValueForKey(kStringEncodingKey))
        stringEncoding_ = coder.decodeUnsignedIntegerForKey(kStringEncodingKey);
    return !coder.error();
}

std::shared_ptr<HCHTTPResponseSerializer> HCHTTPResponseSerializer::newSerializer() const {
    return std::shared_ptr<HCHTTPResponseSerializer>(new HCHTTPResponseSerializer);
}

void HCHTTPResponseSerializer::copySettingsTo(HCHTTPResponseSerializer& copy) const {
    copy.stringEncoding_ = stringEncoding_;
    copy.acceptableStatusCodes_ = acceptableStatusCodes_;
    copy.acceptableContentTypes_ = acceptableContentTypes_;
}

std::shared_ptr<Object> HCHTTPResponseSerializer::copyWithZone(NSZone*) const {
    auto copy = newSerializer();
    copySettingsTo(*copy);
    return copy;
}

// ---- HCJSONResponseSerializer ----

Value HCJSONValueRemovingNulls(const Value& value, unsigned long readingOptions) {
    if (const auto* array = value.asArray()) {
        Value::Array out;
        out.reserve(array->size());
        for (const auto& element : *array) out.push_back(HCJSONValueRemovingNulls(element, readingOptions));
        return Value(std::move(out));
    }
    if (const auto* dict = value.asDictionary()) {
        Value::Dictionary out;
        for (const auto& [key, member] : *dict) {
            if (member.isNull()) continue;
            if (member.isArray() || member.isDictionary())
                out.emplace(key, HCJSONValueRemovingNulls(member, readingOptions));
            else
                out.emplace(key, member);
        }
        return Value(std::move(out));
    }
    return value;
}

HCJSONResponseSerializer::HCJSONResponseSerializer() {
    // Every session manager makes one or two of these: they share one set of types.
    static const auto* types = new std::shared_ptr<const ContentTypes>(std::make_shared<const ContentTypes>(
        std::set<std::string>{"application/json", "text/json", "text/javascript", "text/html"}));
    shareAcceptableContentTypes(*types);
}

std::shared_ptr<HCJSONResponseSerializer> HCJSONResponseSerializer::serializer() {
    return serializerWithReadingOptions(0);
}

std::shared_ptr<HCJSONResponseSerializer> HCJSONResponseSerializer::serializerWithReadingOptions(
    unsigned long readingOptions) {
    registerArchivableClasses();
    auto serializer = std::shared_ptr<HCJSONResponseSerializer>(new HCJSONResponseSerializer);
    serializer->readingOptions_ = readingOptions;
    return serializer;
}

std::optional<Value> HCJSONResponseSerializer::responseObjectForResponse(const NSURLResponsePtr& response,
                                                                         const std::optional<Data>& data,
                                                                         NSErrorPtr* error) const {
    // Validation writes into a local error so that a stale error left in the caller's variable is never
    // chained under this reply's errors.
    NSErrorPtr validationError;
    const bool valid = validateResponse(response, data, &validationError);
    if (!valid && error) *error = validationError;
    // An unacceptable content type ends here; an unacceptable status still has its body decoded.
    if (!valid && (!error || HCErrorChainContainsCode(validationError))) return std::nullopt;
    if (!data || data->empty() || (data->length() == 1 && data->bytes()[0] == ' ')) return std::nullopt;

    NSErrorPtr readerError;
    std::optional<Value> object;
    if (data->length() > kMaximumBodyLength) {
        readerError = NSError::withDescription(
            NSCocoaErrorDomain, kJSONReadCorruptError,
            NSString::format("The reply is too large to decode (%lu bytes; at most %lu are accepted).",
                             {Value(uint64_t(data->length())), Value(uint64_t(kMaximumBodyLength))}));
    } else {
        object = NSJSONSerialization::JSONObjectWithData(*data, unsigned(readingOptions_), &readerError);
        if (object)
            readerError.reset();
        else
            readerError = describedReaderError(std::move(readerError));
    }
    if (object && removesKeysWithNullValues_) object = HCJSONValueRemovingNulls(*object, readingOptions_);
    if (error && (readerError || !valid))
        *error = HCErrorAddingUnderlyingError(readerError, valid ? nullptr : validationError);
    return object;
}

void HCJSONResponseSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeInteger(int64_t(readingOptions_), kReadingOptionsKey);
    coder.encodeBool(removesKeysWithNullValues_, kRemovesNullsKey);
}

bool HCJSONResponseSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (!HCHTTPResponseSerializer::decodeSettings(coder)) return false;
    readingOptions_ = coder.decodeUnsignedIntegerForKey(kReadingOptionsKey);
    removesKeysWithNullValues_ = coder.decodeBoolForKey(kRemovesNullsKey);
    return !coder.error();
}

std::shared_ptr<HCHTTPResponseSerializer> HCJSONResponseSerializer::newSerializer() const {
    return std::shared_ptr<HCJSONResponseSerializer>(new HCJSONResponseSerializer);
}

void HCJSONResponseSerializer::copySettingsTo(HCHTTPResponseSerializer& copy) const {
    HCHTTPResponseSerializer::copySettingsTo(copy);
    auto& jsonCopy = static_cast<HCJSONResponseSerializer&>(copy);
    jsonCopy.readingOptions_ = readingOptions_;
    jsonCopy.removesKeysWithNullValues_ = removesKeysWithNullValues_;
}
