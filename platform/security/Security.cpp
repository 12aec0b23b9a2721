#include "platform/security/Security.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include "platform/foundation/Clock.h"

namespace {

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct StoreFree {
    void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
    void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); }
};
struct StackFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_free(s); }
};
struct StackPopFree {
    void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;

std::string lastOpenSSLError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown OpenSSL error";
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

std::string nameEntry(X509_NAME* name, int nid) {
    if (!name) return "";
    int last = -1;
    for (int i = X509_NAME_get_index_by_NID(name, nid, -1); i >= 0;
         i = X509_NAME_get_index_by_NID(name, nid, i))
        last = i;
    if (last < 0) return "";
    ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, last));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length < 0) return "";
    std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return text;
}

std::string firstDnsName(X509* cert) {
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (!names) return "";
    std::string result;
    for (int i = 0; i < sk_GENERAL_NAME_num(names) && result.empty(); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
        if (name->type == GEN_DNS) {
            const ASN1_IA5STRING* dns = name->d.dNSName;
            result.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                          static_cast<size_t>(ASN1_STRING_length(dns)));
        }
    }
    GENERAL_NAMES_free(names);
    return result;
}

// A host as given to the SSL policy: an address literal ("127.0.0.1", "::1", "[::1]") or a DNS name
// (one trailing dot dropped).
struct HostCheck {
    bool isAddress = false;
    std::string text;
};

HostCheck parseHost(const std::string& host) {
    std::string bare = host;
    if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    unsigned char buffer[16];
    if (inet_pton(AF_INET, bare.c_str(), buffer) == 1 || inet_pton(AF_INET6, bare.c_str(), buffer) == 1)
        return {true, bare};
    std::string name = host;
    if (name.size() > 1 && name.back() == '.') name.pop_back();
    return {false, name};
}

bool isPlainHostName(const std::string& name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '.' || ch == '_';
    });
}

SecTrustResultType resultForError(int error) {
    switch (error) {
        case X509_V_OK:
            return SecTrustResultType::Unspecified;
        case X509_V_ERR_CERT_SIGNATURE_FAILURE:
        case X509_V_ERR_CRL_SIGNATURE_FAILURE:
        case X509_V_ERR_CERT_REVOKED:
        case X509_V_ERR_INVALID_CA:
        case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        case X509_V_ERR_INVALID_PURPOSE:
        case X509_V_ERR_CERT_REJECTED:
        case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        case X509_V_ERR_OUT_OF_MEM:
            return SecTrustResultType::FatalTrustFailure;
        default:
            // Expired or not yet valid, unknown issuer, self-signed, name mismatch: the user could accept it.
            return SecTrustResultType::RecoverableTrustFailure;
    }
}

// The system anchors: either OpenSSL's default paths (loaded once) or a replacement set by tests.
struct SystemAnchors {
    std::mutex mutex;
    std::shared_ptr<X509_STORE> defaultStore;
    std::optional<std::vector<SecCertificatePtr>> replacement;
};

SystemAnchors& systemAnchors() {
    static auto* anchors = new SystemAnchors;
    return *anchors;
}

std::shared_ptr<X509_STORE> makeSharedStore(X509_STORE* store) {
    return std::shared_ptr<X509_STORE>(store, [](X509_STORE* s) { X509_STORE_free(s); });
}

}  // namespace

// --- SecKey -----------------------------------------------------------------------------------------------

bool SecKey::isEqual(const Object& other) const {
    auto* key = dynamic_cast<const SecKey*>(&other);
    return key && *key == *this;
}

std::string SecKey::description() const {
    const char* name = algorithm_ == Algorithm::RSA ? "RSA" : algorithm_ == Algorithm::EC ? "EC" : "other";
    return "<SecKey " + std::string(name) + " " + std::to_string(bits_) + " bits>";
}

// --- SecCertificate ---------------------------------------------------------------------------------------

struct SecCertificate::Impl {
    X509Ptr x509;
};

SecCertificate::SecCertificate(Data der, std::unique_ptr<Impl> impl)
    : der_(std::move(der)), impl_(std::move(impl)) {}
SecCertificate::~SecCertificate() = default;

std::shared_ptr<SecCertificate> SecCertificate::createWithData(const Data& der) {
    if (der.empty()) return nullptr;
    const unsigned char* cursor = der.bytes();
    X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.length())));
    ERR_clear_error();
    if (!x509 || cursor != der.bytes() + der.length()) return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->x509 = std::move(x509);
    return std::shared_ptr<SecCertificate>(new SecCertificate(der, std::move(impl)));
}

std::string SecCertificate::subjectSummary() const {
    X509_NAME* subject = X509_get_subject_name(impl_->x509.get());
    for (auto candidate :
         {nameEntry(subject, NID_commonName), firstDnsName(impl_->x509.get()),
          nameEntry(subject, NID_organizationName), nameEntry(subject, NID_pkcs9_emailAddress)}) {
        if (!candidate.empty()) return candidate;
    }
    return "";
}

