// Text helpers for UTF-8 strings measured the platform's way, in UTF-16 code units.
//
// Strings are UTF-8 (`std::string`); where the platform counts characters it counts UTF-16 units, so an
// emoji outside the Basic Multilingual Plane is 2 units and "e" + a combining accent is 2 units. A byte that
// is not part of valid UTF-8 counts as one unit (it would read as U+FFFD). Everything that can fail returns
// std::optional; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

// A range of UTF-16 units.
struct NSRange {
    size_t location = 0;
    size_t length = 0;
    bool operator==(const NSRange&) const = default;
};

namespace TextUtil {

size_t utf16Length(std::string_view utf8);
// The byte offset of UTF-16 unit `index` (index == length gives the byte length); nullopt past the end or
// between the two halves of a surrogate pair.
std::optional<size_t> utf8Offset(std::string_view utf8, size_t utf16Index);
// The UTF-16 index of byte `offset`; nullopt past the end or inside a multi-byte character.
std::optional<size_t> utf16Index(std::string_view utf8, size_t byteOffset);

// nullopt when the range runs past the end or either end splits a surrogate pair.
std::optional<std::string> substring(std::string_view utf8, NSRange range);
std::optional<std::string> replacing(std::string_view utf8, NSRange range, std::string_view replacement);

bool isValidUTF8(std::string_view text);
// nullopt when a character has no place in the target encoding (or the input is not valid UTF-8).
std::optional<std::string> toASCII(std::string_view utf8);
std::optional<std::string> toLatin1(std::string_view utf8);  // one byte per character
std::string fromLatin1(std::string_view latin1);
std::optional<std::u16string> toUTF16(std::string_view utf8);
std::optional<std::string> fromUTF16(std::u16string_view utf16);  // nullopt on an unpaired surrogate
// Appends the UTF-8 form of `codePoint`; a surrogate or a value above U+10FFFF appends U+FFFD instead.
void appendUTF8(std::string& out, char32_t codePoint);

// Base64 with the standard alphabet of RFC 4648 and "=" padding, no line breaks.
std::string base64Encode(std::span<const uint8_t> bytes);
std::string base64Encode(std::string_view bytes);
enum class Whitespace { Reject, Ignore };
// nullopt for characters outside the alphabet, wrong padding or a truncated final group.
std::optional<Data> base64Decode(std::string_view text, Whitespace whitespace = Whitespace::Reject);

std::string toLowerASCII(std::string_view text);
std::string toUpperASCII(std::string_view text);
// Equal once ASCII letters are folded to one case (header names, schemes); allocates nothing.
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
// A non-null pointer as "%p" writes it ("0x" and lower-case hex), without a formatted print.
std::string addressText(const void* pointer);
// Strips ASCII whitespace (space, tab, CR, LF, VT, FF) from both ends.
std::string_view trim(std::string_view text);

}  // namespace TextUtil
