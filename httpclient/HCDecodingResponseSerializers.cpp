#include "httpclient/HCDecodingResponseSerializers.h"

#include <mutex>

#include "platform/foundation/Process.h"
#include "platform/foundation/PropertyList.h"

namespace {

constexpr const char* kFormatKey = "format";
constexpr const char* kReadOptionsKey = "readOptions";
constexpr const char* kImageScaleKey = "imageScale";
constexpr const char* kInflatesKey = "automaticallyInflatesResponseImage";
constexpr const char* kMembersKey = "responseSerializers";

// Validation into a local error (a stale error in the caller's variable is never chained under this
// reply's), then the rule every decoding serializer shares: no caller error or an unacceptable content
// type ends here; an unacceptable status goes on to decoding. `valid` tells which.
bool passesValidationGate(const HCHTTPResponseSerializer& serializer, const NSURLResponsePtr& response,
                          const std::optional<Data>& data, NSErrorPtr* error, bool& valid) {
    NSErrorPtr validationError;
    valid = serializer.validateResponse(response, data, &validationError);
    if (valid) return true;
    if (error) *error = validationError;
    return error && !HCErrorChainContainsCode(validationError);
}

std::mutex& imageLock() {
    static auto* lock = new std::mutex;  // lives until the process ends
    return *lock;
}

NSErrorPtr undecodableImageError(const NSURLResponsePtr& response) {
    Value::Dictionary userInfo{{NSLocalizedDescriptionKey, Value("The image data could not be decoded.")}};
    if (response && response->URL()) userInfo[NSURLErrorFailingURLErrorKey] = Value(response->URL());
    return NSError::create(NSURLErrorDomain, HCImageErrorCannotDecodeContentData, std::move(userInfo));
}

}  // namespace

UIImagePtr hc_safeImageWithData(const Data& data) {
    std::lock_guard lock(imageLock());
    return UIImage::imageWithData(data, 1);
}

UIImagePtr HCImageDecodedAtScale(const Data& data, double scale) {
    // Our images carry no animation frames or orientation: decoding at the scale is the whole story.
    std::lock_guard lock(imageLock());
    return UIImage::imageWithData(data, scale);
}

void HCRegisterDecodingResponseSerializers() {
    static std::once_flag once;
    std::call_once(once, [] {
        HCHTTPResponseSerializer::registerArchivableClasses();
        auto add = [](const std::string& name, auto make) {
            NSKeyedUnarchiver::registerClass(name, HCHTTPResponseSerializer::archiveClassName(),
                                             [make](NSKeyedUnarchiver& coder) -> std::shared_ptr<Object> {
                                                 auto serializer = make();
                                                 if (!serializer->decodeSettings(coder)) return nullptr;
                                                 return serializer;
                                             });
        };
        add(HCXMLParserResponseSerializer::archiveClassName(),
            [] { return std::shared_ptr<HCXMLParserResponseSerializer>(new HCXMLParserResponseSerializer); });
        add(HCPropertyListResponseSerializer::archiveClassName(), [] {
            return std::shared_ptr<HCPropertyListResponseSerializer>(new HCPropertyListResponseSerializer);
        });
        add(HCImageResponseSerializer::archiveClassName(),
            [] { return std::shared_ptr<HCImageResponseSerializer>(new HCImageResponseSerializer); });
        add(HCCompoundResponseSerializer::archiveClassName(),
            [] { return std::shared_ptr<HCCompoundResponseSerializer>(new HCCompoundResponseSerializer); });
    });
}

// ---- XML ----

HCXMLParserResponseSerializer::HCXMLParserResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

std::shared_ptr<HCXMLParserResponseSerializer> HCXMLParserResponseSerializer::serializer() {
    HCRegisterDecodingResponseSerializers();
    return std::shared_ptr<HCXMLParserResponseSerializer>(new HCXMLParserResponseSerializer);
}

std::optional<Value> HCXMLParserResponseSerializer::responseObjectForResponse(
    const NSURLResponsePtr& response, const std::optional<Data>& data, NSErrorPtr* error) const {
    bool valid = false;
    if (!passesValidationGate(*this, response, data, error, valid)) return std::nullopt;
    return Value(NSXMLParser::create(data.value_or(Data())));
}

