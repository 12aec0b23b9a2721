#include <filesystem>
#include <map>

#include "httpclient/HCSecurityPolicy.h"
#include "httpclient/tests/HCTestSupport.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Console.h"
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

const Data& garbage() {
    static const Data data = Data::fromString("not a certificate");
    return data;
}

// The chains a server may present, and the pins a policy may hold.
enum class Chain {
    Good,
    WrongHost,
    Expired,
    ExpiredRoot,
    SelfSigned,
    StrangerOwn,
    StrangerReal,
    StrangerRealRoot,
    ForgedReal
};
enum class Pins { NoPins, RootPin, InterPin, SelfPin, GarbagePin, GarbageAndInterPin, StrangerRootPin };

// A trust as a TLS connection hands it over: the presented chain under the basic policy.
SecTrustPtr trustFor(Chain chain) {
    const Data &leaf = pki().localhost().certificateDer, &inter = pki().intermediate().certificateDer,
               &root = pki().root().certificateDer, &stranger = pki().strangerLeaf().certificateDer,
               &expired = pki().expired().certificateDer;
    const std::map<Chain, std::vector<Data>> chains = {
        {Chain::Good, {leaf, inter}},
        {Chain::WrongHost, {pki().wrongHost().certificateDer, inter}},
        {Chain::Expired, {expired, inter}},
        {Chain::ExpiredRoot, {expired, inter, root}},
        {Chain::SelfSigned, {pki().selfSigned().certificateDer}},
        {Chain::StrangerOwn, {stranger, pki().strangerRoot().certificateDer}},
        {Chain::StrangerReal, {stranger, inter}},            // the real, public intermediate beside
        {Chain::StrangerRealRoot, {stranger, inter, root}},  // a stranger's leaf
        {Chain::ForgedReal, {pki().forgedLeaf().certificateDer, inter}}};  // names the real issuer
    std::vector<SecCertificatePtr> certificates;
    for (const auto& der : chains.at(chain)) certificates.push_back(cert(der));
    return SecTrust::create(std::move(certificates), {SecPolicy::createBasicX509()});
}

