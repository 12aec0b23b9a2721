#include "platform/net/RequestHeaderLines.h"

#include <string_view>
#include <utility>

namespace {

// libcurl's line for a field: "Name: value"; "Name;" sends an empty field, and "Name:" removes one that
// libcurl would add by itself.
std::string_view separatorFor(std::string_view name, std::string_view value) {
    if (!value.empty()) return ": ";
    return name == "Expect" || name == "Content-Type" ? ":" : ";";
}

}  // namespace

void RequestHeaderLines::assign(const HTTPHeaderFields& request, const Value::Dictionary& additional,
                                FormContentType form) {
    // The fields in their order, viewing the request, the configuration and literals: nothing copied yet.
    using Field = std::pair<std::string_view, std::string_view>;
    std::vector<Field> fields;
    fields.reserve(request.fields().size() + additional.size() + 3);
    auto valueOf = [&fields](std::string_view name) -> std::string_view* {
        for (auto& [key, value] : fields) {
            if (HTTPHeaderFields::namesEqual(key, name)) return &value;
        }
        return nullptr;
    };
    for (const auto& [name, value] : request.fields()) fields.emplace_back(name, value);
    for (const auto& [name, value] : additional) {
        if (const std::string* text = value.asString(); text && !valueOf(name))
            fields.emplace_back(name, *text);
    }
    std::erase_if(fields, [](const Field& field) {
        return HTTPHeaderFields::namesEqual(field.first, "Content-Length");
    });
    if (!valueOf("Accept")) fields.emplace_back("Accept", "*/*");
    if (std::string_view* expect = valueOf("Expect")) {
        *expect = "";
    } else {
        fields.emplace_back("Expect", "");
    }
    if (form == FormContentType::Remove && !valueOf("Content-Type")) fields.emplace_back("Content-Type", "");

    size_t length = 0;
    for (const auto& [name, value] : fields)
        length += name.size() + separatorFor(name, value).size() + value.size() + 1;
    text_.clear();
    text_.reserve(length);  // the text does not move from here on: the nodes point into it as it grows
    nodes_.clear();
    nodes_.reserve(fields.size());
    for (const auto& [name, value] : fields) {
        nodes_.push_back(curl_slist{text_.data() + text_.size(), nullptr});
        for (std::string_view part : {name, separatorFor(name, value), value})
            text_.insert(text_.end(), part.begin(), part.end());
        text_.push_back('\0');
    }
    for (size_t i = 0; i + 1 < nodes_.size(); ++i) nodes_[i].next = &nodes_[i + 1];
}
