#include "httpclient/HCSecurityPolicy.h"

#include <algorithm>
#include <mutex>

#include "platform/foundation/Console.h"
#include "platform/foundation/FileManager.h"

namespace {

constexpr const char* kSSLPinningModeKey = "SSLPinningMode";
constexpr const char* kAllowInvalidCertificatesKey = "allowInvalidCertificates";
constexpr const char* kValidatesDomainNameKey = "validatesDomainName";
constexpr const char* kPinnedCertificatesKey = "pinnedCertificates";
constexpr const char* kPinnedPublicKeysKey = "pinnedPublicKeys";

constexpr const char* kSelfSignedWithoutPinningMessage =
    "In order to validate a domain name for self signed certificates, you MUST use pinning.";

// Valid means the evaluation could be made and found a trusted path.
bool serverTrustIsValid(SecTrust& trust) {
    SecTrustResultType result = SecTrustResultType::Invalid;
    OSStatus status = trust.evaluate(&result);
    return status == errSecSuccess &&
           (result == SecTrustResultType::Unspecified || result == SecTrustResultType::Proceed);
}

// The key of one certificate, read through a trust of its own; null when that trust cannot be made or
// evaluated. The verdict of the evaluation does not matter: only the key is wanted.
SecKeyPtr publicKeyForCertificate(const SecCertificatePtr& certificate, const SecPolicyPtr& policy) {
    if (!certificate) return nullptr;
    auto trust = SecTrust::create({certificate}, {policy});
    if (!trust) return nullptr;
    SecTrustResultType result = SecTrustResultType::Invalid;
    if (trust->evaluate(&result) != errSecSuccess) return nullptr;
    return trust->copyPublicKey();
}

bool containsKey(const HCSecurityPolicy::KeySet& keys, const SecKey& key) {
    return std::any_of(keys.begin(), keys.end(), [&](const SecKeyPtr& k) { return k && k->isEqual(key); });
}

bool containsData(const HCSecurityPolicy::CertificateSet& set, const Data& data) {
    return std::find(set.begin(), set.end(), data) != set.end();
}

HCSecurityPolicy::CertificateSet distinct(HCSecurityPolicy::CertificateSet items) {
    HCSecurityPolicy::CertificateSet out;
    for (auto& item : items) {
        if (!containsData(out, item)) out.push_back(std::move(item));
    }
    return out;
}

Value setValue(const HCSecurityPolicy::CertificateSet& certificates) {
    Value set = Value::set();
    for (const auto& der : certificates) set.insert(Value(der));
    return set;
}

// Whether `chain` is valid under `policy` with `anchor` as its only anchor, whatever the dates say.
bool validWithOnlyAnchor(const std::vector<SecCertificatePtr>& chain, const SecCertificatePtr& anchor,
                         SecPolicyPtr policy) {
    auto trust = SecTrust::create(chain, {std::move(policy)});
    if (!trust || !anchor || trust->setAnchorCertificates({anchor}) != errSecSuccess ||
        trust->setAnchorCertificatesOnly(AnchorsOnly::Yes) != errSecSuccess ||
        trust->setIgnoresValidityDates(true) != errSecSuccess)
        return false;
    return serverTrustIsValid(*trust);
}

// Whether the leaf (chain[0]) is signed, through the other certificates of `chain`, by chain[anchorIndex].
// Intermediates must be certificate authorities; dates and host names are not looked at, since the chain
// may have been found invalid for either (expired, unknown root, other host) and still carry a pinned key.
bool leafLeadsTo(const std::vector<SecCertificatePtr>& chain, size_t anchorIndex) {
    if (anchorIndex == 0) return true;
    if (anchorIndex >= chain.size()) return false;
    return validWithOnlyAnchor(chain, chain[anchorIndex], SecPolicy::createBasicX509());
}

// Whether the leaf names `host`, whatever else is wrong with the chain: the leaf alone, anchored on itself,
// under the SSL policy for the host.
bool leafNamesHost(const SecTrust& serverTrust, const std::string& host) {
    auto leaf = serverTrust.certificateAtIndex(0);
    return validWithOnlyAnchor({leaf}, leaf, SecPolicy::createSSL(SecPolicy::Side::Server, host));
}

}  // namespace

// ---- construction ----

std::shared_ptr<HCSecurityPolicy> HCSecurityPolicy::create() {
    registerArchivableClasses();
    return std::shared_ptr<HCSecurityPolicy>(new HCSecurityPolicy);
}

std::shared_ptr<HCSecurityPolicy> HCSecurityPolicy::defaultPolicy() {
    return create();
}

std::shared_ptr<HCSecurityPolicy> HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode mode) {
    return policyWithPinningMode(mode, defaultPinnedCertificates());
}

std::shared_ptr<HCSecurityPolicy> HCSecurityPolicy::policyWithPinningMode(
    HCSSLPinningMode mode, std::optional<CertificateSet> pinnedCertificates) {
    auto policy = create();
    policy->setSSLPinningMode(mode);
    policy->setPinnedCertificates(std::move(pinnedCertificates));
    return policy;
}

