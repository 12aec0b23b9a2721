#include "platform/net/HTTPResponseHead.h"

#include "platform/foundation/TextUtil.h"

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

HTTPResponseHead::Line HTTPResponseHead::take(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        const size_t space = line.find(' ');
        version.assign(line.substr(0, space));
        // Three digits from 100 to 999, then the end or a space: anything else is no status at all.
        const std::string_view code = space == std::string_view::npos ? "" : line.substr(space + 1);
        const bool threeDigits = code.size() >= 3 && code[0] != '0' && isDigit(code[0]) && isDigit(code[1]) &&
                                 isDigit(code[2]) && (code.size() == 3 || code[3] == ' ');
        status = threeDigits ? (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0') : 0;
        headers.clear();
        fields_.clear();
        index_.reset();
        return Line::Status;
    }
    if (line.empty()) {
        headers = HTTPHeaderFields(fields_);
        return Line::End;
    }
    if (line[0] == ' ' || line[0] == '\t') return Line::Ignored;  // obsolete line folding
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Line::Ignored;
    const std::string_view name = TextUtil::trim(line.substr(0, colon));
    const std::string_view value = TextUtil::trim(line.substr(colon + 1));
    if (HTTPHeaderFields::Field* same = fieldNamed(name)) {
        same->second.append(", ").append(value);
        return Line::Field;
    }
    if (fields_.size() == kMaxFields) return Line::TooManyFields;
    if (fields_.empty()) fields_.reserve(kUnindexedFields);
    fields_.emplace_back(name, value);
    if (fields_.size() > kUnindexedFields) {  // past a small head: every name so far once, then each new one
        const size_t from = index_ ? fields_.size() - 1 : 0;
        if (!index_) index_ = std::make_unique<std::unordered_map<std::string, size_t>>();
        for (size_t i = from; i < fields_.size(); ++i)
            index_->emplace(TextUtil::toLowerASCII(fields_[i].first), i);
    }
    return Line::Field;
}

HTTPHeaderFields::Field* HTTPResponseHead::fieldNamed(std::string_view name) {
    if (!index_) {
        for (auto& field : fields_) {
            if (HTTPHeaderFields::namesEqual(field.first, name)) return &field;
        }
        return nullptr;
    }
    auto found = index_->find(TextUtil::toLowerASCII(name));
    return found == index_->end() ? nullptr : &fields_[found->second];
}

std::string contentLengthProblem(const HTTPHeaderFields& headers) {
    const std::string* value = headers.find("Content-Length");
    if (!value) return "";
    std::string_view rest = *value;
    std::string_view first;
    do {  // an empty field is no length either
        size_t comma = rest.find(',');
        std::string_view one = TextUtil::trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (one.empty() || one.size() > 18 || one.find_first_not_of("0123456789") != std::string_view::npos)
            return "the Content-Length \"" + std::string(one) + "\" is not a length";
        if (!first.empty() && one != first) return "the response has Content-Lengths that disagree";
        first = one;
    } while (!rest.empty());
    return "";
}
