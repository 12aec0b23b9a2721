// NSError: an immutable, shared error with a domain, a code and a user-info dictionary.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Value.h"

inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr const char* NSURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";

inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";

class NSError final : public Object {
  public:
    static std::shared_ptr<NSError> create(std::string domain, long code, Value::Dictionary userInfo = {});
    // An error whose localized description is `description` (the common case).
    static std::shared_ptr<NSError> withDescription(std::string domain, long code, std::string description);

    const std::string& domain() const { return domain_; }
    long code() const { return code_; }
    const Value::Dictionary& userInfo() const { return userInfo_; }

    // The user-info description, else the platform's generic text:
    // "The operation couldn’t be completed. (<domain> error <code>.)"
    std::string localizedDescription() const;
    std::string localizedFailureReason() const;  // "" when absent
    std::shared_ptr<NSError> underlyingError() const;
    std::string failingURLString() const;  // "" when absent

    std::string description() const override;
    bool isEqual(const Object& other) const override;

  private:
    NSError(std::string domain, long code, Value::Dictionary userInfo)
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}
    std::string domain_;
    long code_;
    Value::Dictionary userInfo_;
};

using NSErrorPtr = std::shared_ptr<NSError>;
