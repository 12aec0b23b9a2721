#include <gtest/gtest.h>

#include <string>

#include "platform/security/Crypto.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr auto kEncrypt = CCOperation::Encrypt;
constexpr auto kDecrypt = CCOperation::Decrypt;
constexpr CCOptions kPadded = kCCOptionPKCS7Padding;
constexpr CCOptions kECB = kCCOptionECBMode;
constexpr auto kDES = CCAlgorithm::TripleDES;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(uint8_t(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

const Bytes kKey = fromHex("0123456789abcdef23456789abcdef01456789abcdef0123");

TEST(DigestTest, KnownVectors) {
    const Bytes fox = bytesOf("The quick brown fox jumps over the lazy dog");
    EXPECT_EQ(CC_MD5({}), Data(fromHex("d41d8cd98f00b204e9800998ecf8427e")));
    EXPECT_EQ(CC_MD5(fox), Data(fromHex("9e107d9d372bb6826bd81d3542a419d6")));
    EXPECT_EQ(CC_SHA256({}),
              Data(fromHex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")));
    EXPECT_EQ(CC_SHA256(fox),
              Data(fromHex("d7a8fbb307d7809469ca9abcb0082e4f8d5651e46d3cdb762d02d0bf37c9e592")));
}

TEST(CipherTest, KnownVectorsBothWays) {
    const Bytes aesKey = fromHex("000102030405060708090a0b0c0d0e0f");
    struct Case {
        CCAlgorithm algorithm;
        CCOptions options;
        Bytes key, iv, plain;
        std::string cipherHex;
    } cases[] = {
        // The classic three-key example in ECB; the last row is FIPS-197 appendix C.1.
        {kDES, kECB, kKey, Bytes(), bytesOf("The qufck brown fox jump"),
         "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
        {kDES, kPadded, kKey, fromHex("0001020304050607"), bytesOf("hello 3des"),
         "b1f7b2d37ed61eb7c81741ee19747162"},
        {kDES, kPadded, kKey, Bytes(), bytesOf("abc"), "e2eff66d57aa8233"},  // no IV: zeros
        {CCAlgorithm::AES, kECB, aesKey, Bytes(), fromHex("00112233445566778899aabbccddeeff"),
         "69c4e0d86a7b0430d8cdb78070b4c55a"},
    };
    for (const auto& c : cases) {
        Bytes sealed, opened;
        ASSERT_EQ(CCCrypt(kEncrypt, c.algorithm, c.options, c.key, c.iv, c.plain, sealed), kCCSuccess);
        EXPECT_EQ(sealed, fromHex(c.cipherHex));
        ASSERT_EQ(CCCrypt(kDecrypt, c.algorithm, c.options, c.key, c.iv, sealed, opened), kCCSuccess);
        EXPECT_EQ(opened, c.plain) << c.cipherHex;
    }
}

TEST(TripleDESTest, RoundTripsEveryLengthAndMode) {
    for (CCOptions options : {kPadded, kPadded | kECB}) {
        for (size_t length : {0u, 1u, 7u, 8u, 9u, 1000u}) {
            Bytes plain(length), sealed;
            for (size_t i = 0; i < length; ++i) plain[i] = static_cast<uint8_t>(i * 31 + 7);
            ASSERT_EQ(CCCrypt(kEncrypt, kDES, options, kKey, {}, plain, sealed), kCCSuccess);
            EXPECT_EQ(sealed.size(), (length / 8 + 1) * 8);
            // Whole, or fed to the cipher in pieces of any size, the result is the same.
            for (size_t piece : {kCCCryptPieceSize, size_t(1), size_t(3), size_t(13)}) {
                auto inPieces = [&](CCOperation op, const Bytes& input, Bytes& out) {
                    return CCCryptInPieces(op, kDES, options, kKey, {}, input, out, piece);
                };
                Bytes pieced, opened;
                EXPECT_TRUE(inPieces(kEncrypt, plain, pieced) == kCCSuccess && pieced == sealed) << piece;
                EXPECT_TRUE(inPieces(kDecrypt, sealed, opened) == kCCSuccess && opened == plain) << piece;
            }
        }
    }
}

TEST(TripleDESTest, BadInputIsRefused) {
    Bytes sealed;
    ASSERT_EQ(CCCrypt(kEncrypt, kDES, kPadded, kKey, {}, bytesOf("secret"), sealed), kCCSuccess);
    Bytes corrupt = sealed, partial(sealed.begin(), sealed.end() - 1), wrongKey = kKey;
    corrupt.back() ^= 0xff;
    wrongKey[0] ^= 0x10;  // not just the parity bit
    struct Case {
        const char* name;
        CCOperation operation;
        CCOptions options;
        Bytes input, iv, key;
        CCCryptorStatus status;
    } cases[] = {
        {"short key", kEncrypt, kPadded, {1, 2}, {}, Bytes(16, 1), kCCParamError},
        {"long iv", kEncrypt, kPadded, {1}, Bytes(16, 0), kKey, kCCParamError},
        {"unknown option", kEncrypt, 0x80, {1}, {}, kKey, kCCParamError},
        {"unpadded partial block", kEncrypt, kECB, {1, 2, 3}, {}, kKey, kCCAlignmentError},
        {"ciphertext not whole blocks", kDecrypt, kPadded, partial, {}, kKey, kCCAlignmentError},
        {"corrupt padding", kDecrypt, kPadded, corrupt, {}, kKey, kCCDecodeError},
        {"wrong key", kDecrypt, kPadded, sealed, {}, wrongKey, kCCDecodeError},  // fails the padding check
    };
    for (const auto& c : cases) {
        Bytes out{42};
        EXPECT_EQ(CCCrypt(c.operation, kDES, c.options, c.key, c.iv, c.input, out), c.status) << c.name;
        EXPECT_TRUE(out.empty()) << c.name;
    }
}

}  // namespace
