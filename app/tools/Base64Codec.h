// Base64 with the standard alphabet ("+", "/") and the URL- and filename-safe one ("-", "_"), "=" padding.
//
// Encoding writes no line breaks; padding is written, or left out for the web-safe forms when asked. The
// decoder is tolerant: it skips tab, line feed, vertical tab, form feed, carriage return, space and the
// bytes 160 and 255 anywhere, stops at a NUL byte, and takes "=" as the end of the data (only skippable
// bytes may follow the padding). It refuses a byte outside the alphabet, a lone character left over, a
// final group whose unused bits are not zero, and, where padding is required, a group left short.
//
// Every failure is nil (nullopt), or 0 from the core routines; empty input, either way, is nil as well.
// Nothing is thrown.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

class Base64Codec {
  public:
    enum class Padded { No, Yes };
    enum class RequirePadding { No, Yes };

    // A decode table maps a byte to its 6-bit value, or to kInvalid for a byte outside the alphabet.
    using DecodeTable = std::array<uint8_t, 256>;
    static constexpr uint8_t kInvalid = 99;

    // The 64-character alphabets and their decode tables.
    static const char* standardCharset();
    static const char* webSafeCharset();
    static const DecodeTable& standardDecodeTable();
    static const DecodeTable& webSafeDecodeTable();

    // Standard alphabet, padding written.
    static std::optional<Data> encodeData(const Data& data);
    static std::optional<Data> encodeBytes(const void* bytes, size_t length);
    static std::optional<std::string> stringByEncodingData(const Data& data);
    static std::optional<std::string> stringByEncodingBytes(const void* bytes, size_t length);

    // Standard alphabet, padding required. A string must be ASCII.
    static std::optional<Data> decodeData(const Data& data);
    static std::optional<Data> decodeBytes(const void* bytes, size_t length);
    static std::optional<Data> decodeString(std::string_view string);

    // Web-safe alphabet, padding as asked.
    static std::optional<Data> webSafeEncodeData(const Data& data, Padded padded);
    static std::optional<Data> webSafeEncodeBytes(const void* bytes, size_t length, Padded padded);
    static std::optional<std::string> stringByWebSafeEncodingData(const Data& data, Padded padded);
    static std::optional<std::string> stringByWebSafeEncodingBytes(const void* bytes, size_t length,
                                                                   Padded padded);

    // Web-safe alphabet, padding optional. A string must be ASCII.
    static std::optional<Data> webSafeDecodeData(const Data& data);
    static std::optional<Data> webSafeDecodeBytes(const void* bytes, size_t length);
    static std::optional<Data> webSafeDecodeString(std::string_view string);

    // Any alphabet: data of exactly the encoded length, or the decoded bytes.
    static std::optional<Data> baseEncode(const void* bytes, size_t length, const char* charset,
                                          Padded padded);
    static std::optional<Data> baseDecode(const void* bytes, size_t length, const DecodeTable& table,
                                          RequirePadding requirePadding);

    // The core routines; they return the characters written, or the bytes decoded, and 0 on any failure
    // (no source, no room, bad input). The encoder writes nothing unless it has `encodedLength` bytes of
    // room. The decoder never writes past `destLen` and fails when the data does not fit; the entry points
    // above give it `decodeCapacity(srcLen)`, which always does. Leftover bits are checked in the decoder
    // itself, so the destination need not be zeroed.
    static size_t baseEncode(const uint8_t* src, size_t srcLen, char* destBytes, size_t destLen,
                             const char* charset, Padded padded);
    static size_t baseDecode(const char* src, size_t srcLen, uint8_t* destBytes, size_t destLen,
                             const DecodeTable& table, RequirePadding requirePadding);

    // Characters that `length` bytes encode to.
    static size_t encodedLength(size_t length, Padded padded);
    // Room the decoder wants for `length` characters: ((length + 3) / 4) x 3.
    static size_t decodeCapacity(size_t length);

    Base64Codec() = delete;
};
