#include "httpclient/HCQueryString.h"

#include <algorithm>

#include "platform/foundation/TextUtil.h"

namespace {

bool isAllowedInQueryText(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
        case '-':
        case '.':
        case '_':
        case '~':
        case '/':
        case '?':
            return true;
        default:
            return false;
    }
}

// The text a key or value prints as; the top level's missing key prints as nothing.
std::string textOf(const Value& value) {
    return value.isNull() ? std::string() : value.stringValue();
}

// Plain string comparison in UTF-16 code-unit order, as the platform compares strings.
bool utf16Less(const std::string& a, const std::string& b) {
    auto ua = TextUtil::toUTF16(a);
    auto ub = TextUtil::toUTF16(b);
    if (ua && ub) return *ua < *ub;
    return a < b;  // not valid UTF-8: byte order keeps the sort total
}

void flatten(const std::optional<std::string>& key, const Value& value, std::vector<HCQueryStringPair>& out) {
    if (const auto* dict = value.asDictionary()) {
        std::vector<const Dict::value_type*> members;
        members.reserve(dict->size());
        for (const auto& member : *dict) members.push_back(&member);
        std::stable_sort(members.begin(), members.end(),
                         [](const auto* a, const auto* b) { return utf16Less(a->first, b->first); });
        for (const auto* member : members) {
            std::string nested = key ? *key + "[" + member->first + "]" : member->first;
            flatten(nested, member->second, out);
        }
    } else if (const auto* array = value.asArray()) {
        std::string nested = key.value_or(std::string()) + "[]";
        for (const auto& element : *array) flatten(nested, element, out);
    } else if (const auto* set = value.asSet()) {
        std::vector<std::pair<std::string, const Value*>> members;
        members.reserve(set->size());
        for (const auto& member : *set) members.emplace_back(member.stringValue(), &member);
        std::stable_sort(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return utf16Less(a.first, b.first); });
        for (const auto& member : members) flatten(key, *member.second, out);
    } else {
        out.emplace_back(key ? Value(*key) : Value(), value);
    }
}

}  // namespace

std::string HCPercentEscapeQueryText(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    // Byte by byte over the UTF-8 form: a character's bytes are always escaped together, so no character
    // is ever split, however long the text.
    for (unsigned char c : text) {
        if (isAllowedInQueryText(c)) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0f];
        }
    }
    return out;
}

std::string HCQueryStringPair::URLEncodedStringValue() const {
    if (value_.isNull()) return HCPercentEscapeQueryText(textOf(field_));
    return HCPercentEscapeQueryText(textOf(field_)) + "=" + HCPercentEscapeQueryText(textOf(value_));
}

std::vector<HCQueryStringPair> HCFlattenedQueryPairs(const std::optional<std::string>& key,
                                                     const Value& value) {
    std::vector<HCQueryStringPair> out;
    flatten(key, value, out);
    return out;
}

std::string HCJoinedQueryString(const Value& parameters) {
    std::string out;
    bool first = true;
    for (const auto& pair : HCFlattenedQueryPairs(std::nullopt, parameters)) {
        if (!first) out += '&';
        first = false;
        out += pair.URLEncodedStringValue();
    }
    return out;
}
