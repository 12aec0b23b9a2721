#include "platform/foundation/JSON.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

// Readable failure messages.
static void PrintTo(const Value& v, std::ostream* os) {
    *os << v.description();
}

namespace {

using J = NSJSONSerialization;

std::optional<Value> read(std::string_view text, unsigned options, NSErrorPtr* error = nullptr) {
    return J::JSONObjectWithData(Data::fromString(text), options, error);
}

std::string write(const Value& v, unsigned options = 0) {
    NSErrorPtr error;
    auto data = J::dataWithJSONObject(v, options, &error);
    EXPECT_TRUE(data.has_value()) << (error ? error->localizedDescription() : "");
    return data ? data->toString() : "";
}

std::string nested(int depth, std::string_view open, std::string_view close) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

struct Thing : Object {};

// ---- reading ----

struct ReadCase {
    std::string text;
    unsigned options;
    Value expected;
};

TEST(JSONRead, DecodesValidInput) {
    const ReadCase cases[] = {
        {R"({"a":1,"b":[true,false,null],"c":"x"})", 0,
         Value(Dict{{"a", 1}, {"b", Value::array({true, false, Value()})}, {"c", "x"}})},
        {" \n\t[ 1 , 2 ]\r\n", 0, Value::array({1, 2})},
        {"\xEF\xBB\xBF[1]", 0, Value::array({1})},
        {R"({"a":1,"a":2})", 0, Value(Dict{{"a", 2}})},
        {R"(["\u00e9\ud83d\ude00", "a\/b", "\"\\\b\f\n\r\t"])", 0,
         Value::array({"é😀", "a/b", "\"\\\b\f\n\r\t"})},
        {"[1.5, -0.25, 1e2, 1E-2]", 0, Value::array({1.5, -0.25, 100.0, 0.01})},
        {"42", J::FragmentsAllowed, Value(42)},
        {"true", J::FragmentsAllowed, Value(true)},
    };
    for (const auto& c : cases) {
        NSErrorPtr error;
        auto v = read(c.text, c.options, &error);
        ASSERT_TRUE(v.has_value()) << c.text << ": " << error->localizedDescription();
        EXPECT_EQ(*v, c.expected) << c.text;
        EXPECT_EQ(error, nullptr);
    }
}