std::shared_ptr<HCSecurityPolicy> HCSecurityPolicy::newPolicy() const {
    return std::shared_ptr<HCSecurityPolicy>(new HCSecurityPolicy);
}

HCSecurityPolicy::CertificateSet HCSecurityPolicy::certificatesInBundle(const NSBundle& bundle) {
    CertificateSet certificates;
    for (const auto& path : bundle.pathsForResourcesOfType("cer", ".")) {
        NSErrorPtr error;
        auto data = NSFileManager::defaultManager()->contentsAtPath(path, &error);
        if (!data) {
            NSLog("HCSecurityPolicy: cannot read the certificate " + path + ": " +
                  (error ? error->localizedDescription() : std::string("unknown error")));
            continue;
        }
        certificates.push_back(std::move(*data));
    }
    return distinct(std::move(certificates));
}

const HCSecurityPolicy::CertificateSet& HCSecurityPolicy::defaultPinnedCertificates() {
    static const CertificateSet* certificates = [] {
        auto bundle = NSBundle::mainBundle();
        return new CertificateSet(bundle ? certificatesInBundle(*bundle) : CertificateSet{});
    }();
    return *certificates;
}

// ---- settings ----

void HCSecurityPolicy::setSSLPinningMode(HCSSLPinningMode mode) {
    willChangeValueForKey(kSSLPinningModeKey);
    SSLPinningMode_ = mode;
    didChangeValueForKey(kSSLPinningModeKey);
}

void HCSecurityPolicy::setAllowInvalidCertificates(bool allow) {
    willChangeValueForKey(kAllowInvalidCertificatesKey);
    allowInvalidCertificates_ = allow;
    didChangeValueForKey(kAllowInvalidCertificatesKey);
}

void HCSecurityPolicy::setValidatesDomainName(bool validates) {
    willChangeValueForKey(kValidatesDomainNameKey);
    validatesDomainName_ = validates;
    didChangeValueForKey(kValidatesDomainNameKey);
}

void HCSecurityPolicy::setPinnedCertificates(std::optional<CertificateSet> certificates) {
    willChangeValueForKey(kPinnedCertificatesKey);
    if (!certificates) {
        pinnedCertificates_.reset();
        pinnedPublicKeys_.reset();
    } else {
        pinnedCertificates_ = distinct(std::move(*certificates));
        KeySet keys;
        auto policy = SecPolicy::createBasicX509();
        for (const auto& der : *pinnedCertificates_) {
            SecKeyPtr key = publicKeyForCertificate(SecCertificate::createWithData(der), policy);
            if (key && !containsKey(keys, *key)) keys.push_back(std::move(key));
        }
        pinnedPublicKeys_ = std::move(keys);
    }
    didChangeValueForKey(kPinnedCertificatesKey);
}

// ---- evaluation ----

bool HCSecurityPolicy::evaluateServerTrust(const SecTrustPtr& serverTrust,
                                           const std::optional<std::string>& domain) const {
    if (!serverTrust) return false;
    const bool hasPins = pinnedCertificates_ && !pinnedCertificates_->empty();
    if (domain && allowInvalidCertificates_ && validatesDomainName_ &&
        (SSLPinningMode_ == HCSSLPinningMode::None || !hasPins)) {
        // Without pins, an invalid chain accepted "for a host" would be accepted for any host.
        NSLog(kSelfSignedWithoutPinningMessage);
        return false;
    }

    SecPolicyPtr policy = validatesDomainName_ ? SecPolicy::createSSL(SecPolicy::Side::Server, domain)
                                               : SecPolicy::createBasicX509();
    if (serverTrust->setPolicies({policy}) != errSecSuccess) return false;

    if (SSLPinningMode_ == HCSSLPinningMode::None)
        return allowInvalidCertificates_ || serverTrustIsValid(*serverTrust);

    // Evaluated in any case: the evaluated path is what the pins are matched against when it is valid.
    if (!serverTrustIsValid(*serverTrust) && !allowInvalidCertificates_) return false;

    switch (SSLPinningMode_) {
        case HCSSLPinningMode::Certificate:
            return evaluateCertificatePins(*serverTrust);
        case HCSSLPinningMode::PublicKey:
            // An invalid chain was never checked against the host: a pinned key alone must not let a
            // certificate for another site through.
            if (validatesDomainName_ && domain && !domain->empty() && !leafNamesHost(*serverTrust, *domain))
                return false;
            return evaluatePublicKeyPins(*serverTrust);
        default:
            return false;
    }
}

bool HCSecurityPolicy::evaluateCertificatePins(SecTrust& serverTrust) const {
    std::vector<SecCertificatePtr> anchors;
    if (pinnedCertificates_) {
        for (const auto& der : *pinnedCertificates_) {
            if (auto certificate = SecCertificate::createWithData(der))
                anchors.push_back(std::move(certificate));
        }
    }
    if (serverTrust.setAnchorCertificates(std::move(anchors)) != errSecSuccess) return false;
    // Only the pinned certificates anchor the chain now; an invalid chain is refused whatever the flags say.
    if (!serverTrustIsValid(serverTrust)) return false;

    // From the root end of the evaluated path towards the leaf.
    for (size_t i = serverTrust.certificateCount(); i-- > 0;) {
        auto certificate = serverTrust.certificateAtIndex(i);
        if (certificate && pinnedCertificates_ && containsData(*pinnedCertificates_, certificate->data()))
            return true;
    }
    return false;
}

