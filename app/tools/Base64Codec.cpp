#include "app/tools/Base64Codec.h"

#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr char kStandardCharset[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kWebSafeCharset[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr char kPad = '=';

constexpr Base64Codec::DecodeTable makeDecodeTable(const char* charset) {
    Base64Codec::DecodeTable table{};
    for (auto& entry : table) entry = Base64Codec::kInvalid;
    for (uint8_t i = 0; i < 64; ++i) table[uint8_t(charset[i])] = i;
    return table;
}

constexpr Base64Codec::DecodeTable kStandardTable = makeDecodeTable(kStandardCharset);
constexpr Base64Codec::DecodeTable kWebSafeTable = makeDecodeTable(kWebSafeCharset);

// Bytes the decoder passes over wherever they stand.
constexpr std::array<bool, 256> makeSkipTable() {
    std::array<bool, 256> table{};
    for (int c : {9, 10, 11, 12, 13, 32, 160, 255}) table[size_t(c)] = true;
    return table;
}
constexpr std::array<bool, 256> kSkip = makeSkipTable();

bool isSkipped(char c) {
    return kSkip[uint8_t(c)];
}

bool isASCII(std::string_view text) {
    for (char c : text) {
        if (uint8_t(c) >= 0x80) return false;
    }
    return true;
}

std::optional<std::string> asString(const std::optional<Data>& data) {
    if (!data) return std::nullopt;
    return data->toString();
}

// What follows a "=" at `at`: true when the padding is well-formed for a group left in `state`.
bool paddingIsValid(const char* src, size_t srcLen, size_t at, int state) {
    if (state < 2) return false;
    if (at + 1 == srcLen) return state == 3;
    size_t i = at + 1;
    if (state == 2) {
        // A second "=" must come next, skippable bytes aside.
        while (i < srcLen && isSkipped(src[i])) ++i;
        if (i == srcLen || src[i] != kPad) return false;
        ++i;
    }
    for (; i < srcLen && src[i] != '\0'; ++i) {
        if (!isSkipped(src[i])) return false;
    }
    return true;
}

}  // namespace

const char* Base64Codec::standardCharset() {
    return kStandardCharset;
}
const char* Base64Codec::webSafeCharset() {
    return kWebSafeCharset;
}
const Base64Codec::DecodeTable& Base64Codec::standardDecodeTable() {
    return kStandardTable;
}
const Base64Codec::DecodeTable& Base64Codec::webSafeDecodeTable() {
    return kWebSafeTable;
}

size_t Base64Codec::encodedLength(size_t length, Padded padded) {
    if (length > (std::numeric_limits<size_t>::max() - 16) / 8) return 0;
    size_t unpadded = (length * 8 + 5) / 6;
    return padded == Padded::Yes ? (unpadded + 3) & ~size_t(3) : unpadded;
}

size_t Base64Codec::decodeCapacity(size_t length) {
    if (length > std::numeric_limits<size_t>::max() / 2) return 0;
    return (length + 3) / 4 * 3;
}

