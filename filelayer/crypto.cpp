// The platform-neutral half of the cryptography seam: signature encodings and one-shot digests.
#include "crypto.h"
#include <string.h>

namespace {

// One DER INTEGER of a signature: positive, minimally encoded, at most 32 value bytes.
// Returns the bytes consumed, 0 when malformed.
size_t ReadInteger(const uint8_t* p, size_t n, uint8_t out[32])
{
    if (n < 3 || p[0] != 0x02) return 0;
    size_t length = p[1];
    if (length == 0 || length > 33 || length + 2 > n) return 0;
    const uint8_t* v = p + 2;
    if (v[0] & 0x80) return 0;                                 // negative
    if (length > 1 && v[0] == 0 && !(v[1] & 0x80)) return 0;   // a leading zero it did not need
    if (v[0] == 0 && length > 1) {
        v++;
        length--;
    }
    if (length > 32) return 0;
    memset(out, 0, 32);
    memcpy(out + 32 - length, v, length);
    return (size_t)(v - p) + length;
}

size_t WriteInteger(const uint8_t value[32], uint8_t* out)
{
    size_t skip = 0;
    while (skip < 31 && value[skip] == 0) skip++;
    size_t length = 32 - skip;
    int pad = (value[skip] & 0x80) != 0;
    out[0] = 0x02;
    out[1] = (uint8_t)(length + pad);
    if (pad) out[2] = 0;
    memcpy(out + 2 + pad, value + skip, length);
    return 2 + pad + length;
}

}   // namespace

int SignatureFromDer(const uint8_t* der, size_t n, uint8_t raw[64])
{
    if (!der || n < 8 || n > kSignatureMax || der[0] != 0x30 || der[1] != n - 2) return 0;
    size_t r = ReadInteger(der + 2, n - 2, raw);
    if (!r) return 0;
    size_t s = ReadInteger(der + 2 + r, n - 2 - r, raw + 32);
    if (!s || 2 + r + s != n) return 0;
    static const uint8_t zero[32] = {0};
    return memcmp(raw, zero, 32) != 0 && memcmp(raw + 32, zero, 32) != 0;
}

size_t SignatureToDer(const uint8_t raw[64], uint8_t der[kSignatureMax])
{
    size_t r = WriteInteger(raw, der + 2);
    size_t s = WriteInteger(raw + 32, der + 2 + r);
    der[0] = 0x30;
    der[1] = (uint8_t)(r + s);
    return 2 + r + s;
}

int DigestOf(const void* bytes, size_t n, uint8_t digest[kDigestSize])
{
    DigestContext* c = DigestBegin();
    if (!c) return 0;
    DigestFeed(c, bytes, n);
    return DigestEnd(c, digest);
}
