#include "platform/foundation/Format.h"
#include "platform/foundation/NSError.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <limits>
#include <string>

namespace {

template <class T>
std::string c(const char* format, T value) {
    char buf[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(buf, sizeof buf, format, value);
#pragma GCC diagnostic pop
    return buf;
}

// The same format with the conversion's argument widened to long long ("%5d" -> "%5lld").
std::string widened(std::string format) {
    size_t conv = format.find_last_of("diuxXo");
    size_t start = conv;
    while (start > 0 && (format[start - 1] == 'l' || format[start - 1] == 'h')) --start;
    return format.substr(0, start) + "ll" + format.substr(conv);
}

TEST(FormatIntegers, MatchSnprintfForEveryFlagWidthAndPrecision) {
    const char* formats[] = {"%d",  "%5d",  "%-5d|", "%+d",  "% d",     "%05d", "%.3d",  "%-+8.3d|", "%i",
                             "%ld", "%lld", "%x",    "%#x",  "%X",      "%#X",  "%o",    "%#o",      "%u",
                             "%lu", "%llu", "%lx",   "%08x", "%-#10x|", "%.0d", "%10.4X"};
    const long long values[] = {0, 1, 7, 42, 255, 123456789, 2147483647, 4294967296LL, LLONG_MAX};
    for (const char* f : formats) {
        for (long long v : values) {
            std::string expected = std::string(f).find_first_of("di") != std::string::npos
                                       ? c(widened(f).c_str(), v)
                                       : c(widened(f).c_str(), static_cast<unsigned long long>(v));
            EXPECT_EQ(NSString::format(f, {v}), expected) << f << " of " << v;
        }
    }
    for (const char* f : {"%d", "%+d", "%5d", "%-6d|", "%05d", "%.4d"}) {
        for (long long v : {-1LL, -42LL, LLONG_MIN})
            EXPECT_EQ(NSString::format(f, {v}), c(widened(f).c_str(), v));
    }
}

TEST(FormatFloats, MatchSnprintf) {
    const char* formats[] = {"%f",    "%.2f",    "%0.2f", "%10.3f", "%-10.1f|", "%+f",
                             "% .1f", "%010.2f", "%e",    "%.3E",   "%g",       "%0.1g",
                             "%#g",   "%G",      "%.0f",  "%#.0f",  "%a",       "%8.3g"};
    // Single-precision values widened to double (q = 1 - 0.1 * i, as language quality values are computed)
    // sit just off their decimal and must round as the C library does.
    const double values[] = {0.0,
                             1.0,
                             0.9,
                             0.5,
                             -2.5,
                             1234567.891,
                             1e-7,
                             3.14159265358979,
                             1e300,
                             -0.0,
                             double(1.0f - 0.1f),
                             double(1.0f - 3 * 0.1f),
                             double(1.0f - 4 * 0.1f)};
    for (const char* f : formats)
        for (double v : values) EXPECT_EQ(NSString::format(f, {v}), c(f, v)) << f << " of " << v;
    EXPECT_EQ(NSString::format("%f", {"2.5x"}), "2.500000");
    EXPECT_EQ(NSString::format("Scale/%0.2f", {2}), "Scale/2.00");  // an integer for a float conversion
}

class Described : public Object {
  public:
    std::string description() const override { return "<Described 7>"; }
};

// Conversions and directives whose result is known text.
TEST(FormatDirectives, KnownResults) {
    auto error = NSError::withDescription("Domain", 3, "Broken");
    struct Case {
        const char* format;
        std::vector<Value> args;
        std::string expected;
    };
    const Case cases[] = {
        // Negative numbers in unsigned conversions read as their C type.
        {"%x", {-1}, "ffffffff"},  // an int argument, as the platform would have passed it
        {"%u", {-1}, "4294967295"},
        {"%lx", {-1}, "ffffffffffffffff"},
        {"%llu", {-2}, "18446744073709551614"},
        {"%hx", {-1}, "ffff"},
        {"%hhu", {257}, "1"},
        {"%hd", {32768}, "-32768"},
        {"%x", {int64_t(-5000000000)}, "fffffffed5fa0e00"},  // beyond int: the full width, never cut
        {"%d", {int64_t(5000000000)}, "5000000000"},
        {"%d", {uint64_t(UINT64_MAX)}, "18446744073709551615"},
        {"%d", {3.99}, "3"},
        {"%d", {"  42abc"}, "42"},
        {"%d", {true}, "1"},
        {"%ld", {Value()}, "0"},
        {"%p", {0}, "0x0"},
        {"%p", {255}, "0xff"},
        // %@ uses the description.
        {"%@", {"text"}, "text"},
        {"%@", {""}, ""},
        {"%@", {100.0}, "100"},
        {"%@", {2.5}, "2.5"},
        {"%@", {true}, "1"},
        {"%@", {Value()}, "<null>"},
        {"%@", {Data::fromString("ab")}, "<6162>"},
        {"%@", {Value::array({1, "x y"})}, "(\n    1,\n    \"x y\"\n)"},
        {"%@", {Value::dictionary({{"a", 1}})}, "{\n    a = 1;\n}"},
        {"%@", {Value(std::make_shared<Described>())}, "<Described 7>"},
        {"%@", {Value(error)}, error->description()},
        // Width and precision count characters, not bytes.
        {"%-5s|", {"abc"}, "abc  |"},
        {"%.2s", {"h\u00e9llo"}, "h\u00e9"},
        {"%4@|", {"\u4e2d"}, "   \u4e2d|"},
        {"%.1@", {"\U0001F600x"}, ""},  // the emoji is two units: it does not fit into one
        {"%.2@", {"\U0001F600x"}, "\U0001F600"},
        {"%s", {42}, "42"},
        {"%s", {Value()}, "(null)"},
        {"%c", {65}, "A"},
        {"%c", {"\u4e2d\u6587"}, "\u4e2d"},
        {"%C", {0x1F600}, "\U0001F600"},
        {"%c", {0xD800}, "\uFFFD"},
        {"%3c|", {"x"}, "  x|"},
        {"%c", {0}, ""},
        // Directives.
        {"%", {}, "%"},
        {"100%", {1}, "100%"},
        {"50%% of %d", {8}, "50% of 8"},
        {"%d and %d", {1}, "1 and "},  // a missing argument prints nothing
        {"%@", {}, ""},
        {"%k", {1}, "%k"},  // unknown conversions stay as written
        {"%5.2k|%d", {1}, "%5.2k|1"},
        {"%n%s", {}, "%n"},  // no writing through arguments
        {"%*d|", {5, 42}, "   42|"},
        {"%-*d|", {5, 42}, "42   |"},
        {"%*d|", {-4, 7}, "7   |"},  // a negative width means left-justified
        {"%.*f", {2, 3.14159}, "3.14"},
        {"%.*f", {-1, 1.5}, "1.500000"},  // a negative precision counts as none
        {"%2$@ %1$@", {"a", "b"}, "b a"},
        {"%1$@%1$@", {"x"}, "xx"},
        {"%3$@", {"a"}, ""},
        {"\u4e2d%@\u6587%ldS", {"-", 60}, "\u4e2d-\u658760S"},
    };
    for (const auto& tc : cases) EXPECT_EQ(NSString::format(tc.format, tc.args), tc.expected) << tc.format;

    // An object's address; huge widths are clamped.
    auto object = std::make_shared<Described>();
    const void* raw = object.get();
    EXPECT_EQ(NSString::format("%p", {Value(object)}), c("%p", raw));
    EXPECT_EQ(NSString::format("%#x", {Value(object)}),
              c("%#llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(raw))));
    EXPECT_EQ(NSString::format("%99999999999d", {1}).size(), 4096u);
    EXPECT_EQ(NSString::format("%.99999999999f", {1.0}).size(), 4098u);
    EXPECT_EQ(NSString::format("%*s", {int64_t(INT64_MIN), "x"}).size(), 4096u);
}

// The directives written without the C formatter against the general path, over every kind of argument
// and the flags, widths and precisions around them (those it leaves to the general path included).
TEST(FormatDirect, MatchesTheGeneralPath) {
    const char* formats[] = {"%d",     "%i",       "%5d",     "%-5d|", "%05d",  "%-05d|", "%1d",  "%ld",
                             "%lld",   "%hd",      "%hhd",    "%+d",   "% d",   "%.3d",   "%u",   "%lu",
                             "%llu",   "%12lu",    "%-3u|",   "%zu",   "%hhu",  "%x",     "%lx",  "%08x",
                             "%-8x|",  "%X",       "%#x",     "%o",    "%06o",  "%f",     "%.2f", "%.0f",
                             "%10.3f", "%-10.3f|", "%010.3f", "%0.2f", "%.12f", "%e",     "%.3e", "%012.4e",
                             "%g",     "%.0g",     "%.10g",   "%-9g|", "%09g",  "%s",     "%@",   "%10s",
                             "%-6@|",  "%.2s",     "%S",      "%c",    "%p",    "%D",     "%U"};
    const Value values[] = {Value(0),
                            Value(17),
                            Value(-1),
                            Value(-42),
                            Value(static_cast<long long>(LLONG_MIN)),
                            Value(static_cast<long long>(LLONG_MAX)),
                            Value(static_cast<unsigned long long>(ULLONG_MAX)),
                            Value(4294967296ULL),
                            Value(3.14159265358979),
                            Value(-2.5),
                            Value(-0.0),
                            Value(-1e-9),
                            Value(1e300),
                            Value(1e-7),
                            Value(double(1.0f - 0.1f)),
                            Value(std::numeric_limits<double>::infinity()),
                            Value(-std::numeric_limits<double>::quiet_NaN()),
                            Value(true),
                            Value("h\xc3\xa9llo"),
                            Value(""),
                            Value("12.5x"),
                            Value()};
    for (const char* f : formats) {
        for (const Value& v : values) {
            const std::string format = std::string("<") + f + ">";
            EXPECT_EQ(NSString::format(format, {v}), NSString::formatThroughC(format, {v}))
                << f << " of " << v.stringValue();
        }
    }
    // Several directives and text in one line, as the log calls write them.
    const std::vector<Value> line = {Value("GET"), Value(200), Value(1234567LL), Value(0.25), Value(255)};
    EXPECT_EQ(NSString::format("%@ %d took %lu us (%.2f) %-4x|%%", line),
              NSString::formatThroughC("%@ %d took %lu us (%.2f) %-4x|%%", line));
}

}  // namespace