std::shared_ptr<HCHTTPResponseSerializer> HCXMLParserResponseSerializer::newSerializer() const {
    return std::shared_ptr<HCXMLParserResponseSerializer>(new HCXMLParserResponseSerializer);
}

// ---- Property list ----

HCPropertyListResponseSerializer::HCPropertyListResponseSerializer() {
    setAcceptableContentTypes(std::set<std::string>{"application/x-plist"});
}

std::shared_ptr<HCPropertyListResponseSerializer> HCPropertyListResponseSerializer::serializer() {
    return serializerWithFormat(100, 0);
}

std::shared_ptr<HCPropertyListResponseSerializer> HCPropertyListResponseSerializer::serializerWithFormat(
    unsigned long format, unsigned long readOptions) {
    HCRegisterDecodingResponseSerializers();
    auto serializer = std::shared_ptr<HCPropertyListResponseSerializer>(new HCPropertyListResponseSerializer);
    serializer->format_ = format;
    serializer->readOptions_ = readOptions;
    return serializer;
}

std::optional<Value> HCPropertyListResponseSerializer::responseObjectForResponse(
    const NSURLResponsePtr& response, const std::optional<Data>& data, NSErrorPtr* error) const {
    bool valid = false;
    if (!passesValidationGate(*this, response, data, error, valid)) return std::nullopt;
    if (!data) return std::nullopt;
    NSErrorPtr readerError;
    auto object = NSPropertyListSerialization::propertyListWithData(*data, nullptr, &readerError);
    if (object) readerError.reset();
    if (error && (readerError || !valid))
        *error = HCErrorAddingUnderlyingError(readerError, valid ? nullptr : *error);
    return object;
}

void HCPropertyListResponseSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeInteger(int64_t(format_), kFormatKey);
    coder.encodeInteger(int64_t(readOptions_), kReadOptionsKey);
}

bool HCPropertyListResponseSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (!HCHTTPResponseSerializer::decodeSettings(coder)) return false;
    format_ = coder.containsValueForKey(kFormatKey) ? coder.decodeUnsignedIntegerForKey(kFormatKey) : 100;
    readOptions_ = coder.decodeUnsignedIntegerForKey(kReadOptionsKey);
    return !coder.error();
}

std::shared_ptr<HCHTTPResponseSerializer> HCPropertyListResponseSerializer::newSerializer() const {
    return std::shared_ptr<HCPropertyListResponseSerializer>(new HCPropertyListResponseSerializer);
}

void HCPropertyListResponseSerializer::copySettingsTo(HCHTTPResponseSerializer& copy) const {
    HCHTTPResponseSerializer::copySettingsTo(copy);
    auto& plistCopy = static_cast<HCPropertyListResponseSerializer&>(copy);
    plistCopy.format_ = format_;
    plistCopy.readOptions_ = readOptions_;
}

// ---- Image ----

HCImageResponseSerializer::HCImageResponseSerializer() : imageScale_(DeviceProfile::current().screenScale) {
    setAcceptableContentTypes(std::set<std::string>{"image/tiff", "image/jpeg", "image/gif", "image/png",
                                                    "image/ico", "image/x-icon", "image/bmp", "image/x-bmp",
                                                    "image/x-xbitmap", "image/x-win-bitmap"});
}

std::shared_ptr<HCImageResponseSerializer> HCImageResponseSerializer::serializer() {
    HCRegisterDecodingResponseSerializers();
    return std::shared_ptr<HCImageResponseSerializer>(new HCImageResponseSerializer);
}

std::optional<Value> HCImageResponseSerializer::responseObjectForResponse(const NSURLResponsePtr& response,
                                                                          const std::optional<Data>& data,
                                                                          NSErrorPtr* error) const {
    bool valid = false;
    if (!passesValidationGate(*this, response, data, error, valid)) return std::nullopt;
    if (!data || data->empty()) return std::nullopt;
    // Decoding already yields plain pixels, so the inflated and the plain road give the same image.
    auto image = HCImageDecodedAtScale(*data, imageScale_);
    if (!image) {
        if (error)
            *error = HCErrorAddingUnderlyingError(undecodableImageError(response), valid ? nullptr : *error);
        return std::nullopt;
    }
    return Value(image);
}

void HCImageResponseSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    coder.encodeDouble(double(float(imageScale_)), kImageScaleKey);
    coder.encodeBool(automaticallyInflatesResponseImage_, kInflatesKey);
}

bool HCImageResponseSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (!HCHTTPResponseSerializer::decodeSettings(coder)) return false;
    if (coder.containsValueForKey(kImageScaleKey)) {
        double scale = coder.decodeDoubleForKey(kImageScaleKey);
        if (!(scale > 0) || scale > 16) {
            coder.failWithError(NSError::withDescription(NSCocoaErrorDomain, NSCoderReadCorruptError,
                                                         "The archived image scale is out of range."));
            return false;
        }
        imageScale_ = scale;
    }
    automaticallyInflatesResponseImage_ = coder.decodeBoolForKey(kInflatesKey);
    return !coder.error();
}

std::shared_ptr<HCHTTPResponseSerializer> HCImageResponseSerializer::newSerializer() const {
    return std::shared_ptr<HCImageResponseSerializer>(new HCImageResponseSerializer);
}

void HCImageResponseSerializer::copySettingsTo(HCHTTPResponseSerializer& copy) const {
    HCHTTPResponseSerializer::copySettingsTo(copy);
    auto& imageCopy = static_cast<HCImageResponseSerializer&>(copy);
    imageCopy.imageScale_ = imageScale_;
    imageCopy.automaticallyInflatesResponseImage_ = automaticallyInflatesResponseImage_;
}

// ---- Compound ----

std::shared_ptr<HCCompoundResponseSerializer>
HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(Members members) {
    HCRegisterDecodingResponseSerializers();
    auto serializer = std::shared_ptr<HCCompoundResponseSerializer>(new HCCompoundResponseSerializer);
    std::erase(members, nullptr);
    serializer->responseSerializers_ = std::move(members);
    return serializer;
}

std::optional<Value> HCCompoundResponseSerializer::responseObjectForResponse(const NSURLResponsePtr& response,
                                                                             const std::optional<Data>& data,
                                                                             NSErrorPtr* error) const {
    // Whatever the caller's variable held before belongs to another reply: this one starts clean.
    if (error) *error = nullptr;
    for (const auto& member : responseSerializers_) {
        NSErrorPtr memberError;
        auto object = member->responseObjectForResponse(response, data, &memberError);
        if (!object) continue;
        if (error) *error = memberError;
        return object;
    }
    return HCHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}

void HCCompoundResponseSerializer::encodeWithCoder(NSKeyedArchiver& coder) const {
    HCHTTPResponseSerializer::encodeWithCoder(coder);
    Value::Array members;
    for (const auto& member : responseSerializers_) members.emplace_back(member);
    coder.encodeObject(Value(std::move(members)), kMembersKey);
}

bool HCCompoundResponseSerializer::decodeSettings(NSKeyedUnarchiver& coder) {
    if (!HCHTTPResponseSerializer::decodeSettings(coder)) return false;
    responseSerializers_.clear();
    auto members =
        coder.decodeObjectOfClasses({"NSArray", HCHTTPResponseSerializer::archiveClassName()}, kMembersKey);
    if (coder.error()) return false;
    if (members) {
        if (!members->isArray()) return false;
        for (const auto& member : *members->asArray()) {
            auto serializer = member.asObjectOf<HCHTTPResponseSerializer>();
            if (!serializer) return false;
            responseSerializers_.push_back(std::move(serializer));
        }
    }
    return true;
}

std::shared_ptr<HCHTTPResponseSerializer> HCCompoundResponseSerializer::newSerializer() const {
    return std::shared_ptr<HCCompoundResponseSerializer>(new HCCompoundResponseSerializer);
}

void HCCompoundResponseSerializer::copySettingsTo(HCHTTPResponseSerializer& copy) const {
    HCHTTPResponseSerializer::copySettingsTo(copy);
    static_cast<HCCompoundResponseSerializer&>(copy).responseSerializers_ = responseSerializers_;
}
