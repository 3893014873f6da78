// Publisher key files: fixed DER layouts of P-256 keys inside PEM armour, read strictly.
#include "keyfile.h"
#include <stdio.h>
#include <string.h>
#include "stream.h"

const char kTrustFileName[] = "upgtrust.pem";

namespace {

// A P-256 key has one DER encoding of each form, so each form is a fixed layout: the bytes
// before the key material are compared whole, which also refuses every other curve.
const uint8_t kSpkiHead[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                             0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
const size_t kSpkiSize = sizeof kSpkiHead + kPublicKeySize;   // 91

// PKCS#8 as OpenSSL writes it: version 0, the algorithm, then SEC1 with the public half.
const uint8_t kPkcs8Head[] = {0x30, 0x81, 0x87, 0x02, 0x01, 0x00, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86,
                              0x48, 0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D,
                              0x03, 0x01, 0x07, 0x04, 0x6D, 0x30, 0x6B, 0x02, 0x01, 0x01, 0x04, 0x20};
const uint8_t kPkcs8Middle[] = {0xA1, 0x44, 0x03, 0x42, 0x00};
const size_t kPkcs8Size = sizeof kPkcs8Head + kPrivateKeySize + sizeof kPkcs8Middle + kPublicKeySize;   // 138

// SEC1 ("EC PRIVATE KEY") with the named curve and the public half.
const uint8_t kSec1Head[] = {0x30, 0x77, 0x02, 0x01, 0x01, 0x04, 0x20};
const uint8_t kSec1Middle[] = {0xA0, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D,
                               0x03, 0x01, 0x07, 0xA1, 0x44, 0x03, 0x42, 0x00};
const size_t kSec1Size = sizeof kSec1Head + kPrivateKeySize + sizeof kSec1Middle + kPublicKeySize;   // 121

const uint32_t kMaxKeyFile = 16384;
const size_t kMaxDer = 256;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c)
{
    const char* p = c ? strchr(kBase64, c) : nullptr;
    return p ? (int)(p - kBase64) : -1;
}

// Decodes the armour's body, skipping line ends and blanks; 0 when malformed or too long.
size_t Base64Decode(const char* text, size_t n, uint8_t* out, size_t capacity)
{
    size_t got = 0, pad = 0;
    uint32_t bits = 0;
    int count = 0;
    for (size_t i = 0; i < n; i++) {
        char c = text[i];
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        if (c == '=') {
            pad++;
            continue;
        }
        int v = Base64Value(c);
        if (v < 0 || pad) return 0;
        bits = (bits << 6) | (uint32_t)v;
        if (++count == 4) {
            if (got + 3 > capacity) return 0;
            out[got++] = (uint8_t)(bits >> 16);
            out[got++] = (uint8_t)(bits >> 8);
            out[got++] = (uint8_t)bits;
            bits = 0;
            count = 0;
        }
    }
    if (count == 1 || pad > 2 || (count && pad && count + pad != 4) || (!count && pad)) return 0;
    if (count >= 2) {
        bits <<= 6 * (4 - count);
        if (got + (size_t)(count - 1) > capacity) return 0;
        out[got++] = (uint8_t)(bits >> 16);
        if (count == 3) out[got++] = (uint8_t)(bits >> 8);
    }
    return got;
}

// Writes the PEM block: the label lines around base64 in lines of 64 characters.
size_t PemEncode(const char* label, const uint8_t* der, size_t n, char* out, size_t capacity)
{
    size_t used = 0;
    auto put = [&](const char* s, size_t k) {
        if (used + k + 1 > capacity) {
            used = capacity + 1;
            return;
        }
        memcpy(out + used, s, k);
        used += k;
        out[used] = 0;
    };
    auto line = [&](const char* edge) {
        put("-----", 5);
        put(edge, strlen(edge));
        put(" ", 1);
        put(label, strlen(label));
        put("-----\n", 6);
    };
    line("BEGIN");
    int column = 0;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t bits = (uint32_t)der[i] << 16;
        if (i + 1 < n) bits |= (uint32_t)der[i + 1] << 8;
        if (i + 2 < n) bits |= der[i + 2];
        char quad[4];
        for (int k = 0; k < 4; k++) quad[k] = kBase64[(bits >> (18 - 6 * k)) & 63];
        if (i + 1 >= n) quad[2] = '=';
        if (i + 2 >= n) quad[3] = '=';
        put(quad, 4);
        column += 4;
        if (column == 64 || i + 3 >= n) {
            put("\n", 1);
            column = 0;
        }
    }
    line("END");
    return used > capacity ? 0 : used;
}

// Where the armour line "-----EDGE label-----" starts in text[from, n), or n.
size_t FindEdge(const char* text, size_t n, size_t from, const char* edge, const char* label)
{
    char line[48];
    snprintf(line, sizeof line, "-----%s %s-----", edge, label);
    size_t k = strlen(line);
    for (size_t i = from; i + k <= n; i++)
        if (memcmp(text + i, line, k) == 0) return i;
    return n;
}

// Decodes the body of the block with that label: its size, 0 when there is no such block,
// (size_t)-1 when the block is malformed.
size_t PemBlock(const char* text, size_t n, const char* label, uint8_t* der, size_t capacity)
{
    size_t b = FindEdge(text, n, 0, "BEGIN", label);
    if (b == n) return 0;
    b += 16 + strlen(label);
    size_t e = FindEdge(text, n, b, "END", label);
    if (e == n) return (size_t)-1;
    size_t got = Base64Decode(text + b, e - b, der, capacity);
    return got ? got : (size_t)-1;
}

