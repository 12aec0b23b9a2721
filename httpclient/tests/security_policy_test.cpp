#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>

#include "httpclient/HCSecurityPolicy.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
#include "testsupport/TempDir.h"
#include "testsupport/TestPKI.h"

namespace {

constexpr const char* kSelfSignedLine =
    "In order to validate a domain name for self signed certificates, you MUST use pinning.";

const TestPKI& pki() {
    return TestPKI::shared();
}

SecCertificatePtr cert(const Data& der) {
    auto certificate = SecCertificate::createWithData(der);
    if (!certificate) throw std::runtime_error("test certificate does not parse");
    return certificate;
}

// ---- chains and pins the cases pick from ----

enum class Chain {
    Good,              // localhost, intermediate
    LeafOnly,          // localhost
    WrongHost,         // wrong.example.net, intermediate
    Expired,           // expired localhost, intermediate
    ExpiredWithRoot,   // expired localhost, intermediate, root
    SelfSigned,        // self-signed localhost
    StrangerOwn,       // stranger's leaf, stranger's root
    StrangerWithReal,  // stranger's leaf, real intermediate
    StrangerWithRealAndRoot,
    ForgedWithReal,  // leaf naming the real intermediate, signed by the stranger
};

std::vector<Data> chainData(Chain chain) {
    const Data &leaf = pki().localhost().certificateDer, &inter = pki().intermediate().certificateDer,
               &root = pki().root().certificateDer, &stranger = pki().strangerLeaf().certificateDer;
    const std::map<Chain, std::vector<Data>> chains = {
        {Chain::Good, {leaf, inter}},
        {Chain::LeafOnly, {leaf}},
        {Chain::WrongHost, {pki().wrongHost().certificateDer, inter}},
        {Chain::Expired, {pki().expired().certificateDer, inter}},
        {Chain::ExpiredWithRoot, {pki().expired().certificateDer, inter, root}},
        {Chain::SelfSigned, {pki().selfSigned().certificateDer}},
        {Chain::StrangerOwn, {stranger, pki().strangerRoot().certificateDer}},
        {Chain::StrangerWithReal, {stranger, inter}},
        {Chain::StrangerWithRealAndRoot, {stranger, inter, root}},
        {Chain::ForgedWithReal, {pki().forgedLeaf().certificateDer, inter}}};
    return chains.at(chain);
}

// A trust as a TLS connection hands it over: the presented chain under the basic policy.
SecTrustPtr trustFor(Chain chain) {
    std::vector<SecCertificatePtr> certificates;
    for (const auto& der : chainData(chain)) certificates.push_back(cert(der));
    return SecTrust::create(std::move(certificates), {SecPolicy::createBasicX509()});
}

const Data& garbage() {
    static const Data data = Data::fromString("not a certificate");
    return data;
}

enum class Pins { Nil, Root, Intermediate, SelfSigned, Garbage, GarbageAndIntermediate, StrangerRoot };

std::optional<HCSecurityPolicy::CertificateSet> pinsFor(Pins pins) {
    using Set = HCSecurityPolicy::CertificateSet;
    const Data& inter = pki().intermediate().certificateDer;
    const std::map<Pins, std::optional<Set>> sets = {
        {Pins::Nil, std::nullopt},
        {Pins::Root, Set{pki().root().certificateDer}},
        {Pins::Intermediate, Set{inter}},
        {Pins::SelfSigned, Set{pki().selfSigned().certificateDer}},
        {Pins::Garbage, Set{garbage()}},
        {Pins::GarbageAndIntermediate, Set{garbage(), inter}},
        {Pins::StrangerRoot, Set{pki().strangerRoot().certificateDer}}};
    return sets.at(pins);
}

// The system trusts the test root only; time stands at the test PKI's reference.
class SecurityPolicyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SecSystemAnchors::replace({cert(pki().root().certificateDer)});
        resetClock();
    }
    void TearDown() override { SecSystemAnchors::restoreDefault(); }
    // Back to the reference time.
    void resetClock() {
        clock_.reset();
        clock_.emplace(Date::fromUnixTime(pki().referenceUnixTime()));
    }

    std::optional<ManualClock> clock_;
};

struct TrustCase {
    const char* name;
    unsigned long mode;
    bool allowInvalid;
    bool validatesDomain;
    std::optional<std::string> domain;
    Chain chain;
    Pins pins;
    double daysLater;
    bool expected;
    bool refusedWithLogLine = false;
};

