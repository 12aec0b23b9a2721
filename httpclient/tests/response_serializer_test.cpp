#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"

namespace {

constexpr const char* kURL = "http://h/api";

std::optional<Data> body(const char* text) {
    if (!text) return std::nullopt;
    return Data::fromString(text);
}

// Every rejected reply's error carries the URL, the response and the body.
TEST(HCHTTPResponseSerializer, ValidationTable) {
    auto serializer = HCHTTPResponseSerializer::serializer();
    serializer->setAcceptableContentTypes(std::set<std::string>{"application/json"});
    struct Case {
        const char* name;
        long status;
        const char* contentType;  // nullptr: no Content-Type
        const char* body;         // nullptr: no body
        const char* url;          // nullptr: a response without URL
        bool valid;
        long code, underlyingCode;  // 0: no error; nothing underneath
    } cases[] = {
        {"200 with an acceptable type", 200, "application/json", "{}", kURL, true, 0, 0},
        {"300 is not", 300, "application/json", "{}", kURL, false, -1011, 0},
        {"199 is not", 199, "application/json", "{}", kURL, false, -1011, 0},
        {"404", 404, "application/json; charset=utf-8", "{}", kURL, false, -1011, 0},
        {"type not acceptable", 200, "text/plain", "x", kURL, false, -1016, 0},
        {"both fail: status on top", 500, "text/plain", "x", kURL, false, -1011, -1016},
        {"no type, empty body", 200, nullptr, "", kURL, true, 0, 0},
        {"no type, a body", 200, nullptr, "x", kURL, false, -1016, 0},
        {"wrong type, empty body: invalid without error", 200, "text/plain", "", kURL, false, 0, 0},
        {"wrong type, no URL: invalid without error", 200, "text/plain", "x", nullptr, false, 0, 0},
        {"status is not checked without URL", 500, "application/json", "{}", nullptr, true, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto sentinel = NSError::withDescription("sentinel", 1, "untouched");
        NSErrorPtr error = sentinel;
        auto response = httpResponse(c.status, c.contentType, c.url);
        EXPECT_EQ(serializer->validateResponse(response, body(c.body), &error), c.valid);
        if (c.valid || !c.code) {
            EXPECT_EQ(error, c.valid ? sentinel : nullptr);  // a valid reply leaves the out-parameter alone
            continue;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->domain(), HCResponseSerializationErrorDomain);
        EXPECT_EQ(error->code(), c.code);
        auto under = error->underlyingError();
        EXPECT_EQ(under ? under->code() : 0, c.underlyingCode);
        EXPECT_EQ(HCErrorChainContainsCode(error), c.code == -1016 || c.underlyingCode == -1016);
        EXPECT_EQ(error->failingURLString(), kURL);
        EXPECT_EQ(error->userInfo().at(HCResponseErrorResponseKey).asObject(), response);
        EXPECT_EQ(error->userInfo().at(HCResponseErrorDataKey), Value(*body(c.body)));
    }
    NSErrorPtr error;
    serializer->validateResponse(httpResponse(404, "application/json"), body("{}"), &error);
    EXPECT_EQ(error->localizedDescription(), "Request failed: not found (404)");
    serializer->validateResponse(httpResponse(200, "text/plain"), body("abc"), &error);
    EXPECT_EQ(error->localizedDescription(), "Request failed: unacceptable content-type: text/plain");

    // The base serializer hands the body back whatever the verdict; a non-HTTP response is always valid.
    auto object = serializer->responseObjectForResponse(httpResponse(500, "text/plain"), body("raw"), &error);
    EXPECT_EQ(object, Value(Data::fromString("raw")));
    auto file =
        NSURLResponse::create(NSURL::URLWithString("file:///tmp/x"), std::string("text/plain"), 3, {});
    EXPECT_TRUE(serializer->validateResponse(file, body("abc"), nullptr));
}

// The reader's own refusals are its tests'; here: what reaches it, with which options, and what comes back.
TEST(HCJSONResponseSerializer, DecodingTable) {
    struct DecodeCase {
        const char* name;
        long status;
        const char* contentType;
        std::string body;
        unsigned long readingOptions;
        std::optional<Value> object;
        long code, underlyingCode;  // 0: no error; nothing underneath
    };
    std::string huge(HCJSONResponseSerializer::kMaximumBodyLength + 1, ' ');
    huge.front() = '[';
    huge.back() = ']';
    const DecodeCase cases[] = {
        {"object as text/html", 200, "text/html", R"({"a":[1,null]})", 0,
         Value(Dict{{"a", Value::array({1, Value()})}}), 0, 0},
        {"empty body", 200, "application/json", "", 0, std::nullopt, 0, 0},
        {"one space", 200, "application/json", " ", 0, std::nullopt, 0, 0},
        {"two spaces reach the reader", 200, "application/json", "  ", 0, std::nullopt, 3840, 0},
        {"malformed", 200, "application/json", "{\"a\":", 0, std::nullopt, 3840, 0},
        {"bare string with fragments", 200, "application/json", "\"s\"", 4, Value("s"), 0, 0},
        {"text/plain is not decoded", 200, "text/plain", "{}", 0, std::nullopt, -1016, 0},
        {"500 with JSON: both", 500, "application/json", R"({"err":1})", 0, Value(Dict{{"err", 1}}), -1011,
         0},
        {"500 with malformed JSON", 500, "application/json", "<html>", 0, std::nullopt, 3840, -1011},
        {"500 as text/plain", 500, "text/plain", "{}", 0, std::nullopt, -1011, -1016},
        {"over the body limit", 200, "application/json", huge, 0, std::nullopt, 3840, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto serializer = HCJSONResponseSerializer::serializerWithReadingOptions(c.readingOptions);
        // A stale error in the caller's variable is never chained under this reply's.
        NSErrorPtr error = NSError::withDescription("old", 9, "from an earlier call");
        const Data data = Data::fromString(c.body);
        auto object =
            serializer->responseObjectForResponse(httpResponse(c.status, c.contentType), data, &error);
        EXPECT_EQ(object, c.object);
        if (!c.code) {
            EXPECT_TRUE(!error || error->domain() == "old") << error->description();
            continue;
        }
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.code);
        auto under = error->underlyingError();
        EXPECT_EQ(under ? under->code() : 0, c.underlyingCode);

        // Without an out-parameter an invalid reply gives nothing.
        if (c.code == -1011 || c.code == -1016) {
            EXPECT_FALSE(
                serializer->responseObjectForResponse(httpResponse(c.status, c.contentType), data, nullptr));
        }
    }
}

TEST(HCJSONValueRemovingNulls, RemovesNullMembersAtEveryDepth) {
    struct Case {
        Value input, expected;
    } cases[] = {
        {Dict{{"a", Value()}, {"b", Value::array({Value(), Dict{{"c", Value()}, {"d", 1}}})}},
         Dict{{"b", Value::array({Value(), Dict{{"d", 1}}})}}},
        {Value::array({Dict{{"x", Value()}}, Value::array({Dict{{"y", Value()}, {"z", "s"}}})}),
         Value::array({Dict{}, Value::array({Dict{{"z", "s"}}})})},
        {Value("leaf"), Value("leaf")},
        {Value(), Value()},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HCJSONValueRemovingNulls(c.input, 0), c.expected) << c.input.description();
}

// Through the serializer, nulls go as well (decoding concurrently).
TEST(HCJSONResponseSerializer, DecodesConcurrentlyWithOneSerializer) {
    auto serializer = HCJSONResponseSerializer::serializer();
    serializer->setRemovesKeysWithNullValues(true);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                long status = (i % 3 == 0) ? 500 : 200;
                std::string text =
                    "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + ",\"n\":null}";
                NSErrorPtr error;
                auto object = serializer->responseObjectForResponse(httpResponse(status, "application/json"),
                                                                    Data::fromString(text), &error);
                Value expected = Dict{{"i", i}, {"t", t}};
                bool statusErrorRight = (status == 500) == (error && error->code() == -1011);
                if (!object || *object != expected || !statusErrorRight) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