std::optional<HCSecurityPolicy::CertificateSet> pinsFor(Pins pins) {
    using Set = HCSecurityPolicy::CertificateSet;
    const Data& inter = pki().intermediate().certificateDer;
    const std::map<Pins, std::optional<Set>> sets = {
        {Pins::NoPins, std::nullopt},
        {Pins::RootPin, Set{pki().root().certificateDer}},
        {Pins::InterPin, Set{inter}},
        {Pins::SelfPin, Set{pki().selfSigned().certificateDer}},
        {Pins::GarbagePin, Set{garbage()}},
        {Pins::GarbageAndInterPin, Set{garbage(), inter}},
        {Pins::StrangerRootPin, Set{pki().strangerRoot().certificateDer}}};
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

// Flags: A allows invalid certificates, D validates the domain name, L the evaluation is refused up front
// with a line on the console, T the clock stands 31 days later.
struct TrustCase {
    const char* name;
    unsigned long mode;
    std::string flags;
    const char* host;  // nullptr: none given
    Chain chain;
    Pins pins;
    bool expected;
    bool has(char flag) const { return flags.find(flag) != std::string::npos; }
};

TEST_F(SecurityPolicyTest, EvaluatesEveryModeFlagAndChainAsSpecified) {
    using enum Chain;
    using enum Pins;
    const TrustCase cases[] = {
        // No pinning: the platform's verdict (its own tests cover why a chain is invalid).
        {"default: good chain for its host", 0, "D", "localhost", Good, NoPins, true},
        {"default: leaf for another host", 0, "D", "localhost", WrongHost, NoPins, false},
        {"default: no host given", 0, "D", nullptr, WrongHost, NoPins, true},
        {"no domain check: other host", 0, "", "localhost", WrongHost, NoPins, true},
        {"allow invalid: expired", 0, "A", "localhost", Expired, NoPins, true},
        // Invalid certificates for a host need pins.
        {"allow invalid + domain, no pinning", 0, "ADL", "localhost", Good, NoPins, false},
        {"allow invalid + domain, cert pinning, no pins", 2, "ADL", "localhost", Good, NoPins, false},
        {"allow invalid + domain check, no host", 0, "AD", nullptr, SelfSigned, NoPins, true},
        // Certificate pinning.
        {"cert pins: intermediate", 2, "D", "localhost", Good, InterPin, true},
        {"cert pins: root the server did not send", 2, "D", "localhost", Good, RootPin, true},
        {"cert pins: valid only through the system", 2, "A", "localhost", Good, SelfPin, false},
        {"cert pins: self-signed pinned", 2, "AD", "localhost", SelfSigned, SelfPin, true},
        {"cert pins: self-signed pinned, other host", 2, "AD", "example.org", SelfSigned, SelfPin, false},
        {"cert pins: self-signed, invalid refused", 2, "D", "localhost", SelfSigned, SelfPin, false},
        {"cert pins: expired even when invalid allowed", 2, "A", "localhost", Expired, InterPin, false},
        {"cert pins: garbage beside the intermediate", 2, "D", "localhost", Good, GarbageAndInterPin, true},
        {"cert pins: garbage only", 2, "A", "localhost", Good, GarbagePin, false},
        {"cert pins: stranger's leaf, real intermediate", 2, "A", "localhost", StrangerReal, InterPin, false},
        // Public-key pinning.
        {"key pins: intermediate", 1, "D", "localhost", Good, InterPin, true},
        {"key pins: root from the evaluated path", 1, "D", "localhost", Good, RootPin, true},
        {"key pins: unrelated key", 1, "D", "localhost", Good, SelfPin, false},
        {"key pins: other host, invalid allowed", 1, "AD", "localhost", WrongHost, InterPin, false},
        {"key pins: other host, no domain check", 1, "A", "localhost", WrongHost, InterPin, true},
        {"key pins: expired under pinned intermediate", 1, "A", "localhost", Expired, InterPin, true},
        {"key pins: clock moved, invalid refused", 1, "DT", "localhost", Good, InterPin, false},
        {"key pins: invalid chain without the pinned root", 1, "A", "localhost", Expired, RootPin, false},
        {"key pins: invalid chain with the pinned root", 1, "A", "localhost", ExpiredRoot, RootPin, true},
        {"key pins: self-signed leaf pinned", 1, "AD", "localhost", SelfSigned, SelfPin, true},
        {"key pins: stranger's root signs its leaf", 1, "A", "localhost", StrangerOwn, StrangerRootPin, true},
        // A stranger sending the real, public intermediate along with a leaf of its own.
        {"attack: stranger's leaf + real inter", 1, "A", "localhost", StrangerReal, InterPin, false},
        {"attack: leaf naming the real intermediate", 1, "A", "localhost", ForgedReal, InterPin, false},
        {"attack: real inter and root, root pinned", 1, "A", "localhost", StrangerRealRoot, RootPin, false},
        // Unknown modes.
        {"mode 3: valid chain", 3, "D", "localhost", Good, InterPin, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetClock();
        clock_->advance(c.has('T') ? 31 * TestPKI::kDay : 0);
        auto policy = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode(c.mode), pinsFor(c.pins));
        policy->setAllowInvalidCertificates(c.has('A'));
        policy->setValidatesDomainName(c.has('D'));
        auto trust = trustFor(c.chain);
        ASSERT_TRUE(trust);
        Console::Capture console;
        const auto domain = c.host ? std::optional<std::string>(c.host) : std::nullopt;
        EXPECT_EQ(policy->evaluateServerTrust(trust, domain), c.expected);
        EXPECT_EQ(console.contains(kSelfSignedLine), c.has('L'));
        // The trust's policy is replaced, unless the evaluation was refused up front.
        auto installed = trust->policies();
        ASSERT_EQ(installed.size(), 1u);
        const bool ssl = !c.has('L') && c.has('D');
        EXPECT_EQ(installed[0]->kind(), ssl ? SecPolicy::Kind::SSL : SecPolicy::Kind::BasicX509);
        if (ssl) {
            EXPECT_EQ(installed[0]->hostname(), domain);
        }
    }
}

// Duplicates collapse, what does not parse gives no key, and the keys follow every change of the pins.
TEST_F(SecurityPolicyTest, PinnedKeysFollowThePinnedCertificates) {
    using Set = HCSecurityPolicy::CertificateSet;
    auto policy = HCSecurityPolicy::create();
    int keyChanges = 0;
    policy->addObserver({}, "pinnedPublicKeys", KVOOptions::New, [&](const KVOChange&) { ++keyChanges; });
    const Data &inter = pki().intermediate().certificateDer, &leaf = pki().localhost().certificateDer;
    policy->setPinnedCertificates(Set{garbage(), inter, leaf, inter});
    EXPECT_EQ(policy->pinnedCertificates(), (Set{garbage(), inter, leaf}));
    ASSERT_EQ(policy->pinnedPublicKeys().value_or(std::vector<SecKeyPtr>()).size(), 2u);
    EXPECT_TRUE((*policy->pinnedPublicKeys())[0]->isEqual(*cert(inter)->copyKey()));
    EXPECT_TRUE((*policy->pinnedPublicKeys())[1]->isEqual(*cert(leaf)->copyKey()));
    policy->setPinnedCertificates(std::nullopt);
    EXPECT_FALSE(policy->pinnedPublicKeys());
    EXPECT_EQ(keyChanges, 2);
}

TEST_F(SecurityPolicyTest, BundleCertificatesAreReadOnceAndOnlyFromCerFiles) {
    EXPECT_FALSE(HCSecurityPolicy::defaultPolicy()->evaluateServerTrust(nullptr, "localhost"));
    const auto& defaults = HCSecurityPolicy::defaultPinnedCertificates();
    EXPECT_EQ(&defaults, &HCSecurityPolicy::defaultPinnedCertificates());
    EXPECT_EQ(HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode::Certificate)->pinnedCertificates(),
              defaults);
    TempDir dir;
    const std::string root = pki().root().certificateDer.toString();
    for (auto [name, text] : {std::pair{"b-root.cer", root},
                              {"a-garbage.cer", garbage().toString()},
                              {"c-copy.cer", root},
                              {"notes.txt", pki().intermediate().certificateDer.toString()}})
        writeFile(dir.file(name), text);
    std::filesystem::create_directory(dir.file("nested"));
    writeFile(dir.file("nested/d.cer"), pki().intermediate().certificateDer.toString());
    std::filesystem::create_symlink(dir.file("missing"), dir.file("dangling.cer"));
    auto bundle = NSBundle::bundleWithPath(dir.path());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(HCSecurityPolicy::certificatesInBundle(*bundle),
              (HCSecurityPolicy::CertificateSet{garbage(), pki().root().certificateDer}));
}

}  // namespace

