// The platform's JSON reader against a reference reader over nlohmann-json's SAX parser (the reader the
// platform had before it moved to simdjson). For every input and reading option both must accept or both
// refuse; accepted inputs must give identical values (same kinds, doubles bit for bit); refused ones must
// name the same byte. Only the reason texts differ: the reference's come from nlohmann's messages.
#include "platform/foundation/JSON.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Outcome {
    std::optional<Value> value;
    size_t errorIndex = 0;
};

// Builds `Value` from SAX events, stopping at the platform's depth cap.
class ReferenceBuilder {
  public:
    using json = nlohmann::json;

    bool null() { return add(Value()); }
    bool boolean(bool b) { return add(Value(b)); }
    bool number_integer(json::number_integer_t i) { return add(Value(static_cast<long long>(i))); }
    bool number_unsigned(json::number_unsigned_t u) { return add(Value(static_cast<unsigned long long>(u))); }
    bool number_float(json::number_float_t d, const json::string_t&) { return add(Value(double(d))); }
    bool string(json::string_t& s) { return add(Value(std::move(s))); }
    bool binary(json::binary_t&) { return false; }
    bool start_object(size_t) { return open(true); }
    bool key(json::string_t& k) {
        stack_.back().key = std::move(k);
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(size_t) { return open(false); }
    bool end_array() { return close(); }
    bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception&) {
        errorIndex_ = position > 0 ? position - 1 : 0;  // the library counts bytes read
        return false;
    }

    std::optional<Value> result_;
    std::optional<size_t> errorIndex_;
    bool tooDeep_ = false;

  private:
    struct Frame {
        bool isObject;
        Value::Array array;
        Value::Dictionary dictionary;
        std::string key;
    };

    bool open(bool isObject) {
        if (stack_.size() >= size_t(NSJSONSerialization::kMaxDepth)) return !(tooDeep_ = true);
        stack_.push_back(Frame{isObject, {}, {}, {}});
        return true;
    }
    bool close() {
        Frame frame = std::move(stack_.back());
        stack_.pop_back();
        return add(frame.isObject ? Value(std::move(frame.dictionary)) : Value(std::move(frame.array)));
    }
    bool add(Value v) {
        if (stack_.empty())
            result_ = std::move(v);
        else if (stack_.back().isObject)
            stack_.back().dictionary.insert_or_assign(std::move(stack_.back().key), std::move(v));
        else
            stack_.back().array.push_back(std::move(v));
        return true;
    }
    std::vector<Frame> stack_;
};

// The bracket that opens nesting level kMaxDepth + 1, for an input known to get that deep.
size_t tooDeepBracket(std::string_view text) {
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
        } else if ((c == '[' || c == '{') && ++depth > NSJSONSerialization::kMaxDepth) {
            return i;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return text.size();
}

Outcome referenceRead(std::string_view text, unsigned options) {
    size_t offset = 0;
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
        offset = 3;
    }
    if (text.empty()) return {std::nullopt, offset};
    ReferenceBuilder builder;
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder,
                                       nlohmann::json::input_format_t::json,
                                       /*strict=*/true, /*ignore_comments=*/false);
    } catch (const std::exception&) {
        ok = false;
    }
    if (builder.tooDeep_) return {std::nullopt, offset + tooDeepBracket(text)};
    if (!ok || !builder.result_) return {std::nullopt, offset + builder.errorIndex_.value_or(0)};
    if (!(options & NSJSONSerialization::FragmentsAllowed) && !builder.result_->isArray() &&
        !builder.result_->isDictionary())
        return {std::nullopt, offset};
    return {std::move(builder.result_), 0};
}

// Equality without the platform's number coercions: same kinds, same bits.
bool identical(const Value& a, const Value& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
        case Value::Kind::Double:
            return std::bit_cast<uint64_t>(a.doubleValue()) == std::bit_cast<uint64_t>(b.doubleValue());
        case Value::Kind::Array: {
            const auto &x = *a.asArray(), &y = *b.asArray();
            if (x.size() != y.size()) return false;
            for (size_t i = 0; i < x.size(); ++i)
                if (!identical(x[i], y[i])) return false;
            return true;
        }
        case Value::Kind::Dictionary: {
            const auto &x = *a.asDictionary(), &y = *b.asDictionary();
            if (x.size() != y.size()) return false;
            for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j)
                if (i->first != j->first || !identical(i->second, j->second)) return false;
            return true;
        }
        default:
            return a == b;
    }
}

void check(bool condition, const std::string& what, std::string_view input, unsigned options) {
    if (condition) return;
    std::fprintf(stderr, "json differential (options %u): %s\n", options, what.c_str());
    std::fprintf(stderr, "input (%zu bytes): %.*s\n", input.size(), int(std::min<size_t>(input.size(), 300)),
                 input.data());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const Data data(bytes, size);
    const std::string_view input = data.view();
    for (unsigned options : {0u, unsigned(NSJSONSerialization::FragmentsAllowed)}) {
        NSErrorPtr error;
        const auto value = NSJSONSerialization::JSONObjectWithData(data, options, &error);
        const Outcome reference = referenceRead(input, options);
        check(value.has_value() == reference.value.has_value(),
              value ? "accepted what the reference refuses" : "refused what the reference accepts", input,
              options);
        if (value) {
            check(identical(*value, *reference.value), "a different value than the reference", input,
                  options);
            continue;
        }
        check(error && error->domain() == NSCocoaErrorDomain && error->code() == 3840, "not a reading error",
              input, options);
        const Value* index = error->userInfo().count("NSJSONSerializationErrorIndex")
                                 ? &error->userInfo().at("NSJSONSerializationErrorIndex")
                                 : nullptr;
        check(index && index->unsignedIntegerValue() == reference.errorIndex,
              "names another byte than the reference: " + error->localizedDescription() +
                  " (reference: " + std::to_string(reference.errorIndex) + ")",
              input, options);
    }
    return 0;
}
