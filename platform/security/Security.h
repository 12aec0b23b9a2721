// Certificates, public keys, policies and trust evaluation (the platform's Security services).
//
// A `SecTrust` holds the chain a peer presented (leaf first) and the policies to check it against. Evaluation
// builds a path from the leaf to an anchor: the system's anchors by default, or the certificates given with
// `setAnchorCertificates` (alone, or together with the system's when `setAnchorCertificatesOnly(No)`). An
// anchor set by the caller may be a leaf or an intermediate: the path may end at it. The evaluation time is
// the platform clock's `now`, so tests expire a certificate by moving a manual clock, unless the trust is
// told to ignore validity dates altogether.
//
// Host names for the SSL policy are matched against the certificate's subject alternative names only (DNS
// names, or IP addresses when the host is a literal address). A wildcard is accepted only as the whole
// left-most label: "*.example.com" matches "a.example.com", never "example.com" or "a.b.example.com", and
// partial wildcards such as "f*.example.com" match nothing.
//
// Objects are immutable except `SecTrust`, whose methods may be called from any thread (it locks itself).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"

using OSStatus = int32_t;
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecInternalComponent = -2070;
inline constexpr OSStatus errSecNotTrusted = -67843;

inline constexpr const char* NSOSStatusErrorDomain = "NSOSStatusErrorDomain";

// The outcome of an evaluation. `Proceed` and `Unspecified` are success; `Unspecified` is what an evaluation
// that found a valid path without any explicit user setting gives.
enum class SecTrustResultType : uint32_t {
    Invalid = 0,
    Proceed = 1,
    Deny = 3,
    Unspecified = 4,
    RecoverableTrustFailure = 5,
    FatalTrustFailure = 6,
    OtherError = 7,
};

// A public key, kept as its SubjectPublicKeyInfo DER. Two keys are equal when their bytes are.
class SecKey final : public Object {
  public:
    enum class Algorithm { RSA, EC, Other };

    const Data& subjectPublicKeyInfo() const { return spki_; }
    Algorithm algorithm() const { return algorithm_; }
    int sizeInBits() const { return bits_; }

    bool isEqual(const Object& other) const override;
    bool operator==(const SecKey& other) const { return spki_ == other.spki_; }
    std::string description() const override;

    // Internal: made by certificates.
    SecKey(Data spki, Algorithm algorithm, int bits)
        : spki_(std::move(spki)), algorithm_(algorithm), bits_(bits) {}

  private:
    Data spki_;
    Algorithm algorithm_;
    int bits_;
};
using SecKeyPtr = std::shared_ptr<SecKey>;

class SecCertificate final : public Object {
  public:
    // A certificate from its DER bytes; null for anything else (empty, garbage, PEM text, trailing bytes).
    static std::shared_ptr<SecCertificate> createWithData(const Data& der);

    ~SecCertificate() override;

    // The DER bytes the certificate was made from.
    const Data& data() const { return der_; }
    // A short human-readable name: the subject's common name, else its first DNS name, organisation or
    // e-mail address, else "".
    std::string subjectSummary() const;
    // The subject's public key; null when the key cannot be read.
    SecKeyPtr copyKey() const;

    bool isEqual(const Object& other) const override;
    std::string description() const override;

    struct Impl;
    const Impl& impl() const { return *impl_; }

  private:
    SecCertificate(Data der, std::unique_ptr<Impl> impl);
    Data der_;
    std::unique_ptr<Impl> impl_;
};
using SecCertificatePtr = std::shared_ptr<SecCertificate>;

class SecPolicy final : public Object {
  public:
    enum class Kind { BasicX509, SSL };
    enum class Side { Server, Client };

    // Checks the path and validity only.
    static std::shared_ptr<SecPolicy> createBasicX509();
    // Also checks the purpose for `side`, and, for a server with a host name, that the leaf names the host.
    // The host may be a DNS name or an IPv4/IPv6 literal (brackets allowed); nullopt or "" checks no name.
    static std::shared_ptr<SecPolicy> createSSL(Side side, std::optional<std::string> hostname);

    Kind kind() const { return kind_; }
    Side side() const { return side_; }
    const std::optional<std::string>& hostname() const { return hostname_; }

  private:
    SecPolicy(Kind kind, Side side, std::optional<std::string> hostname)
        : kind_(kind), side_(side), hostname_(std::move(hostname)) {}
    Kind kind_;
    Side side_;
    std::optional<std::string> hostname_;
};
using SecPolicyPtr = std::shared_ptr<SecPolicy>;

enum class AnchorsOnly { No, Yes };

class SecTrust final : public Object {
  public:
    // A trust for `certificates` (leaf first; the others help build the path). An empty chain or a null
    // element gives errSecParam and no trust. No policy means the basic X.509 policy.
    static std::shared_ptr<SecTrust> create(std::vector<SecCertificatePtr> certificates,
                                            std::vector<SecPolicyPtr> policies, OSStatus* status = nullptr);
    ~SecTrust() override;

    // Each setter discards the result of an earlier evaluation.
    OSStatus setPolicies(std::vector<SecPolicyPtr> policies);
    std::vector<SecPolicyPtr> policies() const;
    // Evaluations then trust these anchors only (until `setAnchorCertificatesOnly(No)`). An empty list means
    // nothing is trusted; null elements give errSecParam and change nothing.
    OSStatus setAnchorCertificates(std::vector<SecCertificatePtr> anchors);
    OSStatus setAnchorCertificatesOnly(AnchorsOnly only);
    // Evaluations then skip the validity dates of every certificate on the path (off by default); signatures,
    // constraints and the policies' other checks still apply. With the basic X.509 policy and one anchor
    // alone, an evaluation answers just whether the leaf's signatures reach that anchor.
    OSStatus setIgnoresValidityDates(bool ignores);

    // Evaluates now (Clock::now()), or at no particular time when dates are ignored. The returned status
    // tells whether the evaluation could be made at all; the verdict is in `result`.
    OSStatus evaluate(SecTrustResultType* result);
    // The same, as a yes/no answer; on failure `error` (when given) says why, in the NSOSStatusErrorDomain.
    bool evaluateWithError(NSErrorPtr* error);

    // After a successful evaluation: the evaluated path from the leaf to the anchor. Otherwise the chain that
    // was presented.
    size_t certificateCount() const;
    SecCertificatePtr certificateAtIndex(size_t index) const;  // null when out of range
    // The leaf's public key (null when it cannot be read).
    SecKeyPtr copyPublicKey() const;

    struct State;

  private:
    explicit SecTrust(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};
using SecTrustPtr = std::shared_ptr<SecTrust>;

// The anchors that trusts use when the caller gives none: OpenSSL's default verify paths (the system's
// certificate store). Tests replace them process-wide and restore them afterwards.
namespace SecSystemAnchors {
void replace(std::vector<SecCertificatePtr> anchors);
void restoreDefault();
}  // namespace SecSystemAnchors
