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

SecPolicyPtr sslPolicy(const char* host = "localhost") {
    return SecPolicy::createSSL(SecPolicy::Side::Server, host);
}

constexpr auto kRecoverable = SecTrustResultType::RecoverableTrustFailure;

// The result of an evaluation that itself must not fail.
SecTrustResultType evaluated(SecTrust& trust) {
    SecTrustResultType result = SecTrustResultType::Invalid;
    EXPECT_EQ(trust.evaluate(&result), errSecSuccess);
    return result;
}
bool trusted(SecTrust& trust) {
    return evaluated(trust) == SecTrustResultType::Unspecified;  // no user setting asks for Proceed
}

// Every test runs at the PKI's reference time on a manual clock, with only the test root as system anchor.
class TrustTest : public ::testing::Test {
  protected:
    void SetUp() override { SecSystemAnchors::replace({cert(pki().root())}); }
    void TearDown() override { SecSystemAnchors::restoreDefault(); }

    static const TestPKI& pki() { return TestPKI::shared(); }
    ManualClock clock_{Date::fromUnixTime(TestPKI::shared().referenceUnixTime())};
};

TEST_F(TrustTest, BadInputIsRefused) {
    const Data good = pki().localhost().certificateDer;
    std::vector<uint8_t> trailing(good.bytes(), good.bytes() + good.length());
    trailing.push_back(0);
    for (const Data& bytes :
         {Data(), Data::fromString("not a certificate"), Data::fromString(pki().localhost().certificatePem),
          Data(trailing), Data(std::vector<uint8_t>(good.bytes(), good.bytes() + good.length() - 1)),
          pki().localhost().privateKeyDer})
        EXPECT_FALSE(SecCertificate::createWithData(bytes)) << bytes.length();
    EXPECT_EQ(cert(pki().root())->subjectSummary(), "Quorvane Test Root");

    OSStatus empty = errSecSuccess, null = errSecSuccess;
    EXPECT_FALSE(SecTrust::create({}, {SecPolicy::createBasicX509()}, &empty));
    EXPECT_FALSE(SecTrust::create({cert(pki().localhost()), nullptr}, {}, &null));
    EXPECT_TRUE(empty == errSecParam && null == errSecParam);
    auto trust = SecTrust::create({cert(pki().localhost())}, {});
    ASSERT_TRUE(trust);
    EXPECT_EQ(trust->setAnchorCertificates({nullptr}), errSecParam);
    EXPECT_EQ(trust->setPolicies({nullptr}), errSecParam);
    EXPECT_EQ(trust->evaluate(nullptr), errSecParam);
}

