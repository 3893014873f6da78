// The cryptography seam on POSIX: SHA-256 and ECDSA P-256 from OpenSSL's libcrypto.
#include "crypto.h"
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

struct DigestContext {
    EVP_MD_CTX* md;
};

namespace {

// Fetched once: an implicit fetch on every digest costs more than hashing a small file.
const EVP_MD* Sha256()
{
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

// Keys are made from their raw parts so that key files stay a format of our own code; the
// library checks that the point lies on the curve.
EVP_PKEY* MakeKey(const uint8_t* privateKey, const uint8_t publicKey[kPublicKeySize])
{
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    BIGNUM* d = privateKey ? BN_bin2bn(privateKey, (int)kPrivateKeySize, nullptr) : nullptr;
    OSSL_PARAM* params = nullptr;
    EVP_PKEY_CTX* context = nullptr;
    EVP_PKEY* key = nullptr;
    if (build && (!privateKey || d) &&
        OSSL_PARAM_BLD_push_utf8_string(build, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) &&
        OSSL_PARAM_BLD_push_octet_string(build, OSSL_PKEY_PARAM_PUB_KEY, publicKey, kPublicKeySize) &&
        (!d || OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_PRIV_KEY, d)) &&
        (params = OSSL_PARAM_BLD_to_param(build)) != nullptr &&
        (context = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr)) != nullptr &&
        EVP_PKEY_fromdata_init(context) > 0) {
        if (EVP_PKEY_fromdata(context, &key, d ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params) <= 0) key = nullptr;
    }
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    BN_clear_free(d);
    OSSL_PARAM_BLD_free(build);
    return key;
}

}   // namespace

DigestContext* DigestBegin()
{
    DigestContext* c = new DigestContext;
    c->md = EVP_MD_CTX_new();
    if (!c->md || !Sha256() || EVP_DigestInit_ex(c->md, Sha256(), nullptr) != 1) {
        DigestDiscard(c);
        return nullptr;
    }
    return c;
}

void DigestFeed(DigestContext* context, const void* bytes, size_t n)
{
    if (context && n) EVP_DigestUpdate(context->md, bytes, n);
}

int DigestEnd(DigestContext* context, uint8_t digest[kDigestSize])
{
    if (!context) return 0;
    unsigned int n = 0;
    int ok = EVP_DigestFinal_ex(context->md, digest, &n) == 1 && n == kDigestSize;
    DigestDiscard(context);
    return ok;
}

void DigestDiscard(DigestContext* context)
{
    if (!context) return;
    EVP_MD_CTX_free(context->md);
    delete context;
}

int VerifyDigestSignature(const uint8_t publicKey[kPublicKeySize], const uint8_t digest[kDigestSize],
                          const uint8_t* signature, size_t signatureSize)
{
    // The same strict reading of the signature as on Windows, so both answer alike.
    uint8_t raw[64];
    if (!SignatureFromDer(signature, signatureSize, raw)) return SignatureBad;
    EVP_PKEY* key = MakeKey(nullptr, publicKey);
    if (!key) return SignatureBad;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    int result = SignatureBad;
    if (context && EVP_PKEY_verify_init(context) > 0 && EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) > 0)
        result =
            EVP_PKEY_verify(context, signature, signatureSize, digest, kDigestSize) == 1 ? SignatureGood : SignatureBad;
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    return result;
}

int GenerateKeyPair(uint8_t privateKey[kPrivateKeySize], uint8_t publicKey[kPublicKeySize])
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) return 0;
    size_t n = 0;
    BIGNUM* d = nullptr;
    int ok = EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, publicKey, kPublicKeySize, &n) == 1 &&
        n == kPublicKeySize && publicKey[0] == 4 && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1 &&
        BN_bn2binpad(d, privateKey, (int)kPrivateKeySize) == (int)kPrivateKeySize;
    BN_clear_free(d);
    EVP_PKEY_free(key);
    return ok;
}

int SignDigest(const uint8_t privateKey[kPrivateKeySize], const uint8_t publicKey[kPublicKeySize],
               const uint8_t digest[kDigestSize], uint8_t* signature, size_t* signatureSize)
{
    EVP_PKEY* key = MakeKey(privateKey, publicKey);
    if (!key) return 0;
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    size_t n = kSignatureMax;
    int ok = context && EVP_PKEY_sign_init(context) > 0 && EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) > 0 &&
        EVP_PKEY_sign(context, signature, &n, digest, kDigestSize) == 1;
    EVP_PKEY_CTX_free(context);
    EVP_PKEY_free(key);
    // A key pair whose halves do not belong together signs, but nobody could check it.
    if (ok && VerifyDigestSignature(publicKey, digest, signature, n) != SignatureGood) ok = 0;
    *signatureSize = ok ? n : 0;
    return ok;
}
