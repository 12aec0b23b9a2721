#include "testsupport/TestPKI.h"

#include <chrono>
#include <fstream>
#include <stdexcept>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, X509Free>;

[[noreturn]] void fail(const std::string& what) {
    char buffer[256] = "no OpenSSL error";
    if (unsigned long code = ERR_get_error()) ERR_error_string_n(code, buffer, sizeof buffer);
    ERR_clear_error();
    throw std::runtime_error("TestPKI: " + what + ": " + buffer);
}

KeyPtr newKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) fail("cannot generate an EC key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) fail("bad extension " + value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

struct CertRequest {
    std::string commonName;
    std::string subjectAltNames;  // "" for none
    bool isCA = false;
    double notBefore = 0;  // Unix seconds
    double notAfter = 0;
};

// Issues a certificate for `key`; a null issuer makes it self-signed.
CertPtr issue(const CertRequest& request, EVP_PKEY* key, X509* issuerCert, EVP_PKEY* issuerKey) {
    CertPtr cert(X509_new());
    if (!cert) fail("X509_new");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) fail("RAND_bytes");
    serial[0] &= 0x7f;  // positive
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Quorvane Tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(request.commonName.c_str()), -1, -1, 0);
    X509* issuer = issuerCert ? issuerCert : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer));
    ASN1_TIME_set(X509_getm_notBefore(cert.get()), static_cast<time_t>(request.notBefore));
    ASN1_TIME_set(X509_getm_notAfter(cert.get()), static_cast<time_t>(request.notAfter));
    X509_set_pubkey(cert.get(), key);

    addExtension(cert.get(), issuer, NID_subject_key_identifier, "hash");
    addExtension(cert.get(), issuer, NID_authority_key_identifier, "keyid:always");
    if (request.isCA) {
        addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    } else {
        addExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth,clientAuth");
    }
    if (!request.subjectAltNames.empty())
        addExtension(cert.get(), issuer, NID_subject_alt_name, request.subjectAltNames);
    if (X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) <= 0) fail("X509_sign");
    return cert;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

TestCredential credential(const std::string& name, X509* cert, EVP_PKEY* key) {
    TestCredential out;
    out.name = name;
    unsigned char* der = nullptr;
    int length = i2d_X509(cert, &der);
    if (length <= 0) fail("i2d_X509");
    out.certificateDer = Data(der, static_cast<size_t>(length));
    OPENSSL_free(der);

    std::unique_ptr<BIO, BioFree> certPem(BIO_new(BIO_s_mem()));
    std::unique_ptr<BIO, BioFree> keyPem(BIO_new(BIO_s_mem()));
    std::unique_ptr<BIO, BioFree> keyDer(BIO_new(BIO_s_mem()));
    if (!certPem || !keyPem || !keyDer || PEM_write_bio_X509(certPem.get(), cert) != 1 ||
        PEM_write_bio_PrivateKey(keyPem.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        i2d_PKCS8PrivateKey_bio(keyDer.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("cannot encode " + name);
    out.certificatePem = bioText(certPem.get());
    out.privateKeyPem = bioText(keyPem.get());
    std::string keyBytes = bioText(keyDer.get());
    out.privateKeyDer = Data(keyBytes.data(), keyBytes.size());
    return out;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) throw std::runtime_error("TestPKI: cannot write " + path);
}

}  // namespace

double TestPKI::realTimeNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TestPKI::TestPKI(double referenceUnixTime) : reference_(referenceUnixTime) {
    const double t = reference_;
    KeyPtr rootKey = newKey();
    CertPtr root =
        issue({"Quorvane Test Root", "", true, t - kDay, t + 3650 * kDay}, rootKey.get(), nullptr, nullptr);
    root_ = credential("root", root.get(), rootKey.get());

    KeyPtr intermediateKey = newKey();
    CertPtr intermediate = issue({"Quorvane Test Intermediate", "", true, t - kDay, t + 3650 * kDay},
                                 intermediateKey.get(), root.get(), rootKey.get());
    intermediate_ = credential("intermediate", intermediate.get(), intermediateKey.get());

    auto leaf = [&](const std::string& name, const std::string& cn, const std::string& sans, double from,
                    double to) {
        KeyPtr key = newKey();
        CertPtr cert =
            issue({cn, sans, false, from, to}, key.get(), intermediate.get(), intermediateKey.get());
        return credential(name, cert.get(), key.get());
    };
    localhost_ = leaf("localhost", "localhost", "DNS:localhost", t - kDay, t + 30 * kDay);
    loopbackIP_ = leaf("loopback-ip", "127.0.0.1", "IP:127.0.0.1", t - kDay, t + 30 * kDay);
    server_ = leaf("server", "localhost", "DNS:localhost,IP:127.0.0.1,IP:::1", t - kDay, t + 30 * kDay);
    wildcard_ = leaf("wildcard", "*.example.com", "DNS:*.example.com", t - kDay, t + 30 * kDay);
    partialWildcard_ =
        leaf("partial-wildcard", "f*.example.com", "DNS:f*.example.com", t - kDay, t + 30 * kDay);
    wrongHost_ = leaf("wrong-host", "wrong.example.net", "DNS:wrong.example.net", t - kDay, t + 30 * kDay);
    expired_ = leaf("expired", "localhost", "DNS:localhost", t - 60 * kDay, t - 30 * kDay);
    notYetValid_ = leaf("not-yet-valid", "localhost", "DNS:localhost", t + 30 * kDay, t + 60 * kDay);

    KeyPtr selfKey = newKey();
    CertPtr self = issue({"localhost", "DNS:localhost,IP:127.0.0.1", false, t - kDay, t + 30 * kDay},
                         selfKey.get(), nullptr, nullptr);
    selfSigned_ = credential("self-signed", self.get(), selfKey.get());

    KeyPtr strangerRootKey = newKey();
    CertPtr strangerRoot = issue({"Quorvane Test Root", "", true, t - kDay, t + 3650 * kDay},
                                 strangerRootKey.get(), nullptr, nullptr);
    strangerRoot_ = credential("stranger-root", strangerRoot.get(), strangerRootKey.get());
    KeyPtr strangerLeafKey = newKey();
    CertPtr strangerLeaf = issue({"localhost", "DNS:localhost", false, t - kDay, t + 30 * kDay},
                                 strangerLeafKey.get(), strangerRoot.get(), strangerRootKey.get());
    strangerLeaf_ = credential("stranger-leaf", strangerLeaf.get(), strangerLeafKey.get());
    CertPtr forged = issue({"localhost", "DNS:localhost", false, t - kDay, t + 30 * kDay},
                           strangerLeafKey.get(), intermediate.get(), strangerRootKey.get());
    forgedLeaf_ = credential("forged-leaf", forged.get(), strangerLeafKey.get());
}

TestPKI::~TestPKI() = default;

const TestPKI& TestPKI::shared() {
    static const TestPKI* pki = new TestPKI();
    return *pki;
}

TestServerFiles TestPKI::writeServerFiles(const std::string& directory, const TestCredential& leaf) const {
    TestServerFiles files;
    files.certificateChainPath = directory + "/" + leaf.name + "-chain.pem";
    files.privateKeyPath = directory + "/" + leaf.name + "-key.pem";
    files.rootPath = directory + "/root.pem";
    std::string chain = leaf.certificatePem;
    if (&leaf != &selfSigned_) chain += intermediate_.certificatePem;
    writeFile(files.certificateChainPath, chain);
    writeFile(files.privateKeyPath, leaf.privateKeyPem);
    writeFile(files.rootPath, root_.certificatePem);
    return files;
}
