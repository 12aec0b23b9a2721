#include "platform/foundation/PropertyList.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/tests/test_support.h"

namespace {

using foundation_test::expectError;
using foundation_test::repeat;

using P = NSPropertyListSerialization;
using Format = P::Format;

struct Thing : Object {};

std::optional<Value> read(std::string_view bytes, NSErrorPtr* error = nullptr, Format* format = nullptr) {
    return P::propertyListWithData(Data::fromString(bytes), format, error);
}

std::string xmlDocument(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + std::string(body) +
           "</plist>";
}

// A binary list from raw object encodings; references are `refSize` bytes, offsets two bytes.
std::string binaryList(const std::vector<std::string>& objects, uint64_t top, int refSize = 1) {
    std::string out = "bplist00";
    std::vector<size_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(out.size());
        out += o;
    }
    const uint64_t table = out.size();
    for (size_t at : offsets) {
        out += char(at >> 8);
        out += char(at & 0xFF);
    }
    auto be64 = [&](uint64_t v) {
        for (int shift = 56; shift >= 0; shift -= 8) out += char((v >> shift) & 0xFF);
    };
    out += std::string(6, '\0');
    out += char(2);
    out += char(refSize);
    be64(objects.size());
    be64(top);
    be64(table);
    return out;
}

std::string ref(uint64_t index, int refSize) {
    std::string out;
    for (int shift = (refSize - 1) * 8; shift >= 0; shift -= 8) out += char((index >> shift) & 0xFF);
    return out;
}

// Object i is an array of `fanOut` references to object i + 1; the last one is the integer 1.
std::string chainList(int length, int fanOut) {
    std::vector<std::string> objects;
    for (int i = 0; i < length; ++i) {
        std::string o(1, char(0xA0 | fanOut));
        for (int k = 0; k < fanOut; ++k) o += ref(i + 1, 2);
        objects.push_back(o);
    }
    objects.push_back(std::string("\x10\x01", 2));
    return binaryList(objects, 0, 2);
}

// ---- round trips ----

class PlistRoundTrip : public testing::TestWithParam<Format> {};

TEST_P(PlistRoundTrip, EveryKindReadsBackEqual) {
    const Value v(Dict{
        {"ints", Value::array({0, -5, Value(std::numeric_limits<long long>::min()),
                               Value(std::numeric_limits<long long>::max()),
                               Value(std::numeric_limits<uint64_t>::max()), Value(uint64_t(1) << 63)})},
        {"reals", Value::array({0.1, -2.5e-300, 1.7976931348623157e308})},
        {"text", Value::array({"", "<&> \"quoted\"", "日本語 😀"})},
        {"flags", Value::array({true, false})},
        {"data", Value::array({Data(), Data(std::vector<uint8_t>{0, 1, 2, 0xff})})},
        {"dates", Value::array({Date{0}, Date{-86400}, Date{700000000}})},
        {"empty", Value::array({Value::array(), Value(Dict{})})},
        {"日本", Value(Dict{{"deeper", Value::array({Value(Dict{{"k", "v"}})})}})},
    });
    NSErrorPtr error;
    auto data = P::dataWithPropertyList(v, GetParam(), &error);
    ASSERT_TRUE(data.has_value()) << error->localizedDescription();
    Format format = GetParam() == Format::XML ? Format::Binary : Format::XML;
    auto back = P::propertyListWithData(*data, &format, &error);
    ASSERT_TRUE(back.has_value()) << error->localizedDescription();
    EXPECT_EQ(*back, v);
    EXPECT_EQ(format, GetParam());
    EXPECT_EQ((*back)["ints"][1].kind(), Value::Kind::Int);
    EXPECT_EQ((*back)["ints"][4].kind(), Value::Kind::UInt);
    EXPECT_EQ((*back)["ints"][5].kind(), Value::Kind::UInt);

    // Nesting up to the cap is kept.
    Value deep = "leaf";
    for (int i = 0; i < P::kMaxDepth; ++i)
        deep = (i % 2) ? Value(Dict{{"k", deep}}) : Value(Value::Array{deep});
    data = P::dataWithPropertyList(deep, GetParam(), &error);
    ASSERT_TRUE(data.has_value()) << error->localizedDescription();
    EXPECT_EQ(P::propertyListWithData(*data, nullptr, &error), deep);
}

