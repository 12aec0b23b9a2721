#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "app/tools/Base64Codec.h"
#include "app/tools/TextCipher.h"
#include "platform/foundation/TextUtil.h"
#include "platform/security/Crypto.h"

namespace {

using B = Base64Codec;

std::optional<std::string> text(const std::optional<Data>& data) {
    return data ? std::optional(data->toString()) : std::nullopt;
}

TEST(Base64Codec, EncodesBothAlphabetsAndDecodesOnlyWhatIsWellFormed) {
    const std::tuple<std::string, std::string, std::string> encodings[] = {{"a", "YQ==", "YQ"},
                                                                           {"abc", "YWJj", "YWJj"},
                                                                           {"\xfb\xff\xfe", "+//+", "-__-"},
                                                                           {"\xfb\xf0", "+/A=", "-_A"}};
    for (const auto& [in, standard, webBare] : encodings) {
        EXPECT_EQ(B::stringByEncodingBytes(in.data(), in.size()), standard);
        EXPECT_EQ(B::stringByWebSafeEncodingData(Data::fromString(in), B::Padded::No), webBare);
        EXPECT_EQ(B::stringByWebSafeEncodingData(Data::fromString(in), B::Padded::Yes)->size(),
                  standard.size());
    }
    EXPECT_FALSE(B::stringByEncodingBytes("", 0));
    const std::nullopt_t bad = std::nullopt;
    const std::tuple<std::string, bool, std::optional<std::string>> decodings[] = {
        {"YWI", false, bad},
        {" Y W\tI\r\n= \n", false, "ab"},
        {"YQ=", false, bad},
        {"YWI=YWI=", false, bad},
        {"-_A=", false, bad},
        {"YWJ=", false, bad},  // leftover bits not zero
        {std::string("YWJj\0!", 6), false, "abc"},
        {"YWI", true, "ab"},
        {"YWJjZ", true, bad},
        {"+/A=", true, bad}};
    for (const auto& [in, webSafe, out] : decodings) {
        EXPECT_EQ(text(webSafe ? B::webSafeDecodeBytes(in.data(), in.size())
                               : B::decodeBytes(in.data(), in.size())),
                  out)
            << in;
    }
    EXPECT_FALSE(B::decodeString("YWI=\xc3\xa9"));  // not ASCII
    // The core routines stay inside their buffers, and check leftover bits whatever the buffer held.
    char encoded[8] = {};
    EXPECT_EQ(B::baseEncode(reinterpret_cast<const uint8_t*>("abcd"), 4, encoded, 7, B::standardCharset(),
                            B::Padded::Yes),
              0u);
    EXPECT_EQ(std::string(encoded, 8), std::string(8, '\0'));
    uint8_t out[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(B::baseDecode("YWJjZA==", 8, out, 6, B::standardDecodeTable(), B::RequirePadding::Yes), 4u);
    EXPECT_EQ(B::baseDecode("YWJjZA==", 8, out, 3, B::standardDecodeTable(), B::RequirePadding::Yes), 0u);
}

TEST(TextCipher, KnownAnswersRoundTripsAndRefusals) {
    // Made independently with the openssl command line (des-ede3, ECB, PKCS#7, the same key).
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"", "dab921eeb2b9e392", "2rkh7rK545I="},
        {"12345678", "e065588e6e84f20adab921eeb2b9e392", "4GVYjm6E8grauSHusrnjkg=="},
        {"你好，Quorvane", "7f97eb85f096f243df09307ca3328a23935324dd96a38a35",
         "f5frhfCW8kPfCTB8ozKKI5NTJN2Wo4o1"}};
    for (const auto& [plain, hex, base64] : cases) {
        EXPECT_EQ(std::pair(TextCipher::doEncryptHex(plain), TextCipher::doEncryptStr(plain)),
                  std::pair(std::optional(hex), std::optional(base64)));
        EXPECT_EQ(TextCipher::doDecEncryptHex(hex + "\n"), plain);  // odd last character ignored
        EXPECT_EQ(TextCipher::doDecEncryptHex(TextUtil::toUpperASCII(hex)), plain);
        EXPECT_EQ(TextCipher::doDecEncryptStr(base64), plain);
    }
    // Text that is not UTF-8 would never decipher again: it is refused.
    EXPECT_EQ(std::pair(TextCipher::doEncryptHex("ok\xff"), TextCipher::doEncryptStr("\xc3")),
              std::pair(std::optional<std::string>(), std::optional<std::string>()));

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
         {std::string("zz"), std::string("b1d4137261fef1"), std::string("e065588e6e84g20adab921eeb2b9e392"),
          damaged, toHexString(std::string(notUTF8.begin(), notUTF8.end()))}) {
        EXPECT_EQ(TextCipher::doDecEncryptHex(hex), std::nullopt) << hex;
    }
    for (const std::string base64 : {"", "sdQTcmH+8Ts", "sdQTcmH*8Ts=", "YWJj"})
        EXPECT_EQ(TextCipher::doDecEncryptStr(base64), std::nullopt) << base64;
}

}  // namespace
