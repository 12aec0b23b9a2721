#include "platform/foundation/TextUtil.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>

namespace {

using TextUtil::Whitespace;

TEST(TextLength, CountsUtf16Units) {
    // Precomposed, letter and combining accent, outside the BMP (surrogate pairs, also with a skin-tone
    // modifier), then invalid bytes and a truncated sequence, which count one unit a byte.
    const std::pair<std::string, size_t> cases[] = {
        {"", 0},
        {"\u00e9", 1},
        {"e\u0301", 2},
        {"\u4e2d\u6587", 2},
        {"a\U0001F600b", 4},
        {"\U0001F44D\U0001F3FD", 4},
        {"\xff", 1},
        {"\xe4\xb8", 2},
    };
    for (const auto& [text, units] : cases) EXPECT_EQ(TextUtil::utf16Length(text), units) << text;
}

TEST(TextIndex, ConvertsBetweenUnitsAndBytes) {
    const std::string s = "a\U0001F600b\u00e9";  // bytes: a(0) emoji(1-4) b(5) é(6-7)
    const std::optional<size_t> offsets[] = {0, 1, std::nullopt, 5, 6, 8, std::nullopt};
    for (size_t i = 0; i < std::size(offsets); ++i) EXPECT_EQ(TextUtil::utf8Offset(s, i), offsets[i]) << i;

    const std::optional<size_t> indices[] = {
        0, 1, std::nullopt, std::nullopt, std::nullopt, 3, 4, std::nullopt, 5, std::nullopt};
    for (size_t b = 0; b < std::size(indices); ++b) EXPECT_EQ(TextUtil::utf16Index(s, b), indices[b]) << b;
}

TEST(TextRange, SubstringAndReplaceRefuseBadRanges) {
    const std::string s = "a\U0001F600be\u0301";
    const std::pair<NSRange, std::optional<std::string>> cases[] = {
        {{0, 1}, "a"},          {{1, 2}, "\U0001F600"},
        {{1, 1}, std::nullopt},  // half of the pair
        {{2, 1}, std::nullopt}, {{3, 1}, "b"},
        {{5, 1}, "\u0301"},  // a combining mark is its own unit
        {{6, 0}, ""},           {{6, 1}, std::nullopt},
        {{7, 0}, std::nullopt}, {{SIZE_MAX, 2}, std::nullopt},  // location + length overflows
    };
    for (const auto& [range, sub] : cases) {
        EXPECT_EQ(TextUtil::substring(s, range), sub) << range.location << "," << range.length;
        EXPECT_EQ(TextUtil::replacing(s, range, "[x]").has_value(), sub.has_value());
    }
    EXPECT_EQ(TextUtil::replacing(s, {1, 2}, "X"), "aXbe\u0301");
    EXPECT_EQ(TextUtil::replacing(s, {0, 0}, "<"), "<" + s);
    EXPECT_EQ(TextUtil::replacing(s, {6, 0}, ">"), s + ">");
    EXPECT_EQ(TextUtil::replacing(s, {0, 6}, ""), "");
}

TEST(TextValidation, StrictUtf8) {
    for (std::string ok : {"", "abc", "\u00e9", "\u4e2d", "\U0001F600", "\U0010FFFF"})
        EXPECT_TRUE(TextUtil::isValidUTF8(ok)) << ok;
    // Overlong (two and three bytes), an encoded surrogate, above U+10FFFF, then stray and cut sequences.
    const char* bad[] = {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                         "\x80",     "\xe4\xb8",     "abc\xff",      "\xf8\x88\x80\x80\x80"};
    for (const char* b : bad) EXPECT_FALSE(TextUtil::isValidUTF8(b)) << b;
}

TEST(TextConversion, NarrowEncodingsReportFailure) {
    EXPECT_EQ(TextUtil::toASCII("Quorvane/1.0 (iPhone)"), "Quorvane/1.0 (iPhone)");
    EXPECT_EQ(TextUtil::toASCII("caf\u00e9"), std::nullopt);
    EXPECT_EQ(TextUtil::toASCII("ab\xff"), std::nullopt);
    EXPECT_EQ(TextUtil::toLatin1("\u4e2d"), std::nullopt);
    EXPECT_EQ(TextUtil::toLatin1("\xe9"), std::nullopt);  // Latin-1 bytes are not UTF-8
    EXPECT_EQ(TextUtil::fromLatin1("caf\xe9"), "caf\u00e9");
    std::string all;
    for (int i = 1; i < 256; ++i) all += char(i);
    EXPECT_EQ(TextUtil::toLatin1(TextUtil::fromLatin1(all)), all);
}

TEST(TextConversion, AppendUtf8EncodesScalarsAndReplacesTheRest) {
    // Each length's edges; surrogates and anything past U+10FFFF become U+FFFD.
    const std::pair<char32_t, const char*> cases[] = {{0x7F, "\x7f"},
                                                      {0x80, "\xc2\x80"},
                                                      {0x7FF, "\xdf\xbf"},
                                                      {0x800, "\xe0\xa0\x80"},
                                                      {0xFFFF, "\xef\xbf\xbf"},
                                                      {0x10000, "\xf0\x90\x80\x80"},
                                                      {0x10FFFF, "\xf4\x8f\xbf\xbf"},
                                                      {0xD800, "\xef\xbf\xbd"},
                                                      {0xDFFF, "\xef\xbf\xbd"},
                                                      {0x110000, "\xef\xbf\xbd"}};
    for (const auto& [codePoint, bytes] : cases) {
        std::string out = "x";
        TextUtil::appendUTF8(out, codePoint);
        EXPECT_EQ(out, std::string("x") + bytes) << std::hex << uint32_t(codePoint);
    }
}

TEST(TextConversion, Utf16RoundTripsAndRejectsLoneSurrogates) {
    EXPECT_EQ(TextUtil::toUTF16("a\U0001F600\u00e9"), std::u16string(u"a\xD83D\xDE00\u00e9"));
    EXPECT_EQ(TextUtil::toUTF16("a\xff"), std::nullopt);
    EXPECT_EQ(TextUtil::fromUTF16(u"a\xD83D\xDE00\u4e2d"), "a\U0001F600\u4e2d");
    const std::u16string bad[] = {u"\xD83D", u"\xD83Dx", u"\xDE00", u"x\xDE00\xD83D"};
    for (const auto& b : bad) EXPECT_EQ(TextUtil::fromUTF16(b), std::nullopt);
    std::string mixed = "\u0000\u007f\u0080\u07ff\u0800\uffff\U00010000\U0010FFFF";
    EXPECT_EQ(TextUtil::fromUTF16(*TextUtil::toUTF16(mixed)), mixed);
}

// Only ASCII letters fold: other bytes (UTF-8 of letters beyond ASCII, punctuation) must match exactly.
TEST(TextCase, EqualsIgnoringASCIICase) {
    const struct {
        const char* a;
        const char* b;
        bool equal;
    } cases[] = {
        {"", "", true},           {"Content-Type", "content-TYPE", true},
        {"HTTPS", "https", true}, {"https", "http", false},
        {"@[`{", "`{@[", false},  {"\xC3\x89", "\xC3\xA9", false},
        {"a-b", "A_B", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TextUtil::equalsIgnoringASCIICase(c.a, c.b), c.equal) << c.a << " / " << c.b;
        EXPECT_EQ(TextUtil::equalsIgnoringASCIICase(c.b, c.a), c.equal) << c.b << " / " << c.a;
    }
}

// Names built from an address (task descriptions, queue labels) must read as "%p" prints it.
TEST(TextAddress, MatchesPrintfPointerNotation) {
    int object = 0;
    for (const void* pointer :
         {static_cast<const void*>(&object), reinterpret_cast<const void*>(uintptr_t(0x10)),
          reinterpret_cast<const void*>(~uintptr_t(0))}) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%p", pointer);
        EXPECT_EQ(TextUtil::addressText(pointer), expected);
    }
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
        {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}};
    for (auto [plain, encoded] : vectors) {
        EXPECT_EQ(TextUtil::base64Encode(std::string_view(plain)), encoded);
        auto decoded = TextUtil::base64Decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(decoded->toString(), plain);
    }
    std::vector<uint8_t> bytes(256);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(255 - i);
    auto text = TextUtil::base64Encode(std::span<const uint8_t>(bytes));
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(TextUtil::base64Decode(text), Data(bytes));
}

TEST(Base64, DecodeRejectsBadInput) {
    const char* bad[] = {"Zg=",  "Zg",    "Z===",   "Zm9v!", "Zg==Zg==", "=Zg=",
                         "Zm-_", "Zm9vY", "Zm9v\n", "Zm 9v", "====",     "Zm9\xc3\xa9"};
    for (const char* b : bad) EXPECT_EQ(TextUtil::base64Decode(b), std::nullopt) << b;
}

}  // namespace
