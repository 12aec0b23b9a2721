// Digests and symmetric ciphers (the platform's CommonCrypto functions), over OpenSSL's EVP interface.
//
// `CCCrypt` is one-shot: it encrypts or decrypts a whole buffer. Triple DES takes a 24-byte key (three DES
// keys), AES a 16-, 24- or 32-byte key. ECB ignores the IV; in CBC mode a missing IV means all zeros, and
// a given IV must be one block long. Without PKCS7 padding the input must be a whole number of blocks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/foundation/Value.h"

inline constexpr size_t CC_MD5_DIGEST_LENGTH = 16;
inline constexpr size_t CC_SHA256_DIGEST_LENGTH = 32;

Data CC_MD5(std::span<const uint8_t> bytes);
Data CC_SHA256(std::span<const uint8_t> bytes);

using CCCryptorStatus = int32_t;
inline constexpr CCCryptorStatus kCCSuccess = 0;
inline constexpr CCCryptorStatus kCCParamError = -4300;
inline constexpr CCCryptorStatus kCCBufferTooSmall = -4301;
inline constexpr CCCryptorStatus kCCMemoryFailure = -4302;
inline constexpr CCCryptorStatus kCCAlignmentError = -4303;
inline constexpr CCCryptorStatus kCCDecodeError = -4304;
inline constexpr CCCryptorStatus kCCUnimplemented = -4305;

enum class CCOperation { Encrypt = 0, Decrypt = 1 };
enum class CCAlgorithm { AES = 0, TripleDES = 2 };

// Option bits, combined with `|`.
using CCOptions = uint32_t;
inline constexpr CCOptions kCCOptionPKCS7Padding = 1;
inline constexpr CCOptions kCCOptionECBMode = 2;

inline constexpr size_t kCCKeySize3DES = 24;
inline constexpr size_t kCCBlockSize3DES = 8;
inline constexpr size_t kCCBlockSizeAES128 = 16;

// Encrypts or decrypts `input` into `output` (replaced). On failure `output` is left empty and the status
// says why: a bad key or IV size is kCCParamError, input that is not whole blocks without padding is
// kCCAlignmentError, and a wrong key or corrupt input that leaves bad padding is kCCDecodeError.
CCCryptorStatus CCCrypt(CCOperation operation, CCAlgorithm algorithm, CCOptions options,
                        std::span<const uint8_t> key, std::span<const uint8_t> iv,
                        std::span<const uint8_t> input, std::vector<uint8_t>& output);

// OpenSSL takes an int length, so CCCrypt hands the input over in pieces of this size; any length works.
inline constexpr size_t kCCCryptPieceSize = size_t(1) << 30;
// CCCrypt with pieces of `pieceSize` bytes (1 to INT_MAX, else kCCParamError); for tests of the pieces.
CCCryptorStatus CCCryptInPieces(CCOperation operation, CCAlgorithm algorithm, CCOptions options,
                                std::span<const uint8_t> key, std::span<const uint8_t> iv,
                                std::span<const uint8_t> input, std::vector<uint8_t>& output,
                                size_t pieceSize);