size_t Base64Codec::baseEncode(const uint8_t* src, size_t srcLen, char* destBytes, size_t destLen,
                               const char* charset, Padded padded) {
    if (!src || srcLen == 0 || !destBytes || destLen == 0 || !charset) return 0;
    size_t needed = encodedLength(srcLen, padded);
    if (needed == 0 || destLen < needed) return 0;

    char* out = destBytes;
    size_t i = 0;
    for (; i + 3 <= srcLen; i += 3) {
        uint8_t b0 = src[i], b1 = src[i + 1], b2 = src[i + 2];
        *out++ = charset[b0 >> 2];
        *out++ = charset[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = charset[((b1 & 15) << 2) | (b2 >> 6)];
        *out++ = charset[b2 & 63];
    }
    size_t left = srcLen - i;
    if (left == 2) {
        uint8_t b0 = src[i], b1 = src[i + 1];
        *out++ = charset[b0 >> 2];
        *out++ = charset[((b0 & 3) << 4) | (b1 >> 4)];
        *out++ = charset[(b1 & 15) << 2];
        if (padded == Padded::Yes) *out++ = kPad;
    } else if (left == 1) {
        uint8_t b0 = src[i];
        *out++ = charset[b0 >> 2];
        *out++ = charset[(b0 & 3) << 4];
        if (padded == Padded::Yes) {
            *out++ = kPad;
            *out++ = kPad;
        }
    }
    return size_t(out - destBytes);
}

size_t Base64Codec::baseDecode(const char* src, size_t srcLen, uint8_t* destBytes, size_t destLen,
                               const DecodeTable& table, RequirePadding requirePadding) {
    if (!src || srcLen == 0 || !destBytes || destLen == 0) return 0;

    size_t pos = 0;
    int state = 0;        // characters of the current group read so far
    uint8_t pending = 0;  // bits of the byte being assembled
    bool padded = false;
    auto put = [&](uint8_t byte) {
        if (pos >= destLen) return false;
        destBytes[pos++] = byte;
        return true;
    };

    for (size_t i = 0; i < srcLen && src[i] != '\0'; ++i) {
        char c = src[i];
        if (isSkipped(c)) continue;
        if (c == kPad) {
            if (!paddingIsValid(src, srcLen, i, state)) return 0;
            padded = true;
            break;
        }
        uint8_t v = table[uint8_t(c)];
        if (v == kInvalid) return 0;
        switch (state) {
            case 0:
                pending = uint8_t(v << 2);
                state = 1;
                break;
            case 1:
                if (!put(uint8_t(pending | (v >> 4)))) return 0;
                pending = uint8_t(v << 4);
                state = 2;
                break;
            case 2:
                if (!put(uint8_t(pending | (v >> 2)))) return 0;
                pending = uint8_t(v << 6);
                state = 3;
                break;
            default:
                if (!put(uint8_t(pending | v))) return 0;
                pending = 0;
                state = 0;
                break;
        }
    }

    if (!padded) {
        if (requirePadding == RequirePadding::Yes ? state != 0 : state == 1) return 0;
    }
    // Bits of an incomplete group that no whole byte took must be zero.
    if (state != 0 && pending != 0) return 0;
    return pos;
}

std::optional<Data> Base64Codec::baseEncode(const void* bytes, size_t length, const char* charset,
                                            Padded padded) {
    size_t size = encodedLength(length, padded);
    if (!bytes || size == 0) return std::nullopt;
    std::vector<uint8_t> out(size);
    auto* dest = reinterpret_cast<char*>(out.data());
    size_t written =
        baseEncode(static_cast<const uint8_t*>(bytes), length, dest, out.size(), charset, padded);
    if (written == 0) return std::nullopt;
    out.resize(written);
    return Data(std::move(out));
}

std::optional<Data> Base64Codec::baseDecode(const void* bytes, size_t length, const DecodeTable& table,
                                            RequirePadding requirePadding) {
    size_t capacity = decodeCapacity(length);
    if (!bytes || capacity == 0) return std::nullopt;
    std::vector<uint8_t> out(capacity);
    size_t decoded =
        baseDecode(static_cast<const char*>(bytes), length, out.data(), out.size(), table, requirePadding);
    if (decoded == 0) return std::nullopt;
    out.resize(decoded);
    return Data(std::move(out));
}

std::optional<Data> Base64Codec::encodeData(const Data& data) {
    return encodeBytes(data.bytes(), data.length());
}

std::optional<Data> Base64Codec::encodeBytes(const void* bytes, size_t length) {
    return baseEncode(bytes, length, kStandardCharset, Padded::Yes);
}

std::optional<std::string> Base64Codec::stringByEncodingData(const Data& data) {
    return asString(encodeData(data));
}

std::optional<std::string> Base64Codec::stringByEncodingBytes(const void* bytes, size_t length) {
    return asString(encodeBytes(bytes, length));
}

std::optional<Data> Base64Codec::decodeData(const Data& data) {
    return decodeBytes(data.bytes(), data.length());
}

std::optional<Data> Base64Codec::decodeBytes(const void* bytes, size_t length) {
    return baseDecode(bytes, length, kStandardTable, RequirePadding::Yes);
}

std::optional<Data> Base64Codec::decodeString(std::string_view string) {
    if (!isASCII(string)) return std::nullopt;
    return decodeBytes(string.data(), string.size());
}

std::optional<Data> Base64Codec::webSafeEncodeData(const Data& data, Padded padded) {
    return webSafeEncodeBytes(data.bytes(), data.length(), padded);
}

std::optional<Data> Base64Codec::webSafeEncodeBytes(const void* bytes, size_t length, Padded padded) {
    return baseEncode(bytes, length, kWebSafeCharset, padded);
}

std::optional<std::string> Base64Codec::stringByWebSafeEncodingData(const Data& data, Padded padded) {
    return asString(webSafeEncodeData(data, padded));
}

std::optional<std::string> Base64Codec::stringByWebSafeEncodingBytes(const void* bytes, size_t length,
                                                                     Padded padded) {
    return asString(webSafeEncodeBytes(bytes, length, padded));
}

std::optional<Data> Base64Codec::webSafeDecodeData(const Data& data) {
    return webSafeDecodeBytes(data.bytes(), data.length());
}

std::optional<Data> Base64Codec::webSafeDecodeBytes(const void* bytes, size_t length) {
    return baseDecode(bytes, length, kWebSafeTable, RequirePadding::No);
}

std::optional<Data> Base64Codec::webSafeDecodeString(std::string_view string) {
    if (!isASCII(string)) return std::nullopt;
    return webSafeDecodeBytes(string.data(), string.size());
}
