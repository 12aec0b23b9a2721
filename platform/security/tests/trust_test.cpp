#include <gtest/gtest.h>

#include "platform/foundation/Clock.h"
#include "platform/security/Security.h"
#include "testsupport/TestPKI.h"

namespace {

SecCertificatePtr cert(const TestCredential& credential) {
    auto c = SecCertificate::createWithData(credential.certificateDer);
    EXPECT_TRUE(c) << credential.name;
    return c;
}

bool succeeded(SecTrustResultType result) {
    return result == SecTrustResultType::Unspecified || result == SecTrustResultType::Proceed;
}

SecPolicyPtr localhostPolicy() {
    return SecPolicy::createSSL(SecPolicy::Side::Server, "localhost");
}

// The result of an evaluation that itself must not fail.
SecTrustResultType evaluated(SecTrust& trust) {
    SecTrustResultType result = SecTrustResultType::Invalid;
    EXPECT_EQ(trust.evaluate(&result), errSecSuccess);
    return result;
}

// Every test runs at the PKI's reference time on a manual clock, with only the test root as system anchor.
class TrustTest : public ::testing::Test {
  protected:
    void SetUp() override { SecSystemAnchors::replace({cert(pki().root())}); }
    void TearDown() override { SecSystemAnchors::restoreDefault(); }

    static const TestPKI& pki() { return TestPKI::shared(); }
    ManualClock clock_{Date::fromUnixTime(TestPKI::shared().referenceUnixTime())};
};

TEST_F(TrustTest, CertificateFromGarbageIsNull) {
    const Data good = pki().localhost().certificateDer;
    std::vector<uint8_t> trailing(good.bytes(), good.bytes() + good.length());
    trailing.push_back(0);
    std::vector<uint8_t> truncated(good.bytes(), good.bytes() + good.length() - 1);
    struct Case {
        const char* name;
        Data bytes;
    } cases[] = {
        {"empty", Data()},
        {"text", Data::fromString("not a certificate")},
        {"pem", Data::fromString(pki().localhost().certificatePem)},
        {"trailing byte", Data(trailing)},
        {"truncated", Data(truncated)},
        {"private key", pki().localhost().privateKeyDer},
    };
    for (const auto& c : cases) EXPECT_FALSE(SecCertificate::createWithData(c.bytes)) << c.name;

    auto certificate = SecCertificate::createWithData(good);
    ASSERT_TRUE(certificate);
    EXPECT_EQ(certificate->data(), good);
    EXPECT_EQ(certificate->subjectSummary(), "localhost");
    EXPECT_EQ(cert(pki().root())->subjectSummary(), "Quorvane Test Root");
}

TEST_F(TrustTest, EmptyChainOrNullCertificateIsRejected) {
    OSStatus status = errSecSuccess;
    EXPECT_FALSE(SecTrust::create({}, {SecPolicy::createBasicX509()}, &status));
    EXPECT_EQ(status, errSecParam);
    status = errSecSuccess;
    EXPECT_FALSE(SecTrust::create({cert(pki().localhost()), nullptr}, {}, &status));
    EXPECT_EQ(status, errSecParam);

    auto trust = SecTrust::create({cert(pki().localhost())}, {});
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->setAnchorCertificates({nullptr}), errSecParam);
    EXPECT_EQ(trust->setPolicies({nullptr}), errSecParam);
    EXPECT_EQ(trust->evaluate(nullptr), errSecParam);
}

struct TrustCase {
    const char* name;
    const TestCredential& (TestPKI::*leaf)() const;
    bool withIntermediate;
    std::optional<std::string> host;  // nullopt: basic X.509 policy
    bool trusted;
};

