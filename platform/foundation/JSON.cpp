// JSON reading over simdjson straight into `Value`, and a writer of our own.
//
// simdjson validates the whole text (UTF-8 included) into a document that we walk with an explicit stack, so
// hostile nesting never grows the C++ stack; we still stop at kMaxDepth because every consumer of the result
// walks it recursively. simdjson says only *that* a text is bad, so a refused text is walked once more by
// TextChecker, which names the first offending byte and why. The checker also finds what simdjson refuses and
// we read: integers beyond 64 bits, which become doubles.
//
// The writer recurses, bounded by the same cap. Pretty-printed output indents by two spaces and separates
// keys from values with " : ".
#include "platform/foundation/JSON.h"
#include "platform/foundation/TextUtil.h"

#include <simdjson.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

namespace {

constexpr long kReadErrorCode = 3840;
constexpr long kWriteErrorCode = 3851;
constexpr const char* kErrorIndexKey = "NSJSONSerializationErrorIndex";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

NSErrorPtr readError(size_t index, const std::string& reason) {
    Value::Dictionary info;
    info[NSLocalizedDescriptionKey] =
        "The data couldn’t be read because it isn’t in the correct format: " + reason + " (at byte " +
        std::to_string(index) + ").";
    info[kErrorIndexKey] = Value(static_cast<unsigned long long>(index));
    return NSError::create(NSCocoaErrorDomain, kReadErrorCode, std::move(info));
}

NSErrorPtr writeError(const std::string& reason) {
    return NSError::withDescription(NSCocoaErrorDomain, kWriteErrorCode,
                                    "Invalid value for JSON: " + reason + ".");
}

std::string tooDeepReason() {
    return "nesting deeper than " + std::to_string(NSJSONSerialization::kMaxDepth) + " levels";
}

struct Fault {
    size_t index;
    std::string reason;
};

// Reads a text that simdjson refused, byte by byte, to find the first fault: the byte at which the text stops
// being JSON, or for a well-formed token in the wrong place its last byte. A byte-order mark may open the
// text (the caller has already skipped one); a NUL outside a string ends it.
class TextChecker {
  public:
    explicit TextChecker(std::string_view text) : text_(text) {}

    // The first fault, or nothing when the text is JSON.
    std::optional<Fault> check() {
        if (!byteOrderMark()) return fault_;
        std::vector<bool> open;  // per open container: is it an object?
        Token token;
        if (!next(token)) return fault_;
        for (;;) {
            // `token` starts a value.
            if (token == Token::BeginArray || token == Token::BeginObject) {
                if (open.size() >= size_t(NSJSONSerialization::kMaxDepth))
                    return failAt(last_, tooDeepReason());
                const bool isObject = token == Token::BeginObject;
                open.push_back(isObject);
                if (!next(token)) return fault_;
                if (token != closing(isObject)) {
                    if (isObject && !member(token)) return fault_;
                    continue;
                }
                open.pop_back();
            } else if (token != Token::String && token != Token::Scalar) {
                return failAt(last_, unexpected(token, "a value was expected"));
            }
            // After a value: a comma, the end of its container, or the end of the text.
            for (;;) {
                if (!next(token)) return fault_;
                if (open.empty()) {
                    if (token != Token::End)
                        return failAt(last_, "unexpected text after the top-level value");
                    return std::nullopt;
                }
                if (token == Token::Comma) {
                    if (!next(token) || (open.back() && !member(token))) return fault_;
                    break;
                }
                if (token != closing(open.back()))
                    return failAt(last_, unexpected(token, open.back() ? "',' or '}' was expected"
                                                                       : "',' or ']' was expected"));
                open.pop_back();
            }
        }
    }

    // Offsets just past each integer beyond 64 bits, in text order.
    const std::vector<size_t>& wideIntegerEnds() const { return wideIntegerEnds_; }

  private:
    enum class Token { BeginArray, EndArray, BeginObject, EndObject, Colon, Comma, String, Scalar, End };

    static Token closing(bool isObject) { return isObject ? Token::EndObject : Token::EndArray; }
    static const char* unexpected(Token token, const char* expected) {
        return token == Token::End ? "unexpected end of input" : expected;
    }

    std::optional<Fault> failAt(size_t index, std::string reason) {
        fail(index, std::move(reason));
        return fault_;
    }
    bool fail(size_t index, std::string reason) {
        fault_ = Fault{index, std::move(reason)};
        return false;
    }
    // Fails at the byte about to be read, or at the end of the text.
    bool failHere(const char* reason) {
        return fail(pos_, pos_ == text_.size() ? "unexpected end of input" : reason);
    }
    // The byte about to be read, or -1 at the end of the text.
    int peek() const { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1; }
    bool isDigit() const { return peek() >= '0' && peek() <= '9'; }

