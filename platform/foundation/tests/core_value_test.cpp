#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

struct EqualityCase {
    Value a, b;
    bool equal;
};

TEST(ValueEquality, FollowsThePlatformRules) {
    const EqualityCase cases[] = {
        {1, 1.0, true},
        {1, true, true},
        {0, false, true},
        {2, true, false},
        {1.5, 1, false},
        {std::nan(""), std::nan(""), false},
        {int64_t(-1), uint64_t(UINT64_MAX), false},
        {uint64_t(UINT64_MAX), 1.8446744073709552e19, false},
        {int64_t(INT64_MAX), uint64_t(INT64_MAX), true},
        {"1", 1, false},
        {"abc", "abc", true},
        {"abc", "abd", false},
        {Value(), Value(), true},
        {Value(), 0, false},
        {Data::fromString("ab"), Data::fromString("ab"), true},
        {Data::fromString("ab"), "ab", false},
        {Value::array({1, "x"}), Value::array({1.0, "x"}), true},
        {Value::array({1, "x"}), Value::array({"x", 1}), false},
        {Value::set({1, 2, 3}), Value::set({3, 2, 1}), true},
        {Value::set({1, 2}), Value::set({1, 2, 3}), false},
        {Value::dictionary({{"a", 1}, {"b", Value::array({true})}}),
         Value::dictionary({{"b", Value::array({1})}, {"a", 1.0}}), true},
        {Value::dictionary({{"a", 1}}), Value::dictionary({{"a", 2}}), false},
        {Date{5}, Date{5}, true},
        {Date{5}, 5, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
        EXPECT_EQ(c.b == c.a, c.equal) << "symmetry: " << c.b.description() << " vs " << c.a.description();
    }
}

TEST(ValueDescription, MatchesThePlatformTextForms) {
    const std::pair<Value, std::string> cases[] = {
        {42, "42"},
        {int64_t(-7), "-7"},
        {uint64_t(UINT64_MAX), "18446744073709551615"},
        {true, "1"},
        {false, "0"},
        {100.0, "100"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {1.0 / 3, "0.3333333333333333"},
        {Value(), "<null>"},
        {Data(std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}), "<01020304 05060708 09>"},
        {Data(), "<>"},
        {"plain", "plain"},
        {Date{0}, "2001-01-01 00:00:00 +0000"},
        {Value::array({1, "a b"}), "(\n    1,\n    \"a b\"\n)"},
        {Value::dictionary({{"k", Value::array({})}}), "{\n    k =     (\n    );\n}"},
        {Value::array({Value::array({1})}), "(\n        (\n        1\n    )\n)"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(value.description(), text);
}

TEST(ValueConversion, IntegerValueParsesLikeThePlatform) {
    const std::pair<Value, int64_t> cases[] = {
        {"  42abc", 42},
        {"-17", -17},
        {"+8", 8},
        {"abc", 0},
        {"", 0},
        {"  -", 0},
        {"99999999999999999999", INT64_MAX},
        {"-99999999999999999999", INT64_MIN},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775807", INT64_MAX},
        {3.99, 3},
        {-3.99, -3},
        {1e300, INT64_MAX},
        {std::nan(""), 0},
        {true, 1},
        {Value(), 0},
        {Value::array({5}), 0},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(value.integerValue(), expected) << value.description();
}

TEST(ValueConversion, BoolAndDoubleFromStrings) {
    for (auto [text, yes] :
         {std::pair{"YES", true}, {" true", true}, {"007", true}, {"0", false}, {"no", false}})
        EXPECT_EQ(Value(text).boolValue(), yes) << text;
    EXPECT_DOUBLE_EQ(Value(" 2.5x").doubleValue(), 2.5);
    EXPECT_EQ(Value("x").doubleValue(), 0);
}

TEST(ValueContainers, CopyOnWriteLeavesOtherCopiesAlone) {
    Value a = Value::dictionary({{"x", 1}});
    Value b = a;
    EXPECT_EQ(a.identity(), b.identity());
    b.set("y", 2);
    EXPECT_NE(a.identity(), b.identity());
    EXPECT_EQ(a.count(), 1u);
    EXPECT_EQ(b.count(), 2u);
    EXPECT_EQ(b["y"], 2);
    EXPECT_EQ(a.find("y"), nullptr);
    EXPECT_TRUE(a["missing"].isNull());

    Value s = Value::set({1, 1.0, true, "1"});
    EXPECT_EQ(s.count(), 2u);
    EXPECT_TRUE(s.contains(1));
    EXPECT_TRUE(s.contains("1"));
}

TEST(NSErrorTest, DescriptionFallsBackToTheGenericText) {
    auto plain = NSError::create("Some.Domain", 7);
    EXPECT_EQ(plain->localizedDescription(),
              "The operation couldn\u2019t be completed. (Some.Domain error 7.)");
    auto inner = NSError::withDescription(NSURLErrorDomain, -1001, "The request timed out.");
    auto outer = NSError::create(
        "outer", 1,
        {{NSUnderlyingErrorKey, Value(inner)}, {NSURLErrorFailingURLStringErrorKey, "http://h/"}});
    EXPECT_EQ(outer->underlyingError(), inner);
    EXPECT_EQ(outer->underlyingError()->localizedDescription(), "The request timed out.");
    EXPECT_EQ(outer->failingURLString(), "http://h/");
    EXPECT_TRUE(Value(inner) ==
                Value(NSError::withDescription(NSURLErrorDomain, -1001, "The request timed out.")));
}

}  // namespace
