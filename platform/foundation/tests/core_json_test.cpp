#include "platform/foundation/JSON.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::expectError;
using foundation_test::repeat;
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

// Equality without the platform's number coercions (1 == 1.0 == true): same kinds, doubles bit for bit.
bool identical(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    if (a.kind() == Value::Kind::Double)
        return std::bit_cast<uint64_t>(a.doubleValue()) == std::bit_cast<uint64_t>(b.doubleValue());
    if (const auto* x = a.asArray()) return std::ranges::equal(*x, *b.asArray(), identical);
    if (const auto* x = a.asDictionary())
        return std::ranges::equal(*x, *b.asDictionary(), [](const auto& p, const auto& q) {
            return p.first == q.first && identical(p.second, q.second);
        });
    return a == b;
}

struct Thing : Object {};

// ---- reading ----

TEST(JSONRead, DecodesValidInputIntoTheNarrowestKind) {
    const struct {
        std::string text;
        unsigned options;
        Value expected;
    } cases[] = {
        {R"({"a":1,"b":[true,false,null],"c":"x"})", 0,
         Value(Dict{{"a", 1}, {"b", Value::array({true, false, Value()})}, {"c", "x"}})},
        {" \n\t[ 1 , 2 ]\r\n", 0, Value::array({1, 2})},
        {"\xEF\xBB\xBF[1]", 0, Value::array({1})},
        {"\xEF\xBB\xBF\xEF\xBB\xBF[1]", 0, Value::array({1})},  // a second mark is read past as well
        {std::string("[1]\0 x", 6), 0, Value::array({1})},      // a NUL outside a string ends the text
        {R"({"a":1,"a":2})", 0, Value(Dict{{"a", 2}})},         // the last duplicate wins, containers too
        {"{\"\":1,\"k\":1,\"\xdf\x96\":1,\"k\":2}", 0, Value(Dict{{"", 1}, {"k", 2}, {"\xdf\x96", 1}})},
        {R"({"a":[1],"a":{"b":[]},"c":0})", 0,
         Value(Dict{{"a", Value(Dict{{"b", Value::array()}})}, {"c", 0}})},
        {R"(["\u00e9\ud83d\ude00", "a\/b", "\"\\\b\f\n\r\t", "\u0000"])", 0,
         Value::array({"é😀", "a/b", "\"\\\b\f\n\r\t", std::string(1, '\0')})},
        {"[1.5, -0.25, 1e2, 1E-2, 1e-400, 1.7976931348623157e308, -0.0]", 0,
         Value::array({1.5, -0.25, 100.0, 0.01, 0.0, 1.7976931348623157e308, -0.0})},
        // Integers beyond 64 bits become doubles.
        {"[9223372036854775807, 9223372036854775808, 18446744073709551615, 18446744073709551616,"
         " -9223372036854775808, -9223372036854775809, -0, 3.0]",
         0,
         Value::array({Value(std::numeric_limits<long long>::max()), Value(uint64_t(1) << 63),
                       Value(std::numeric_limits<uint64_t>::max()), 18446744073709551616.0,
                       Value(std::numeric_limits<long long>::min()), -9223372036854775809.0, 0, 3.0})},
        {"123456789012345678901234567890", J::FragmentsAllowed, Value(123456789012345678901234567890.0)},
        {"42", J::FragmentsAllowed, Value(42)},
        {"\"s\"", J::FragmentsAllowed, Value("s")},
    };
    for (const auto& c : cases) {
        NSErrorPtr error;
        auto v = read(c.text, c.options, &error);
        ASSERT_TRUE(v.has_value()) << c.text << ": " << error->localizedDescription();
        EXPECT_TRUE(identical(*v, c.expected)) << c.text << " -> " << v->description();
        EXPECT_EQ(error, nullptr);
    }
}

