// Text in and text out through triple DES, and a string's UTF-8 bytes as hexadecimal.
//
// The cipher is triple DES in ECB mode with PKCS#7 padding under one key built into the app (the 24 ASCII
// bytes of kTextCipherKey), so equal texts give equal cipher texts and anyone holding the binary can read
// them: it hides text from a casual look, nothing more. Both stay as they are so that texts enciphered
// earlier still decipher. Cipher text is written as standard, padded Base64 or as lower-case hexadecimal.
//
// Every result is nullopt on failure. Enciphering refuses text that is not valid UTF-8 (it could never be
// deciphered back). Deciphering refuses text that does not decode (bad Base64, a non-hex digit), cipher
// text that the key does not fit (wrong length, damaged padding) and a result that is not UTF-8. In hex,
// an odd last character (a trailing newline, say) is ignored.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr const char* kTextCipherKey = "5D2E8A0C7B41F9360E4DA17B";

class TextCipher {
  public:
    // Plain text to Base64 cipher text, and back.
    static std::optional<std::string> doEncryptStr(std::string_view text);
    static std::optional<std::string> doDecEncryptStr(std::string_view base64);
    // Plain text to hexadecimal cipher text, and back.
    static std::optional<std::string> doEncryptHex(std::string_view text);
    static std::optional<std::string> doDecEncryptHex(std::string_view hex);

    TextCipher() = delete;
};

// The string's UTF-8 bytes, two lower-case hex digits each; "" for "".
std::string toHexString(std::string_view text);