TEST_F(TrustTest, EvaluationTable) {
    const TrustCase cases[] = {
        {"chain to root, basic", &TestPKI::localhost, true, std::nullopt, true},
        {"chain to root, host", &TestPKI::localhost, true, "localhost", true},
        {"host is case-insensitive with trailing dot", &TestPKI::localhost, true, "LocalHost.", true},
        {"no intermediate presented", &TestPKI::localhost, false, "localhost", false},
        {"wrong host", &TestPKI::wrongHost, true, "localhost", false},
        {"wrong host, basic policy", &TestPKI::wrongHost, true, std::nullopt, true},
        {"name leaf asked for an IP", &TestPKI::localhost, true, "127.0.0.1", false},
        {"IP leaf", &TestPKI::loopbackIP, true, "127.0.0.1", true},
        {"IP leaf asked for a name", &TestPKI::loopbackIP, true, "localhost", false},
        {"server leaf, IPv6 in brackets", &TestPKI::server, true, "[::1]", true},
        {"server leaf, other IP", &TestPKI::server, true, "127.0.0.2", false},
        {"wildcard one label", &TestPKI::wildcard, true, "a.example.com", true},
        {"wildcard bare domain", &TestPKI::wildcard, true, "example.com", false},
        {"wildcard two labels", &TestPKI::wildcard, true, "a.b.example.com", false},
        {"partial wildcard", &TestPKI::partialWildcard, true, "foo.example.com", false},
        {"partial wildcard literal", &TestPKI::partialWildcard, true, "f*.example.com", false},
        {"expired", &TestPKI::expired, true, "localhost", false},
        {"not yet valid", &TestPKI::notYetValid, true, "localhost", false},
        {"self-signed", &TestPKI::selfSigned, false, "localhost", false},
        {"self-signed, basic", &TestPKI::selfSigned, false, std::nullopt, false},
    };
    for (const auto& c : cases) {
        std::vector<SecCertificatePtr> chain{cert((pki().*c.leaf)())};
        if (c.withIntermediate) chain.push_back(cert(pki().intermediate()));
        auto policy =
            c.host ? SecPolicy::createSSL(SecPolicy::Side::Server, c.host) : SecPolicy::createBasicX509();
        auto trust = SecTrust::create(chain, {policy});
        ASSERT_TRUE(trust) << c.name;
        SecTrustResultType result = SecTrustResultType::Invalid;
        ASSERT_EQ(trust->evaluate(&result), errSecSuccess) << c.name;
        EXPECT_EQ(succeeded(result), c.trusted) << c.name << " gave " << static_cast<int>(result);
        if (!c.trusted) {
            EXPECT_EQ(result, SecTrustResultType::RecoverableTrustFailure) << c.name;
        }

        NSErrorPtr error;
        EXPECT_EQ(trust->evaluateWithError(&error), c.trusted) << c.name;
        EXPECT_EQ(error == nullptr, c.trusted) << c.name;
        if (error) {
            EXPECT_NE(error->localizedDescription().find("is not trusted"), std::string::npos) << c.name;
        }
    }
}

TEST_F(TrustTest, EvaluatedChainRunsFromLeafToAnchor) {
    auto leaf = cert(pki().localhost());
    auto intermediate = cert(pki().intermediate());
    auto trust = SecTrust::create({leaf, intermediate}, {localhostPolicy()});
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->certificateCount(), 2u);  // before evaluation: what was presented
    ASSERT_TRUE(succeeded(evaluated(*trust)));
    ASSERT_EQ(trust->certificateCount(), 3u);
    EXPECT_EQ(trust->certificateAtIndex(0), leaf);
    EXPECT_EQ(trust->certificateAtIndex(1), intermediate);
    EXPECT_EQ(trust->certificateAtIndex(2)->data(), pki().root().certificateDer);
    EXPECT_FALSE(trust->certificateAtIndex(3));

    // A new policy discards the evaluated path.
    trust->setPolicies({SecPolicy::createSSL(SecPolicy::Side::Server, "elsewhere.example")});
    EXPECT_EQ(trust->certificateCount(), 2u);
    EXPECT_FALSE(succeeded(evaluated(*trust)));
    EXPECT_EQ(trust->certificateCount(), 2u);
}

TEST_F(TrustTest, MovingTheClockExpiresTheLeafAndValidatesTheNotYetValidOne) {
    auto now = SecTrust::create({cert(pki().localhost()), cert(pki().intermediate())}, {localhostPolicy()});
    auto later =
        SecTrust::create({cert(pki().notYetValid()), cert(pki().intermediate())}, {localhostPolicy()});
    EXPECT_TRUE(succeeded(evaluated(*now)));
    EXPECT_FALSE(succeeded(evaluated(*later)));
    clock_.advance(31 * TestPKI::kDay);
    EXPECT_EQ(evaluated(*now), SecTrustResultType::RecoverableTrustFailure);
    EXPECT_TRUE(succeeded(evaluated(*later)));
}

