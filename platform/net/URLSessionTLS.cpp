// The server check over OpenSSL, installed through libcurl's SSL_CTX hook. See URLSessionTLS.h.
#include "platform/net/URLSessionTLS.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstring>

namespace URLSessionTLS {

namespace {

Data derOf(X509* certificate) {
    unsigned char* der = nullptr;
    int length = i2d_X509(certificate, &der);
    if (length <= 0) return Data();
    Data out(der, size_t(length));
    OPENSSL_free(der);
    return out;
}

// Replaces OpenSSL's chain verification: runs once per handshake, after the server's Certificate message.
int verifyPeer(X509_STORE_CTX* store, void* arg) {
    auto* check = static_cast<PeerCheck*>(arg);
    std::vector<Data> chain;
    bool trusted = false;
    try {
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        if (leaf) chain.push_back(derOf(leaf));
        if (STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(store)) {
            for (int i = 0; i < sk_X509_num(sent); ++i) {
                X509* certificate = sk_X509_value(sent, i);
                if (certificate != leaf) chain.push_back(derOf(certificate));
            }
        }
        trusted = check && *check && (*check)(chain);
    } catch (...) {
        trusted = false;  // never let an exception cross OpenSSL's frames
    }
    X509_STORE_CTX_set_error(store, trusted ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
    return trusted ? 1 : 0;
}

CURLcode onContext(CURL*, void* context, void* arg) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    SSL_CTX_set_cert_verify_callback(ctx, verifyPeer, arg);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    return CURLE_OK;
}

// The same, leaving libcurl's TLS session cache on.
CURLcode onResumableContext(CURL*, void* context, void* arg) {
    auto* ctx = static_cast<SSL_CTX*>(context);
    SSL_CTX_set_cert_verify_callback(ctx, verifyPeer, arg);
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    return CURLE_OK;
}

}  // namespace

const std::string& backendProblem() {
    static const std::string* problem = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        const char* backend = info && info->ssl_version ? info->ssl_version : "";
        if (std::strncmp(backend, "OpenSSL/", 8) == 0) return new std::string();
        return new std::string(std::string("libcurl's TLS backend is not OpenSSL (") + backend + ")");
    }();
    return *problem;
}

std::string configure(CURL* easy, PeerCheck* check, bool resumable) {
    if (!backendProblem().empty()) return backendProblem();
    // Peer verification on, so that a rejection ends the handshake; the decision is ours alone.
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_SESSIONID_CACHE, resumable ? 1L : 0L);
    CURLcode code =
        curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, resumable ? onResumableContext : onContext);
    if (code != CURLE_OK) return std::string("cannot hook the TLS handshake: ") + curl_easy_strerror(code);
    curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, check);
    return "";
}

}  // namespace URLSessionTLS