TEST_P(PlistRoundTrip, WriterErrorsAreClear) {
    auto deep = [](int depth) {
        Value v = Value::array();
        for (int i = 1; i < depth; ++i) v = Value(Value::Array{v});
        return v;
    };
    const struct {
        Value value;
        std::string reason;
    } cases[] = {
        {Value::array({Value()}), "null"},
        {Value(Dict{{"a", Value::set({1})}}), "set"},
        {Value::array({Value(std::make_shared<Thing>())}), "object"},
        {Value::array({std::string("a\0b", 3)}), "NUL"},
        {Value::array({std::string("\xff")}), "UTF-8"},
        {Value::array({Date{3e9}}), "date"},
        {deep(P::kMaxDepth + 1), "nesting"},
    };
    for (const auto& c : cases) {
        NSErrorPtr error;
        EXPECT_FALSE(P::dataWithPropertyList(c.value, GetParam(), &error).has_value()) << c.reason;
        expectError(error, NSCocoaErrorDomain, 3851, c.reason);
        EXPECT_FALSE(P::dataWithPropertyList(c.value, GetParam(), nullptr).has_value());
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PlistRoundTrip, testing::Values(Format::XML, Format::Binary),
                         [](const auto& info) { return info.param == Format::XML ? "XML" : "Binary"; });

TEST(PlistDates, BinaryKeepsFractionsXMLWholeSeconds) {
    const Value v = Value::array({Date{-0.75}, Date{12.5}, Date{-3600.25}});
    auto binary = P::dataWithPropertyList(v, Format::Binary, nullptr).value_or(Data());
    EXPECT_EQ(P::propertyListWithData(binary, nullptr, nullptr), v);
    auto xml = P::dataWithPropertyList(Value::array({Date{12.5}}), Format::XML, nullptr).value_or(Data());
    EXPECT_NE(xml.toString().find("<date>2001-01-01T00:00:12Z</date>"), std::string::npos);
}

// ---- reading ----

TEST(PlistRead, RejectsCorruptInput) {
    const std::string good = binaryList({"\xA1\x01", std::string("\x10\x05", 2)}, 0);
    std::string badOffset = good;
    badOffset[good.size() - 32 - 1] = char(0xF0);  // second offset points into the table
    std::string badSizes = good;
    badSizes[good.size() - 32 + 6] = 3;
    const struct {
        std::string bytes;
        std::string reason;
    } cases[] = {
        {"", "empty"},
        {"garbage", "XML"},
        {xmlDocument("<array><string>a</array>"), "XML"},
        {xmlDocument("<array><string>a</string>").substr(0, 60), "XML"},
        {xmlDocument("<string>\xff</string>"), "UTF-8"},
        {xmlDocument(repeat("<array>", P::kMaxDepth + 1) + repeat("</array>", P::kMaxDepth + 1)), "nesting"},
        {repeat("<a>", 200000), "nesting"},
        {xmlDocument(std::string("<dict><key>a\0b</key><true/></dict>", 34)), "NUL"},
        {"bplist00", "truncated"},
        {"bplist15" + good.substr(8), "version"},
        {badOffset, "offset"},
        {badSizes, "integer sizes"},
        {binaryList({std::string("\xA1\x00", 2)}, 0), "reference themselves"},
        {binaryList({"\xA1\x07", std::string("\x10\x05", 2)}, 0), "out of bounds"},
        {binaryList({std::string("\x10\x05", 2)}, 3), "root"},
        {binaryList({"\xD1\x01\x02", std::string("\x10\x05", 2), "\x09"}, 0), "key is not a string"},
        {binaryList({std::string("\x80\x01", 2)}, 0), "unsupported type"},
        {binaryList({std::string("\x5F\x10\x40") + "ab"}, 0), "truncated"},
        {binaryList({"\xAF\x13\x7f\xff\xff\xff\xff\xff\xff\xff"}, 0), "truncated"},
        {chainList(P::kMaxDepth + 1, 1), "nesting"},
        {chainList(20000, 1), "nesting"},
        {chainList(60, 2), "too many"},
        {binaryList({"\xD1\x01\x02", std::string{'\x52', 'a', '\0'}, "\x09"}, 0), "NUL"},  // as a key
        {binaryList({"\xD1\x01\x02", std::string("\x61\0\0", 3), "\x09"}, 0), "NUL"},      // as a UTF-16 key
        {binaryList({"\xA1\x01", std::string{'\x53', 'a', '\0', 'b'}}, 0), "NUL"},         // as a value
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        NSErrorPtr error;
        EXPECT_FALSE(read(cases[i].bytes, &error).has_value());
        expectError(error, NSCocoaErrorDomain, 3840, cases[i].reason);
    }
    Format format = Format::XML;
    EXPECT_EQ(read(binaryList({"\xA2\x01\x02", "\x51\x61", std::string("\x10\x05", 2)}, 0), nullptr, &format),
              Value::array({"a", 5}));
    EXPECT_EQ(format, Format::Binary);
    EXPECT_TRUE(read(chainList(P::kMaxDepth, 1)).has_value());
    EXPECT_TRUE(read(chainList(12, 2)).has_value());  // shared containers within reason are fine
}

TEST(PlistRead, EveryTruncationOrByteFlipOfABinaryListIsHandled) {
    const Value v(Dict{{"a", Value::array({1, "two", 3.5, Data::fromString("four"), Date{5}, true})},
                       {"b", Value(Dict{{"c", "日本"}})}});
    auto data = P::dataWithPropertyList(v, Format::Binary, nullptr);
    ASSERT_TRUE(data.has_value());
    const std::string bytes = data->toString();
    for (size_t n = 0; n < bytes.size(); ++n) {
        NSErrorPtr error;
        EXPECT_FALSE(read(bytes.substr(0, n), &error).has_value()) << n;
        EXPECT_NE(error, nullptr) << n;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        for (uint8_t flip : {0x01, 0x80, 0xFF}) {
            std::string mutated = bytes;
            mutated[i] = char(mutated[i] ^ flip);
            NSErrorPtr error;
            auto result = read(mutated, &error);
            EXPECT_NE(result.has_value(), error != nullptr) << "byte " << i;  // exactly one of value or error
        }
    }
}

}  // namespace