void SpkiOf(const uint8_t publicKey[kPublicKeySize], uint8_t der[kSpkiSize])
{
    memcpy(der, kSpkiHead, sizeof kSpkiHead);
    memcpy(der + sizeof kSpkiHead, publicKey, kPublicKeySize);
}

}   // namespace

const char* KeyFaultText(KeyFault fault)
{
    switch (fault) {
    case KeyOk: return "a usable key";
    case KeyUnreadable: return "the key file cannot be read";
    case KeyNotPem: return "the file holds no PEM key (PUBLIC KEY, PRIVATE KEY or EC PRIVATE KEY)";
    case KeyBadEncoding: return "the key's encoding is damaged";
    case KeyNotP256: return "the key is not an ECDSA P-256 key with its public half";
    case KeyNoPrivate: return "the file holds a public key, and a private key is needed";
    }
    return "an unknown key fault";
}

KeyFault ReadKeyText(const char* text, size_t n, int needPrivate, PublisherKey* key)
{
    memset(key, 0, sizeof *key);
    uint8_t der[kMaxDer];
    const char* labels[] = {"PRIVATE KEY", "EC PRIVATE KEY", "PUBLIC KEY"};
    for (int form = 0; form < 3; form++) {
        size_t got = PemBlock(text, n, labels[form], der, sizeof der);
        if (got == 0) continue;
        if (got == (size_t)-1) return KeyBadEncoding;
        if (form == 2) {
            if (needPrivate) return KeyNoPrivate;
            if (got != kSpkiSize || memcmp(der, kSpkiHead, sizeof kSpkiHead) != 0) return KeyNotP256;
            memcpy(key->publicKey, der + sizeof kSpkiHead, kPublicKeySize);
        } else {
            const uint8_t* head = form == 0 ? kPkcs8Head : kSec1Head;
            size_t headSize = form == 0 ? sizeof kPkcs8Head : sizeof kSec1Head;
            const uint8_t* middle = form == 0 ? kPkcs8Middle : kSec1Middle;
            size_t middleSize = form == 0 ? sizeof kPkcs8Middle : sizeof kSec1Middle;
            if (got != (form == 0 ? kPkcs8Size : kSec1Size) || memcmp(der, head, headSize) != 0 ||
                memcmp(der + headSize + kPrivateKeySize, middle, middleSize) != 0)
                return KeyNotP256;
            memcpy(key->privateKey, der + headSize, kPrivateKeySize);
            memcpy(key->publicKey, der + headSize + kPrivateKeySize + middleSize, kPublicKeySize);
            key->hasPrivate = 1;
        }
        memset(der, 0, sizeof der);
        return key->publicKey[0] == 4 ? KeyOk : KeyNotP256;
    }
    return KeyNotPem;
}

KeyFault ReadKeyFile(const char* path, int needPrivate, PublisherKey* key)
{
    memset(key, 0, sizeof *key);
    FileStream file(ReadAccess | ShareRead, path);
    if (file.HasError()) return KeyUnreadable;
    uint32_t size = file.Size();
    if (file.HasError() || size > kMaxKeyFile) return KeyUnreadable;
    char text[kMaxKeyFile];
    if (file.Read(text, (int32_t)size) != (int32_t)size) return KeyUnreadable;
    KeyFault fault = ReadKeyText(text, size, needPrivate, key);
    memset(text, 0, sizeof text);
    return fault;
}

size_t PublicKeyPem(const PublisherKey* key, char* out, size_t capacity)
{
    uint8_t der[kSpkiSize];
    SpkiOf(key->publicKey, der);
    return PemEncode("PUBLIC KEY", der, sizeof der, out, capacity);
}

size_t PrivateKeyPem(const PublisherKey* key, char* out, size_t capacity)
{
    if (!key->hasPrivate) return 0;
    uint8_t der[kPkcs8Size];
    size_t at = 0;
    memcpy(der, kPkcs8Head, sizeof kPkcs8Head);
    at += sizeof kPkcs8Head;
    memcpy(der + at, key->privateKey, kPrivateKeySize);
    at += kPrivateKeySize;
    memcpy(der + at, kPkcs8Middle, sizeof kPkcs8Middle);
    at += sizeof kPkcs8Middle;
    memcpy(der + at, key->publicKey, kPublicKeySize);
    size_t n = PemEncode("PRIVATE KEY", der, sizeof der, out, capacity);
    memset(der, 0, sizeof der);
    return n;
}

int KeyIdOf(const uint8_t publicKey[kPublicKeySize], uint8_t id[kKeyIdSize])
{
    uint8_t der[kSpkiSize];
    SpkiOf(publicKey, der);
    uint8_t digest[kDigestSize];
    if (!DigestOf(der, sizeof der, digest)) return 0;
    memcpy(id, digest, kKeyIdSize);
    return 1;
}

void KeyIdText(const uint8_t id[kKeyIdSize], char out[2 * kKeyIdSize + 1])
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < kKeyIdSize; i++) {
        out[2 * i] = hex[id[i] >> 4];
        out[2 * i + 1] = hex[id[i] & 15];
    }
    out[2 * kKeyIdSize] = 0;
}
