#include <cmath>

#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/PropertyList.h"

namespace {

std::string bodyText(const NSURLRequest& request) {
    auto body = request.HTTPBody();
    return body ? body->toString() : "<no body>";
}

std::string header(const NSURLRequest& request, const char* name) {
    return request.valueForHTTPHeaderField(name).value_or("<none>");
}

struct MatrixCase {
    const char* name;
    const char* method;
    const char* url;
    Value parameters;
    const char* presetContentType;  // nullptr: none on the request
    const char* expectedURL;
    const char* expectedBody;
    const char* expectedContentType;
};

// Builds the request by hand, as a caller of the protocol would, so that a preset header can be on it.
std::optional<NSMutableURLRequest> serialize(const HCHTTPRequestSerializer& serializer, const MatrixCase& c,
                                             NSErrorPtr* error) {
    NSMutableURLRequest request(NSURL::URLWithString(c.url));
    request.setHTTPMethod(c.method);
    if (c.presetContentType) request.setValue(std::string(c.presetContentType), "content-TYPE");
    return serializer.requestBySerializingRequest(request, c.parameters, error);
}

TEST(HCRequestSerializers, MethodParametersAndHeaderMatrix) {
    auto form = HCHTTPRequestSerializer::serializer();
    auto json = HCJSONRequestSerializer::serializer();
    const std::pair<std::shared_ptr<HCHTTPRequestSerializer>, MatrixCase> cases[] = {
        {form, {"GET extends a query", "GET", "http://h/p?x=1", Dict{{"q", "a b"}}, nullptr, "http://h/p?x=1&q=a%20b",
                "<no body>", "<none>"}},
        {form, {"query goes before the fragment", "GET", "http://h/p?x=1#top", Dict{{"q", 1}}, nullptr,
                "http://h/p?x=1&q=1#top", "<no body>", "<none>"}},
        {form, {"fragment without query", "HEAD", "http://h/p#top", Dict{{"q", 1}}, nullptr, "http://h/p?q=1#top",
                "<no body>", "<none>"}},
        {form, {"empty parameters leave the URL", "GET", "http://h/p", Dict{}, nullptr, "http://h/p", "<no body>",
                "<none>"}},
        {form, {"lower-case get is a GET", "get", "http://h/p", Dict{{"a", 1}}, nullptr, "http://h/p?a=1",
                "<no body>", "<none>"}},
        {form, {"POST puts a form in the body", "POST", "http://h/p", Dict{{"a", "x&y"}, {"b", 2}}, nullptr,
                "http://h/p", "a=x%26y&b=2", "application/x-www-form-urlencoded"}},
        {form, {"POST without parameters: empty form", "POST", "http://h/p", Value(), nullptr, "http://h/p", "",
                "application/x-www-form-urlencoded"}},
        {form, {"a preset content type wins in any case", "PUT", "http://h/p", Dict{{"a", 1}}, "text/plain",
                "http://h/p", "a=1", "text/plain"}},
        {json, {"JSON: POST writes compact JSON", "POST", "http://h/p", Dict{{"account", "a"}, {"type", "1"}},
                nullptr, "http://h/p", R"({"account":"a","type":"1"})", "application/json"}},
        {json, {"JSON: POST without parameters: no body, no type", "POST", "http://h/p", Value(), nullptr,
                "http://h/p", "<no body>", "<none>"}},
        {json, {"JSON: a preset content type is kept", "POST", "http://h/p", Dict{{"a", 1}}, "text/x-custom",
                "http://h/p", R"({"a":1})", "text/x-custom"}},
        {json, {"JSON: DELETE uses the query", "DELETE", "http://h/p", Dict{{"a", 1}}, nullptr, "http://h/p?a=1",
                "<no body>", "<none>"}},
    };
    for (const auto& [serializer, c] : cases) {
        SCOPED_TRACE(c.name);
        NSErrorPtr error;
        auto request = serialize(*serializer, c, &error);
        ASSERT_TRUE(request);
        EXPECT_FALSE(error);
        EXPECT_EQ(request->URL()->absoluteString(), c.expectedURL);
        EXPECT_EQ(bodyText(*request), c.expectedBody);
        EXPECT_EQ(header(*request, "Content-Type"), c.expectedContentType);
        EXPECT_NE(header(*request, "User-Agent"), "<none>");
    }
}

TEST(HCRequestSerializers, WriterFailuresAreReportedAndLeaveNoBody) {
    NSErrorPtr error;
    auto request = HCJSONRequestSerializer::serializer()->requestWithMethod(
        "POST", "http://h/p", Dict{{"bad", std::nan("")}}, &error);
    ASSERT_TRUE(request);
    ASSERT_TRUE(error);
    EXPECT_FALSE(request->HTTPBody());

    // The property-list writer round-trips; an unwritable format is an error.
    request = HCPropertyListRequestSerializer::serializer()->requestWithMethod("POST", "http://h/p", Dict{{"a", 1}},
                                                                               nullptr);
    ASSERT_TRUE(request && request->HTTPBody());
    EXPECT_EQ(header(*request, "Content-Type"), "application/x-plist");
    EXPECT_EQ(NSPropertyListSerialization::propertyListWithData(*request->HTTPBody(), nullptr, nullptr),
              Value(Dict{{"a", 1}}));
    error.reset();
    request = HCPropertyListRequestSerializer::serializerWithFormat(1, 0)->requestWithMethod(
        "POST", "http://h/p", Dict{{"a", 1}}, &error);
    ASSERT_TRUE(request);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
    EXPECT_FALSE(request->HTTPBody());
}

class DefaultHeaders : public ::testing::Test {
protected:
    void TearDown() override { DeviceProfile::reset(); }
    static void setLanguages(std::vector<std::string> languages) {
        DeviceProfile profile = DeviceProfile::current();
        profile.preferredLanguages = std::move(languages);
        DeviceProfile::set(profile);
    }
};

TEST_F(DefaultHeaders, AcceptLanguageListsAtMostSixLanguages) {
    struct Case {
        std::vector<std::string> languages;
        std::string header;
    };
    const Case cases[] = {
        {{"en-US", "zh-Hans-CN", "fr", "de", "ja", "ko", "es", "it"},
         "en-US;q=1, zh-Hans-CN;q=0.9, fr;q=0.8, de;q=0.7, ja;q=0.6, ko;q=0.5"},
        {{"de-CH"}, "de-CH;q=1"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        setLanguages(c.languages);
        EXPECT_EQ(HCHTTPRequestSerializer::serializer()->valueForHTTPHeaderField("Accept-Language"), c.header);
        EXPECT_EQ(HCAcceptLanguageHeaderValue(c.languages), c.header);
    }
}

TEST_F(DefaultHeaders, UserAgentFromBundleAndDevice) {
    DeviceProfile device;
    device.model = "iPhone";
    device.systemVersion = "9.3.5";
    device.screenScale = 3;
    struct Case {
        const char* name;
        Value::Dictionary info;
        std::string userAgent;
    };
    const Case cases[] = {
        {"identifier and build version as fallbacks",
         {{"CFBundleIdentifier", "com.q.app"}, {"CFBundleVersion", "210"}},
         "com.q.app/210 (iPhone; iOS 9.3.5; Scale/3.00)"},
        {"non-ASCII name is transliterated",
         {{"CFBundleExecutable", "Qu\u00f6rvane \u5feb\u62a5"}, {"CFBundleShortVersionString", "1.0"}},
         "Quorvane kuai bao/1.0 (iPhone; iOS 9.3.5; Scale/3.00)"},
        {"what has no Latin form is removed",
         {{"CFBundleExecutable", "App\U0001F600"}, {"CFBundleShortVersionString", "1.0"}},
         "App/1.0 (iPhone; iOS 9.3.5; Scale/3.00)"},
    };
    for (const auto& c : cases) EXPECT_EQ(HCUserAgentHeaderValue(c.info, device), c.userAgent) << c.name;
}

TEST(HCHTTPRequestSerializer, HeaderStoreAndAuthorization) {
    auto serializer = HCHTTPRequestSerializer::serializer();
    serializer->setValue(std::string("v1"), "X-Token");
    serializer->setAuthorizationHeaderFieldWithUsername("user", "pass");
    EXPECT_EQ(serializer->valueForHTTPHeaderField("Authorization"), "Basic dXNlcjpwYXNz");

    // A header already on the request, in any case, wins over the serializer's.
    NSMutableURLRequest request(NSURL::URLWithString("http://h/"));
    request.setValue(std::string("mine"), "x-TOKEN");
    auto built = serializer->requestBySerializingRequest(request, Value(), nullptr);
    ASSERT_TRUE(built);
    EXPECT_EQ(built->valueForHTTPHeaderField("X-Token"), "mine");
    EXPECT_EQ(built->valueForHTTPHeaderField("authorization"), "Basic dXNlcjpwYXNz");

    serializer->clearAuthorizationHeader();
    EXPECT_FALSE(serializer->HTTPRequestHeaders().count("Authorization"));
}

TEST(HCHTTPRequestSerializer, OnlyAssignedRequestPropertiesReachRequests) {
    auto serializer = HCHTTPRequestSerializer::serializer();
    EXPECT_FALSE(serializer->allowsCellularAccess());
    auto plain = serializer->requestWithMethod("GET", "http://h/", Value(), nullptr);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->timeoutInterval(), NSURLRequestDefaultTimeoutInterval);
    EXPECT_TRUE(plain->allowsCellularAccess());

    serializer->setTimeoutInterval(15);
    serializer->setAllowsCellularAccess(false);  // the value it already reports, but now assigned
    serializer->setCachePolicy(NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_EQ(serializer->mutableObservedChangedKeyPaths(),
              (std::set<std::string>{"allowsCellularAccess", "cachePolicy", "timeoutInterval"}));
    auto request = serializer->requestWithMethod("GET", "http://h/", Value(), nullptr);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->timeoutInterval(), 15);
    EXPECT_FALSE(request->allowsCellularAccess());
    EXPECT_EQ(request->cachePolicy(), NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_TRUE(request->HTTPShouldHandleCookies());  // never assigned: the platform default
}

TEST(HCHTTPRequestSerializer, QueryStringBlockAndStyle) {
    auto serializer = HCHTTPRequestSerializer::serializer();
    serializer->setQueryStringSerializationWithBlock(
        [](const NSURLRequest&, const Value& parameters, NSErrorPtr*) -> std::optional<std::string> {
            return "custom=" + std::to_string(parameters.count());
        });
    auto request = serializer->requestWithMethod("GET", "http://h/p", Dict{{"a", 1}, {"b", 2}}, nullptr);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->URL()->absoluteString(), "http://h/p?custom=2");

    auto failure = NSError::withDescription("test", 7, "no query today");
    serializer->setQueryStringSerializationWithBlock(
        [failure](const NSURLRequest&, const Value&, NSErrorPtr* error) -> std::optional<std::string> {
            *error = failure;
            return std::nullopt;
        });
    NSErrorPtr error;
    EXPECT_FALSE(serializer->requestWithMethod("POST", "http://h/p", Dict{{"a", 1}}, &error));
    EXPECT_EQ(error, failure);

}

TEST(HCHTTPRequestSerializer, BadURLsAndUnencodableBodiesAreErrors) {
    auto serializer = HCHTTPRequestSerializer::serializer();
    NSErrorPtr error;
    EXPECT_FALSE(serializer->requestWithMethod("GET", "http://h/a b", Value(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), NSURLErrorDomain);
    EXPECT_EQ(error->code(), -1000);
    EXPECT_EQ(error->failingURLString(), "http://h/a b");

    // A block may return text that the body's encoding cannot hold.
    serializer->setStringEncoding(HCASCIIStringEncoding);
    serializer->setQueryStringSerializationWithBlock(
        [](const NSURLRequest&, const Value&, NSErrorPtr*) -> std::optional<std::string> { return "\u00e9"; });
    error.reset();
    EXPECT_FALSE(serializer->requestWithMethod("POST", "http://h/", Dict{{"a", 1}}, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 517);

    // A multipart parameter the encoding cannot hold fails the request instead of being left out.
    error.reset();
    EXPECT_FALSE(serializer->multipartFormRequestWithMethod("POST", "http://h/", Dict{{"a", "\u00e9"}, {"b", "x"}},
                                                            nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 517);
}

}  // namespace
