#include "platform/foundation/NSError.h"

std::shared_ptr<NSError> NSError::create(std::string domain, long code, Value::Dictionary userInfo) {
    return std::shared_ptr<NSError>(new NSError(std::move(domain), code, std::move(userInfo)));
}

std::shared_ptr<NSError> NSError::withDescription(std::string domain, long code, std::string description) {
    return create(std::move(domain), code, {{NSLocalizedDescriptionKey, Value(std::move(description))}});
}

std::string NSError::localizedDescription() const {
    auto it = userInfo_.find(NSLocalizedDescriptionKey);
    if (it != userInfo_.end() && it->second.isString() && !it->second.asString()->empty())
        return *it->second.asString();
    return "The operation couldn\u2019t be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

std::string NSError::localizedFailureReason() const {
    auto it = userInfo_.find(NSLocalizedFailureReasonErrorKey);
    return it != userInfo_.end() && it->second.isString() ? *it->second.asString() : std::string();
}

std::shared_ptr<NSError> NSError::underlyingError() const {
    auto it = userInfo_.find(NSUnderlyingErrorKey);
    return it != userInfo_.end() ? it->second.asObjectOf<NSError>() : nullptr;
}

std::string NSError::failingURLString() const {
    auto it = userInfo_.find(NSURLErrorFailingURLStringErrorKey);
    if (it != userInfo_.end() && it->second.isString()) return *it->second.asString();
    it = userInfo_.find(NSURLErrorFailingURLErrorKey);
    if (it != userInfo_.end()) return it->second.stringValue();
    return {};
}

std::string NSError::description() const {
    std::string out =
        "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" + localizedDescription() + "\"";
    if (!userInfo_.empty()) out += " UserInfo=" + Value(userInfo_).description();
    return out;
}

bool NSError::isEqual(const Object& other) const {
    auto o = dynamic_cast<const NSError*>(&other);
    return o && o->domain_ == domain_ && o->code_ == code_ && Value(o->userInfo_) == Value(userInfo_);
}
