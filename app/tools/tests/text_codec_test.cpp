#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/tools/Base64Codec.h"
#include "app/tools/TextCipher.h"
#include "platform/foundation/TextUtil.h"
#include "platform/security/Crypto.h"

namespace {

using B = Base64Codec;

std::optional<std::string> text(const std::optional<Data>& data) {
    return data ? std::optional(data->toString()) : std::nullopt;
}

TEST(Base64Codec, EncodesBothAlphabets) {
    struct Case {
        std::string in, standard, webBare;
    };
    const Case cases[] = {{"a", "YQ==", "YQ"},
                          {"ab", "YWI=", "YWI"},
                          {"abc", "YWJj", "YWJj"},
                          {"\xfb\xff\xfe", "+//+", "-__-"},
                          {"\xfb\xf0", "+/A=", "-_A"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.standard);
        EXPECT_EQ(B::stringByEncodingBytes(c.in.data(), c.in.size()), c.standard);
        EXPECT_EQ(B::stringByWebSafeEncodingData(Data::fromString(c.in), B::Padded::No), c.webBare);
        EXPECT_EQ(B::stringByWebSafeEncodingData(Data::fromString(c.in), B::Padded::Yes)->size(),
                  c.standard.size());
    }
    EXPECT_FALSE(B::stringByEncodingBytes("", 0));
}

TEST(Base64Codec, DecoderTable) {
    struct Case {
        std::string in;
        bool webSafe;
        std::optional<std::string> out;
    };
    const std::nullopt_t bad = std::nullopt;
    const Case cases[] = {
        {"YWI", false, bad},
        {" Y W\tI\r\n= \n", false, "ab"},
        {"YQ=", false, bad},
        {"YWI=YWI=", false, bad},
        {"-_A=", false, bad},
        {"YWJ=", false, bad},
        {std::string("YWJj\0!", 6), false, "abc"},
        {"YWI", true, "ab"},
        {"YWJjZ", true, bad},
        {"+/A=", true, bad},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        auto decoded = c.webSafe ? B::webSafeDecodeBytes(c.in.data(), c.in.size())
                                 : B::decodeBytes(c.in.data(), c.in.size());
        EXPECT_EQ(text(decoded), c.out);
    }
    EXPECT_EQ(text(B::webSafeDecodeString("YWI")), "ab");
    EXPECT_FALSE(B::decodeString("YWI=\xc3\xa9"));  // not ASCII
}

TEST(Base64Codec, CoreRoutinesStayInsideTheirBuffers) {
    char encoded[8] = {};
    EXPECT_EQ(B::baseEncode(reinterpret_cast<const uint8_t*>("abcd"), 4, encoded, 7, B::standardCharset(),
                            B::Padded::Yes),
              0u);
    EXPECT_EQ(std::string(encoded, 8), std::string(8, '\0'));
    // Leftover bits are checked whatever the buffer held; a short buffer fails instead of overflowing.
    uint8_t out[6];
    std::fill(std::begin(out), std::end(out), 0xEE);
    const auto& table = B::standardDecodeTable();
    EXPECT_EQ(B::baseDecode("YWJjZA==", 8, out, 6, table, B::RequirePadding::Yes), 4u);
    EXPECT_EQ(B::baseDecode("YWJjZA==", 8, out, 3, table, B::RequirePadding::Yes), 0u);
    EXPECT_EQ(out[3], 'd');
}

TEST(TextCipher, KnownAnswersAndRoundTrips) {
    // Made independently with the openssl command line (des-ede3, ECB, PKCS#7, the same key).
    struct Case {
        std::string plain, hex, base64;
    };
    const Case cases[] = {
        {"", "dab921eeb2b9e392", "2rkh7rK545I="},
        {"12345678", "e065588e6e84f20adab921eeb2b9e392", "4GVYjm6E8grauSHusrnjkg=="},
        {"你好，Quorvane", "7f97eb85f096f243df09307ca3328a23935324dd96a38a35",
         "f5frhfCW8kPfCTB8ozKKI5NTJN2Wo4o1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plain);
        EXPECT_EQ(TextCipher::doEncryptHex(c.plain), c.hex);
        EXPECT_EQ(TextCipher::doEncryptStr(c.plain), c.base64);
        EXPECT_EQ(TextCipher::doDecEncryptHex(c.hex + "\n"), c.plain);  // odd last character ignored
        EXPECT_EQ(TextCipher::doDecEncryptHex(TextUtil::toUpperASCII(c.hex)), c.plain);
        EXPECT_EQ(TextCipher::doDecEncryptStr(c.base64), c.plain);
    }
    // Text that is not UTF-8 would never decipher again: it is refused.
    EXPECT_EQ(TextCipher::doEncryptHex("ok\xff"), std::nullopt);
    EXPECT_EQ(TextCipher::doEncryptStr("\xc3"), std::nullopt);
}

TEST(TextCipher, BadCipherTextIsRefused) {
    std::string damaged = TextCipher::doEncryptHex("hello").value();
    damaged[15] = damaged[15] == '0' ? '1' : '0';  // the padding no longer checks out
    // Cipher text whose plain text is not UTF-8 (made by the platform cipher with the same key).
    std::vector<uint8_t> notUTF8;
    ASSERT_EQ(CCCrypt(CCOperation::Encrypt, CCAlgorithm::TripleDES, kCCOptionPKCS7Padding | kCCOptionECBMode,
                      std::span(reinterpret_cast<const uint8_t*>(kTextCipherKey), kCCKeySize3DES), {},
                      std::vector<uint8_t>{'o', 'k', 0xff}, notUTF8),
              kCCSuccess);
    // "g2" would read as "f2" (a valid cipher text of "12345678") if the digit were not checked.
    for (const std::string& hex :
         std::vector<std::string>{"", "zz", "b1d4137261fef1", "e065588e6e84g20adab921eeb2b9e392", damaged,
                                  toHexString(std::string(notUTF8.begin(), notUTF8.end()))}) {
        EXPECT_EQ(TextCipher::doDecEncryptHex(hex), std::nullopt) << hex;
    }
    for (const std::string base64 : {"", "sdQTcmH+8Ts", "sdQTcmH*8Ts=", "YWJj"}) {
        EXPECT_EQ(TextCipher::doDecEncryptStr(base64), std::nullopt) << base64;
    }
}

}  // namespace
