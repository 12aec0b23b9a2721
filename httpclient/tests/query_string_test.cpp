#include "httpclient/HCQueryString.h"
#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/JSON.h"

namespace {

struct EscapeCase {
    std::string text;
    std::string escaped;
};

std::string repeated(const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

TEST(HCPercentEscapeQueryText, EscapesEverythingButUnreservedSlashAndQuestionMark) {
    const EscapeCase cases[] = {
        {"", ""},
        {"AZaz09-._~/?", "AZaz09-._~/?"},
        {"a b", "a%20b"},
        {"&=+", "%26%3D%2B"},
        {":#@!$'()*,;", "%3A%23%40%21%24%27%28%29%2A%2C%3B"},
        {"%", "%25"},
        {"\"<>\\^`{|}", "%22%3C%3E%5C%5E%60%7B%7C%7D"},
        {"\u00e9", "%C3%A9"},                                  // precomposed
        {"e\u0301", "e%CC%81"},                                // combining acute accent
        {"\U0001F600", "%F0%9F%98%80"},                        // outside the BMP
        {"\U0001F44D\U0001F3FD", "%F0%9F%91%8D%F0%9F%8F%BD"},  // emoji with a skin-tone modifier
        {std::string("a\0b", 3), "a%00b"},
        // A long text, its sequences straddling 50-unit boundaries at changing offsets, is escaped whole.
        {std::string(48, 'x') + repeated("\U0001F469\u200D\U0001F4BBe\u0301", 30),
         std::string(48, 'x') + repeated("%F0%9F%91%A9%E2%80%8D%F0%9F%92%BBe%CC%81", 30)},
    };
    for (const auto& c : cases) EXPECT_EQ(HCPercentEscapeQueryText(c.text), c.escaped) << c.text;
}

struct JoinCase {
    const char* name;
    Value parameters;
    std::string query;
};

TEST(HCJoinedQueryString, FlattensSortsAndEscapes) {
    const JoinCase cases[] = {
        {"nested example", Dict{{"b", 1}, {"a", Dict{{"y", "x y"}, {"x", Value::array({1, 2})}}}},
         "a%5Bx%5D%5B%5D=1&a%5Bx%5D%5B%5D=2&a%5By%5D=x%20y&b=1"},
        {"empty", Dict{}, ""},
        {"set members sort as text and keep the bare key", Dict{{"s", Value::set({2, 10})}}, "s=10&s=2"},
        {"arrays keep their order", Dict{{"k", Value::array({3, 1, 2})}}, "k%5B%5D=3&k%5B%5D=1&k%5B%5D=2"},
        {"null gives the bare key", Dict{{"n", Value()}, {"z", 1}}, "n&z=1"},
        {"numbers and booleans in text form", Dict{{"d", 2.5}, {"f", false}, {"t", true}, {"w", 100.0}},
         "d=2.5&f=0&t=1&w=100"},
        {"slash and question mark stay", Dict{{"u", "/a?b=c&d"}}, "u=/a?b%3Dc%26d"},
        {"empty nested containers vanish", Dict{{"a", Dict{}}, {"b", Value::array({})}, {"c", 1}}, "c=1"},
        {"arrays of dictionaries", Dict{{"u", Value::array({Dict{{"n", "x"}}, Dict{{"n", "y"}}})}},
         "u%5B%5D%5Bn%5D=x&u%5B%5D%5Bn%5D=y"},
        {"UTF-16 order puts supplementary characters before U+FF01", Dict{{"\uff01", 1}, {"\U0001F600", 2}},
         "%F0%9F%98%80=2&%EF%BC%81=1"},
        {"top-level array without a key", Value::array({1, 2}), "%5B%5D=1&%5B%5D=2"},
    };
    for (const auto& c : cases) EXPECT_EQ(HCJoinedQueryString(c.parameters), c.query) << c.name;
}

TEST(HCJoinedQueryString, DeepDecodedInputIsHandled) {
    std::string json;
    for (int i = 0; i < 250; ++i) json += "{\"k\":[";
    json += "1";
    for (int i = 0; i < 250; ++i) json += "]}";
    NSErrorPtr error;
    auto value = NSJSONSerialization::JSONObjectWithData(Data::fromString(json), 0, &error);
    ASSERT_TRUE(value) << (error ? error->description() : "");
    auto query = HCJoinedQueryString(*value);
    EXPECT_EQ(query.substr(0, 9), "k%5B%5D%5");
    EXPECT_EQ(query.substr(query.size() - 2), "=1");
}

}  // namespace
