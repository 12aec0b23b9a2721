#include "platform/foundation/Format.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>

#include "platform/foundation/TextUtil.h"

namespace NSString {

namespace {

// Widths and precisions beyond this are clamped: no format asks for more, and a typo must not allocate
// gigabytes.
constexpr long kMaxField = 4096;

enum class Length { None, Char, Short, Long, LongLong, Wide };

struct Directive {
    std::string flags;  // subset of "-+ #0", each at most once
    std::optional<long> width;
    std::optional<long> precision;
    Length length = Length::None;
    char conversion = 0;
};

bool hasFlag(const Directive& s, char f) {
    return s.flags.find(f) != std::string::npos;
}

// Character classes asked of every directive of every log line: a table lookup, not a search.
using CharacterSet = std::array<bool, 256>;

constexpr CharacterSet characterSet(std::string_view members) {
    CharacterSet set{};
    for (char c : members) set[static_cast<unsigned char>(c)] = true;
    return set;
}

constexpr CharacterSet kFlagCharacters = characterSet("-+ #0'");
constexpr CharacterSet kConversions = characterSet("@sSdiDuUxXoOfFeEgGaAcCp");

bool isIn(const CharacterSet& set, char c) {
    return set[static_cast<unsigned char>(c)];
}

class Arguments {
  public:
    explicit Arguments(std::span<const Value> args) : args_(args) {}
    // The next argument in order, or the one at 1-based `position`; nullptr when missing.
    const Value* take(std::optional<size_t> position) {
        size_t index = position ? *position - 1 : next_++;
        return index < args_.size() ? &args_[index] : nullptr;
    }

