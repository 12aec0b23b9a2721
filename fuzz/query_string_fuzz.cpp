// Builds query strings from arbitrary parameters: the input read as JSON (fragments allowed), or, when it
// is not JSON, the input itself as one string value.
//
// Checked beyond "no crash": the output is ASCII made only of unreserved characters, "%XX" escapes with
// upper-case digits, "=" and "&"; it has one field per leaf of the parameters (empty containers have
// none); and for a flat dictionary of strings every key comes back, unescaped, with its own value.
#include "httpclient/HCQueryString.h"
#include "platform/foundation/JSON.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "query string fuzz: %s\n", what);
        std::abort();
    }
}

bool isUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

bool isUnreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~' || c == '/' || c == '?';
}

std::string unescape(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            out += char(hexValue(text[i + 1]) << 4 | hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(
            text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos) return parts;
        start = end + 1;
    }
}

size_t leafCount(const Value& value) {
    size_t count = 0;
    if (const auto* array = value.asArray()) {
        for (const auto& element : *array) count += leafCount(element);
    } else if (const auto* dict = value.asDictionary()) {
        for (const auto& [key, member] : *dict) count += leafCount(member);
    } else if (const auto* set = value.asSet()) {
        for (const auto& member : *set) count += leafCount(member);
    } else {
        count = 1;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const Data data(bytes, size);
    NSErrorPtr error;
    auto parsed =
        NSJSONSerialization::JSONObjectWithData(data, NSJSONSerialization::FragmentsAllowed, &error);
    const Value parameters = parsed ? *parsed : Value(Dict{{"q", Value(data.toString())}});

    const std::string query = HCJoinedQueryString(parameters);

    for (size_t i = 0; i < query.size(); ++i) {
        const char c = query[i];
        check((unsigned char)c < 0x80, "non-ASCII byte in the query string");
        if (c == '%') {
            check(i + 2 < query.size() && isUpperHex(query[i + 1]) && isUpperHex(query[i + 2]),
                  "malformed percent escape");
            i += 2;
        } else {
            check(isUnreserved(c) || c == '=' || c == '&', "unescaped reserved character");
        }
    }

    const size_t leaves = leafCount(parameters);
    const auto fields = split(query, '&');
    if (leaves == 0) {
        check(query.empty(), "query string for parameters without leaves");
        return 0;
    }
    check(fields.size() == leaves, "one field per leaf expected");

    const auto* dict = parameters.asDictionary();
    if (!dict) return 0;
    for (const auto& [key, member] : *dict)
        if (!member.isString()) return 0;
    std::map<std::string, std::string> found;
    for (auto field : fields) {
        auto sides = split(field, '=');
        check(sides.size() == 2, "field of a string member is not key=value");
        found.emplace(unescape(sides[0]), unescape(sides[1]));
    }
    check(found.size() == dict->size(), "keys merged or lost");
    for (const auto& [key, member] : *dict) {
        auto it = found.find(key);
        check(it != found.end(), "key missing from the query string");
        check(it->second == *member.asString(), "value does not come back");
    }
    return 0;
}