    bool byteOrderMark() {
        if (peek() != 0xEF) return true;
        for (const char c : kByteOrderMark) {
            if (peek() != static_cast<unsigned char>(c)) return failHere("an incomplete byte-order mark");
            ++pos_;
        }
        return true;
    }

    // An object member from its key (`token`) to the token that starts its value.
    bool member(Token& token) {
        if (token != Token::String) return fail(last_, unexpected(token, "an object key must be a string"));
        if (!next(token)) return false;
        if (token != Token::Colon)
            return fail(last_, unexpected(token, "':' was expected after an object key"));
        return next(token);
    }

    // Reads one token; `last_` is then the index of its last byte (of the end for Token::End).
    bool next(Token& token) {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
        last_ = pos_;
        token = Token::Scalar;
        if (peek() == -1 || peek() == 0) {
            token = Token::End;
            return true;
        }
        switch (text_[pos_++]) {
            case '[':
                token = Token::BeginArray;
                return true;
            case ']':
                token = Token::EndArray;
                return true;
            case '{':
                token = Token::BeginObject;
                return true;
            case '}':
                token = Token::EndObject;
                return true;
            case ':':
                token = Token::Colon;
                return true;
            case ',':
                token = Token::Comma;
                return true;
            case '"':
                token = Token::String;
                return string();
            case 't':
                return literal("rue");
            case 'f':
                return literal("alse");
            case 'n':
                return literal("ull");
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                return number();
            default:
                return fail(last_, "unexpected character");
        }
    }

    bool literal(std::string_view rest) {
        for (const char c : rest) {
            if (peek() != static_cast<unsigned char>(c)) return failHere("invalid literal");
            last_ = pos_++;
        }
        return true;
    }

    bool digits() {
        if (!isDigit()) return false;
        while (isDigit()) ++pos_;
        return true;
    }

    bool number() {
        const size_t start = last_;
        pos_ = start + (text_[start] == '-');
        const size_t integerStart = pos_;
        if (peek() == '0')
            ++pos_;  // a leading zero stands alone
        else if (!digits())
            return failHere("a digit was expected");
        bool integral = true;
        if (peek() == '.') {
            ++pos_;
            integral = false;
            if (!digits()) return failHere("a digit was expected after '.'");
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            integral = false;
            if (peek() == '+' || peek() == '-') ++pos_;
            if (!digits()) return failHere("a digit was expected in the exponent");
        }
        last_ = pos_ - 1;
        if (integral) {
            const std::string_view magnitude = text_.substr(integerStart, pos_ - integerStart);
            const std::string_view limit =
                start == integerStart ? "18446744073709551615" : "9223372036854775808";
            if (magnitude.size() < limit.size() || (magnitude.size() == limit.size() && magnitude <= limit))
                return true;
            wideIntegerEnds_.push_back(pos_);
        }
        // Reals and wide integers are read as doubles, which must be finite. strtod reads "1e-400" as 0 and
        // "1e400" as infinity; the C locale keeps '.' the decimal point whatever the process has set.
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
        const std::string text(text_.substr(start, pos_ - start));
        if (!std::isfinite(strtod_l(text.c_str(), nullptr, cLocale)))
            return fail(last_, "the number is out of range");
        return true;
    }

    // From after the opening quote to the closing one: escapes, unescaped control characters, UTF-8.
    bool string() {
        for (;;) {
            const int c = peek();
            if (c == '"') {
                last_ = pos_++;
                return true;
            }
            if (c == '\\') {
                ++pos_;
                if (!escape()) return false;
            } else if (c >= 0 && c < 0x20) {
                return failHere("an unescaped control character in a string");
            } else if (c >= 0x80) {
                if (!utf8Sequence(c)) return false;
            } else if (c == -1) {
                return failHere("unterminated string");
            } else {
                ++pos_;
            }
        }
    }