SecKeyPtr SecCertificate::copyKey() const {
    EVP_PKEY* key = X509_get0_pubkey(impl_->x509.get());
    X509_PUBKEY* spki = X509_get_X509_PUBKEY(impl_->x509.get());
    if (!key || !spki) {
        ERR_clear_error();
        return nullptr;
    }
    unsigned char* der = nullptr;
    int length = i2d_X509_PUBKEY(spki, &der);
    if (length <= 0) {
        ERR_clear_error();
        return nullptr;
    }
    Data bytes(der, static_cast<size_t>(length));
    OPENSSL_free(der);
    SecKey::Algorithm algorithm = SecKey::Algorithm::Other;
    switch (EVP_PKEY_get_base_id(key)) {
        case EVP_PKEY_RSA:
            algorithm = SecKey::Algorithm::RSA;
            break;
        case EVP_PKEY_EC:
            algorithm = SecKey::Algorithm::EC;
            break;
        default:
            break;
    }
    return std::make_shared<SecKey>(std::move(bytes), algorithm, EVP_PKEY_get_bits(key));
}

bool SecCertificate::isEqual(const Object& other) const {
    auto* cert = dynamic_cast<const SecCertificate*>(&other);
    return cert && cert->der_ == der_;
}

std::string SecCertificate::description() const {
    return "<SecCertificate \"" + subjectSummary() + "\">";
}

// --- SecPolicy --------------------------------------------------------------------------------------------

std::shared_ptr<SecPolicy> SecPolicy::createBasicX509() {
    return std::shared_ptr<SecPolicy>(new SecPolicy(Kind::BasicX509, Side::Server, std::nullopt));
}

std::shared_ptr<SecPolicy> SecPolicy::createSSL(Side side, std::optional<std::string> hostname) {
    if (hostname && hostname->empty()) hostname.reset();
    return std::shared_ptr<SecPolicy>(new SecPolicy(Kind::SSL, side, std::move(hostname)));
}

// --- SecTrust ---------------------------------------------------------------------------------------------

struct SecTrust::State {
    mutable std::mutex mutex;
    std::vector<SecCertificatePtr> presented;
    std::vector<SecPolicyPtr> policies;
    std::optional<std::vector<SecCertificatePtr>> anchors;
    AnchorsOnly anchorsOnly = AnchorsOnly::Yes;
    bool ignoresValidityDates = false;
    // The last evaluation.
    bool evaluated = false;
    SecTrustResultType result = SecTrustResultType::Invalid;
    std::vector<SecCertificatePtr> chain;
    std::string failure;

    void reset() {
        evaluated = false;
        result = SecTrustResultType::Invalid;
        chain.clear();
        failure.clear();
    }
};

