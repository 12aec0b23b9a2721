#include "app/tools/TextCipher.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "app/tools/Base64Codec.h"
#include "platform/foundation/TextUtil.h"
#include "platform/security/Crypto.h"

namespace {

std::span<const uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::optional<std::vector<uint8_t>> crypt(CCOperation operation, std::span<const uint8_t> input) {
    static_assert(std::char_traits<char>::length(kTextCipherKey) == kCCKeySize3DES);
    std::vector<uint8_t> output;
    CCCryptorStatus status =
        CCCrypt(operation, CCAlgorithm::TripleDES, kCCOptionPKCS7Padding | kCCOptionECBMode,
                bytesOf(kTextCipherKey), {}, input, output);
    if (status != kCCSuccess) return std::nullopt;
    return output;
}

// Text that is not UTF-8 could be enciphered but never deciphered again: it is refused.
std::optional<std::string> encipher(std::string_view text) {
    if (!TextUtil::isValidUTF8(text)) return std::nullopt;
    auto cipherText = crypt(CCOperation::Encrypt, bytesOf(text));
    if (!cipherText) return std::nullopt;
    return std::string(cipherText->begin(), cipherText->end());
}

std::optional<std::string> decipher(std::span<const uint8_t> cipherText) {
    if (cipherText.empty() || cipherText.size() % kCCBlockSize3DES != 0) return std::nullopt;
    auto plain = crypt(CCOperation::Decrypt, cipherText);
    if (!plain) return std::nullopt;
    std::string text(plain->begin(), plain->end());
    if (!TextUtil::isValidUTF8(text)) return std::nullopt;
    return text;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string toHexString(std::string_view text) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(text.size() * 2);
    for (unsigned char byte : text) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

std::optional<std::string> TextCipher::doEncryptStr(std::string_view text) {
    auto cipherText = encipher(text);
    if (!cipherText) return std::nullopt;
    return Base64Codec::stringByEncodingBytes(cipherText->data(), cipherText->size());
}

std::optional<std::string> TextCipher::doDecEncryptStr(std::string_view base64) {
    auto cipherText = Base64Codec::decodeString(base64);
    if (!cipherText) return std::nullopt;
    return decipher(cipherText->span());
}

std::optional<std::string> TextCipher::doEncryptHex(std::string_view text) {
    auto cipherText = encipher(text);
    if (!cipherText) return std::nullopt;
    return toHexString(*cipherText);
}

std::optional<std::string> TextCipher::doDecEncryptHex(std::string_view hex) {
    std::vector<uint8_t> cipherText(hex.size() / 2);
    for (size_t i = 0; i < cipherText.size(); ++i) {
        int high = hexValue(hex[2 * i]);
        int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        cipherText[i] = uint8_t(high << 4 | low);
    }
    return decipher(cipherText);
}
