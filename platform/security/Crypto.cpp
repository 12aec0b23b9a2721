#include "platform/security/Crypto.h"

#include <algorithm>
#include <limits>
#include <memory>

#include <openssl/err.h>
#include <openssl/evp.h>

namespace {

struct MdFree {
    void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};
struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

Data digest(const char* name, std::span<const uint8_t> bytes) {
    // Both digests live in OpenSSL 3's default provider.
    std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(nullptr, name, nullptr));
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!md || EVP_Digest(bytes.data(), bytes.size(), out, &length, md.get(), nullptr) != 1) {
        ERR_clear_error();
        return Data();
    }
    return Data(out, length);
}

const char* cipherName(CCAlgorithm algorithm, size_t keySize, bool ecb) {
    switch (algorithm) {
        case CCAlgorithm::TripleDES:
            if (keySize != kCCKeySize3DES) return nullptr;
            return ecb ? "DES-EDE3-ECB" : "DES-EDE3-CBC";
        case CCAlgorithm::AES:
            if (keySize == 16) return ecb ? "AES-128-ECB" : "AES-128-CBC";
            if (keySize == 24) return ecb ? "AES-192-ECB" : "AES-192-CBC";
            if (keySize == 32) return ecb ? "AES-256-ECB" : "AES-256-CBC";
            return nullptr;
    }
    return nullptr;
}

}  // namespace

Data CC_MD5(std::span<const uint8_t> bytes) {
    return digest("MD5", bytes);
}
Data CC_SHA256(std::span<const uint8_t> bytes) {
    return digest("SHA256", bytes);
}

CCCryptorStatus CCCrypt(CCOperation operation, CCAlgorithm algorithm, CCOptions options,
                        std::span<const uint8_t> key, std::span<const uint8_t> iv,
                        std::span<const uint8_t> input, std::vector<uint8_t>& output) {
    return CCCryptInPieces(operation, algorithm, options, key, iv, input, output, kCCCryptPieceSize);
}

CCCryptorStatus CCCryptInPieces(CCOperation operation, CCAlgorithm algorithm, CCOptions options,
                                std::span<const uint8_t> key, std::span<const uint8_t> iv,
                                std::span<const uint8_t> input, std::vector<uint8_t>& output,
                                size_t pieceSize) {
    output.clear();
    if (pieceSize == 0 || pieceSize > size_t(std::numeric_limits<int>::max())) return kCCParamError;
    if (options & ~(kCCOptionPKCS7Padding | kCCOptionECBMode)) return kCCParamError;
    bool ecb = options & kCCOptionECBMode;
    bool padding = options & kCCOptionPKCS7Padding;
    const char* name = cipherName(algorithm, key.size(), ecb);
    if (!name) return kCCParamError;
    size_t blockSize = algorithm == CCAlgorithm::TripleDES ? kCCBlockSize3DES : kCCBlockSizeAES128;

    std::vector<uint8_t> zeroIv(blockSize, 0);
    const uint8_t* ivBytes = nullptr;
    if (!ecb) {
        if (iv.empty()) {
            ivBytes = zeroIv.data();
        } else if (iv.size() != blockSize) {
            return kCCParamError;
        } else {
            ivBytes = iv.data();
        }
    }
    if ((!padding || operation == CCOperation::Decrypt) && input.size() % blockSize != 0)
        return kCCAlignmentError;

    std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, name, nullptr));
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!cipher) {
        ERR_clear_error();
        return kCCUnimplemented;
    }
    if (!ctx) return kCCMemoryFailure;
    int encrypt = operation == CCOperation::Encrypt ? 1 : 0;
    if (EVP_CipherInit_ex2(ctx.get(), cipher.get(), key.data(), ivBytes, encrypt, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0) != 1) {
        ERR_clear_error();
        return kCCParamError;
    }
    std::vector<uint8_t> result(input.size() + blockSize);
    // The cipher takes an int length: larger inputs go through in pieces.
    size_t written = 0;
    for (size_t offset = 0; offset < input.size(); offset += pieceSize) {
        const size_t piece = std::min(pieceSize, input.size() - offset);
        int pieceWritten = 0;
        if (EVP_CipherUpdate(ctx.get(), result.data() + written, &pieceWritten, input.data() + offset,
                             static_cast<int>(piece)) != 1) {
            ERR_clear_error();
            return kCCDecodeError;
        }
        written += static_cast<size_t>(pieceWritten);
    }
    int finalWritten = 0;
    if (EVP_CipherFinal_ex(ctx.get(), result.data() + written, &finalWritten) != 1) {
        ERR_clear_error();
        return operation == CCOperation::Decrypt ? kCCDecodeError : kCCParamError;
    }
    result.resize(written + static_cast<size_t>(finalWritten));
    output = std::move(result);
    return kCCSuccess;
}