TEST(JSONRead, RejectsMalformedInputNamingTheBytePosition) {
    const struct {
        std::string text;
        unsigned options;
        size_t index;  // the first byte that cannot be JSON, or the last byte of a token out of place
        std::string reason = "";
    } cases[] = {
        {"", 0, 0},
        {"\xEF\xBB\xBF", 0, 3},
        {"\xEF\xBB[1]", 0, 2},
        {"\xEF\xBB\xBF\xEF[1]", 0, 4},
        {"[1,", 0, 3},
        {"[1,]", 0, 3},
        {"{\"a\":1,}", 0, 7},
        {"{\"a\" 1}", 0, 5},
        {"{1:2}", 0, 1},
        {"[1 23]", 0, 4},
        {"[tru]", 0, 4},
        {"[01]", 0, 2},
        {"[-]", 0, 2},
        {"[\"\xff\"]", 0, 2},
        {"[\"\xed\xa0\x80\"]", 0, 3},      // an encoded surrogate
        {"[\"\xf4\x90\x80\x80\"]", 0, 3},  // beyond U+10FFFF
        {"[\"\xe0\x9f\xbf\"]", 0, 3},      // overlong
        {"[\"\xf0\x8f\xbf\xbf\"]", 0, 3},  // overlong
        {R"(["\ud800"])", 0, 8},
        {R"(["\ud800\u0041"])", 0, 13},
        {R"(["\udc00"])", 0, 7},
        {"[\"a\nb\"]", 0, 3},
        {std::string("[\"a\0\"]", 6), 0, 3},
        {std::string("[1\0]", 4), 0, 2},
        {"[1] x", 0, 4},
        {"[1e400]", 0, 5},
        {"[1.7976931348623159e308]", 0, 22},
        {"[1" + std::string(400, '0') + "]", 0, 401},  // an integer too wide even for a double
        {"1", 0, 0},
        {"\xEF\xBB\xBFtrue", 0, 3},
        {"1 2", J::FragmentsAllowed, 2},
        {repeat("[", J::kMaxDepth + 1) + repeat("]", J::kMaxDepth + 1), 0, size_t(J::kMaxDepth), "nesting"},
        {"\xEF\xBB\xBF" + repeat("[", J::kMaxDepth + 1), 0, size_t(J::kMaxDepth) + 3, "nesting"},
        {"[\"[[[\"," + repeat("{\"]\":", J::kMaxDepth) + "}]", 0, 7 + size_t(J::kMaxDepth - 1) * 5,
         "nesting"},
        {repeat("[", 200000), 0, size_t(J::kMaxDepth), "nesting"},  // unterminated and far too deep
    };
    for (const auto& c : cases) {
        NSErrorPtr error;
        auto v = read(c.text, c.options, &error);
        EXPECT_FALSE(v.has_value()) << c.text;
        expectError(error, NSCocoaErrorDomain, 3840, c.reason);
        EXPECT_TRUE(error->localizedDescription().ends_with("(at byte " + std::to_string(c.index) + ")."))
            << c.text;
        EXPECT_EQ(error->userInfo().at("NSJSONSerializationErrorIndex").unsignedIntegerValue(), c.index)
            << c.text;
        EXPECT_FALSE(read(c.text, c.options, nullptr).has_value());  // no error asked for: still no crash
    }
}

// Large texts get buffers of their own; the texts after them must read as well.
TEST(JSONRead, ReadsLargeAndDeepTexts) {
    EXPECT_TRUE(read(repeat("[", J::kMaxDepth) + repeat("]", J::kMaxDepth), 0).has_value());
    EXPECT_TRUE(read(repeat("{\"k\":[", J::kMaxDepth / 2) + repeat("]}", J::kMaxDepth / 2), 0).has_value());
    auto v = read("[" + repeat("\"item\",", 50000) + "1]", 0);
    EXPECT_EQ(v ? v->count() : 0, 50001u);
    EXPECT_EQ(read("[2]", 0), Value::array({2}));
}

// ---- writing ----

// Every text written reads back to an equal value.
TEST(JSONWrite, WritesTextWithSortedKeysEscapesAndShortestNumbers) {
    const struct {
        Value value;
        std::string text;
        unsigned options = 0;
    } cases[] = {
        {Value(Dict{{"b", 1}, {"a", Value::array({true, false, Value(), 1.5, "x/y"})}}),
         R"({"a":[true,false,null,1.5,"x\/y"],"b":1})"},
        {Value::array({"q\"\\\n\t\r\b\f\x01\x1f é", "plain", "日本語 😀", ""}),
         R"(["q\"\\\n\t\r\b\f\u0001\u001f é","plain","日本語 😀",""])"},
        {Value::array({Value(std::numeric_limits<long long>::min()),
                       Value(std::numeric_limits<uint64_t>::max()), -0.5, 1e300, 3.0, 0.1, -2.5e-300,
                       1.7976931348623157e308, 123456.789, 5e-324}),
         "[-9223372036854775808,18446744073709551615,-0.5,1e+300,3,0.1,-2.5e-300,1.7976931348623157e+308,"
         "123456.789,5e-324]"},
        {Value(Dict{{"k\"/", Value::array()}, {"e", Value(Dict{})}}), R"({"e":{},"k\"\/":[]})"},
        {Value(Dict{{"b", Value::array({1, Value(Dict{{"c", "d"}})})}, {"a", Value::array()}}),
         "{\n  \"a\" : [],\n  \"b\" : [\n    1,\n    {\n      \"c\" : \"d\"\n    }\n  ]\n}",
         J::PrettyPrinted},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(write(c.value, c.options), c.text);
        EXPECT_EQ(read(c.text, 0), c.value) << c.text;
    }
}

TEST(JSONWrite, FailsWithAnErrorForValuesJSONCannotHold) {
    auto deep = [](int depth) {
        Value v = Value::array();
        while (--depth > 0) v = Value(Value::Array{v});
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
        {Value::array({std::string("ok \xff")}), "UTF-8"},
        {Value(Dict{{std::string("\xc3"), 1}}), "UTF-8"},
        {deep(J::kMaxDepth + 1), "nesting"},
        {Value(1), "top-level"},  // fragments need WritingFragmentsAllowed
    };
    for (const auto& c : cases) {
        for (unsigned options : {0u, unsigned(J::PrettyPrinted)}) {
            NSErrorPtr error;
            EXPECT_FALSE(J::dataWithJSONObject(c.value, options, &error).has_value()) << c.reason;
            expectError(error, NSCocoaErrorDomain, 3851, c.reason);
            EXPECT_FALSE(J::dataWithJSONObject(c.value, options, nullptr).has_value());
        }
        EXPECT_FALSE(J::isValidJSONObject(c.value)) << c.reason;
    }
    EXPECT_TRUE(J::isValidJSONObject(deep(J::kMaxDepth)));
}

}  // namespace
