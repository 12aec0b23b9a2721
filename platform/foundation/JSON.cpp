// JSON reading through nlohmann-json's SAX interface straight into `Value`, and a writer of our own.
//
// The SAX parser is iterative, so hostile nesting never grows the C++ stack; we still stop at kMaxDepth
// because every consumer of the result walks it recursively. The writer recurses, bounded by the same cap.
// Pretty-printed output indents by two spaces and separates keys from values with " : ".
#include "platform/foundation/JSON.h"
#include "platform/foundation/TextUtil.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <exception>
#include <string>
#include <vector>

namespace {

constexpr long kReadErrorCode = 3840;
constexpr long kWriteErrorCode = 3851;
constexpr const char* kErrorIndexKey = "NSJSONSerializationErrorIndex";

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

// nlohmann's messages read "[json.exception.parse_error.101] parse error at line 1, column 2: <why>";
// keep only <why>, our description carries the byte position itself.
std::string reasonFromLibraryMessage(const std::string& what) {
    std::string text = what;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("] ");
        if (close != std::string::npos) text = text.substr(close + 2);
    }
    const auto column = text.find("column ");
    if (column != std::string::npos) {
        const auto colon = text.find(": ", column);
        if (colon != std::string::npos) text = text.substr(colon + 2);
    }
    return text;
}

// Builds the `Value` tree from SAX events; containers under construction live on an explicit stack.
class ValueBuilder {
  public:
    using json = nlohmann::json;

    explicit ValueBuilder(size_t offset) : offset_(offset) {}

    bool null() { return add(Value()); }
    bool boolean(bool b) { return add(Value(b)); }
    bool number_integer(json::number_integer_t i) { return add(Value(static_cast<long long>(i))); }
    bool number_unsigned(json::number_unsigned_t u) { return add(Value(static_cast<unsigned long long>(u))); }
    bool number_float(json::number_float_t d, const json::string_t&) {
        return add(Value(static_cast<double>(d)));
    }
    bool string(json::string_t& s) { return add(Value(std::move(s))); }
    bool binary(json::binary_t&) { return fail(0, "binary values are not JSON"); }

    bool start_object(size_t) { return open(true); }
    bool key(json::string_t& k) {
        stack_.back().key = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(size_t) { return open(false); }
    bool end_array() { return close(); }

    bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        // The library counts characters read, so the offending byte is the one before.
        return fail(position > 0 ? position - 1 : 0, reasonFromLibraryMessage(ex.what()));
    }

    bool hasResult() const { return result_.has_value(); }
    Value takeResult() { return std::move(*result_); }
    NSErrorPtr error() const { return error_; }
    bool depthExceeded() const { return depthExceeded_; }

  private:
    struct Frame {
        bool isObject;
        Value::Array array;
        Value::Dictionary dictionary;
        std::string key;
    };

    bool open(bool isObject) {
        if (stack_.size() >= static_cast<size_t>(NSJSONSerialization::kMaxDepth)) {
            // SAX events carry no position; the caller finds the offending bracket afterwards.
            depthExceeded_ = true;
            return false;
        }
        stack_.push_back(Frame{isObject, {}, {}, {}});
        return true;
    }

    bool close() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        if (frame.isObject) return add(Value(std::move(frame.dictionary)));
        return add(Value(std::move(frame.array)));
    }

    bool add(Value v) {
        if (stack_.empty()) {
            result_ = std::move(v);
            return true;
        }
        Frame& top = stack_.back();
        if (top.isObject)
            top.dictionary.insert_or_assign(std::move(top.key),
                                            std::move(v));  // duplicate keys: the last wins
        else
            top.array.push_back(std::move(v));
        return true;
    }

    bool fail(size_t index, const std::string& reason) {
        if (!error_) error_ = readError(index + offset_, reason);
        return false;
    }

    size_t offset_;
    bool depthExceeded_ = false;
    std::vector<Frame> stack_;
    std::optional<Value> result_;
    NSErrorPtr error_;
};

// Index of the bracket that opens nesting level kMaxDepth + 1 (the input is known to get that deep).
size_t indexOfTooDeepBracket(std::string_view text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > NSJSONSerialization::kMaxDepth) return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return text.size();
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
                out_ += std::to_string(v.integerValue());
                return true;
            case Value::Kind::UInt:
                out_ += std::to_string(v.unsignedIntegerValue());
                return true;
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
        if (depth >= NSJSONSerialization::kMaxDepth)
            return fail("nesting deeper than " + std::to_string(NSJSONSerialization::kMaxDepth) + " levels");
        return true;
    }

    void newline(int depth) {
        if (!pretty_) return;
        out_ += '\n';
        out_.append(static_cast<size_t>(depth) * 2, ' ');
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

    bool writeString(const std::string& s) {
        if (!TextUtil::isValidUTF8(s)) return fail("a string is not valid UTF-8");
        static constexpr char kHex[] = "0123456789abcdef";
        out_ += '"';
        for (const char ch : s) {
            const auto c = static_cast<unsigned char>(ch);
            switch (c) {
                case '"':
                    out_ += "\\\"";
                    break;
                case '\\':
                    out_ += "\\\\";
                    break;
                case '/':
                    out_ += "\\/";
                    break;
                case '\b':
                    out_ += "\\b";
                    break;
                case '\f':
                    out_ += "\\f";
                    break;
                case '\n':
                    out_ += "\\n";
                    break;
                case '\r':
                    out_ += "\\r";
                    break;
                case '\t':
                    out_ += "\\t";
                    break;
                default:
                    if (c < 0x20) {
                        out_ += "\\u00";
                        out_ += kHex[c >> 4];
                        out_ += kHex[c & 0xF];
                    } else {
                        out_ += ch;
                    }
            }
        }
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
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
        offset = 3;
    }
    if (text.empty()) return failWith(readError(offset, "no value (the data is empty)"));

    ValueBuilder builder(offset);
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                       nlohmann::json::input_format_t::json,
                                       /*strict=*/true, /*ignore_comments=*/false);
    } catch (const std::exception& ex) {
        // The SAX path reports through parse_error; anything thrown past it is still only bad input.
        return failWith(builder.error() ? builder.error() : readError(offset, ex.what()));
    }
    if (builder.depthExceeded())
        return failWith(readError(offset + indexOfTooDeepBracket(text),
                                  "nesting deeper than " + std::to_string(kMaxDepth) + " levels"));
    if (!ok || !builder.hasResult())
        return failWith(builder.error() ? builder.error() : readError(offset, "no value"));

    Value result = builder.takeResult();
    if (!(options & FragmentsAllowed) && !isContainer(result))
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
