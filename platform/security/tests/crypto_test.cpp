#include <gtest/gtest.h>

#include <string>

#include "platform/security/Crypto.h"

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string toHex(std::span<const uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

TEST(DigestTest, KnownVectors) {
    struct Case {
        std::string input, md5, sha256;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6",
         "d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toHex(CC_MD5(bytesOf(c.input)).span()), c.md5) << c.input;
        EXPECT_EQ(toHex(CC_SHA256(bytesOf(c.input)).span()), c.sha256) << c.input;
    }
}

const std::vector<uint8_t> kKey = fromHex("0123456789abcdef23456789abcdef01456789abcdef0123");

TEST(TripleDESTest, KnownVectors) {
    struct Case {
        const char* name;
        CCOptions options;
        std::vector<uint8_t> iv;
        std::string plain;
        std::string cipherHex;
    } cases[] = {
        // The classic three-key example: ECB, no padding.
        {"ecb",
         kCCOptionECBMode,
         {},
         "The qufck brown fox jump",
         "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
        {"cbc pkcs7", kCCOptionPKCS7Padding, fromHex("0001020304050607"), "hello 3des",
         "b1f7b2d37ed61eb7c81741ee19747162"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out;
        ASSERT_EQ(CCCrypt(CCOperation::Encrypt, CCAlgorithm::TripleDES, c.options, kKey, c.iv,
                          bytesOf(c.plain), out),
                  kCCSuccess)
            << c.name;
        EXPECT_EQ(toHex(out), c.cipherHex) << c.name;
        std::vector<uint8_t> back;
        ASSERT_EQ(CCCrypt(CCOperation::Decrypt, CCAlgorithm::TripleDES, c.options, kKey, c.iv, out, back),
                  kCCSuccess);
        EXPECT_EQ(std::string(back.begin(), back.end()), c.plain) << c.name;
    }
}

TEST(TripleDESTest, RoundTripsEveryLengthAndMode) {
    for (CCOptions options : {kCCOptionPKCS7Padding, kCCOptionPKCS7Padding | kCCOptionECBMode}) {
        for (size_t length : {0u, 1u, 7u, 8u, 9u, 64u, 1000u}) {
            std::string plain(length, '\0');
            for (size_t i = 0; i < length; ++i) plain[i] = static_cast<char>(i * 31 + 7);
            std::vector<uint8_t> sealed, opened;
            ASSERT_EQ(CCCrypt(CCOperation::Encrypt, CCAlgorithm::TripleDES, options, kKey, {}, bytesOf(plain),
                              sealed),
                      kCCSuccess);
            EXPECT_EQ(sealed.size(), (length / 8 + 1) * 8);
            ASSERT_EQ(
                CCCrypt(CCOperation::Decrypt, CCAlgorithm::TripleDES, options, kKey, {}, sealed, opened),
                kCCSuccess);
            EXPECT_EQ(std::string(opened.begin(), opened.end()), plain) << length;
        }
    }
    // A missing CBC IV means zeros.
    std::vector<uint8_t> implicitIv, explicitIv;
    CCCrypt(CCOperation::Encrypt, CCAlgorithm::TripleDES, kCCOptionPKCS7Padding, kKey, {}, bytesOf("abc"),
            implicitIv);
    CCCrypt(CCOperation::Encrypt, CCAlgorithm::TripleDES, kCCOptionPKCS7Padding, kKey,
            std::vector<uint8_t>(8, 0), bytesOf("abc"), explicitIv);
    EXPECT_EQ(implicitIv, explicitIv);
}

TEST(TripleDESTest, BadInputIsRefused) {
    std::vector<uint8_t> sealed;
    ASSERT_EQ(CCCrypt(CCOperation::Encrypt, CCAlgorithm::TripleDES, kCCOptionPKCS7Padding, kKey, {},
                      bytesOf("secret"), sealed),
              kCCSuccess);
    std::vector<uint8_t> wrongKey = kKey;
    wrongKey[0] ^= 0x10;  // not just the parity bit
    std::vector<uint8_t> corrupt = sealed;
    corrupt.back() ^= 0xff;
    struct Case {
        const char* name;
        CCOperation operation;
        CCOptions options;
        std::vector<uint8_t> key, iv, input;
        CCCryptorStatus status;
    } cases[] = {
        {"short key",
         CCOperation::Encrypt,
         kCCOptionPKCS7Padding,
         std::vector<uint8_t>(16, 1),
         {},
         {1, 2},
         kCCParamError},
        {"long iv",
         CCOperation::Encrypt,
         kCCOptionPKCS7Padding,
         kKey,
         std::vector<uint8_t>(16, 0),
         {1},
         kCCParamError},
        {"unknown option", CCOperation::Encrypt, 0x80, kKey, {}, {1}, kCCParamError},
        {"unpadded partial block",
         CCOperation::Encrypt,
         kCCOptionECBMode,
         kKey,
         {},
         {1, 2, 3},
         kCCAlignmentError},
        {"ciphertext not whole blocks",
         CCOperation::Decrypt,
         kCCOptionPKCS7Padding,
         kKey,
         {},
         std::vector<uint8_t>(sealed.begin(), sealed.end() - 1),
         kCCAlignmentError},
        {"corrupt padding", CCOperation::Decrypt, kCCOptionPKCS7Padding, kKey, {}, corrupt, kCCDecodeError},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> out{42};
        EXPECT_EQ(CCCrypt(c.operation, CCAlgorithm::TripleDES, c.options, c.key, c.iv, c.input, out),
                  c.status)
            << c.name;
        EXPECT_TRUE(out.empty()) << c.name;
    }
    // A wrong key either fails the padding check or gives something other than the secret.
    std::vector<uint8_t> opened;
    CCCryptorStatus status = CCCrypt(CCOperation::Decrypt, CCAlgorithm::TripleDES, kCCOptionPKCS7Padding,
                                     wrongKey, {}, sealed, opened);
    EXPECT_TRUE(status == kCCDecodeError || std::string(opened.begin(), opened.end()) != "secret");
}

TEST(AESTest, KnownVector) {
    // FIPS-197 appendix C.1.
    std::vector<uint8_t> out;
    ASSERT_EQ(CCCrypt(CCOperation::Encrypt, CCAlgorithm::AES, kCCOptionECBMode,
                      fromHex("000102030405060708090a0b0c0d0e0f"), {},
                      fromHex("00112233445566778899aabbccddeeff"), out),
              kCCSuccess);
    EXPECT_EQ(toHex(out), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

}  // namespace