    bool escape() {
        const int c = peek();
        if (c != -1 && std::string_view("\"\\/bfnrt").find(char(c)) != std::string_view::npos) {
            ++pos_;
            return true;
        }
        if (c != 'u') return failHere("an invalid escape in a string");
        ++pos_;
        char16_t unit = 0;
        if (!hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(pos_ - 1, "a lone low surrogate in a string");
        if (unit < 0xD800 || unit > 0xDBFF) return true;
        const char* mustFollow = "a high surrogate must be followed by a low one";
        for (const char expected : {'\\', 'u'}) {
            if (peek() != expected) return failHere(mustFollow);
            ++pos_;
        }
        if (!hex4(unit)) return false;
        if (unit < 0xDC00 || unit > 0xDFFF) return fail(pos_ - 1, mustFollow);
        return true;
    }

    bool hex4(char16_t& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int c = peek();
            int digit = -1;
            if (c >= '0' && c <= '9') digit = c - '0';
            if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
            if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
            if (digit < 0) return failHere("'\\u' must be followed by four hex digits");
            unit = char16_t(unit * 16 + digit);
            ++pos_;
        }
        return true;
    }

    // One encoded character from its lead byte; the fault is at the first byte that cannot belong to it.
    bool utf8Sequence(int lead) {
        int continuations = 0, low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            if (lead == 0xE0) low = 0xA0;   // overlong
            if (lead == 0xED) high = 0x9F;  // surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            if (lead == 0xF0) low = 0x90;   // overlong
            if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
        } else {
            return failHere("invalid UTF-8 in a string");
        }
        ++pos_;
        for (int i = 0; i < continuations; ++i, low = 0x80, high = 0xBF) {
            if (peek() < low || peek() > high) return failHere("invalid UTF-8 in a string");
            ++pos_;
        }
        return true;
    }

    std::string_view text_;
    size_t pos_ = 0;
    size_t last_ = 0;
    std::optional<Fault> fault_;
    std::vector<size_t> wideIntegerEnds_;
};

// simdjson refuses integers beyond 64 bits; we read them as doubles, so they go back to it as reals.
std::string withWideIntegersAsReals(std::string_view text, const std::vector<size_t>& ends) {
    std::string out;
    out.reserve(text.size() + 2 * ends.size());
    size_t from = 0;
    for (const size_t end : ends) {
        out.append(text.substr(from, end - from));
        out += ".0";
        from = end;
    }
    out.append(text.substr(from));
    return out;
}

// Calls `make` with the scalar `element` holds, in the type that makes the right `Value`.
template <class Make>
auto scalar(simdjson::dom::element element, Make make) {
    switch (element.type()) {
        case simdjson::dom::element_type::INT64:
            return make(static_cast<long long>(element.get_int64().value_unsafe()));
        case simdjson::dom::element_type::UINT64:
            return make(static_cast<unsigned long long>(element.get_uint64().value_unsafe()));
        case simdjson::dom::element_type::DOUBLE:
            return make(element.get_double().value_unsafe());
        case simdjson::dom::element_type::STRING:
            return make(element.get_string().value_unsafe());
        case simdjson::dom::element_type::BOOL:
            return make(element.get_bool().value_unsafe());
        default:
            return make(nullptr);
    }
}

// Walks simdjson's document into a `Value`. Each frame holds the container it builds and where its reading
// is; scalars are made in place in their container.
class ValueBuilder {
  public:
    // Nothing when the document nests deeper than kMaxDepth.
    std::optional<Value> build(simdjson::dom::element root) {
        if (!isContainer(root)) return scalar(root, [](auto value) { return Value(value); });
        open(root);
        for (;;) {
            if (const auto element = nextElement()) {
                if (!isContainer(*element)) {
                    scalar(*element, [this](auto value) { add(value); });
                } else if (stack_.size() < size_t(NSJSONSerialization::kMaxDepth)) {
                    open(*element);
                } else {
                    return std::nullopt;
                }
                continue;
            }
            Value done =
                std::visit([](auto& frame) { return Value(std::move(frame.container)); }, stack_.back());
            stack_.pop_back();
            if (stack_.empty()) return done;
            add(std::move(done));
        }
    }

  private:
    struct ArrayFrame {
        Value::Array container;
        simdjson::dom::array::iterator at, end;
    };
    struct ObjectFrame {
        Value::Dictionary container;
        simdjson::dom::object::iterator at, end;
    };

    static bool isContainer(simdjson::dom::element element) {
        return element.type() == simdjson::dom::element_type::ARRAY ||
               element.type() == simdjson::dom::element_type::OBJECT;
    }

    // The next element of the innermost container, if it has one left.
    std::optional<simdjson::dom::element> nextElement() const {
        if (auto* array = std::get_if<ArrayFrame>(&stack_.back()))
            return array->at != array->end ? std::optional(*array->at) : std::nullopt;
        const auto& object = std::get<ObjectFrame>(stack_.back());
        return object.at != object.end ? std::optional(object.at.value()) : std::nullopt;
    }

