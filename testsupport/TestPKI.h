// A small certificate authority made fresh in the test process: a root, an intermediate signed by it, and
// leaves signed by the intermediate (good ones and deliberately bad ones). Keys are EC P-256.
//
// Validity is relative to a reference time (Unix seconds; by default the real time at creation):
//   root, intermediate        reference - 1 day  ... reference + 10 years
//   stranger's root           reference - 1 day  ... reference + 10 years
//   good leaves, self-signed  reference - 1 day  ... reference + 30 days
//   stranger's and forged     reference - 1 day  ... reference + 30 days
//   expired                   reference - 60 days ... reference - 30 days
//   notYetValid               reference + 30 days ... reference + 60 days
// so a test that installs ManualClock(Date::fromUnixTime(pki.referenceUnixTime())) sees the good leaves
// valid, and expires them by advancing the clock past 30 days.
#pragma once

#include <memory>
#include <string>

#include "platform/foundation/Value.h"

struct TestCredential {
    std::string name;
    Data certificateDer;
    std::string certificatePem;
    Data privateKeyDer;  // PKCS#8
    std::string privateKeyPem;
};

// Paths of PEM files for a TLS server (cpp-httplib's SSLServer takes the first two).
struct TestServerFiles {
    std::string certificateChainPath;  // the leaf, then the intermediate
    std::string privateKeyPath;
    std::string rootPath;  // the root, for clients that trust it
};

class TestPKI {
  public:
    static constexpr double kDay = 86400;

    // Throws std::runtime_error when OpenSSL cannot make a key or certificate.
    explicit TestPKI(double referenceUnixTime = realTimeNow());
    ~TestPKI();
    TestPKI(const TestPKI&) = delete;
    TestPKI& operator=(const TestPKI&) = delete;

    // One PKI per process, made on first use at the real time.
    static const TestPKI& shared();
    static double realTimeNow();

    double referenceUnixTime() const { return reference_; }

    const TestCredential& root() const { return root_; }
    const TestCredential& intermediate() const { return intermediate_; }
    // Leaves signed by the intermediate.
    const TestCredential& localhost() const { return localhost_; }    // DNS:localhost
    const TestCredential& loopbackIP() const { return loopbackIP_; }  // IP:127.0.0.1
    const TestCredential& server() const { return server_; }          // DNS:localhost, IP:127.0.0.1, IP:::1
    const TestCredential& wildcard() const { return wildcard_; }      // DNS:*.example.com
    const TestCredential& partialWildcard() const { return partialWildcard_; }  // DNS:f*.example.com
    const TestCredential& wrongHost() const { return wrongHost_; }              // DNS:wrong.example.net
    const TestCredential& expired() const { return expired_; }                  // DNS:localhost, expired
    const TestCredential& notYetValid() const { return notYetValid_; }  // DNS:localhost, not yet valid
    // Self-signed, not under the root: DNS:localhost, IP:127.0.0.1.
    const TestCredential& selfSigned() const { return selfSigned_; }

    // Someone else's certificates, for impersonation tests.
    // A root of the stranger's own, with the same name as the real root.
    const TestCredential& strangerRoot() const { return strangerRoot_; }
    // DNS:localhost, issued by the stranger's root.
    const TestCredential& strangerLeaf() const { return strangerLeaf_; }
    // DNS:localhost, naming the real intermediate as issuer (name and key identifier) but signed with the
    // stranger's root key: it claims a path it does not have.
    const TestCredential& forgedLeaf() const { return forgedLeaf_; }

    // Writes `leaf` (with the intermediate after it, unless the leaf is self-signed), its key and the root
    // as PEM files into `directory`, named after the leaf.
    TestServerFiles writeServerFiles(const std::string& directory, const TestCredential& leaf) const;

  private:
    double reference_;
    TestCredential root_, intermediate_, localhost_, loopbackIP_, server_, wildcard_, partialWildcard_,
        wrongHost_, expired_, notYetValid_, selfSigned_, strangerRoot_, strangerLeaf_, forgedLeaf_;
};
