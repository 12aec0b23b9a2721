#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyList.h"

namespace {

// From the application's resources, wherever the test runs from.
Data resource(const std::string& relative) {
    return Data::fromString(fileText(NSBundle::mainBundle()->bundlePath() + "/" + relative));
}

TEST(HCDecodingResponseSerializers, ValidationGateTable) {
    auto xml = HCXMLParserResponseSerializer::serializer();
    auto plist = HCPropertyListResponseSerializer::serializer();
    auto image = HCImageResponseSerializer::serializer();
    auto plistBody = NSPropertyListSerialization::dataWithPropertyList(
        Value(Dict{{"k", 1}}), NSPropertyListSerialization::Format::XML, nullptr);
    ASSERT_TRUE(plistBody);
    const Data png = resource("base.bundle/back.png");
    ASSERT_FALSE(png.empty());

    // What each accepts is decoded in the tables below; XML's parser here.
    struct Case {
        const char* name;
        std::shared_ptr<HCHTTPResponseSerializer> serializer;
        long status;
        const char* contentType;
        Data body;
        bool askForError, object;
        long code;  // 0: no error
    } cases[] = {
        {"xml, wrong type", xml, 200, "text/html", Data::fromString("<a/>"), true, false, -1016},
        {"xml, bad status still decoded", xml, 500, "text/xml", Data::fromString("<a/>"), true, true, -1011},
        {"xml, bad status without an error variable", xml, 500, "text/xml", Data::fromString("<a/>"), false,
         false, 0},
        {"plist, wrong type", plist, 200, "application/json", *plistBody, true, false, -1016},
        {"image, text/html", image, 200, "text/html", png, true, false, -1016},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NSErrorPtr error;
        auto object = c.serializer->responseObjectForResponse(httpResponse(c.status, c.contentType), c.body,
                                                              c.askForError ? &error : nullptr);
        EXPECT_EQ(object.has_value(), c.object);
        EXPECT_EQ(error ? error->code() : 0, c.code);
        if (error) {
            EXPECT_EQ(error->domain(), HCResponseSerializationErrorDomain);
        }
        // XML gives a parser over the body, not yet started (it refuses hostile documents itself).
        if (object && c.serializer == xml) {
            auto parser = object->asObjectOf<NSXMLParser>();
            ASSERT_TRUE(parser);
            EXPECT_EQ(parser->data(), c.body);
            EXPECT_TRUE(parser->parse());
        }
    }
}

TEST(HCDecodingResponseSerializers, PropertyListDecodingTable) {
    auto binary = NSPropertyListSerialization::dataWithPropertyList(
        Value(Value::array({1, "two"})), NSPropertyListSerialization::Format::Binary, nullptr);
    ASSERT_TRUE(binary);
    struct Case {
        const char* name;
        std::optional<Data> body;
        std::optional<Value> object;
        bool error;
    } cases[] = {
        {"XML dictionary",
         Data::fromString("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key><string>b</string>"
                          "</dict></plist>"),
         Value(Dict{{"a", "b"}}), false},
        {"binary array, whatever `format` says", *binary, Value(Value::array({1, "two"})), false},
        {"empty body: the decoder's error", Data(), std::nullopt, true},
        {"no body at all", std::nullopt, std::nullopt, false},
    };
    auto serializer = HCPropertyListResponseSerializer::serializer();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NSErrorPtr error;
        auto object =
            serializer->responseObjectForResponse(httpResponse(200, "application/x-plist"), c.body, &error);
        EXPECT_EQ(object, c.object);
        EXPECT_EQ(error != nullptr, c.error);
    }
}

TEST(HCDecodingResponseSerializers, ImageDecodingTable) {
    const Data png = resource("base.bundle/back.png");
    const Data jpeg = resource("login.bundle/LOGO.jpg");
    ASSERT_TRUE(png.length() > 8 && jpeg.length() > 8);
    // Formats are the image decoder's tests; here, the body decides it, not the declared type.
    struct Case {
        const char* name;
        Data body;
        const char* contentType;
        bool inflates, image;
        const char* errorDomain;  // nullptr: no error
    } cases[] = {
        {"png", png, "image/png", true, true, nullptr},
        {"jpeg sent as png is still decoded", jpeg, "image/png", true, true, nullptr},
        {"truncated png", png.subdata(0, png.length() / 2), "image/png", true, false, NSURLErrorDomain},
        {"not an image at all", Data::fromString("<html/>"), "image/gif", false, false, NSURLErrorDomain},
        {"empty body", Data(), "image/png", true, false, nullptr},
    };
    auto serializer = HCImageResponseSerializer::serializer();
    serializer->setImageScale(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        serializer->setAutomaticallyInflatesResponseImage(c.inflates);
        NSErrorPtr error;
        auto object = serializer->responseObjectForResponse(httpResponse(200, c.contentType), c.body, &error);
        auto image = object ? object->asObjectOf<UIImage>() : nullptr;
        EXPECT_EQ(image != nullptr, c.image);
        if (image) {
            EXPECT_EQ(image->scale(), 3);
            EXPECT_EQ(image->rgba().size(), size_t(image->pixelWidth()) * image->pixelHeight() * 4);
        }
        EXPECT_EQ(error ? error->domain() : std::string(), c.errorDomain ? c.errorDomain : "");
        if (error) {
            EXPECT_EQ(error->code(), HCImageErrorCannotDecodeContentData);
        }
    }
}

TEST(HCDecodingResponseSerializers, CompoundTakesTheFirstMemberWithAnObject) {
    auto compound = HCCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
        {HCImageResponseSerializer::serializer(), HCJSONResponseSerializer::serializer()});
    // A stale error in the caller's variable is neither kept nor chained under this reply's.
    NSErrorPtr error = NSError::withDescription("stale", 1, "an earlier reply");
    auto object = compound->responseObjectForResponse(httpResponse(200, "application/json"),
                                                      Data::fromString("{\"a\":1}"), &error);
    EXPECT_EQ(object, Value(Dict{{"a", 1}}));
    EXPECT_FALSE(error);

    // A member's error travels with its object.
    object = compound->responseObjectForResponse(httpResponse(500, "application/json"),
                                                 Data::fromString("[1]"), &error);
    EXPECT_EQ(object, Value(Value::array({1})));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), HCResponseErrorBadServerResponse);
    EXPECT_FALSE(error->userInfo().count(NSUnderlyingErrorKey));

    // Nobody decodes: the body bytes, validated by the compound's own (empty) content types.
    object =
        compound->responseObjectForResponse(httpResponse(200, "text/plain"), Data::fromString("raw"), &error);
    EXPECT_EQ(object, Value(Data::fromString("raw")));
    EXPECT_FALSE(error);
}

}  // namespace
