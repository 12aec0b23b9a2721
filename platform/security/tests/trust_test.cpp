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
    auto trust =
        SecTrust::create({leaf, intermediate}, {SecPolicy::createSSL(SecPolicy::Side::Server, "localhost")});
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->certificateCount(), 2u);  // before evaluation: what was presented
    SecTrustResultType result{};
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    ASSERT_TRUE(succeeded(result));
    ASSERT_EQ(trust->certificateCount(), 3u);
    EXPECT_EQ(trust->certificateAtIndex(0), leaf);
    EXPECT_EQ(trust->certificateAtIndex(1), intermediate);
    EXPECT_EQ(trust->certificateAtIndex(2)->data(), pki().root().certificateDer);
    EXPECT_FALSE(trust->certificateAtIndex(3));

    // A new policy discards the evaluated path.
    trust->setPolicies({SecPolicy::createSSL(SecPolicy::Side::Server, "elsewhere.example")});
    EXPECT_EQ(trust->certificateCount(), 2u);
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_FALSE(succeeded(result));
    EXPECT_EQ(trust->certificateCount(), 2u);
}

TEST_F(TrustTest, MovingTheClockExpiresTheLeaf) {
    auto trust = SecTrust::create({cert(pki().localhost()), cert(pki().intermediate())},
                                  {SecPolicy::createSSL(SecPolicy::Side::Server, "localhost")});
    SecTrustResultType result{};
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_TRUE(succeeded(result));
    clock_.advance(31 * TestPKI::kDay);
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_EQ(result, SecTrustResultType::RecoverableTrustFailure);

    // And the not-yet-valid leaf becomes valid.
    auto later = SecTrust::create({cert(pki().notYetValid()), cert(pki().intermediate())},
                                  {SecPolicy::createSSL(SecPolicy::Side::Server, "localhost")});
    ASSERT_EQ(later->evaluate(&result), errSecSuccess);
    EXPECT_TRUE(succeeded(result));
}

TEST_F(TrustTest, AnchorsTable) {
    struct Case {
        const char* name;
        std::vector<const TestCredential*> presented;
        std::vector<const TestCredential*> anchors;
        AnchorsOnly only;
        bool trusted;
        size_t chainLength;
    } cases[] = {
        {"pinned leaf", {&pki().localhost()}, {&pki().localhost()}, AnchorsOnly::Yes, true, 1},
        {"pinned intermediate",
         {&pki().localhost(), &pki().intermediate()},
         {&pki().intermediate()},
         AnchorsOnly::Yes,
         true,
         2},
        {"pinned intermediate, leaf alone",
         {&pki().localhost()},
         {&pki().intermediate()},
         AnchorsOnly::Yes,
         true,
         2},
        {"pinned root",
         {&pki().localhost(), &pki().intermediate()},
         {&pki().root()},
         AnchorsOnly::Yes,
         true,
         3},
        {"pinned self-signed", {&pki().selfSigned()}, {&pki().selfSigned()}, AnchorsOnly::Yes, true, 1},
        {"other pin only",
         {&pki().localhost(), &pki().intermediate()},
         {&pki().selfSigned()},
         AnchorsOnly::Yes,
         false,
         0},
        {"other pin plus system",
         {&pki().localhost(), &pki().intermediate()},
         {&pki().selfSigned()},
         AnchorsOnly::No,
         true,
         3},
        {"no anchors at all", {&pki().localhost(), &pki().intermediate()}, {}, AnchorsOnly::Yes, false, 0},
        {"pinned expired leaf", {&pki().expired()}, {&pki().expired()}, AnchorsOnly::Yes, false, 0},
    };
    for (const auto& c : cases) {
        std::vector<SecCertificatePtr> presented, anchors;
        for (auto* credential : c.presented) presented.push_back(cert(*credential));
        for (auto* credential : c.anchors) anchors.push_back(cert(*credential));
        auto trust =
            SecTrust::create(presented, {SecPolicy::createSSL(SecPolicy::Side::Server, "localhost")});
        ASSERT_EQ(trust->setAnchorCertificates(anchors), errSecSuccess);
        ASSERT_EQ(trust->setAnchorCertificatesOnly(c.only), errSecSuccess);
        SecTrustResultType result{};
        ASSERT_EQ(trust->evaluate(&result), errSecSuccess) << c.name;
        EXPECT_EQ(succeeded(result), c.trusted) << c.name;
        if (c.trusted) {
            EXPECT_EQ(trust->certificateCount(), c.chainLength) << c.name;
            EXPECT_EQ(trust->certificateAtIndex(0), presented[0]) << c.name;
        }
    }
}

TEST_F(TrustTest, SystemAnchorsAreReplaceable) {
    auto trust = SecTrust::create({cert(pki().localhost()), cert(pki().intermediate())}, {});
    SecTrustResultType result{};
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_TRUE(succeeded(result));
    // The real system store does not know the test root.
    SecSystemAnchors::restoreDefault();
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_EQ(result, SecTrustResultType::RecoverableTrustFailure);
    SecSystemAnchors::replace({});
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_FALSE(succeeded(result));
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
    SecTrustResultType result{};
    ASSERT_EQ(trust->evaluate(&result), errSecSuccess);
    EXPECT_FALSE(succeeded(result));
    auto trustKey = trust->copyPublicKey();
    ASSERT_TRUE(trustKey);
    EXPECT_EQ(*trustKey, *cert(pki().selfSigned())->copyKey());

    // Inside values, keys are equal by bytes too.
    EXPECT_EQ(Value(std::static_pointer_cast<Object>(key)),
              Value(std::static_pointer_cast<Object>(again->copyKey())));
}

}  // namespace
