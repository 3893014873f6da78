// SHA-256 and ECDSA P-256 from the platform's own cryptography: libcrypto on POSIX, bcrypt.dll
// (loaded when first asked for) on Windows. Nothing here computes a digest or a signature by hand.
#pragma once
#include <stdint.h>
#include <stddef.h>

const size_t kDigestSize = 32;       // SHA-256
const size_t kPublicKeySize = 65;    // an uncompressed P-256 point: 0x04, X, Y
const size_t kPrivateKeySize = 32;   // the P-256 scalar, big-endian
const size_t kSignatureMax = 72;     // an ECDSA P-256 signature in DER

struct DigestContext;

// A running SHA-256; null when the platform offers none (Windows before Vista without the
// CryptoAPI provider) or memory ran out. DigestEnd writes the digest and frees the context;
// DigestDiscard frees it without a result.
DigestContext* DigestBegin();
void DigestFeed(DigestContext* context, const void* bytes, size_t n);
int DigestEnd(DigestContext* context, uint8_t digest[kDigestSize]);
void DigestDiscard(DigestContext* context);
int DigestOf(const void* bytes, size_t n, uint8_t digest[kDigestSize]);

enum SignatureCheck { SignatureBad = 0, SignatureGood = 1, SignatureUnavailable = -1 };
// Checks a DER signature over a SHA-256 digest against a public key. SignatureUnavailable when
// the platform cannot check signatures at all, so that a caller never reads that as bad or good.
int VerifyDigestSignature(const uint8_t publicKey[kPublicKeySize], const uint8_t digest[kDigestSize],
                          const uint8_t* signature, size_t signatureSize);
// A fresh key pair; 1 on success.
int GenerateKeyPair(uint8_t privateKey[kPrivateKeySize], uint8_t publicKey[kPublicKeySize]);
// Signs a SHA-256 digest; the DER signature goes to signature (kSignatureMax bytes of room)
// and its length to *signatureSize. 1 on success.
int SignDigest(const uint8_t privateKey[kPrivateKeySize], const uint8_t publicKey[kPublicKeySize],
               const uint8_t digest[kDigestSize], uint8_t* signature, size_t* signatureSize);

// The DER form of a signature and its fixed-width form r || s (32 bytes each), as Windows
// takes them. Both refuse anything but a well-formed P-256 signature.
int SignatureFromDer(const uint8_t* der, size_t n, uint8_t raw[64]);
size_t SignatureToDer(const uint8_t raw[64], uint8_t der[kSignatureMax]);