namespace {

bool anyNull(const std::vector<SecCertificatePtr>& certificates) {
    return std::any_of(certificates.begin(), certificates.end(), [](const auto& c) { return !c; });
}

// The store an evaluation verifies against; null (with `failure` set) when it cannot be made.
std::shared_ptr<X509_STORE> storeFor(const SecTrust::State& state, std::string& failure) {
    auto addAll = [&](X509_STORE* store, const std::vector<SecCertificatePtr>& certs) {
        for (const auto& cert : certs) {
            // Adding a certificate already present is not an error worth failing the evaluation for.
            X509_STORE_add_cert(store, cert->impl().x509.get());
        }
        ERR_clear_error();
    };
    bool useCustom = state.anchors.has_value();
    bool useSystem = !useCustom || state.anchorsOnly == AnchorsOnly::No;

    auto& system = systemAnchors();
    std::lock_guard lock(system.mutex);
    if (useSystem && !useCustom && !system.replacement) {
        if (!system.defaultStore) {
            X509_STORE* store = X509_STORE_new();
            if (!store) {
                failure = "cannot allocate a certificate store";
                return nullptr;
            }
            if (X509_STORE_set_default_paths(store) != 1)
                ERR_clear_error();  // no system store: nothing trusted
            system.defaultStore = makeSharedStore(store);
        }
        return system.defaultStore;
    }
    X509_STORE* store = X509_STORE_new();
    if (!store) {
        failure = "cannot allocate a certificate store";
        return nullptr;
    }
    auto shared = makeSharedStore(store);
    if (useCustom) addAll(store, *state.anchors);
    if (useSystem) {
        if (system.replacement) {
            addAll(store, *system.replacement);
        } else if (X509_STORE_set_default_paths(store) != 1) {
            ERR_clear_error();
        }
    }
    return shared;
}

struct PolicyOutcome {
    bool ok = false;
    int error = X509_V_OK;
    std::string failure;
    std::vector<std::string> chainDer;  // leaf to anchor, DER
    bool internalError = false;
};

PolicyOutcome verifyOne(const SecTrust::State& state, X509_STORE* store, const SecPolicy& policy,
                        time_t when) {
    PolicyOutcome outcome;
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    std::unique_ptr<STACK_OF(X509), StackFree> untrusted(sk_X509_new_null());
    if (!ctx || !untrusted) {
        outcome.internalError = true;
        outcome.failure = "cannot allocate a verification context";
        return outcome;
    }
    for (size_t i = 1; i < state.presented.size(); ++i)
        sk_X509_push(untrusted.get(), state.presented[i]->impl().x509.get());
    if (X509_STORE_CTX_init(ctx.get(), store, state.presented[0]->impl().x509.get(), untrusted.get()) != 1) {
        outcome.internalError = true;
        outcome.failure = lastOpenSSLError();
        return outcome;
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(ctx.get());
    if (state.ignoresValidityDates) {
        X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_NO_CHECK_TIME);
    } else {
        X509_VERIFY_PARAM_set_time(param, when);
    }
    if (state.anchors) X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_PARTIAL_CHAIN);
    if (policy.kind() == SecPolicy::Kind::SSL) {
        X509_VERIFY_PARAM_set_purpose(param, policy.side() == SecPolicy::Side::Server
                                                 ? X509_PURPOSE_SSL_SERVER
                                                 : X509_PURPOSE_SSL_CLIENT);
        if (policy.side() == SecPolicy::Side::Server && policy.hostname()) {
            HostCheck host = parseHost(*policy.hostname());
            X509_VERIFY_PARAM_set_hostflags(
                param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
            int set = 0;
            if (host.isAddress) {
                set = X509_VERIFY_PARAM_set1_ip_asc(param, host.text.c_str());
            } else if (isPlainHostName(host.text)) {
                set = X509_VERIFY_PARAM_set1_host(param, host.text.c_str(), host.text.size());
            }
            if (set != 1) {
                // A host that cannot be a name in a certificate ("f*.example.com", an embedded NUL) matches
                // nothing, whatever the certificate says.
                ERR_clear_error();
                outcome.error = X509_V_ERR_HOSTNAME_MISMATCH;
                outcome.failure = "the host name \"" + *policy.hostname() + "\" cannot be checked";
                return outcome;
            }
        }
    }
    int verified = X509_verify_cert(ctx.get());
    outcome.error = X509_STORE_CTX_get_error(ctx.get());
    if (verified == 1) {
        outcome.ok = true;
        std::unique_ptr<STACK_OF(X509), StackPopFree> chain(X509_STORE_CTX_get1_chain(ctx.get()));
        for (int i = 0; chain && i < sk_X509_num(chain.get()); ++i) {
            unsigned char* der = nullptr;
            int length = i2d_X509(sk_X509_value(chain.get(), i), &der);
            if (length <= 0) {
                outcome.ok = false;
                outcome.internalError = true;
                outcome.failure = "cannot encode the evaluated chain";
                break;
            }
            outcome.chainDer.emplace_back(reinterpret_cast<char*>(der), static_cast<size_t>(length));
            OPENSSL_free(der);
        }
    } else if (verified < 0 || outcome.error == X509_V_OK) {
        outcome.internalError = true;
        outcome.failure = lastOpenSSLError();
    } else {
        int depth = X509_STORE_CTX_get_error_depth(ctx.get());
        outcome.failure = std::string(X509_verify_cert_error_string(outcome.error)) + " (certificate " +
                          std::to_string(depth) + ")";
    }
    ERR_clear_error();
    return outcome;
}

}  // namespace

SecTrust::SecTrust(std::unique_ptr<State> state) : state_(std::move(state)) {}
SecTrust::~SecTrust() = default;

std::shared_ptr<SecTrust> SecTrust::create(std::vector<SecCertificatePtr> certificates,
                                           std::vector<SecPolicyPtr> policies, OSStatus* status) {
    bool badPolicy = std::any_of(policies.begin(), policies.end(), [](const auto& p) { return !p; });
    if (certificates.empty() || anyNull(certificates) || badPolicy) {
        if (status) *status = errSecParam;
        return nullptr;
    }
    auto state = std::make_unique<State>();
    state->presented = std::move(certificates);
    state->policies = std::move(policies);
    if (status) *status = errSecSuccess;
    return std::shared_ptr<SecTrust>(new SecTrust(std::move(state)));
}

OSStatus SecTrust::setPolicies(std::vector<SecPolicyPtr> policies) {
    if (std::any_of(policies.begin(), policies.end(), [](const auto& p) { return !p; })) return errSecParam;
    std::lock_guard lock(state_->mutex);
    state_->policies = std::move(policies);
    state_->reset();
    return errSecSuccess;
}

