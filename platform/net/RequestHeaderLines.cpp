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

    auto lineLength = [](const Field& field) {
        return field.first.size() + separatorFor(field.first, field.second).size() + field.second.size() + 1;
    };
    size_t length = 0;
    for (const Field& field : fields) length += lineLength(field);
    text_.clear();
    text_.reserve(length);
    for (const auto& [name, value] : fields)
        text_.append(name).append(separatorFor(name, value)).append(value).push_back('\0');
    // Laid out once the text can no longer move.
    nodes_.assign(fields.size(), curl_slist{});
    char* line = text_.data();
    for (size_t i = 0; i < fields.size(); ++i) {
        nodes_[i].data = line;
        nodes_[i].next = i + 1 < fields.size() ? &nodes_[i + 1] : nullptr;
        line += lineLength(fields[i]);
    }
}