    void open(simdjson::dom::element element) {
        if (element.type() == simdjson::dom::element_type::OBJECT) {
            const simdjson::dom::object object = element.get_object().value_unsafe();
            stack_.emplace_back(ObjectFrame{{}, object.begin(), object.end()});
            return;
        }
        const simdjson::dom::array array = element.get_array().value_unsafe();
        ArrayFrame frame{{}, array.begin(), array.end()};
        frame.container.reserve(array.size());
        stack_.emplace_back(std::move(frame));
    }

    // Adds to the innermost container the value made from `args`, and moves on to its next element.
    template <class... Args>
    void add(Args&&... args) {
        if (auto* array = std::get_if<ArrayFrame>(&stack_.back())) {
            array->container.emplace_back(std::forward<Args>(args)...);
            ++array->at;
            return;
        }
        auto& object = std::get<ObjectFrame>(stack_.back());
        auto& members = object.container;
        const std::string_view key = object.at.key();
        // A key whose first byte sorts after the last key's goes at the end, placed by one comparison; others
        // are looked up, and a duplicate replaces the earlier value (the last wins). Keys sort by unsigned
        // bytes.
        auto firstByte = [](std::string_view s) {
            return s.empty() ? -1 : int(static_cast<unsigned char>(s[0]));
        };
        if (members.empty() || firstByte(key) > firstByte(members.rbegin()->first)) {
            members.emplace_hint(members.end(), std::piecewise_construct, std::forward_as_tuple(key),
                                 std::forward_as_tuple(std::forward<Args>(args)...));
        } else if (auto [it, added] = members.try_emplace(std::string(key), std::forward<Args>(args)...);
                   !added) {
            it->second = Value(std::forward<Args>(args)...);
        }
        ++object.at;
    }

    std::vector<std::variant<ArrayFrame, ObjectFrame>> stack_;
};

// The parser of this thread keeps its buffers (about fourteen times the largest text's size) while the texts
// it reads stay about that large. A much smaller text, or one beyond kMaxKeptCapacity, lets them go after it,
// so a one-off large reply pins nothing for long.
constexpr size_t kSmallCapacity = 64 * 1024;
constexpr size_t kMaxKeptCapacity = 4 * 1024 * 1024;

// Nothing when simdjson refuses the text or it nests too deep.
std::optional<Value> readWithSimdjson(std::string_view text) {
    if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
    text = text.substr(0, text.find('\0'));
    thread_local simdjson::dom::parser parser;
    std::optional<Value> value;
    simdjson::dom::element root;
    if (parser.parse(text.data(), text.size()).get(root) == simdjson::SUCCESS)
        value = ValueBuilder().build(root);
    const size_t capacity = parser.capacity();
    if (capacity > kSmallCapacity && (capacity > kMaxKeptCapacity || text.size() < capacity / 8))
        parser = simdjson::dom::parser();
    return value;
}

class Writer {
  public:
    explicit Writer(bool pretty) : pretty_(pretty) {}

    bool write(const Value& v, int depth) {
        switch (v.kind()) {
            case Value::Kind::Null:
                out_ += "null";
                return true;
            case Value::Kind::Bool:
                out_ += v.boolValue() ? "true" : "false";
                return true;
            case Value::Kind::Int:
                return writeInteger(v.integerValue());
            case Value::Kind::UInt:
                return writeInteger(v.unsignedIntegerValue());
            case Value::Kind::Double: {
                const double d = v.doubleValue();
                if (std::isnan(d)) return fail("NaN is not a JSON number");
                if (std::isinf(d)) return fail("infinity is not a JSON number");
                out_ += valuetext::formatDouble(d);
                return true;
            }
            case Value::Kind::String:
                return writeString(*v.asString());
            case Value::Kind::Array:
                return writeArray(*v.asArray(), depth);
            case Value::Kind::Dictionary:
                return writeDictionary(*v.asDictionary(), depth);
            case Value::Kind::Data:
                return fail("data cannot be written as JSON");
            case Value::Kind::Date:
                return fail("a date cannot be written as JSON");
            case Value::Kind::Set:
                return fail("a set cannot be written as JSON");
            case Value::Kind::Object:
                return fail("an object cannot be written as JSON");
        }
        return fail("unknown value kind");
    }

    std::string& text() { return out_; }
    const std::string& reason() const { return reason_; }

  private:
    bool fail(std::string reason) {
        reason_ = std::move(reason);
        return false;
    }

    bool enter(int depth) {
        if (depth >= NSJSONSerialization::kMaxDepth) return fail(tooDeepReason());
        return true;
    }