std::vector<SecPolicyPtr> SecTrust::policies() const {
    std::lock_guard lock(state_->mutex);
    return state_->policies;
}

OSStatus SecTrust::setAnchorCertificates(std::vector<SecCertificatePtr> anchors) {
    if (anyNull(anchors)) return errSecParam;
    std::lock_guard lock(state_->mutex);
    state_->anchors = std::move(anchors);
    state_->anchorsOnly = AnchorsOnly::Yes;
    state_->reset();
    return errSecSuccess;
}

OSStatus SecTrust::setAnchorCertificatesOnly(AnchorsOnly only) {
    std::lock_guard lock(state_->mutex);
    state_->anchorsOnly = only;
    state_->reset();
    return errSecSuccess;
}

OSStatus SecTrust::setIgnoresValidityDates(bool ignores) {
    std::lock_guard lock(state_->mutex);
    state_->ignoresValidityDates = ignores;
    state_->reset();
    return errSecSuccess;
}

OSStatus SecTrust::evaluate(SecTrustResultType* result) {
    if (!result) return errSecParam;
    std::lock_guard lock(state_->mutex);
    State& state = *state_;
    state.reset();
    state.evaluated = true;

    std::string failure;
    auto store = storeFor(state, failure);
    if (!store) {
        state.result = SecTrustResultType::OtherError;
        state.failure = failure;
        *result = state.result;
        return errSecAllocate;
    }
    auto when = static_cast<time_t>(Clock::now().unixTime());
    std::vector<SecPolicyPtr> policies = state.policies;
    if (policies.empty()) policies.push_back(SecPolicy::createBasicX509());

    // Every policy must hold; the path comes from the first.
    std::vector<std::string> chainDer;
    for (const auto& policy : policies) {
        PolicyOutcome outcome = verifyOne(state, store.get(), *policy, when);
        if (outcome.internalError) {
            state.result = SecTrustResultType::OtherError;
            state.failure = outcome.failure;
            *result = state.result;
            return errSecInternalComponent;
        }
        if (!outcome.ok) {
            state.result = resultForError(outcome.error);
            state.failure = outcome.failure;
            *result = state.result;
            return errSecSuccess;
        }
        if (chainDer.empty()) chainDer = std::move(outcome.chainDer);
    }

    // The path, reusing the presented and anchor objects where they appear in it.
    std::vector<SecCertificatePtr> known = state.presented;
    if (state.anchors) known.insert(known.end(), state.anchors->begin(), state.anchors->end());
    for (const auto& der : chainDer) {
        Data bytes(der.data(), der.size());
        auto found =
            std::find_if(known.begin(), known.end(), [&](const auto& c) { return c->data() == bytes; });
        SecCertificatePtr cert = found != known.end() ? *found : SecCertificate::createWithData(bytes);
        if (cert) state.chain.push_back(std::move(cert));
    }
    state.result = SecTrustResultType::Unspecified;
    *result = state.result;
    return errSecSuccess;
}

bool SecTrust::evaluateWithError(NSErrorPtr* error) {
    SecTrustResultType result = SecTrustResultType::Invalid;
    OSStatus status = evaluate(&result);
    if (status == errSecSuccess &&
        (result == SecTrustResultType::Unspecified || result == SecTrustResultType::Proceed)) {
        if (error) *error = nullptr;
        return true;
    }
    if (error) {
        std::string reason;
        {
            std::lock_guard lock(state_->mutex);
            reason = state_->failure;
        }
        std::string summary = state_->presented[0]->subjectSummary();
        *error = NSError::withDescription(NSOSStatusErrorDomain,
                                          status == errSecSuccess ? errSecNotTrusted : status,
                                          "\"" + summary + "\" is not trusted: " + reason);
    }
    return false;
}

size_t SecTrust::certificateCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->chain.empty() ? state_->presented.size() : state_->chain.size();
}

SecCertificatePtr SecTrust::certificateAtIndex(size_t index) const {
    std::lock_guard lock(state_->mutex);
    const auto& list = state_->chain.empty() ? state_->presented : state_->chain;
    return index < list.size() ? list[index] : nullptr;
}

SecKeyPtr SecTrust::copyPublicKey() const {
    std::lock_guard lock(state_->mutex);
    return state_->presented[0]->copyKey();
}

// --- system anchors ---------------------------------------------------------------------------------------

void SecSystemAnchors::replace(std::vector<SecCertificatePtr> anchors) {
    anchors.erase(std::remove(anchors.begin(), anchors.end(), nullptr), anchors.end());
    auto& system = systemAnchors();
    std::lock_guard lock(system.mutex);
    system.replacement = std::move(anchors);
}

void SecSystemAnchors::restoreDefault() {
    auto& system = systemAnchors();
    std::lock_guard lock(system.mutex);
    system.replacement.reset();
}