TEST_F(TrustTest, EvaluationTable) {
    const TestPKI& p = pki();
    const TestCredential *leaf = &p.localhost(), *mid = &p.intermediate(), *root = &p.root(),
                         *self = &p.selfSigned(), *expired = &p.expired(), *ip = &p.loopbackIP(),
                         *wild = &p.wildcard(), *partial = &p.partialWildcard();
    // Anchors: the system's, only the given ones (Pinned), both (Plus), or Pinned ignoring dates (Undated).
    enum Anchors { System, Pinned, Plus, Undated };
    const char* lh = "localhost";
    struct Case {
        const char* name;
        std::vector<const TestCredential*> presented;
        const char* host;  // null: basic X.509 policy
        Anchors mode;
        std::vector<const TestCredential*> anchors;
        size_t chainLength;  // 0: not trusted
    } cases[] = {
        {"host is case-insensitive with trailing dot", {leaf, mid}, "LocalHost.", System, {}, 3},
        {"no intermediate presented", {leaf}, lh, System, {}, 0},
        {"wrong host, basic policy", {&p.wrongHost(), mid}, nullptr, System, {}, 3},
        {"name leaf asked for an IP", {leaf, mid}, "127.0.0.1", System, {}, 0},
        {"IP leaf", {ip, mid}, "127.0.0.1", System, {}, 3},
        {"IP leaf asked for a name", {ip, mid}, lh, System, {}, 0},
        {"server leaf, IPv6 in brackets", {&p.server(), mid}, "[::1]", System, {}, 3},
        {"server leaf, other IP", {&p.server(), mid}, "127.0.0.2", System, {}, 0},
        {"wildcard one label", {wild, mid}, "a.example.com", System, {}, 3},
        {"wildcard bare domain", {wild, mid}, "example.com", System, {}, 0},
        {"wildcard two labels", {wild, mid}, "a.b.example.com", System, {}, 0},
        {"partial wildcard", {partial, mid}, "foo.example.com", System, {}, 0},
        {"partial wildcard literal", {partial, mid}, "f*.example.com", System, {}, 0},
        {"expired", {expired, mid}, lh, System, {}, 0},
        {"self-signed, basic", {self}, nullptr, System, {}, 0},
        {"pinned leaf", {leaf}, lh, Pinned, {leaf}, 1},
        {"pinned intermediate", {leaf, mid}, lh, Pinned, {mid}, 2},
        {"pinned intermediate, leaf alone", {leaf}, lh, Pinned, {mid}, 2},
        {"pinned root", {leaf, mid}, lh, Pinned, {root}, 3},
        {"pinned self-signed", {self}, lh, Pinned, {self}, 1},
        {"other pin only", {leaf, mid}, lh, Pinned, {self}, 0},
        {"other pin plus system", {leaf, mid}, lh, Plus, {self}, 3},
        {"no anchors at all", {leaf, mid}, lh, Pinned, {}, 0},
        {"pinned expired leaf", {expired}, lh, Pinned, {expired}, 0},
        {"expired leaf, pinned intermediate", {expired, mid}, lh, Pinned, {mid}, 0},
        {"expired leaf, pinned intermediate, dates ignored", {expired, mid}, lh, Undated, {mid}, 2},
        {"forged leaf, dates ignored", {&p.forgedLeaf(), mid}, lh, Undated, {mid}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<SecCertificatePtr> presented, anchors;
        for (auto* credential : c.presented) presented.push_back(cert(*credential));
        for (auto* credential : c.anchors) anchors.push_back(cert(*credential));
        auto trust = SecTrust::create(presented, {c.host ? sslPolicy(c.host) : SecPolicy::createBasicX509()});
        if (c.mode != System) {
            ASSERT_EQ(trust->setAnchorCertificates(anchors), errSecSuccess);
            ASSERT_EQ(trust->setAnchorCertificatesOnly(c.mode == Plus ? AnchorsOnly::No : AnchorsOnly::Yes),
                      errSecSuccess);
            ASSERT_EQ(trust->setIgnoresValidityDates(c.mode == Undated), errSecSuccess);
        }
        SecTrustResultType result = evaluated(*trust);
        if (c.chainLength > 0) {
            EXPECT_EQ(result, SecTrustResultType::Unspecified);
            EXPECT_EQ(trust->certificateCount(), c.chainLength);
            EXPECT_EQ(trust->certificateAtIndex(0), presented[0]);
        } else {
            EXPECT_EQ(result, c.presented[0] == &p.forgedLeaf() ? SecTrustResultType::FatalTrustFailure
                                                                : kRecoverable);
        }
        NSErrorPtr error;
        EXPECT_TRUE(trust->evaluateWithError(&error) == (c.chainLength > 0) &&
                    (error == nullptr) == (c.chainLength > 0));
        EXPECT_TRUE(!error || error->localizedDescription().find("is not trusted") != std::string::npos);
    }
}

// The evaluated path runs from the leaf to the anchor, and is made again when a policy, the clock or the
// system anchors change.
TEST_F(TrustTest, ReevaluationFollowsPoliciesClockAndAnchorsAndKeysCompareByBytes) {
    auto leaf = cert(pki().localhost());
    auto intermediate = cert(pki().intermediate());
    auto trust = SecTrust::create({leaf, intermediate}, {sslPolicy()});
    auto later = SecTrust::create({cert(pki().notYetValid()), intermediate}, {sslPolicy()});
    ASSERT_TRUE(trusted(*trust));
    ASSERT_EQ(trust->certificateCount(), 3u);
    EXPECT_EQ(trust->certificateAtIndex(1), intermediate);
    EXPECT_EQ(trust->certificateAtIndex(2)->data(), pki().root().certificateDer);
    EXPECT_FALSE(trust->certificateAtIndex(3));

    trust->setPolicies({sslPolicy("elsewhere.example")});
    EXPECT_EQ(trust->certificateCount(), 2u);  // unevaluated again: what was presented
    EXPECT_FALSE(trusted(*trust));
    EXPECT_EQ(trust->certificateCount(), 2u);
    trust->setPolicies({sslPolicy()});

    SecSystemAnchors::restoreDefault();  // the real system store does not know the test root
    EXPECT_EQ(evaluated(*trust), kRecoverable);
    SecSystemAnchors::replace({cert(pki().root())});

    EXPECT_TRUE(trusted(*trust));
    EXPECT_FALSE(trusted(*later));
    clock_.advance(31 * TestPKI::kDay);
    EXPECT_EQ(evaluated(*trust), kRecoverable);
    EXPECT_TRUE(trusted(*later));

    // Public keys compare by bytes, also inside values.
    auto key = leaf->copyKey(), again = cert(pki().localhost())->copyKey();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->algorithm(), SecKey::Algorithm::EC);
    EXPECT_EQ(key->sizeInBits(), 256);
    EXPECT_TRUE(key->isEqual(*again));
    EXPECT_FALSE(key->isEqual(*intermediate->copyKey()));
    EXPECT_FALSE(key->isEqual(*leaf));
    EXPECT_EQ(Value(std::static_pointer_cast<Object>(key)), Value(std::static_pointer_cast<Object>(again)));

    // The trust's key is the leaf's, whether or not the trust is valid.
    auto selfSigned = SecTrust::create({cert(pki().selfSigned())}, {SecPolicy::createBasicX509()});
    EXPECT_FALSE(trusted(*selfSigned));
    auto trustKey = selfSigned->copyPublicKey();
    EXPECT_TRUE(trustKey && *trustKey == *cert(pki().selfSigned())->copyKey());
}

}  // namespace