TEST_F(TrustTest, AnchorsTable) {
    const TestCredential *leaf = &pki().localhost(), *mid = &pki().intermediate(), *root = &pki().root(),
                         *self = &pki().selfSigned(), *expired = &pki().expired(),
                         *forged = &pki().forgedLeaf();
    const auto yes = AnchorsOnly::Yes, no = AnchorsOnly::No;
    const bool dated = false, undated = true;  // whether validity dates are ignored
    struct Case {
        const char* name;
        std::vector<const TestCredential*> presented, anchors;
        AnchorsOnly only;
        bool ignoresDates;
        bool trusted;
        size_t chainLength;
    } cases[] = {
        {"pinned leaf", {leaf}, {leaf}, yes, dated, true, 1},
        {"pinned intermediate", {leaf, mid}, {mid}, yes, dated, true, 2},
        {"pinned intermediate, leaf alone", {leaf}, {mid}, yes, dated, true, 2},
        {"pinned root", {leaf, mid}, {root}, yes, dated, true, 3},
        {"pinned self-signed", {self}, {self}, yes, dated, true, 1},
        {"other pin only", {leaf, mid}, {self}, yes, dated, false, 0},
        {"other pin plus system", {leaf, mid}, {self}, no, dated, true, 3},
        {"no anchors at all", {leaf, mid}, {}, yes, dated, false, 0},
        {"pinned expired leaf", {expired}, {expired}, yes, dated, false, 0},
        {"expired leaf, pinned intermediate", {expired, mid}, {mid}, yes, dated, false, 0},
        {"expired leaf, pinned intermediate, dates ignored", {expired, mid}, {mid}, yes, undated, true, 2},
        {"forged leaf, pinned intermediate, dates ignored", {forged, mid}, {mid}, yes, undated, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SecCertificatePtr> presented, anchors;
        for (auto* credential : c.presented) presented.push_back(cert(*credential));
        for (auto* credential : c.anchors) anchors.push_back(cert(*credential));
        auto trust = SecTrust::create(presented, {localhostPolicy()});
        ASSERT_EQ(trust->setAnchorCertificates(anchors), errSecSuccess);
        ASSERT_EQ(trust->setAnchorCertificatesOnly(c.only), errSecSuccess);
        ASSERT_EQ(trust->setIgnoresValidityDates(c.ignoresDates), errSecSuccess);
        EXPECT_EQ(succeeded(evaluated(*trust)), c.trusted);
        if (c.trusted) {
            EXPECT_EQ(trust->certificateCount(), c.chainLength);
            EXPECT_EQ(trust->certificateAtIndex(0), presented[0]);
        }
    }
}

TEST_F(TrustTest, SystemAnchorsAreReplaceable) {
    auto trust = SecTrust::create({cert(pki().localhost()), cert(pki().intermediate())}, {});
    EXPECT_TRUE(succeeded(evaluated(*trust)));
    // The real system store does not know the test root.
    SecSystemAnchors::restoreDefault();
    EXPECT_EQ(evaluated(*trust), SecTrustResultType::RecoverableTrustFailure);
    SecSystemAnchors::replace({});
    EXPECT_FALSE(succeeded(evaluated(*trust)));
}

TEST_F(TrustTest, PublicKeysCompareByBytes) {
    auto leaf = cert(pki().localhost());
    auto again = SecCertificate::createWithData(pki().localhost().certificateDer);
    auto key = leaf->copyKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->algorithm(), SecKey::Algorithm::EC);
    EXPECT_EQ(key->sizeInBits(), 256);
    EXPECT_TRUE(key->isEqual(*again->copyKey()));
    EXPECT_FALSE(key->isEqual(*cert(pki().intermediate())->copyKey()));
    EXPECT_FALSE(key->isEqual(*leaf));

    // The trust's key is the leaf's, whether or not the trust is valid.
    auto trust = SecTrust::create({cert(pki().selfSigned())}, {SecPolicy::createBasicX509()});
    EXPECT_FALSE(succeeded(evaluated(*trust)));
    auto trustKey = trust->copyPublicKey();
    ASSERT_TRUE(trustKey);
    EXPECT_EQ(*trustKey, *cert(pki().selfSigned())->copyKey());

    // Inside values, keys are equal by bytes too.
    EXPECT_EQ(Value(std::static_pointer_cast<Object>(key)),
              Value(std::static_pointer_cast<Object>(again->copyKey())));
}

}  // namespace