    void newline(int depth) {
        if (!pretty_) return;
        out_ += '\n';
        out_.append(static_cast<size_t>(depth) * 2, ' ');
    }

    template <class Integer>
    bool writeInteger(Integer i) {
        char buffer[24];
        out_.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, i).ptr);
        return true;
    }

    bool writeArray(const Value::Array& items, int depth) {
        if (!enter(depth)) return false;
        out_ += '[';
        bool first = true;
        for (const Value& item : items) {
            if (!first) out_ += ',';
            first = false;
            newline(depth + 1);
            if (!write(item, depth + 1)) return false;
        }
        if (!items.empty()) newline(depth);
        out_ += ']';
        return true;
    }

    bool writeDictionary(const Value::Dictionary& members, int depth) {
        if (!enter(depth)) return false;
        out_ += '{';
        bool first = true;
        for (const auto& [key, value] : members) {  // std::map: keys already sorted
            if (!first) out_ += ',';
            first = false;
            newline(depth + 1);
            if (!writeString(key)) return false;
            out_ += pretty_ ? " : " : ":";
            if (!write(value, depth + 1)) return false;
        }
        if (!members.empty()) newline(depth);
        out_ += '}';
        return true;
    }

    // Runs of bytes that need no escape are copied whole; only text with bytes past ASCII is checked as
    // UTF-8.
    bool writeString(const std::string& s) {
        static constexpr char kHex[] = "0123456789abcdef";
        out_ += '"';
        size_t run = 0;
        bool ascii = true;
        for (size_t i = 0; i < s.size(); ++i) {
            const auto c = static_cast<unsigned char>(s[i]);
            ascii = ascii && c < 0x80;
            if (c >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
            out_.append(s, run, i - run);
            run = i + 1;
            out_ += '\\';
            switch (c) {
                case '"':
                case '\\':
                case '/':
                    out_ += char(c);
                    break;
                case '\b':
                    out_ += 'b';
                    break;
                case '\f':
                    out_ += 'f';
                    break;
                case '\n':
                    out_ += 'n';
                    break;
                case '\r':
                    out_ += 'r';
                    break;
                case '\t':
                    out_ += 't';
                    break;
                default:
                    out_ += "u00";
                    out_ += kHex[c >> 4];
                    out_ += kHex[c & 0xF];
            }
        }
        if (!ascii && !TextUtil::isValidUTF8(s)) return fail("a string is not valid UTF-8");
        out_.append(s, run, s.size() - run);
        out_ += '"';
        return true;
    }

    bool pretty_;
    std::string out_;
    std::string reason_;
};

bool isContainer(const Value& v) {
    return v.isArray() || v.isDictionary();
}

}  // namespace

std::optional<Value> NSJSONSerialization::JSONObjectWithData(const Data& data, unsigned options,
                                                             NSErrorPtr* error) {
    auto failWith = [&](NSErrorPtr e) -> std::optional<Value> {
        if (error) *error = std::move(e);
        return std::nullopt;
    };

    std::string_view text = data.view();
    size_t offset = 0;
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
        offset = kByteOrderMark.size();
    }
    if (text.empty()) return failWith(readError(offset, "no value (the data is empty)"));

    std::optional<Value> result = readWithSimdjson(text);
    if (!result) {
        TextChecker checker(text);
        if (auto fault = checker.check()) return failWith(readError(offset + fault->index, fault->reason));
        if (!checker.wideIntegerEnds().empty())
            result = readWithSimdjson(withWideIntegersAsReals(text, checker.wideIntegerEnds()));
        // Only a text too large for simdjson, or memory running out, gets here.
        if (!result) return failWith(readError(offset, "the data is too large to read"));
    }
    if (!(options & FragmentsAllowed) && !isContainer(*result))
        return failWith(readError(offset,
                                  "the top-level value is not an array or object and fragments are not "
                                  "allowed"));
    return result;
}

std::optional<Data> NSJSONSerialization::dataWithJSONObject(const Value& object, unsigned options,
                                                            NSErrorPtr* error) {
    if (!(options & WritingFragmentsAllowed) && !isContainer(object)) {
        if (error) *error = writeError("the top-level value must be an array or dictionary");
        return std::nullopt;
    }
    Writer writer((options & PrettyPrinted) != 0);
    if (!writer.write(object, 0)) {
        if (error) *error = writeError(writer.reason());
        return std::nullopt;
    }
    std::string& text = writer.text();
    return Data(text.data(), text.size());
}

bool NSJSONSerialization::isValidJSONObject(const Value& object) {
    if (!isContainer(object)) return false;
    Writer writer(false);
    return writer.write(object, 0);
}
