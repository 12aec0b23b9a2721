// Server-trust policy: whether the chain a server presents in an HTTPS challenge is to be trusted for a host.
//
// Without pinning the answer is the platform's verdict for the chain (checked against the host when
// `validatesDomainName` is on), or YES for anything when `allowInvalidCertificates` is on. With pinning the
// server must also match certificates that ship with the application, by whole certificate or by public
// key:
//
//   certificate pinning   the pinned certificates become the only anchors; the chain must then be valid
//                         and one of its certificates (the evaluated path, leaf to anchor) must be pinned.
//   public-key pinning    one certificate of the chain must carry a pinned key: the leaf itself, or a
//                         certificate that the leaf's signatures really lead to. When invalid chains are
//                         allowed, that signature path is checked with the matched certificate as the only
//                         anchor, ignoring validity dates and host names, so that a stranger's leaf sent
//                         along with a real (public) intermediate is not taken for the server. With
//                         `validatesDomainName` the leaf must name the host even then.
//
// Asking for domain validation while allowing invalid certificates makes sense only with pins: without
// them every evaluation answers NO and says so in the log.
//
// A policy is a plain value: no thread of its own, no locks, nothing kept between evaluations. Evaluating
// changes the trust object passed in (its policies and, with certificate pinning, its anchors). Copies and
// archives carry all settings; the public keys are derived again from the certificates.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/Value.h"
#include "platform/security/Security.h"

// Any other value makes every evaluation answer NO.
enum class HCSSLPinningMode : unsigned long { None = 0, PublicKey = 1, Certificate = 2 };

class HCSecurityPolicy : public Object, public KVOObservable, public NSCoding, public NSCopying {
  public:
    // Distinct DER certificates (or any data), in the order they were first added.
    using CertificateSet = std::vector<Data>;
    // Distinct public keys, by value.
    using KeySet = std::vector<SecKeyPtr>;

    // No pinning, domain validation on, invalid certificates refused.
    static std::shared_ptr<HCSecurityPolicy> create();
    // The policy every session manager starts with (the same settings as `create`).
    static std::shared_ptr<HCSecurityPolicy> defaultPolicy();
    // `mode` with the default pinned certificates (those shipped in the application bundle).
    static std::shared_ptr<HCSecurityPolicy> policyWithPinningMode(HCSSLPinningMode mode);
    static std::shared_ptr<HCSecurityPolicy> policyWithPinningMode(
        HCSSLPinningMode mode, std::optional<CertificateSet> pinnedCertificates);

    // The contents of every ".cer" file at the top level of `bundle`'s resources, by file name. A file that
    // cannot be read is left out (and named in the console).
    static CertificateSet certificatesInBundle(const NSBundle& bundle);
    // `certificatesInBundle` of the main bundle, read once per process.
    static const CertificateSet& defaultPinnedCertificates();

    static bool supportsSecureCoding() { return true; }
    static std::string archiveClassName() { return "HCSecurityPolicy"; }
    // Registers the class for unarchiving; every factory calls it, and calling it again is harmless.
    static void registerArchivableClasses();

    HCSSLPinningMode SSLPinningMode() const { return SSLPinningMode_; }
    void setSSLPinningMode(HCSSLPinningMode mode);
    bool allowInvalidCertificates() const { return allowInvalidCertificates_; }
    void setAllowInvalidCertificates(bool allow);
    bool validatesDomainName() const { return validatesDomainName_; }
    void setValidatesDomainName(bool validates);

    // nullopt when none are set. Setting them (duplicates dropped) derives the public keys at once.
    const std::optional<CertificateSet>& pinnedCertificates() const { return pinnedCertificates_; }
    void setPinnedCertificates(std::optional<CertificateSet> certificates);
    // The key of every pinned certificate that has one; nullopt exactly when `pinnedCertificates` is.
    const std::optional<KeySet>& pinnedPublicKeys() const { return pinnedPublicKeys_; }

    // Whether to trust `serverTrust` for `domain` (nullopt: no host to check). A null trust is NO.
    bool evaluateServerTrust(const SecTrustPtr& serverTrust, const std::optional<std::string>& domain) const;

    // Observation: "pinnedPublicKeys" changes with "pinnedCertificates".
    static std::vector<std::string> keyPathsForValuesAffectingPinnedPublicKeys() {
        return {"pinnedCertificates"};
    }
    Value valueForKey(const std::string& key) const override;
    std::vector<std::string> keyPathsForValuesAffectingValueForKey(const std::string& key) const override;

    // Archive keys: "SSLPinningMode" (number), "allowInvalidCertificates", "validatesDomainName" (booleans)
    // and "pinnedCertificates" (a set of data, absent when none are set).
    std::string classNameForCoder() const override { return archiveClassName(); }
    void encodeWithCoder(NSKeyedArchiver& coder) const override;
    std::shared_ptr<Object> copyWithZone(NSZone* zone) const override;

  protected:
    HCSecurityPolicy() = default;
    // A fresh instance of the receiver's class, as `create` makes it; subclasses override.
    virtual std::shared_ptr<HCSecurityPolicy> newPolicy() const;
    // Reads the settings back; false (with the error in the coder) when they do not make a policy.
    virtual bool decodeSettings(NSKeyedUnarchiver& coder);

  private:
    bool evaluatePublicKeyPins(const SecTrust& serverTrust) const;
    bool evaluateCertificatePins(SecTrust& serverTrust) const;

    HCSSLPinningMode SSLPinningMode_ = HCSSLPinningMode::None;
    bool allowInvalidCertificates_ = false;
    bool validatesDomainName_ = true;
    std::optional<CertificateSet> pinnedCertificates_;
    std::optional<KeySet> pinnedPublicKeys_;
};