bool HCSecurityPolicy::evaluatePublicKeyPins(const SecTrust& serverTrust) const {
    if (!pinnedPublicKeys_ || pinnedPublicKeys_->empty()) return false;
    std::vector<SecCertificatePtr> chain;
    for (size_t i = 0; i < serverTrust.certificateCount(); ++i)
        chain.push_back(serverTrust.certificateAtIndex(i));

    auto policy = SecPolicy::createBasicX509();
    for (size_t i = 0; i < chain.size(); ++i) {
        SecKeyPtr key = publicKeyForCertificate(chain[i], policy);
        if (!key || !containsKey(*pinnedPublicKeys_, *key)) continue;
        // A pinned key above the leaf counts only when the leaf's signatures really lead to it: anyone can
        // send a public intermediate along with a leaf of their own.
        if (leafLeadsTo(chain, i)) return true;
    }
    return false;
}

// ---- observation ----

Value HCSecurityPolicy::valueForKey(const std::string& key) const {
    if (key == kSSLPinningModeKey) return Value(static_cast<unsigned long>(SSLPinningMode_));
    if (key == kAllowInvalidCertificatesKey) return allowInvalidCertificates_;
    if (key == kValidatesDomainNameKey) return validatesDomainName_;
    if (key == kPinnedCertificatesKey) return pinnedCertificates_ ? setValue(*pinnedCertificates_) : Value();
    if (key == kPinnedPublicKeysKey) {
        if (!pinnedPublicKeys_) return Value();
        Value keys = Value::set();
        for (const auto& k : *pinnedPublicKeys_) keys.insert(Value(k));
        return keys;
    }
    return KVOObservable::valueForKey(key);
}

std::vector<std::string> HCSecurityPolicy::keyPathsForValuesAffectingValueForKey(
    const std::string& key) const {
    if (key == kPinnedPublicKeysKey) return keyPathsForValuesAffectingPinnedPublicKeys();
    return KVOObservable::keyPathsForValuesAffectingValueForKey(key);
}

// ---- archiving and copying ----

void HCSecurityPolicy::registerArchivableClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        NSKeyedUnarchiver::registerClass(
            archiveClassName(), "", [](NSKeyedUnarchiver& coder) -> std::shared_ptr<Object> {
                auto policy = std::shared_ptr<HCSecurityPolicy>(new HCSecurityPolicy);
                if (!policy->decodeSettings(coder)) return nullptr;
                return policy;
            });
    });
}

void HCSecurityPolicy::encodeWithCoder(NSKeyedArchiver& coder) const {
    coder.encodeObject(Value(static_cast<unsigned long>(SSLPinningMode_)), kSSLPinningModeKey);
    coder.encodeBool(allowInvalidCertificates_, kAllowInvalidCertificatesKey);
    coder.encodeBool(validatesDomainName_, kValidatesDomainNameKey);
    if (pinnedCertificates_) coder.encodeObject(setValue(*pinnedCertificates_), kPinnedCertificatesKey);
}

bool HCSecurityPolicy::decodeSettings(NSKeyedUnarchiver& coder) {
    auto corrupt = [&](const std::string& what) {
        coder.failWithError(NSError::withDescription(NSCocoaErrorDomain, NSCoderReadCorruptError,
                                                     "HCSecurityPolicy: " + what));
        return false;
    };
    if (auto mode = coder.decodeObjectOfClass("NSNumber", kSSLPinningModeKey)) {
        if (!mode->isNumber()) return corrupt("the pinning mode is not a number");
        setSSLPinningMode(HCSSLPinningMode(mode->unsignedIntegerValue()));
    }
    if (coder.error()) return false;
    setAllowInvalidCertificates(coder.decodeBoolForKey(kAllowInvalidCertificatesKey));
    setValidatesDomainName(coder.decodeBoolForKey(kValidatesDomainNameKey));
    if (coder.error()) return false;
    if (auto pinned = coder.decodeObjectOfClasses({"NSSet", "NSData"}, kPinnedCertificatesKey)) {
        const Value::Set* members = pinned->asSet();
        if (!members) return corrupt("the pinned certificates are not a set");
        CertificateSet certificates;
        for (const auto& member : *members) {
            const Data* der = member.asData();
            if (!der) return corrupt("a pinned certificate is not data");
            certificates.push_back(*der);
        }
        setPinnedCertificates(std::move(certificates));
    }
    return !coder.error();
}

std::shared_ptr<Object> HCSecurityPolicy::copyWithZone(NSZone*) const {
    auto copy = newPolicy();
    copy->setSSLPinningMode(SSLPinningMode_);
    copy->setAllowInvalidCertificates(allowInvalidCertificates_);
    copy->setValidatesDomainName(validatesDomainName_);
    copy->setPinnedCertificates(pinnedCertificates_);
    return copy;
}