  private:
    std::span<const Value> args_;
    size_t next_ = 0;
};

// Reads decimal digits at `i`; nullopt when there are none. Saturates at kMaxField.
std::optional<long> readNumber(std::string_view f, size_t& i) {
    if (i >= f.size() || f[i] < '0' || f[i] > '9') return std::nullopt;
    long n = 0;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9') n = std::min(kMaxField + 1, n * 10 + (f[i++] - '0'));
    return n;
}

// "N$" after a number makes it a position.
std::optional<size_t> readPosition(std::string_view f, size_t& i) {
    size_t j = i;
    auto n = readNumber(f, j);
    if (n && *n > 0 && j < f.size() && f[j] == '$') {
        i = j + 1;
        return size_t(*n);
    }
    return std::nullopt;
}

std::string padded(std::string body, const Directive& directive) {
    if (!directive.width) return body;
    size_t units = TextUtil::utf16Length(body);
    size_t width = size_t(std::min(*directive.width, kMaxField));
    if (units >= width) return body;
    std::string pad(width - units, ' ');
    return hasFlag(directive, '-') ? body + pad : pad + body;
}

// Text conversions: precision limits UTF-16 units without cutting a character in two.
std::string formatText(const std::string& text, const Directive& directive) {
    std::string body = text;
    if (directive.precision) {
        size_t limit = size_t(std::min(*directive.precision, kMaxField));
        size_t units = 0, i = 0;
        while (i < text.size()) {
            size_t next = i + 1;
            while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80) ++next;
            size_t u = TextUtil::utf16Length(std::string_view(text).substr(i, next - i));
            if (units + u > limit) break;
            units += u;
            i = next;
        }
        body = text.substr(0, i);
    }
    return padded(std::move(body), directive);
}

// A C conversion directive built only from parsed, checked pieces.
std::string cDirective(const Directive& directive, const char* lengthModifier, char conversion) {
    std::string out = "%" + directive.flags;
    if (directive.width) out += std::to_string(std::min(*directive.width, kMaxField));
    if (directive.precision) {
        out += '.';
        out += std::to_string(std::min(*directive.precision, kMaxField));
    }
    out += lengthModifier;
    out += conversion;
    return out;
}

template <class T>
std::string cFormat(const std::string& format, T value) {
    char small[128];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = std::snprintf(small, sizeof small, format.c_str(), value);
    if (n < 0) return {};
    if (size_t(n) < sizeof small) return std::string(small, size_t(n));
    std::string out(size_t(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format.c_str(), value);
#pragma GCC diagnostic pop
    out.resize(size_t(n));
    return out;
}

std::string formatSigned(const Value& v, const Directive& directive) {
    // The full value always prints: a Value knows its width, so nothing is cut to 32 bits by mistake.
    if (v.kind() == Value::Kind::UInt && directive.length != Length::Char &&
        directive.length != Length::Short)
        return cFormat(cDirective(directive, "ll", 'u'),
                       static_cast<unsigned long long>(v.unsignedIntegerValue()));
    long long n = static_cast<long long>(v.integerValue());
    if (directive.length == Length::Char) n = static_cast<signed char>(n);
    if (directive.length == Length::Short) n = static_cast<short>(n);
    return cFormat(cDirective(directive, "ll", directive.conversion == 'i' ? 'd' : directive.conversion), n);
}

unsigned long long unsignedArgument(const Value& v, const Directive& directive) {
    if (v.isObject()) return reinterpret_cast<uintptr_t>(v.asObject().get());
    unsigned long long n;
    if (v.kind() == Value::Kind::UInt || v.kind() == Value::Kind::Double) {
        n = v.unsignedIntegerValue();
        if (v.kind() == Value::Kind::Double && v.doubleValue() < 0) n = uint64_t(v.integerValue());
    } else {
        n = uint64_t(v.integerValue());
    }
    switch (directive.length) {
        case Length::Char:
            return static_cast<unsigned char>(n);
        case Length::Short:
            return static_cast<unsigned short>(n);
        case Length::None: {
            // A small negative number prints as the C int it stands for (-1 is ffffffff).
            int64_t s = int64_t(n);
            if (s < 0 && s >= INT_MIN) return static_cast<unsigned>(s);
            return n;
        }
        default:
            return n;
    }
}

std::string formatUnsigned(const Value& v, const Directive& directive) {
    char conversion = directive.conversion == 'D' ? 'd' : directive.conversion;
    return cFormat(cDirective(directive, "ll", conversion), unsignedArgument(v, directive));
}

std::string formatFloat(const Value& v, const Directive& directive) {
    return cFormat(cDirective(directive, "", directive.conversion), v.doubleValue());
}

std::string formatPointer(const Value& v, const Directive& directive) {
    uintptr_t p;
    if (v.isObject())
        p = reinterpret_cast<uintptr_t>(v.asObject().get());
    else if (v.isArray() || v.isDictionary() || v.isSet())
        p = reinterpret_cast<uintptr_t>(v.identity());
    else
        p = uintptr_t(v.unsignedIntegerValue());
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(p));
    return padded(buf, directive);
}

std::string encodeCharacter(uint64_t code) {
    if (code == 0) return {};
    bool valid = code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
    char16_t units[2];
    size_t count = 1;
    if (!valid) {
        units[0] = 0xFFFD;
    } else if (code >= 0x10000) {
        units[0] = char16_t(0xD800 + ((code - 0x10000) >> 10));
        units[1] = char16_t(0xDC00 + ((code - 0x10000) & 0x3FF));
        count = 2;
    } else {
        units[0] = char16_t(code);
    }
    return TextUtil::fromUTF16(std::u16string_view(units, count)).value_or(std::string());
}

std::string formatCharacter(const Value& v, const Directive& directive) {
    std::string body;
    if (auto s = v.asString()) {
        // The whole first character, never half of a multi-byte sequence.
        size_t end = s->empty() ? 0 : 1;
        while (end < s->size() && (static_cast<unsigned char>((*s)[end]) & 0xC0) == 0x80) ++end;
        body = s->substr(0, end);
    } else {
        body = encodeCharacter(v.unsignedIntegerValue());
    }
    return padded(std::move(body), directive);
}

std::string convert(const Value& v, const Directive& directive) {
    switch (directive.conversion) {
        case '@':
            return formatText(v.stringValue(), directive);
        case 's':
        case 'S':
            return formatText(v.isNull() ? std::string("(null)") : v.stringValue(), directive);
        case 'd':
        case 'i':
            return formatSigned(v, directive);
        case 'D':
        case 'u':
        case 'U':
        case 'x':
        case 'X':
        case 'o':
        case 'O': {
            Directive s = directive;
            if (s.conversion == 'U' || s.conversion == 'D') s.conversion = 'u';
            if (s.conversion == 'O') s.conversion = 'o';
            return formatUnsigned(v, s);
        }
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            return formatFloat(v, directive);
        case 'c':
        case 'C':
            return formatCharacter(v, directive);
        case 'p':
            return formatPointer(v, directive);
        default:
            return {};
    }
}

// The directives log lines use (%d %ld %lu %u %x %s %@ %f ... with "-" or "0", width and, for floats, a
// precision) written straight into `out`, without building a C format; false leaves the directive to
// `convert`, whose output these match byte for byte.
bool appendDirect(const Value& v, const Directive& directive, std::string& out) {
    for (char flag : directive.flags)
        if (flag != '-' && flag != '0') return false;
    const char c = directive.conversion;
    if (c == '@' || c == 's' || c == 'S') {
        const std::string* text = v.asString();
        if (!text || directive.width || directive.precision) return false;
        out += *text;
        return true;
    }
    char buffer[400];
    char* const first = buffer + 1;  // room for a sign put in front
    char* last;
    bool negative = false;
    if (c == 'd' || c == 'i' || c == 'u' || c == 'x' || c == 'X' || c == 'o') {
        if (directive.precision || directive.length == Length::Char || directive.length == Length::Short)
            return false;
        unsigned long long magnitude;
        if (c == 'd' || c == 'i') {
            if (v.kind() == Value::Kind::UInt) {
                magnitude = v.unsignedIntegerValue();
            } else if (v.kind() == Value::Kind::Int) {
                const long long n = static_cast<long long>(v.integerValue());
                negative = n < 0;
                magnitude =
                    negative ? 0ULL - static_cast<unsigned long long>(n) : static_cast<unsigned long long>(n);
            } else {
                return false;
            }
        } else {
            magnitude = unsignedArgument(v, directive);
        }
        const int base = c == 'x' || c == 'X' ? 16 : c == 'o' ? 8 : 10;
        last = std::to_chars(first, std::end(buffer), magnitude, base).ptr;
        if (c == 'X') std::transform(first, last, first, [](char d) { return d >= 'a' ? char(d - 32) : d; });
    } else if (c == 'f' || c == 'e' || c == 'g') {
        // Infinities and NaNs pad with spaces even under "0": the general path keeps those.
        const double d = v.doubleValue();
        if (!std::isfinite(d)) return false;
        const int precision = int(std::min(directive.precision.value_or(6), kMaxField));
        const auto style = c == 'f'   ? std::chars_format::fixed
                           : c == 'e' ? std::chars_format::scientific
                                      : std::chars_format::general;
        negative = std::signbit(d);
        auto result = std::to_chars(first, std::end(buffer), std::fabs(d), style, precision);
        if (result.ec != std::errc()) return false;
        last = result.ptr;
    } else {
        return false;
    }
    const size_t length = size_t(last - first) + negative;
    const size_t width = size_t(std::min(directive.width.value_or(0), kMaxField));
    const size_t pad = width > length ? width - length : 0;
    const bool left = hasFlag(directive, '-');
    const bool zeros = !left && hasFlag(directive, '0');
    if (pad && !left && !zeros) out.append(pad, ' ');
    if (negative) out += '-';
    if (pad && zeros) out.append(pad, '0');
    out.append(first, last);
    if (pad && left) out.append(pad, ' ');
    return true;
}

// Reads a width or precision that is either digits or "*" (optionally "*N$"); `*` takes an argument.
std::optional<long> readField(std::string_view f, size_t& i, Arguments& args, bool& leftFromStar) {
    if (i < f.size() && f[i] == '*') {
        ++i;
        auto position = readPosition(f, i);
        const Value* v = args.take(position);
        if (!v) return std::nullopt;
        int64_t n = v->integerValue();
        if (n < 0) {
            leftFromStar = true;
            n = n == INT64_MIN ? kMaxField : -n;
        }
        return long(std::min<int64_t>(n, kMaxField));
    }
    return readNumber(f, i);
}

// Every call comes here; `direct` chooses whether the common directives skip the C formatter.
std::string formatArguments(std::string_view f, std::span<const Value> args, bool direct) {
    std::string out;
    out.reserve(f.size() + 16 * args.size());
    Arguments arguments{args};
    size_t i = 0;
    while (i < f.size()) {
        size_t percent = f.find('%', i);
        out.append(f.substr(i, percent == std::string_view::npos ? std::string_view::npos : percent - i));
        if (percent == std::string_view::npos) break;
        size_t start = percent;
        i = percent + 1;
        if (i < f.size() && f[i] == '%') {
            out += '%';
            ++i;
            continue;
        }

        Directive directive;
        auto position = readPosition(f, i);
        for (; i < f.size() && isIn(kFlagCharacters, f[i]); ++i)
            if (f[i] != '\'' && !hasFlag(directive, f[i]))
                directive.flags += f[i];  // grouping is not supported
        bool leftFromStar = false;
        directive.width = readField(f, i, arguments, leftFromStar);
        if (leftFromStar && !hasFlag(directive, '-')) directive.flags += '-';
        if (i < f.size() && f[i] == '.') {
            ++i;
            bool negativePrecision = false;
            directive.precision = readField(f, i, arguments, negativePrecision);
            if (negativePrecision)
                directive.precision.reset();  // a negative precision counts as none
            else if (!directive.precision)
                directive.precision = 0;  // "." alone means zero
        }
        if (i < f.size()) {
            switch (f[i]) {
                case 'h':
                    directive.length = Length::Short;
                    if (++i < f.size() && f[i] == 'h') directive.length = Length::Char, ++i;
                    break;
                case 'l':
                    directive.length = Length::Long;
                    if (++i < f.size() && f[i] == 'l') directive.length = Length::LongLong, ++i;
                    break;
                case 'q':
                case 'j':
                case 'z':
                case 't':
                case 'L':
                    directive.length = Length::Wide;
                    ++i;
                    break;
                default:
                    break;
            }
        }
        if (i >= f.size() || !isIn(kConversions, f[i])) {
            // Not a directive we know: keep it as written, including the character that ended it.
            if (i < f.size()) ++i;
            out.append(f.substr(start, i - start));
            continue;
        }
        directive.conversion = f[i++];
        const Value* v = arguments.take(position);
        if (v && !(direct && appendDirect(*v, directive, out))) out += convert(*v, directive);
    }
    return out;
}

}  // namespace

std::string format(std::string_view f, const std::vector<Value>& args) {
    return formatArguments(f, args, true);
}

std::string format(std::string_view f, std::initializer_list<Value> args) {
    return formatArguments(f, std::span<const Value>(args.begin(), args.size()), true);
}

std::string formatThroughC(std::string_view f, const std::vector<Value>& args) {
    return formatArguments(f, args, false);
}

}  // namespace NSString