TEST(JSONRead, MapsIntegersToTheNarrowestKind) {
    auto v = read(
        "[9223372036854775807, 9223372036854775808, 18446744073709551615, 18446744073709551616,"
        " -9223372036854775808, -9223372036854775809, -0, 3.0]",
        0);
    ASSERT_TRUE(v.has_value());
    const Value& a = *v;
    EXPECT_EQ(a[0].kind(), Value::Kind::Int);
    EXPECT_EQ(a[0].integerValue(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(a[1].kind(), Value::Kind::UInt);
    EXPECT_EQ(a[1].unsignedIntegerValue(), uint64_t(1) << 63);
    EXPECT_EQ(a[2].kind(), Value::Kind::UInt);
    EXPECT_EQ(a[2].unsignedIntegerValue(), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(a[3].kind(), Value::Kind::Double);
    EXPECT_DOUBLE_EQ(a[3].doubleValue(), 18446744073709551616.0);
    EXPECT_EQ(a[4].kind(), Value::Kind::Int);
    EXPECT_EQ(a[4].integerValue(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(a[5].kind(), Value::Kind::Double);
    EXPECT_EQ(a[6].kind(), Value::Kind::Int);
    EXPECT_EQ(a[7].kind(), Value::Kind::Double);
}

struct MalformedCase {
    std::string text;
    unsigned options;
    size_t index;  // byte position the error must name
};

TEST(JSONRead, RejectsMalformedInputNamingTheBytePosition) {
    const MalformedCase cases[] = {
        {"", 0, 0},
        {"\xEF\xBB\xBF", 0, 3},
        {"[1,", 0, 3},
        {"[1,]", 0, 3},
        {"{\"a\" 1}", 0, 5},
        {"[tru]", 0, 4},
        {"[\"\xff\"]", 0, 2},
        {"[\"\xed\xa0\x80\"]", 0, 3},  // an encoded surrogate
        {R"(["\ud800"])", 0, 8},
        {R"(["\udc00"])", 0, 7},
        {"[\"a\nb\"]", 0, 3},
        {std::string("[1\0]", 4), 0, 2},
        {"[1] x", 0, 4},
        {"[1e400]", 0, 5},
        {"1", 0, 0},
        {"\xEF\xBB\xBF"
         "true",
         0, 3},
        {"1 2", J::FragmentsAllowed, 2},
    };
    for (const auto& c : cases) {
        NSErrorPtr error;
        auto v = read(c.text, c.options, &error);
        EXPECT_FALSE(v.has_value()) << c.text;
        ASSERT_NE(error, nullptr) << c.text;
        EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
        EXPECT_EQ(error->code(), 3840);
        const std::string position = "at byte " + std::to_string(c.index) + ")";
        EXPECT_NE(error->localizedDescription().find(position), std::string::npos)
            << c.text << " -> " << error->localizedDescription();
        const Value* index = error->userInfo().count("NSJSONSerializationErrorIndex")
                                 ? &error->userInfo().at("NSJSONSerializationErrorIndex")
                                 : nullptr;
        ASSERT_NE(index, nullptr);
        EXPECT_EQ(index->unsignedIntegerValue(), c.index) << c.text;
        EXPECT_FALSE(read(c.text, c.options, nullptr).has_value());  // no error asked for: still no crash
    }
}

TEST(JSONRead, CapsNesting) {
    EXPECT_TRUE(read(nested(J::kMaxDepth, "[", "]"), 0).has_value());
    EXPECT_TRUE(read(nested(J::kMaxDepth / 2, "{\"k\":[", "]}"), 0).has_value());

    const struct {
        std::string text;
        size_t index;
    } tooDeep[] = {
        {nested(J::kMaxDepth + 1, "[", "]"), size_t(J::kMaxDepth)},
        {"\xEF\xBB\xBF" + nested(J::kMaxDepth + 1, "[", "]"), size_t(J::kMaxDepth) + 3},
        {"[\"[[[\"," + nested(J::kMaxDepth, "{\"]\":", "}") + "]", 7 + size_t(J::kMaxDepth - 1) * 5},
        {std::string(200000, '['), size_t(J::kMaxDepth)},  // unterminated and far too deep
    };
    for (const auto& c : tooDeep) {
        NSErrorPtr error;
        EXPECT_FALSE(read(c.text, 0, &error).has_value());
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->code(), 3840);
        EXPECT_NE(error->localizedDescription().find("nesting"), std::string::npos);
        EXPECT_EQ(error->userInfo().at("NSJSONSerializationErrorIndex").unsignedIntegerValue(), c.index);
    }
}

// ---- writing ----

TEST(JSONWrite, WritesCompactTextWithSortedKeysAndEscapes) {
    const struct {
        Value value;
        std::string text;
    } cases[] = {
        {Value(Dict{{"b", 1}, {"a", Value::array({true, false, Value(), 1.5, "x/y"})}}),
         R"({"a":[true,false,null,1.5,"x\/y"],"b":1})"},
        {Value::array({"q\"\\\n\t\r\b\f\x01\x1f é"}), R"(["q\"\\\n\t\r\b\f\u0001\u001f é"])"},
        {Value::array({Value(std::numeric_limits<long long>::min()),
                       Value(std::numeric_limits<uint64_t>::max()), -0.5, 1e300, 3.0, 0.1}),
         "[-9223372036854775808,18446744073709551615,-0.5,1e+300,3,0.1]"},
        {Value(Dict{{"k\"/", Value::array()}, {"e", Value(Dict{})}}), R"({"e":{},"k\"\/":[]})"},
    };
    for (const auto& c : cases) EXPECT_EQ(write(c.value), c.text);
}

TEST(JSONWrite, PrettyPrintsWithTwoSpaceIndent) {
    const Value v(Dict{{"b", Value::array({1, Value(Dict{{"c", "d"}})})}, {"a", Value::array()}});
    EXPECT_EQ(write(v, J::PrettyPrinted),
              "{\n"
              "  \"a\" : [],\n"
              "  \"b\" : [\n"
              "    1,\n"
              "    {\n"
              "      \"c\" : \"d\"\n"
              "    }\n"
              "  ]\n"
              "}");
}

TEST(JSONWrite, FailsWithAnErrorForValuesJSONCannotHold) {
    auto deep = [](int depth) {
        Value v = Value::array();
        for (int i = 1; i < depth; ++i) v = Value(Value::Array{v});
        return v;
    };
    const struct {
        Value value;
        std::string reason;
    } cases[] = {
        {Value::array({std::nan("")}), "NaN"},
        {Value::array({std::numeric_limits<double>::infinity()}), "infinity"},
        {Value::array({Data::fromString("x")}), "data"},
        {Value::array({Date{1}}), "date"},
        {Value::array({Value::set({1})}), "set"},
        {Value::array({Value(std::make_shared<Thing>())}), "object"},
        {Value::array({std::string("\xff")}), "UTF-8"},
        {deep(J::kMaxDepth + 1), "nesting"},
        {Value(1), "top-level"},  // fragments need WritingFragmentsAllowed
    };
    for (const auto& c : cases) {
        for (unsigned options : {0u, unsigned(J::PrettyPrinted)}) {
            NSErrorPtr error;
            EXPECT_FALSE(J::dataWithJSONObject(c.value, options, &error).has_value()) << c.reason;
            ASSERT_NE(error, nullptr) << c.reason;
            EXPECT_EQ(error->domain(), NSCocoaErrorDomain);
            EXPECT_EQ(error->code(), 3851);
            EXPECT_NE(error->localizedDescription().find(c.reason), std::string::npos)
                << error->localizedDescription();
            EXPECT_FALSE(J::dataWithJSONObject(c.value, options, nullptr).has_value());
        }
        EXPECT_FALSE(J::isValidJSONObject(c.value)) << c.reason;
    }
    EXPECT_TRUE(J::isValidJSONObject(deep(J::kMaxDepth)));
}

TEST(JSONRoundTrip, WrittenTextReadsBackEqual) {
    const Value v(Dict{
        {"ints", Value::array({0, -1, Value(std::numeric_limits<long long>::min()),
                               Value(std::numeric_limits<uint64_t>::max())})},
        {"reals", Value::array({0.1, -2.5e-300, 1.7976931348623157e308, 123456.789})},
        {"text", Value::array({"", "\"quoted\" \\ / \x01\x7f", "日本語 😀", "line\nbreak"})},
        {"flags", Value::array({true, false, Value()})},
        {"nested", Value(Dict{{"deeper", Value(Dict{{"deepest", Value::array({Value::array()})}})}})},
    });
    for (unsigned options : {0u, unsigned(J::PrettyPrinted)}) {
        NSErrorPtr error;
        auto data = J::dataWithJSONObject(v, options, &error);
        ASSERT_TRUE(data.has_value());
        auto back = J::JSONObjectWithData(*data, 0, &error);
        ASSERT_TRUE(back.has_value()) << error->localizedDescription();
        EXPECT_EQ(*back, v);
        EXPECT_EQ((*back)["reals"][0].doubleValue(), 0.1);  // shortest form still round-trips exactly
    }
}

}  // namespace
