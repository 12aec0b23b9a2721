// Response serializers: decide whether a reply is acceptable and decode its body.
//
// HCHTTPResponseSerializer checks the status code and the content type and hands the body back as bytes;
// HCJSONResponseSerializer also decodes the body as JSON. An unacceptable reply gives an error in the
// response domain: -1016 for the content type, -1011 for the status code (with the content-type error
// under NSUnderlyingErrorKey when both fail). A JSON reply with an unacceptable status is still decoded,
// so the caller gets both the body and the -1011 error.
//
// Serializers are read-only once configured: replies are decoded concurrently with one serializer.
// Archiving and copying carry every setting.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

#include "httpclient/HCIndexSet.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/URLResponse.h"
#include "platform/foundation/Value.h"

inline constexpr const char* HCResponseSerializationErrorDomain = "com.hcnet.error.serialization.response";
inline constexpr const char* HCResponseErrorResponseKey = "com.hcnet.serialization.response.error.response";
inline constexpr const char* HCResponseErrorDataKey = "com.hcnet.serialization.response.error.data";
inline constexpr long HCResponseErrorBadServerResponse = -1011;
inline constexpr long HCResponseErrorCannotDecodeContentData = -1016;

// `error` with `underlyingError` under NSUnderlyingErrorKey (unless it has one already); `underlyingError`
// when there is no `error`.
NSErrorPtr HCErrorAddingUnderlyingError(const NSErrorPtr& error, const NSErrorPtr& underlyingError);
// Whether the error, or one under it, is the response domain's -1016 (unacceptable content type).
bool HCErrorChainContainsCode(const NSErrorPtr& error);

class HCURLResponseSerialization : public NSCoding, public NSCopying {
  public:
    // The decoded body, or nullopt. `data` is nullopt when there was no body.
    virtual std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                           const std::optional<Data>& data,
                                                           NSErrorPtr* error) const = 0;
};

class HCHTTPResponseSerializer : public Object, public HCURLResponseSerialization {
  public:
    static std::shared_ptr<HCHTTPResponseSerializer> serializer();
    static std::string archiveClassName() { return "HCHTTPResponseSerializer"; }
    // Registers the serializer classes for unarchiving; called by every factory, safe to call again.
    static void registerArchivableClasses();

    unsigned long stringEncoding() const { return stringEncoding_; }
    void setStringEncoding(unsigned long encoding) { stringEncoding_ = encoding; }
    // nullopt accepts any status code; 200 to 299 by default.
    const std::optional<HCIndexSet>& acceptableStatusCodes() const { return *acceptableStatusCodes_; }
    void setAcceptableStatusCodes(std::optional<HCIndexSet> codes) {
        acceptableStatusCodes_ = std::make_shared<const std::optional<HCIndexSet>>(std::move(codes));
    }
    // nullopt accepts any MIME type; none by default.
    const std::optional<std::set<std::string>>& acceptableContentTypes() const {
        return *acceptableContentTypes_;
    }
    void setAcceptableContentTypes(std::optional<std::set<std::string>> types) {
        acceptableContentTypes_ = std::make_shared<const ContentTypes>(std::move(types));
    }

    // true when the reply is acceptable. Otherwise false, and `*error` is set to the reason (nullptr when
    // the reply fails only for an empty body's content type, or has no URL to report).
    bool validateResponse(const NSURLResponsePtr& response, const std::optional<Data>& data,
                          NSErrorPtr* error) const;

    // Validates, and returns the body bytes whether or not the reply was acceptable.
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;

  protected:
    using ContentTypes = std::optional<std::set<std::string>>;
    HCHTTPResponseSerializer();
    // Takes `types` as they are, shared with whoever else holds them.
    void shareAcceptableContentTypes(std::shared_ptr<const ContentTypes> types) {
        acceptableContentTypes_ = std::move(types);
    }
    virtual std::shared_ptr<HCHTTPResponseSerializer> newSerializer() const;
    virtual void copySettingsTo(HCHTTPResponseSerializer& copy) const;
    virtual bool decodeSettings(NSKeyedUnarchiver& coder);

  private:
    unsigned long stringEncoding_ = 4;  // UTF-8
    // Never changed in place (setting replaces them), so serializers share them: most keep the defaults.
    std::shared_ptr<const std::optional<HCIndexSet>> acceptableStatusCodes_;
    std::shared_ptr<const ContentTypes> acceptableContentTypes_;
};

// Removes dictionary members whose value is null, at every depth (null array elements stay).
Value HCJSONValueRemovingNulls(const Value& value, unsigned long readingOptions);

class HCJSONResponseSerializer : public HCHTTPResponseSerializer {
  public:
    // Bodies longer than this are refused with an error rather than decoded.
    static constexpr size_t kMaximumBodyLength = 64 * 1024 * 1024;

    static std::shared_ptr<HCJSONResponseSerializer> serializer();
    static std::shared_ptr<HCJSONResponseSerializer> serializerWithReadingOptions(
        unsigned long readingOptions);
    static std::string archiveClassName() { return "HCJSONResponseSerializer"; }

    // NSJSONSerialization reading options; 4 accepts a top level that is neither an object nor an array.
    unsigned long readingOptions() const { return readingOptions_; }
    void setReadingOptions(unsigned long options) { readingOptions_ = options; }
    bool removesKeysWithNullValues() const { return removesKeysWithNullValues_; }
    void setRemovesKeysWithNullValues(bool removes) { removesKeysWithNullValues_ = removes; }

    // The decoded JSON value; nullopt for an unacceptable content type, an empty or single-space body, or
    // a body that is not JSON (with the reader's error on top of any validation error).
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;

  protected:
    friend class HCHTTPResponseSerializer;
    HCJSONResponseSerializer();
    std::shared_ptr<HCHTTPResponseSerializer> newSerializer() const override;
    void copySettingsTo(HCHTTPResponseSerializer& copy) const override;
    bool decodeSettings(NSKeyedUnarchiver& coder) override;

  private:
    unsigned long readingOptions_ = 0;
    bool removesKeysWithNullValues_ = false;
};
