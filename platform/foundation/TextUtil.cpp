#include "platform/foundation/TextUtil.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <iterator>

namespace TextUtil {

namespace {

struct Decoded {
    char32_t codePoint;
    size_t bytes;  // at least 1
    bool valid;
};

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF. An invalid byte is
// consumed alone so that the next byte gets its own chance.
Decoded decodeAt(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80) return {b0, 1, true};
    size_t need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {0xFFFD, 1, false};
    }
    if (i + need >= s.size()) return {0xFFFD, 1, false};  // truncated sequence
    for (size_t k = 1; k <= need; ++k) {
        unsigned char b = byte(i + k);
        unsigned char min = k == 1 ? lo : 0x80, max = k == 1 ? hi : 0xBF;
        if (b < min || b > max) return {0xFFFD, 1, false};
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, need + 1, true};
}

size_t unitsOf(const Decoded& d) {
    return d.codePoint >= 0x10000 ? 2 : 1;
}

// Converts to single bytes when every character is at most `limit`.
std::optional<std::string> narrow(std::string_view utf8, char32_t limit) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        Decoded d = decodeAt(utf8, i);
        if (!d.valid || d.codePoint > limit) return std::nullopt;
        out += char(d.codePoint);
        i += d.bytes;
    }
    return out;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> makeDecodeTable() {
    std::array<int8_t, 256> table{};
    for (auto& v : table) v = -1;
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
    return table;
}
constexpr auto kDecode = makeDecodeTable();

}  // namespace

void appendUTF8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

size_t utf16Length(std::string_view utf8) {
    size_t units = 0;
    for (size_t i = 0; i < utf8.size();) {
        Decoded d = decodeAt(utf8, i);
        units += unitsOf(d);
        i += d.bytes;
    }
    return units;
}

std::optional<size_t> utf8Offset(std::string_view utf8, size_t utf16Index) {
    size_t units = 0, i = 0;
    while (units < utf16Index && i < utf8.size()) {
        Decoded d = decodeAt(utf8, i);
        units += unitsOf(d);
        i += d.bytes;
    }
    if (units != utf16Index) return std::nullopt;  // past the end, or inside a pair
    return i;
}

std::optional<size_t> utf16Index(std::string_view utf8, size_t byteOffset) {
    if (byteOffset > utf8.size()) return std::nullopt;
    size_t units = 0, i = 0;
    while (i < byteOffset) {
        Decoded d = decodeAt(utf8, i);
        units += unitsOf(d);
        i += d.bytes;
    }
    if (i != byteOffset) return std::nullopt;
    return units;
}

std::optional<std::string> substring(std::string_view utf8, NSRange range) {
    if (range.length > SIZE_MAX - range.location) return std::nullopt;
    auto begin = utf8Offset(utf8, range.location);
    auto end = utf8Offset(utf8, range.location + range.length);
    if (!begin || !end) return std::nullopt;
    return std::string(utf8.substr(*begin, *end - *begin));
}

std::optional<std::string> replacing(std::string_view utf8, NSRange range, std::string_view replacement) {
    if (range.length > SIZE_MAX - range.location) return std::nullopt;
    auto begin = utf8Offset(utf8, range.location);
    auto end = utf8Offset(utf8, range.location + range.length);
    if (!begin || !end) return std::nullopt;
    std::string out;
    out.reserve(utf8.size() - (*end - *begin) + replacement.size());
    out.append(utf8.substr(0, *begin)).append(replacement).append(utf8.substr(*end));
    return out;
}

bool isValidUTF8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        Decoded d = decodeAt(text, i);
        if (!d.valid) return false;
        i += d.bytes;
    }
    return true;
}

std::optional<std::string> toASCII(std::string_view utf8) {
    return narrow(utf8, 0x7F);
}
std::optional<std::string> toLatin1(std::string_view utf8) {
    return narrow(utf8, 0xFF);
}

std::string fromLatin1(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (char c : latin1) appendUTF8(out, static_cast<unsigned char>(c));
    return out;
}

std::optional<std::u16string> toUTF16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        Decoded d = decodeAt(utf8, i);
        if (!d.valid) return std::nullopt;
        if (d.codePoint >= 0x10000) {
            char32_t v = d.codePoint - 0x10000;
            out += char16_t(0xD800 + (v >> 10));
            out += char16_t(0xDC00 + (v & 0x3FF));
        } else {
            out += char16_t(d.codePoint);
        }
        i += d.bytes;
    }
    return out;
}

std::optional<std::string> fromUTF16(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t u = utf16[i];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) return std::nullopt;
            u = 0x10000 + ((u - 0xD800) << 10) + (char32_t(utf16[++i]) - 0xDC00);
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return std::nullopt;
        }
        appendUTF8(out, u);
    }
    return out;
}

std::string base64Encode(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(bytes[i]) << 16 | (rest == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string base64Encode(std::string_view bytes) {
    return base64Encode(
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<Data> base64Decode(std::string_view text, Whitespace whitespace) {
    std::string compact;
    if (whitespace == Whitespace::Ignore) {
        compact.reserve(text.size());
        for (char c : text)
            if (!isSpace(c)) compact += c;
        text = compact;
    }
    if (text.size() % 4 != 0) return std::nullopt;  // truncated final group or missing padding
    size_t padding = 0;
    while (padding < text.size() && padding < 3 && text[text.size() - 1 - padding] == '=') ++padding;
    if (padding > 2) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    size_t payload = text.size() - padding;
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t group = 0;
        for (size_t k = 0; k < 4; ++k) {
            uint32_t v = 0;
            if (i + k < payload) {
                int8_t d = kDecode[static_cast<unsigned char>(text[i + k])];
                if (d < 0) return std::nullopt;  // outside the alphabet, or "=" before the end
                v = uint32_t(d);
            }
            group = group << 6 | v;
        }
        out.push_back(uint8_t(group >> 16));
        if (i + 2 < payload) out.push_back(uint8_t(group >> 8));
        if (i + 3 < payload) out.push_back(uint8_t(group));
    }
    return Data(std::move(out));
}

std::string toLowerASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string toUpperASCII(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::string addressText(const void* pointer) {
    char text[2 + 2 * sizeof(uintptr_t)] = {'0', 'x'};
    const auto end = std::to_chars(text + 2, std::end(text), reinterpret_cast<uintptr_t>(pointer), 16).ptr;
    return std::string(text, end);
}

std::string_view trim(std::string_view text) {
    size_t b = 0, e = text.size();
    while (b < e && isSpace(text[b])) ++b;
    while (e > b && isSpace(text[e - 1])) --e;
    return text.substr(b, e - b);
}

}  // namespace TextUtil
