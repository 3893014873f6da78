// Publisher key files: P-256 keys in the PEM forms OpenSSL reads and writes, and key ids.
#pragma once
#include <stdint.h>
#include <stddef.h>
#include "crypto.h"

// The file an installation holds, inside its target folder, to pin its publisher's key.
extern const char kTrustFileName[];   // "upgtrust.pem"

const size_t kKeyIdSize = 8;

struct PublisherKey {
    uint8_t publicKey[kPublicKeySize];
    uint8_t privateKey[kPrivateKeySize];
    int hasPrivate;
};

enum KeyFault {
    KeyOk = 0,
    KeyUnreadable,    // missing, unreadable or over 16 KiB
    KeyNotPem,        // no PEM block of a key type we know
    KeyBadEncoding,   // the block's base64 or its DER is malformed
    KeyNotP256,       // another algorithm or curve, or a form without its public half
    KeyNoPrivate      // a public key where a private one is needed
};
const char* KeyFaultText(KeyFault fault);

// Reads "PUBLIC KEY", "PRIVATE KEY" (PKCS#8) or "EC PRIVATE KEY" (SEC1) of a P-256 key.
// needPrivate refuses a public key alone.
KeyFault ReadKeyText(const char* text, size_t n, int needPrivate, PublisherKey* key);
KeyFault ReadKeyFile(const char* path, int needPrivate, PublisherKey* key);
// The PEM texts: the public key (SubjectPublicKeyInfo) and the private one (PKCS#8, with its
// public half). Each returns the text's length, 0 when it does not fit.
size_t PublicKeyPem(const PublisherKey* key, char* out, size_t capacity);
size_t PrivateKeyPem(const PublisherKey* key, char* out, size_t capacity);
// The first 8 bytes of the SHA-256 of the public key's SubjectPublicKeyInfo DER, the bytes that
// `openssl pkey -pubin -outform DER | sha256sum` hashes. 1 on success.
int KeyIdOf(const uint8_t publicKey[kPublicKeySize], uint8_t id[kKeyIdSize]);
// 16 lower-case hex digits and a NUL.
void KeyIdText(const uint8_t id[kKeyIdSize], char out[2 * kKeyIdSize + 1]);
