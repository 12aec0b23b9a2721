// Response serializers that decode XML, property lists and images, and one that tries several in turn.
//
// Each first validates the reply like HCHTTPResponseSerializer. An unacceptable content type (or a caller
// that asked for no error) ends there with no object; an unacceptable status still has its body decoded, so
// the caller gets both the object and the -1011 error.
//
//   HCXMLParserResponseSerializer     "application/xml", "text/xml"; an unstarted NSXMLParser over the body
//   HCPropertyListResponseSerializer  "application/x-plist"; the decoded property list
//   HCImageResponseSerializer         image types; a UIImage at `imageScale`
//   HCCompoundResponseSerializer      the first member's object; else the plain base result
//
// A non-empty image body that does not decode is an error (NSURLErrorDomain, -1016), not a silent nil.
// Our images always hold decoded pixels, so `automaticallyInflatesResponseImage` changes nothing in the
// result; it is kept, archived and copied for callers that set it.
//
// Copies and archives carry every setting, the base class's included; a compound copy shares its members.
//
// Read-only once configured: replies are decoded concurrently with one serializer.
#pragma once

#include <memory>
#include <vector>

#include "httpclient/HCURLResponseSerialization.h"
#include "platform/foundation/NSXMLParser.h"
#include "platform/graphics/UIImage.h"

void HCRegisterDecodingResponseSerializers();

inline constexpr long HCImageErrorCannotDecodeContentData = -1016;  // in NSURLErrorDomain

// Decodes an image while holding the process-wide image lock, so that images are made from data one at a
// time across all threads. nullptr when the bytes are not an image.
UIImagePtr hc_safeImageWithData(const Data& data);
// The image decoded from the bytes at `scale`; nullptr when they are not an image.
UIImagePtr HCImageDecodedAtScale(const Data& data, double scale);

class HCXMLParserResponseSerializer : public HCHTTPResponseSerializer {
  public:
    static std::shared_ptr<HCXMLParserResponseSerializer> serializer();
    static std::string archiveClassName() { return "HCXMLParserResponseSerializer"; }

    // An NSXMLParser (as an object value) over the body; nothing is parsed here, so no parse error.
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override;
    std::string classNameForCoder() const override { return archiveClassName(); }

  protected:
    friend void HCRegisterDecodingResponseSerializers();
    HCXMLParserResponseSerializer();
    std::shared_ptr<HCHTTPResponseSerializer> newSerializer() const override;
};

class HCPropertyListResponseSerializer : public HCHTTPResponseSerializer {
  public:
    // Format 100 (XML), no read options.
    static std::shared_ptr<HCPropertyListResponseSerializer> serializer();
    static std::shared_ptr<HCPropertyListResponseSerializer> serializerWithFormat(unsigned long format,
                                                                                  unsigned long readOptions);
    static std::string archiveClassName() { return "HCPropertyListResponseSerializer"; }

    // Reading detects the format; `format` is kept for callers and archives only.
    unsigned long format() const { return format_; }
    void setFormat(unsigned long format) { format_ = format; }
    unsigned long readOptions() const { return readOptions_; }
    void setReadOptions(unsigned long options) { readOptions_ = options; }

    // The property list; nullopt with the decoder's error (over any validation error) when it is not one.
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;

  protected:
    friend void HCRegisterDecodingResponseSerializers();
    HCPropertyListResponseSerializer();
    std::shared_ptr<HCHTTPResponseSerializer> newSerializer() const override;
    bool decodeSettings(NSKeyedUnarchiver& coder) override;
    void copySettingsTo(HCHTTPResponseSerializer& copy) const override;

  private:
    unsigned long format_ = 100;
    unsigned long readOptions_ = 0;
};

class HCImageResponseSerializer : public HCHTTPResponseSerializer {
  public:
    static std::shared_ptr<HCImageResponseSerializer> serializer();
    static std::string archiveClassName() { return "HCImageResponseSerializer"; }

    // The scale of decoded images; the main screen's by default.
    double imageScale() const { return imageScale_; }
    void setImageScale(double scale) { imageScale_ = scale; }
    bool automaticallyInflatesResponseImage() const { return automaticallyInflatesResponseImage_; }
    void setAutomaticallyInflatesResponseImage(bool inflates) {
        automaticallyInflatesResponseImage_ = inflates;
    }

    // The image (as an object value); nullopt for an empty body, or with an error for one that does not
    // decode.
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;

  protected:
    friend void HCRegisterDecodingResponseSerializers();
    HCImageResponseSerializer();
    std::shared_ptr<HCHTTPResponseSerializer> newSerializer() const override;
    bool decodeSettings(NSKeyedUnarchiver& coder) override;
    void copySettingsTo(HCHTTPResponseSerializer& copy) const override;

  private:
    double imageScale_;
    bool automaticallyInflatesResponseImage_ = true;
};

class HCCompoundResponseSerializer : public HCHTTPResponseSerializer {
  public:
    using Members = std::vector<std::shared_ptr<HCHTTPResponseSerializer>>;

    static std::shared_ptr<HCCompoundResponseSerializer> compoundSerializerWithResponseSerializers(
        Members members);
    static std::string archiveClassName() { return "HCCompoundResponseSerializer"; }

    const Members& responseSerializers() const { return responseSerializers_; }

    // The first member's object (with that member's error over the caller's); when no member gives one,
    // the base class's result with this serializer's own status codes and content types.
    std::optional<Value> responseObjectForResponse(const NSURLResponsePtr& response,
                                                   const std::optional<Data>& data,
                                                   NSErrorPtr* error) const override;

    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;

  protected:
    friend void HCRegisterDecodingResponseSerializers();
    HCCompoundResponseSerializer() = default;
    std::shared_ptr<HCHTTPResponseSerializer> newSerializer() const override;
    bool decodeSettings(NSKeyedUnarchiver& coder) override;
    void copySettingsTo(HCHTTPResponseSerializer& copy) const override;

  private:
    Members responseSerializers_;
};

// Registers the four classes above for unarchiving; called by their factories, safe to call again.
void HCRegisterDecodingResponseSerializers();
