#include "platform/foundation/URLRequest.h"

#include <algorithm>

#include "platform/foundation/TextUtil.h"

namespace {

// A request carries a few fields: room for them from the first one spares growing the list one by one.
constexpr size_t kUsualFieldCount = 4;

}  // namespace

bool HTTPHeaderFields::namesEqual(std::string_view a, std::string_view b) {
    return TextUtil::equalsIgnoringASCIICase(a, b);
}

const std::string* HTTPHeaderFields::find(std::string_view name) const {
    for (const auto& [key, value] : fields_) {
        if (namesEqual(key, name)) return &value;
    }
    return nullptr;
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
    const std::string* found = find(name);
    if (!found) return std::nullopt;
    return *found;
}

void HTTPHeaderFields::append(std::string_view name, std::string_view value) {
    if (fields_.empty()) fields_.reserve(kUsualFieldCount);
    fields_.emplace_back(std::string(name), std::string(value));
}

void HTTPHeaderFields::set(std::string_view name, std::string_view value) {
    for (auto& field : fields_) {
        if (namesEqual(field.first, name)) {
            field.second.assign(value);
            return;
        }
    }
    append(name, value);
}

void HTTPHeaderFields::add(std::string_view name, std::string_view value) {
    for (auto& field : fields_) {
        if (namesEqual(field.first, name)) {
            field.second += ",";
            field.second += value;
            return;
        }
    }
    append(name, value);
}

void HTTPHeaderFields::remove(std::string_view name) {
    std::erase_if(fields_, [&](const Field& field) { return namesEqual(field.first, name); });
}

Value::Dictionary HTTPHeaderFields::dictionary() const {
    Value::Dictionary dictionary;
    for (const auto& [key, value] : fields_) dictionary[key] = Value(value);
    return dictionary;
}

NSURLRequest::NSURLRequest(std::shared_ptr<NSURL> url, NSURLRequestCachePolicy cachePolicy,
                           double timeoutInterval)
    : url_(std::move(url)), timeoutInterval_(timeoutInterval), cachePolicy_(cachePolicy) {}

void NSURLRequest::setAllHTTPHeaderFields(const Value::Dictionary& fields) {
    headers_.clear();
    for (const auto& [key, value] : fields) {
        if (const std::string* text = value.asString()) headers_.set(key, *text);
    }
}

void NSURLRequest::setValue(std::optional<std::string> value, std::string_view field) {
    if (value) {
        headers_.set(field, *value);
    } else {
        headers_.remove(field);
    }
}

std::optional<Data> NSURLRequest::HTTPBody() const {
    if (bodyKind_ != BodyKind::Data) return std::nullopt;
    return body_;
}

void NSURLRequest::setHTTPBody(std::optional<Data> body) {
    bodyFile_.clear();
    bodyStream_.reset();
    body_ = body.value_or(Data());
    bodyKind_ = body ? BodyKind::Data : BodyKind::None;
}

void NSURLRequest::setHTTPBodyFile(std::string path) {
    body_ = Data();
    bodyStream_.reset();
    bodyFile_ = std::move(path);
    bodyKind_ = bodyFile_.empty() ? BodyKind::None : BodyKind::File;
}

void NSURLRequest::setHTTPBodyStream(NSInputStreamPtr stream) {
    body_ = Data();
    bodyFile_.clear();
    bodyStream_ = std::move(stream);
    bodyKind_ = bodyStream_ ? BodyKind::Stream : BodyKind::None;
}

std::string NSURLRequest::description() const {
    return "<NSURLRequest: " + method_ + " " + (url_ ? url_->absoluteString() : std::string("(null)")) + ">";
}