const std::vector<TrustCase>& trustCases() {
    static const std::vector<TrustCase> cases = {
        // No pinning: the platform's verdict.
        {"default: good chain for its host", 0, false, true, "localhost", Chain::Good, Pins::Nil, 0, true},
        {"default: leaf for another host", 0, false, true, "localhost", Chain::WrongHost, Pins::Nil, 0,
         false},
        {"default: address the leaf does not name", 0, false, true, "127.0.0.1", Chain::Good, Pins::Nil, 0,
         false},
        {"default: expired leaf", 0, false, true, "localhost", Chain::Expired, Pins::Nil, 0, false},
        {"default: clock moved past the leaf's end", 0, false, true, "localhost", Chain::Good, Pins::Nil, 31,
         false},
        {"default: self-signed", 0, false, true, "localhost", Chain::SelfSigned, Pins::Nil, 0, false},
        {"default: intermediate missing", 0, false, true, "localhost", Chain::LeafOnly, Pins::Nil, 0, false},
        {"default: no host given", 0, false, true, std::nullopt, Chain::WrongHost, Pins::Nil, 0, true},
        {"no domain check: other host", 0, false, false, "localhost", Chain::WrongHost, Pins::Nil, 0, true},
        {"allow invalid: expired", 0, true, false, "localhost", Chain::Expired, Pins::Nil, 0, true},
        {"allow invalid: stranger's chain", 0, true, false, "localhost", Chain::StrangerOwn, Pins::Nil, 0,
         true},
        // Invalid certificates for a host need pins.
        {"allow invalid + domain, no pinning", 0, true, true, "localhost", Chain::Good, Pins::Nil, 0, false,
         true},
        {"allow invalid + domain, cert pinning, no pins", 2, true, true, "localhost", Chain::Good, Pins::Nil,
         0, false, true},
        {"allow invalid + domain check, no host", 0, true, true, std::nullopt, Chain::SelfSigned, Pins::Nil,
         0, true},
        // Certificate pinning.
        {"cert pins: intermediate", 2, false, true, "localhost", Chain::Good, Pins::Intermediate, 0, true},
        {"cert pins: root the server did not send", 2, false, true, "localhost", Chain::Good, Pins::Root, 0,
         true},
        {"cert pins: valid only through the system", 2, true, false, "localhost", Chain::Good,
         Pins::SelfSigned, 0, false},
        {"cert pins: self-signed pinned", 2, true, true, "localhost", Chain::SelfSigned, Pins::SelfSigned, 0,
         true},
        {"cert pins: self-signed pinned, other host", 2, true, true, "example.org", Chain::SelfSigned,
         Pins::SelfSigned, 0, false},
        {"cert pins: self-signed pinned, invalid refused", 2, false, true, "localhost", Chain::SelfSigned,
         Pins::SelfSigned, 0, false},
        {"cert pins: expired even when invalid allowed", 2, true, false, "localhost", Chain::Expired,
         Pins::Intermediate, 0, false},
        {"cert pins: garbage beside the intermediate", 2, false, true, "localhost", Chain::Good,
         Pins::GarbageAndIntermediate, 0, true},
        {"cert pins: garbage only", 2, true, false, "localhost", Chain::Good, Pins::Garbage, 0, false},
        {"cert pins: stranger's leaf with real intermediate", 2, true, false, "localhost",
         Chain::StrangerWithReal, Pins::Intermediate, 0, false},
        // Public-key pinning.
        {"key pins: intermediate", 1, false, true, "localhost", Chain::Good, Pins::Intermediate, 0, true},
        {"key pins: root from the evaluated path", 1, false, true, "localhost", Chain::Good, Pins::Root, 0,
         true},
        {"key pins: unrelated key", 1, false, true, "localhost", Chain::Good, Pins::SelfSigned, 0, false},
        {"key pins: other host, invalid refused", 1, false, true, "localhost", Chain::WrongHost,
         Pins::Intermediate, 0, false},
        {"key pins: other host, invalid allowed", 1, true, true, "localhost", Chain::WrongHost,
         Pins::Intermediate, 0, false},
        {"key pins: self-signed leaf pinned, other host", 1, true, true, "example.org", Chain::SelfSigned,
         Pins::SelfSigned, 0, false},
        {"key pins: other host, no domain check", 1, true, false, "localhost", Chain::WrongHost,
         Pins::Intermediate, 0, true},
        {"key pins: expired leaf under pinned intermediate", 1, true, false, "localhost", Chain::Expired,
         Pins::Intermediate, 0, true},
        {"key pins: clock moved, invalid refused", 1, false, true, "localhost", Chain::Good,
         Pins::Intermediate, 31, false},
        {"key pins: invalid chain without the pinned root", 1, true, false, "localhost", Chain::Expired,
         Pins::Root, 0, false},
        {"key pins: invalid chain with the pinned root", 1, true, false, "localhost", Chain::ExpiredWithRoot,
         Pins::Root, 0, true},
        {"key pins: self-signed leaf pinned", 1, true, true, "localhost", Chain::SelfSigned, Pins::SelfSigned,
         0, true},
        {"key pins: stranger's root really signs its leaf", 1, true, false, "localhost", Chain::StrangerOwn,
         Pins::StrangerRoot, 0, true},
        // A stranger sending the real, public intermediate along with a leaf of its own.
        {"attack: stranger's leaf + real intermediate", 1, true, false, "localhost", Chain::StrangerWithReal,
         Pins::Intermediate, 0, false},
        {"attack: same with domain check", 1, true, true, "localhost", Chain::StrangerWithReal,
         Pins::Intermediate, 0, false},
        {"attack: leaf naming the real intermediate", 1, true, false, "localhost", Chain::ForgedWithReal,
         Pins::Intermediate, 0, false},
        {"attack: real intermediate and root, root pinned", 1, true, false, "localhost",
         Chain::StrangerWithRealAndRoot, Pins::Root, 0, false},
        // Unknown modes.
        {"mode 3: valid chain", 3, false, true, "localhost", Chain::Good, Pins::Intermediate, 0, false},
    };
    return cases;
}

