#include <cmath>

#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/PropertyList.h"

namespace {

// On http://h/p (with what `url` adds): "-" for no body or no Content-Type; J marks the JSON serializer.
TEST(HCRequestSerializers, MethodParametersAndHeaderMatrix) {
    struct Case {
        char serializer;
        const char *name, *method, *url;
        Value parameters;
        const char *presetContentType, *expectedURL, *body, *contentType;
    } cases[] = {
        {'F', "GET extends a query", "GET", "?x=1", Dict{{"q", "a b"}}, nullptr, "?x=1&q=a%20b", "-", "-"},
        {'F', "query goes before the fragment", "GET", "?x=1#top", Dict{{"q", 1}}, nullptr, "?x=1&q=1#top",
         "-", "-"},
        {'F', "fragment without query", "HEAD", "#top", Dict{{"q", 1}}, nullptr, "?q=1#top", "-", "-"},
        {'F', "empty parameters leave the URL", "GET", "", Dict{}, nullptr, "", "-", "-"},
        {'F', "lower-case get is a GET", "get", "", Dict{{"a", 1}}, nullptr, "?a=1", "-", "-"},
        {'F', "POST puts a form in the body", "POST", "", Dict{{"a", "x&y"}, {"b", 2}}, nullptr, "",
         "a=x%26y&b=2", "application/x-www-form-urlencoded"},
        {'F', "POST without parameters: empty form", "POST", "", Value(), nullptr, "", "",
         "application/x-www-form-urlencoded"},
        {'F', "a preset content type wins in any case", "PUT", "", Dict{{"a", 1}}, "text/plain", "", "a=1",
         "text/plain"},
        {'J', "POST writes compact JSON", "POST", "", Dict{{"account", "a"}, {"type", "1"}}, nullptr, "",
         R"({"account":"a","type":"1"})", "application/json"},
        {'J', "POST without parameters: no body, no type", "POST", "", Value(), nullptr, "", "-", "-"},
        {'J', "a preset content type is kept", "POST", "", Dict{{"a", 1}}, "text/x-custom", "", R"({"a":1})",
         "text/x-custom"},
        {'J', "DELETE uses the query", "DELETE", "", Dict{{"a", 1}}, nullptr, "?a=1", "-", "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto serializer = c.serializer == 'J' ? HCJSONRequestSerializer::serializer()
                                              : HCHTTPRequestSerializer::serializer();
        // Built by hand, as a caller of the protocol would, so that a preset header can be on it.
        NSMutableURLRequest request(NSURL::URLWithString(std::string("http://h/p") + c.url));
        request.setHTTPMethod(c.method);
        if (c.presetContentType) request.setValue(std::string(c.presetContentType), "content-TYPE");
        NSErrorPtr error;
        auto built = serializer->requestBySerializingRequest(request, c.parameters, &error);
        ASSERT_TRUE(built);
        EXPECT_FALSE(error);
        EXPECT_EQ(built->URL()->absoluteString(), std::string("http://h/p") + c.expectedURL);
        EXPECT_EQ(built->HTTPBody() ? built->HTTPBody()->toString() : "-", c.body);
        EXPECT_EQ(built->valueForHTTPHeaderField("Content-Type").value_or("-"), c.contentType);
        EXPECT_TRUE(built->valueForHTTPHeaderField("User-Agent"));
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
    request = HCPropertyListRequestSerializer::serializer()->requestWithMethod("POST", "http://h/p",
                                                                               Dict{{"a", 1}}, nullptr);
    ASSERT_TRUE(request && request->HTTPBody());
    EXPECT_EQ(request->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
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
    } cases[] = {
        {{"en-US", "zh-Hans-CN", "fr", "de", "ja", "ko", "es", "it"},
         "en-US;q=1, zh-Hans-CN;q=0.9, fr;q=0.8, de;q=0.7, ja;q=0.6, ko;q=0.5"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        setLanguages(c.languages);
        EXPECT_EQ(HCHTTPRequestSerializer::serializer()->valueForHTTPHeaderField("Accept-Language"),
                  c.header);
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
    } cases[] = {
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

// The default headers are made once for a device profile; a serializer made after the profile changed
// must still carry the new values.
TEST_F(DefaultHeaders, FollowTheDeviceProfile) {
    struct Change {
        const char* name;
        void (*apply)(DeviceProfile&);
        const char* header;
        const char* expected;
    } changes[] = {
        {"language",
         [](DeviceProfile& p) {
             p.preferredLanguages = {"de-CH", "fr"};
         },
         "Accept-Language", "de-CH;q=1, fr;q=0.9"},
        {"model", [](DeviceProfile& p) { p.model = "iPad"; }, "User-Agent", "(iPad; iOS "},
        {"system version", [](DeviceProfile& p) { p.systemVersion = "10.1"; }, "User-Agent", "; iOS 10.1;"},
        {"screen scale", [](DeviceProfile& p) { p.screenScale = 3; }, "User-Agent", "Scale/3.00)"},
    };
    for (const auto& change : changes) {
        DeviceProfile::reset();
        auto before = HCHTTPRequestSerializer::serializer()->valueForHTTPHeaderField(change.header);
        DeviceProfile profile = DeviceProfile::current();
        change.apply(profile);
        DeviceProfile::set(profile);
        auto after = HCHTTPRequestSerializer::serializer()->valueForHTTPHeaderField(change.header);
        ASSERT_TRUE(before && after) << change.name;
        EXPECT_EQ(before->find(change.expected), std::string::npos) << change.name;
        EXPECT_NE(after->find(change.expected), std::string::npos) << change.name << ": " << *after;
        DeviceProfile::reset();
        EXPECT_EQ(HCHTTPRequestSerializer::serializer()->valueForHTTPHeaderField(change.header), before)
            << change.name;
    }
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
    EXPECT_TRUE(request->timeoutInterval() == 15 && !request->allowsCellularAccess());
    EXPECT_EQ(request->cachePolicy(), NSURLRequestCachePolicy::ReloadIgnoringLocalCacheData);
    EXPECT_TRUE(request->HTTPShouldHandleCookies());  // never assigned: the platform default
}

// A query block decides the query; its failure, a bad URL and text the encoding cannot hold are errors.
TEST(HCHTTPRequestSerializer, QueryStringBlockAndErrors) {
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

    // A bad URL is an error.
    error.reset();
    EXPECT_FALSE(serializer->requestWithMethod("GET", "http://h/a b", Value(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), NSURLErrorDomain);
    EXPECT_EQ(error->code(), -1000);
    EXPECT_EQ(error->failingURLString(), "http://h/a b");
    error.reset();
    EXPECT_FALSE(serializer->requestWithMethod("GET", NSURLPtr(), Value(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -1000);

    // A block may return text that the body's encoding cannot hold.
    serializer->setStringEncoding(HCASCIIStringEncoding);
    serializer->setQueryStringSerializationWithBlock(
        [](const NSURLRequest&, const Value&, NSErrorPtr*) -> std::optional<std::string> {
            return "\u00e9";
        });
    error.reset();
    EXPECT_FALSE(serializer->requestWithMethod("POST", "http://h/", Dict{{"a", 1}}, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 517);

    // A multipart parameter the encoding cannot hold fails the request instead of being left out.
    error.reset();
    EXPECT_FALSE(serializer->multipartFormRequestWithMethod(
        "POST", "http://h/", Dict{{"a", "\u00e9"}, {"b", "x"}}, nullptr, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), 517);
}

}  // namespace