namespace {

// A connection accepted under one policy is not ridden under another: after the switch the next request
// goes on a new connection, which the new policy judges.
TEST(SecurityPolicyConnections, ASwitchedPolicyJudgesTheNextRequestAfresh) {
    LoopbackServer server(pki(), pki().wrongHost());  // no default policy accepts it
    server.reply("/r", LoopbackReply::json("{}"));
    auto permissive = HCSecurityPolicy::policyWithPinningMode(HCSSLPinningMode::None);
    permissive->setAllowInvalidCertificates(true);
    permissive->setValidatesDomainName(false);
    auto pinned = HCSecurityPolicy::policyWithPinningMode(
        HCSSLPinningMode::Certificate, HCSecurityPolicy::CertificateSet{pki().strangerRoot().certificateDer});
    auto manager = HCHTTPSessionManager::manager();
    struct Step {
        std::shared_ptr<HCSecurityPolicy> policy;
        long expectedCode;  // 0: success
    };
    for (const Step& step :
         {Step{permissive, 0}, Step{permissive, 0}, Step{pinned, NSURLErrorCancelled}, Step{permissive, 0}}) {
        manager->setSecurityPolicy(step.policy);
        bool done = false;
        long code = -1;
        manager->GET(
            server.url("/r"), Value(), nullptr, [&](auto&, auto&) { done = true, code = 0; },
            [&](auto&, const NSErrorPtr& error) { done = true, code = error->code(); });
        ASSERT_TRUE(hctest::runMainUntil([&] { return done; }));
        EXPECT_EQ(code, step.expectedCode);
    }
    EXPECT_EQ(server.hits("/r"), 3u);
    EXPECT_TRUE(hctest::letGo({manager}));
}

}  // namespace
