// The cryptography seam on Windows: SHA-256 and ECDSA P-256 from bcrypt.dll, loaded at run
// time so that the program still starts on systems without it (before Vista).
#include "crypto.h"

#include <windows.h>
#include <bcrypt.h>
#include <memory>
#include <string.h>
#include <vector>

struct DigestContext {
    BCRYPT_HASH_HANDLE hash;
    std::vector<UCHAR> object;   // the provider's working memory for the hash
};

namespace {

struct Bcrypt {
    decltype(&::BCryptOpenAlgorithmProvider) openAlgorithm;
    decltype(&::BCryptGetProperty) getProperty;
    decltype(&::BCryptCreateHash) createHash;
    decltype(&::BCryptHashData) hashData;
    decltype(&::BCryptFinishHash) finishHash;
    decltype(&::BCryptDestroyHash) destroyHash;
    decltype(&::BCryptImportKeyPair) importKeyPair;
    decltype(&::BCryptGenerateKeyPair) generateKeyPair;
    decltype(&::BCryptFinalizeKeyPair) finalizeKeyPair;
    decltype(&::BCryptExportKey) exportKey;
    decltype(&::BCryptDestroyKey) destroyKey;
    decltype(&::BCryptSignHash) signHash;
    decltype(&::BCryptVerifySignature) verifySignature;
    BCRYPT_ALG_HANDLE sha256;
    BCRYPT_ALG_HANDLE ecdsa;
    ULONG hashObjectSize;
};

template <typename F>
int Load(HMODULE m, const char* name, F* f)
{
    *f = (F)(void*)GetProcAddress(m, name);
    return *f != nullptr;
}

// Loaded once; null members where the system lacks the library or an algorithm. The system
// folder is named in full so that no copy beside the program is picked up instead.
const Bcrypt* Api()
{
    static Bcrypt api;
    static bool tried = false;
    if (tried) return api.sha256 || api.ecdsa ? &api : nullptr;
    tried = true;
    wchar_t path[MAX_PATH];
    UINT n = GetSystemDirectoryW(path, MAX_PATH);
    if (n == 0 || n + 12 >= MAX_PATH) return nullptr;
    wcscpy(path + n, L"\\bcrypt.dll");
    HMODULE m = LoadLibraryW(path);
    if (!m) return nullptr;
    Bcrypt b = {};
    if (!Load(m, "BCryptOpenAlgorithmProvider", &b.openAlgorithm) || !Load(m, "BCryptGetProperty", &b.getProperty) ||
        !Load(m, "BCryptCreateHash", &b.createHash) || !Load(m, "BCryptHashData", &b.hashData) ||
        !Load(m, "BCryptFinishHash", &b.finishHash) || !Load(m, "BCryptDestroyHash", &b.destroyHash) ||
        !Load(m, "BCryptImportKeyPair", &b.importKeyPair) || !Load(m, "BCryptGenerateKeyPair", &b.generateKeyPair) ||
        !Load(m, "BCryptFinalizeKeyPair", &b.finalizeKeyPair) || !Load(m, "BCryptExportKey", &b.exportKey) ||
        !Load(m, "BCryptDestroyKey", &b.destroyKey) || !Load(m, "BCryptSignHash", &b.signHash) ||
        !Load(m, "BCryptVerifySignature", &b.verifySignature))
        return nullptr;
    ULONG got = 0;
    if (b.openAlgorithm(&b.sha256, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
        b.getProperty(b.sha256, BCRYPT_OBJECT_LENGTH, (PUCHAR)&b.hashObjectSize, sizeof b.hashObjectSize, &got, 0) != 0)
        b.sha256 = nullptr;
    if (b.openAlgorithm(&b.ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) b.ecdsa = nullptr;
    api = b;
    return api.sha256 || api.ecdsa ? &api : nullptr;
}

// A key from its raw parts in the blob layout bcrypt takes: header, X, Y and, for a private
// key, the scalar.
BCRYPT_KEY_HANDLE ImportKey(const Bcrypt* b, const uint8_t* privateKey, const uint8_t publicKey[kPublicKeySize])
{
    if (publicKey[0] != 4) return nullptr;
    UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
    BCRYPT_ECCKEY_BLOB* head = (BCRYPT_ECCKEY_BLOB*)blob;
    head->dwMagic = privateKey ? BCRYPT_ECDSA_PRIVATE_P256_MAGIC : BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    head->cbKey = 32;
    memcpy(blob + sizeof *head, publicKey + 1, 64);
    if (privateKey) memcpy(blob + sizeof *head + 64, privateKey, 32);
    ULONG size = (ULONG)(sizeof *head + (privateKey ? 96 : 64));
    BCRYPT_KEY_HANDLE key = nullptr;
    if (b->importKeyPair(b->ecdsa, nullptr, privateKey ? BCRYPT_ECCPRIVATE_BLOB : BCRYPT_ECCPUBLIC_BLOB, &key, blob,
                         size, 0) != 0)
        return nullptr;
    return key;
}

}   // namespace

DigestContext* DigestBegin()
{
    const Bcrypt* b = Api();
    if (!b || !b->sha256) return nullptr;
    std::unique_ptr<DigestContext> c(new DigestContext);
    c->hash = nullptr;
    c->object.resize(b->hashObjectSize ? b->hashObjectSize : 1);
    if (b->createHash(b->sha256, &c->hash, c->object.data(), b->hashObjectSize, nullptr, 0, 0) != 0) return nullptr;
    return c.release();
}

void DigestFeed(DigestContext* context, const void* bytes, size_t n)
{
    if (!context) return;
    const UCHAR* p = (const UCHAR*)bytes;
    while (n > 0) {
        ULONG take = n > 0x40000000u ? 0x40000000u : (ULONG)n;
        Api()->hashData(context->hash, (PUCHAR)p, take, 0);
        p += take;
        n -= take;
    }
}

int DigestEnd(DigestContext* context, uint8_t digest[kDigestSize])
{
    if (!context) return 0;
    int ok = Api()->finishHash(context->hash, digest, (ULONG)kDigestSize, 0) == 0;
    DigestDiscard(context);
    return ok;
}

void DigestDiscard(DigestContext* context)
{
    if (!context) return;
    if (context->hash) Api()->destroyHash(context->hash);
    delete context;
}

int VerifyDigestSignature(const uint8_t publicKey[kPublicKeySize], const uint8_t digest[kDigestSize],
                          const uint8_t* signature, size_t signatureSize)
{
    const Bcrypt* b = Api();
    if (!b || !b->ecdsa) return SignatureUnavailable;
    uint8_t raw[64];
    if (!SignatureFromDer(signature, signatureSize, raw)) return SignatureBad;
    BCRYPT_KEY_HANDLE key = ImportKey(b, nullptr, publicKey);
    if (!key) return SignatureBad;
    NTSTATUS s = b->verifySignature(key, nullptr, (PUCHAR)digest, (ULONG)kDigestSize, raw, 64, 0);
    b->destroyKey(key);
    return s == 0 ? SignatureGood : SignatureBad;
}

int GenerateKeyPair(uint8_t privateKey[kPrivateKeySize], uint8_t publicKey[kPublicKeySize])
{
    const Bcrypt* b = Api();
    if (!b || !b->ecdsa) return 0;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (b->generateKeyPair(b->ecdsa, &key, 256, 0) != 0) return 0;
    UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
    ULONG got = 0;
    int ok = b->finalizeKeyPair(key, 0) == 0 &&
        b->exportKey(key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof blob, &got, 0) == 0 && got == sizeof blob &&
        ((BCRYPT_ECCKEY_BLOB*)blob)->cbKey == 32;
    b->destroyKey(key);
    if (ok) {
        publicKey[0] = 4;
        memcpy(publicKey + 1, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
        memcpy(privateKey, blob + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
    }
    SecureZeroMemory(blob, sizeof blob);
    return ok;
}

int SignDigest(const uint8_t privateKey[kPrivateKeySize], const uint8_t publicKey[kPublicKeySize],
               const uint8_t digest[kDigestSize], uint8_t* signature, size_t* signatureSize)
{
    *signatureSize = 0;
    const Bcrypt* b = Api();
    if (!b || !b->ecdsa) return 0;
    BCRYPT_KEY_HANDLE key = ImportKey(b, privateKey, publicKey);
    if (!key) return 0;
    uint8_t raw[64];
    ULONG got = 0;
    int ok = b->signHash(key, nullptr, (PUCHAR)digest, (ULONG)kDigestSize, raw, sizeof raw, &got, 0) == 0 &&
        got == sizeof raw;
    b->destroyKey(key);
    if (!ok) return 0;
    size_t n = SignatureToDer(raw, signature);
    // A key pair whose halves do not belong together signs, but nobody could check it.
    if (VerifyDigestSignature(publicKey, digest, signature, n) != SignatureGood) return 0;
    *signatureSize = n;
    return 1;
}