std::shared_ptr<HCSecurityPolicy> policyFor(const TrustCase& c) {
    auto policy = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode(c.mode), pinsFor(c.pins));
    policy->setAllowInvalidCertificates(c.allowInvalid);
    policy->setValidatesDomainName(c.validatesDomain);
    return policy;
}

TEST_F(SecurityPolicyTest, EvaluatesEveryModeFlagAndChainAsSpecified) {
    for (const auto& c : trustCases()) {
        SCOPED_TRACE(c.name);
        resetClock();
        clock_->advance(c.daysLater * TestPKI::kDay);
        auto policy = policyFor(c);
        auto trust = trustFor(c.chain);
        ASSERT_TRUE(trust);
        Console::Capture console;
        EXPECT_EQ(policy->evaluateServerTrust(trust, c.domain), c.expected);
        EXPECT_EQ(console.contains(kSelfSignedLine), c.refusedWithLogLine);

        // The trust's policy is replaced, unless the evaluation was refused up front.
        auto installed = trust->policies();
        ASSERT_EQ(installed.size(), 1u);
        if (c.refusedWithLogLine || !c.validatesDomain) {
            EXPECT_EQ(installed[0]->kind(), SecPolicy::Kind::BasicX509);
        } else {
            EXPECT_EQ(installed[0]->kind(), SecPolicy::Kind::SSL);
            EXPECT_EQ(installed[0]->hostname(), c.domain);
        }
    }
}

TEST_F(SecurityPolicyTest, PinnedKeysFollowThePinnedCertificates) {
    auto policy = HCSecurityPolicy::create();
    int keyChanges = 0;
    policy->addObserver({}, "pinnedPublicKeys", KVOOptions::New, [&](const KVOChange&) { ++keyChanges; });

    // Duplicates collapse and what does not parse gives no key.
    const Data& intermediate = pki().intermediate().certificateDer;
    const Data& leaf = pki().localhost().certificateDer;
    policy->setPinnedCertificates(HCSecurityPolicy::CertificateSet{garbage(), intermediate, leaf, intermediate});
    ASSERT_TRUE(policy->pinnedCertificates());
    EXPECT_EQ(*policy->pinnedCertificates(), (HCSecurityPolicy::CertificateSet{garbage(), intermediate, leaf}));
    ASSERT_TRUE(policy->pinnedPublicKeys());
    ASSERT_EQ(policy->pinnedPublicKeys()->size(), 2u);
    EXPECT_TRUE((*policy->pinnedPublicKeys())[0]->isEqual(*cert(intermediate)->copyKey()));
    EXPECT_TRUE((*policy->pinnedPublicKeys())[1]->isEqual(*cert(leaf)->copyKey()));

    policy->setPinnedCertificates(std::nullopt);
    EXPECT_FALSE(policy->pinnedPublicKeys());
    EXPECT_EQ(keyChanges, 2);
}

TEST_F(SecurityPolicyTest, BundleCertificatesAreReadOnceAndOnlyFromCerFiles) {
    EXPECT_FALSE(HCSecurityPolicy::defaultPolicy()->evaluateServerTrust(nullptr, "localhost"));
    const auto& defaults = HCSecurityPolicy::defaultPinnedCertificates();
    EXPECT_EQ(&defaults, &HCSecurityPolicy::defaultPinnedCertificates());
    auto pinning = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode::Certificate);
    ASSERT_TRUE(pinning->pinnedCertificates());
    EXPECT_EQ(*pinning->pinnedCertificates(), defaults);

    TempDir dir;
    auto write = [&](const std::string& name, const Data& data) {
        std::ofstream(dir.file(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.bytes()), std::streamsize(data.length()));
    };
    write("b-root.cer", pki().root().certificateDer);
    write("a-garbage.cer", garbage());
    write("c-copy.cer", pki().root().certificateDer);
    write("notes.txt", pki().intermediate().certificateDer);
    std::filesystem::create_directory(dir.file("nested"));
    write("nested/d.cer", pki().intermediate().certificateDer);
    std::filesystem::create_symlink(dir.file("missing"), dir.file("dangling.cer"));
    auto bundle = NSBundle::bundleWithPath(dir.path());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(HCSecurityPolicy::certificatesInBundle(*bundle),
              (HCSecurityPolicy::CertificateSet{garbage(), pki().root().certificateDer}));
}

}  // namespace
