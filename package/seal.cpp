// The package seal: its layout, reading it back against the entry table, writing and trust.
#include "seal.h"
#include <string.h>
#include <vector>
#include "bytes.h"
#include "entries.h"
#include "fingerprint.h"
#include "stream.h"

const char kSealMagic[8] = {'[', 'Q', 'Z', 'S', 'E', 'A', 'L', ']'};

namespace {

// Version 1: magic, version, flags, entry count, package digest; the file digests follow.
const uint32_t kSealHeadSize = 8 + 1 + 1 + 2 + kDigestSize;
// Version 2: magic, version, flags, entry count, code page, then the three set digests.
const uint32_t kCodePageAt = 12;
const uint32_t kSealSetsStart = kCodePageAt + 2;
const uint32_t kSealSetsEnd = kSealSetsStart + kFileSets * kDigestSize;
const uint8_t kFlagSigned = 1;
const int32_t kHashBlock = 64 * 1024;

int HasNew(uint8_t kind) { return kind == KindAdd || kind == KindPatch; }
int HasOld(uint8_t kind) { return kind == KindPatch || kind == KindDelete; }

uint32_t DigestBytes(const uint8_t* kinds, int count)
{
    uint32_t n = 0;
    for (int i = 0; i < count; i++) n += (uint32_t)(HasNew(kinds[i]) + HasOld(kinds[i])) * kDigestSize;
    return n;
}

// Whether a package of total bytes ends in a seal footer; *size is then the seal's size as the
// footer gives it. Moves the stream.
int ReadFooter(Stream* package, uint32_t total, uint32_t* size)
{
    uint8_t footer[kSealFooterSize];
    if (total < sizeof(PackageHeader) + kSealHeadSize + kSealFooterSize || package->HasError() ||
        !package->Seek(total - kSealFooterSize) ||
        package->Read(footer, (int32_t)sizeof footer) != (int32_t)sizeof footer ||
        memcmp(footer + 4, kSealMagic, sizeof kSealMagic) != 0)
        return 0;
    *size = GetLe32(footer);
    return 1;
}

// What a process may map of a package: all of it on 64 bits, a part of a 32-bit address space.
const uint32_t kMaxMappedPackage = sizeof(void*) >= 8 ? 0x7FFFFFFFu : 256u << 20;

}   // namespace

PackageDigestAhead::PackageDigestAhead(FileStream* package) : declaredVersion(0), view(nullptr), start(0)
{
    if (!package || package->HasError()) return;
    uint32_t back = package->Tell();
    uint32_t total = package->Size();
    uint32_t size = 0;
    uint8_t head[kCodePageAt] = {0};
    // A footer that cannot be a seal's is the check's to refuse; nothing to hash ahead.
    int found = ReadFooter(package, total, &size) && size >= sizeof head && size <= total - sizeof(PackageHeader) &&
        package->Seek(total - size) && package->Read(head, (int32_t)sizeof head) == (int32_t)sizeof head;
    if (package->HasError()) package->Reset();
    package->Seek(back);
    uint8_t probe[kDigestSize];
    if (!found || !DigestOf("", 0, probe)) return;
    declaredVersion = head[8];
    start = total - size;
    if (start > kMaxMappedPackage || !Os().mapFile(package->handle, start, &view)) {
        view = nullptr;
        return;
    }
    digest.reset(new MappedDigest((const uint8_t*)view, start));
}

PackageDigestAhead::~PackageDigestAhead()
{
    digest.reset();
    if (view) Os().unmapFile(view, start);
}

int PackageDigestAhead::Take(uint32_t n, uint8_t out[kDigestSize])
{
    uint8_t made[kDigestSize];
    if (!digest || n != start || !digest->Finish(made)) return 0;
    memcpy(out, made, kDigestSize);
    return 1;
}

int HashPrefix(Stream* s, uint32_t n, uint8_t digest[kDigestSize], int* hashed)
{
    *hashed = 0;
    DigestContext* c = DigestBegin();
    std::vector<uint8_t> block((size_t)kHashBlock);
    int ok = s->Seek(0);
    while (ok && n > 0) {
        int32_t want = n < (uint32_t)kHashBlock ? (int32_t)n : kHashBlock;
        int32_t got = s->Read(block.data(), want);
        if (got != want)
            ok = 0;
        else
            DigestFeed(c, block.data(), (size_t)got);
        n -= (uint32_t)want;
    }
    if (!ok) {
        DigestDiscard(c);
        return 0;
    }
    *hashed = DigestEnd(c, digest);
    return 1;
}

int InFileSet(int set, uint8_t kind)
{
    if (set == NewFiles) return HasNew(kind);
    if (set == PatchedFiles) return kind == KindPatch;
    return set == DeletedFiles && kind == KindDelete;
}

PackageSeal::PackageSeal()
    : version(0), codePage(0), start(0), size(0), entryCount(0), isSigned(0), signatureSize(0), claimed(0)
{
    memset(packageDigest, 0, sizeof packageDigest);
    memset(setDigests, 0, sizeof setDigests);
    memset(signerKey, 0, sizeof signerKey);
    memset(keyId, 0, sizeof keyId);
    memset(signature, 0, sizeof signature);
    memset(sealDigest, 0, sizeof sealDigest);
}

PackageSeal::~PackageSeal() {}

void PackageSeal::Allocate(int count)
{
    entryCount = count < 0 ? 0 : count;
    kinds.assign((size_t)entryCount + 1, 0);
    digests.assign(((size_t)entryCount * 2 + 1) * kDigestSize, 0);
}

const uint8_t* PackageSeal::NewDigest(int i) const
{
    if (version != kSealPerFileVersion || i < 0 || i >= entryCount || !HasNew(kinds[i])) return nullptr;
    return digests.data() + (size_t)i * 2 * kDigestSize;
}

const uint8_t* PackageSeal::OldDigest(int i) const
{
    if (version != kSealPerFileVersion || i < 0 || i >= entryCount || !HasOld(kinds[i])) return nullptr;
    return digests.data() + ((size_t)i * 2 + 1) * kDigestSize;
}

const uint8_t* PackageSeal::SetDigest(int set) const
{
    return version == kSealVersion && set >= 0 && set < kFileSets ? setDigests[set] : nullptr;
}

namespace {

// The SHA-256 of the concatenated digests of the set's files in table order; 0 when one is
// missing or no digest can be made.
int DigestOfSet(int set, const uint8_t* kinds, int count, const uint8_t* const* digests, uint8_t out[kDigestSize])
{
    DigestContext* c = DigestBegin();
    if (!c) return 0;
    for (int i = 0; i < count; i++) {
        if (!InFileSet(set, kinds[i])) continue;
        if (!digests[i]) {
            DigestDiscard(c);
            return 0;
        }
        DigestFeed(c, digests[i], kDigestSize);
    }
    return DigestEnd(c, out);
}

}   // namespace

int PackageSeal::SetHolds(int set, const uint8_t* const* fileDigests) const
{
    const uint8_t* want = SetDigest(set);
    uint8_t actual[kDigestSize];
    if (!want || !DigestOfSet(set, kinds.data(), entryCount, fileDigests, actual)) return -1;
    return memcmp(actual, want, kDigestSize) == 0;
}

const char* SealReadText(SealRead result)
{
    switch (result) {
    case SealAbsent: return "the package carries no seal";
    case SealIntact: return "the seal holds";
    case SealMalformed: return "the package's seal is damaged or does not match its file table";
    case SealNewerVersion: return "the package's seal was written by a newer version of upg";
    case SealMismatch: return "the package has been changed since it was sealed";
    case SealBadSignature: return "the package's signature does not hold: it was altered or damaged after signing";
    case SealNoDigest: return "this system offers no SHA-256 to check the package's seal";
    case SealPackageCut: return "the package ends inside a patch script: it was cut short";
    }
    return "the seal cannot be read";
}

namespace {

// Fills the package digest (the SHA-256 of every byte before the seal) when the seal is read.
SealRead HashPackage(Stream* package, PackageSeal* seal, PackageDigestAhead* ahead)
{
    if (ahead && ahead->Take(seal->start, seal->packageDigest)) return SealIntact;
    if (!package) return SealMalformed;
    int hashed = 0;
    if (HashPrefix(package, seal->start, seal->packageDigest, &hashed) && hashed) return SealIntact;
    // Reading failed, or there is no SHA-256 at all: tell the two apart.
    uint8_t probe[kDigestSize];
    return DigestOf("", 0, probe) ? SealMalformed : SealNoDigest;
}

// The seal's own bytes, footer included, against the entry table: its layout. Fills *seal with
// what the seal states, its own digest as stored included, and keeps the bytes that digest
// covers for ConfirmDigests.
SealRead ParseLayout(const uint8_t* bytes, uint32_t size, const uint8_t* kinds, int count, PackageSeal* seal)
{
    if (size < kSealHeadSize + kSealFooterSize || memcmp(bytes, kSealMagic, sizeof kSealMagic) != 0)
        return SealMalformed;
    uint8_t version = bytes[8];
    if (version > kSealVersion) return SealNewerVersion;
    if (version != kSealVersion && version != kSealPerFileVersion) return SealMalformed;
    uint8_t flags = bytes[9];
    if ((flags & ~kFlagSigned) != 0 || (uint32_t)(bytes[10] | (bytes[11] << 8)) != (uint32_t)count)
        return SealMalformed;
    seal->version = version;
    seal->codePage = 0;
    seal->isSigned = (flags & kFlagSigned) != 0;
    uint32_t digests = version == kSealPerFileVersion ? kSealHeadSize + DigestBytes(kinds, count) : kSealSetsEnd;
    uint32_t covered = digests + (seal->isSigned ? (uint32_t)kPublicKeySize : 0);
    uint32_t at = covered + kDigestSize;
    size_t signatureSize = 0;
    if (seal->isSigned) {
        if (at >= size) return SealMalformed;
        signatureSize = bytes[at++];
        if (signatureSize == 0 || signatureSize > kSignatureMax) return SealMalformed;
    }
    if ((uint64_t)at + signatureSize + kSealFooterSize != size) return SealMalformed;

    memcpy(seal->kinds.data(), kinds, (size_t)count);
    if (version == kSealPerFileVersion) {
        uint32_t p = kSealHeadSize;
        for (int i = 0; i < count; i++) {
            if (HasNew(kinds[i])) {
                memcpy(seal->NewDigestSlot(i), bytes + p, kDigestSize);
                p += kDigestSize;
            }
            if (HasOld(kinds[i])) {
                memcpy(seal->OldDigestSlot(i), bytes + p, kDigestSize);
                p += kDigestSize;
            }
        }
    } else {
        seal->codePage = (uint16_t)(bytes[kCodePageAt] | (bytes[kCodePageAt + 1] << 8));
        for (int set = 0; set < kFileSets; set++)
            memcpy(seal->setDigests[set], bytes + kSealSetsStart + set * kDigestSize, kDigestSize);
    }
    seal->covered.assign(bytes, bytes + covered);
    memcpy(seal->sealDigest, bytes + covered, kDigestSize);
    if (seal->isSigned) {
        memcpy(seal->signerKey, bytes + covered - kPublicKeySize, kPublicKeySize);
        memcpy(seal->signature, bytes + at, signatureSize);
        seal->signatureSize = signatureSize;
    }
    return SealIntact;
}

// Whether the package bytes before the seal are the ones sealed: the package digest, and the
// seal's own digest made from it, against the one the seal stores.
SealRead ConfirmDigests(Stream* package, PackageSeal* seal, PackageDigestAhead* ahead)
{
    SealRead hashed = HashPackage(package, seal, ahead);
    if (hashed != SealIntact) return hashed;
    const uint8_t* bytes = seal->covered.data();
    uint8_t made[kDigestSize];
    if (seal->version == kSealPerFileVersion) {
        // The package digest stands in the seal, which its own digest covers.
        if (memcmp(seal->packageDigest, bytes + 12, kDigestSize) != 0) return SealMismatch;
        if (!DigestOf(bytes, seal->covered.size(), made)) return SealNoDigest;
    } else {
        // The package digest is not stored: it opens what the seal digest covers.
        DigestContext* c = DigestBegin();
        if (!c) return SealNoDigest;
        DigestFeed(c, seal->packageDigest, kDigestSize);
        DigestFeed(c, bytes, seal->covered.size());
        if (!DigestEnd(c, made)) return SealNoDigest;
    }
    // Damage to the seal's own digests shows even when nobody signed it.
    if (memcmp(made, seal->sealDigest, kDigestSize) != 0) return SealMismatch;
    seal->covered.clear();
    return SealIntact;
}

// The signature, where this system can check signatures, against the key the seal names and
// the seal's digest.
SealRead CheckSignature(PackageSeal* seal)
{
    if (!seal->isSigned) return SealIntact;
    if (seal->signerKey[0] != 4 || !KeyIdOf(seal->signerKey, seal->keyId)) return SealMalformed;
    // The seal names its signer's key, so a damaged signature shows whoever reads it.
    if (VerifyDigestSignature(seal->signerKey, seal->sealDigest, seal->signature, seal->signatureSize) == SignatureBad)
        return SealBadSignature;
    return SealIntact;
}

}   // namespace

SealRead ReadSeal(Stream* package, const uint8_t* kinds, int count, PackageSeal* seal, PackageDigestAhead* ahead,
                  int claim)
{
    if (!package || package->HasError()) return SealMalformed;
    if (count < 0) count = 0;
    uint32_t back = package->Tell();
    uint32_t total = package->Size();
    SealRead result = SealAbsent;
    uint32_t size = 0;
    if (ReadFooter(package, total, &size)) {
        result = SealMalformed;
        // The largest seal of either version this table allows bounds what is read.
        uint32_t digests = kSealHeadSize + DigestBytes(kinds, count);
        if (digests < kSealSetsEnd) digests = kSealSetsEnd;
        uint32_t largest = digests + kPublicKeySize + kDigestSize + 1 + kSignatureMax + kSealFooterSize;
        if (size <= largest && size <= total - sizeof(PackageHeader)) {
            std::vector<uint8_t> bytes(size);
            seal->Allocate(count);
            if (package->Seek(total - size) && package->Read(bytes.data(), (int32_t)size) == (int32_t)size) {
                seal->start = total - size;
                seal->size = size;
                result = ParseLayout(bytes.data(), size, kinds, count, seal);
                if (result == SealIntact && !claim) result = ConfirmDigests(package, seal, ahead);
                if (result == SealIntact) result = CheckSignature(seal);
            }
        }
    }
    seal->claimed = claim && result == SealIntact;
    if (result != SealIntact) {
        seal->Allocate(0);
        seal->version = 0;
    }
    // Hashing may have raised the flag on a short read; the caller's reading must not see it.
    if (package->HasError()) package->Reset();
    package->Seek(back);
    return result;
}

unsigned ReadSealCodePage(Stream* package)
{
    if (!package || package->HasError()) return 0;
    uint32_t back = package->Tell();
    uint32_t total = package->Size();
    uint8_t head[kCodePageAt + 2];
    unsigned codePage = 0;
    uint32_t size = 0;
    if (ReadFooter(package, total, &size)) {
        if (size >= kSealHeadSize + kSealFooterSize && size <= total - sizeof(PackageHeader) &&
            package->Seek(total - size) && package->Read(head, (int32_t)sizeof head) == (int32_t)sizeof head &&
            memcmp(head, kSealMagic, sizeof kSealMagic) == 0 && head[8] == kSealVersion)
            codePage = (unsigned)(head[kCodePageAt] | head[kCodePageAt + 1] << 8);
    }
    if (package->HasError()) package->Reset();
    package->Seek(back);
    return codePage;
}

SealRead ConfirmSeal(PackageSeal* seal, PackageDigestAhead* ahead)
{
    if (!seal->claimed) return SealIntact;
    seal->claimed = 0;
    // Only the digest made ahead: the package stream may stand anywhere in a script meanwhile.
    return ConfirmDigests(nullptr, seal, ahead);
}

SealRead ReadPackageSeal(PackageTable* table, PackageSeal* seal, PackageDigestAhead* ahead, int claim)
{
    int count = table->header.entryCount > 0 ? table->header.entryCount : 0;
    if (count > kMaxEntries) return SealMalformed;
    std::vector<uint8_t> kinds((size_t)count + 1);
    for (int i = 0; i < count; i++) kinds[(size_t)i] = table->Entry(i) ? table->Entry(i)->kind : 3;
    return ReadSeal(table->stream.get(), kinds.data(), count, seal, ahead, claim);
}

int WriteSeal(Stream* out, PackageSeal* seal, const PublisherKey* signer)
{
    int count = seal->entryCount;
    const uint32_t size = kSealSetsEnd + kPublicKeySize + kDigestSize + 1 + kSignatureMax + kSealFooterSize;
    uint8_t bytes[size];
    memcpy(bytes, kSealMagic, sizeof kSealMagic);
    bytes[8] = kSealVersion;
    bytes[9] = signer ? kFlagSigned : 0;
    bytes[10] = (uint8_t)count;
    bytes[11] = (uint8_t)(count >> 8);
    bytes[kCodePageAt] = (uint8_t)seal->codePage;
    bytes[kCodePageAt + 1] = (uint8_t)(seal->codePage >> 8);
    std::vector<const uint8_t*> files((size_t)count + 1);
    int ok = 1;
    for (int set = 0; set < kFileSets; set++) {
        for (int i = 0; i < count; i++) files[i] = set == NewFiles ? seal->NewDigestSlot(i) : seal->OldDigestSlot(i);
        ok = ok && DigestOfSet(set, seal->kinds.data(), count, files.data(), seal->setDigests[set]);
        memcpy(bytes + kSealSetsStart + set * kDigestSize, seal->setDigests[set], kDigestSize);
    }
    uint32_t at = kSealSetsEnd;
    seal->version = kSealVersion;
    seal->isSigned = signer != nullptr;
    if (signer) {
        ok = ok && signer->hasPrivate && KeyIdOf(signer->publicKey, seal->keyId);
        memcpy(seal->signerKey, signer->publicKey, kPublicKeySize);
        memcpy(bytes + at, signer->publicKey, kPublicKeySize);
        at += kPublicKeySize;
    }
    DigestContext* c = ok ? DigestBegin() : nullptr;
    if (c) {
        DigestFeed(c, seal->packageDigest, kDigestSize);
        DigestFeed(c, bytes, at);
    }
    ok = c && DigestEnd(c, seal->sealDigest);
    memcpy(bytes + at, seal->sealDigest, kDigestSize);
    at += kDigestSize;
    if (ok && signer) {
        ok = SignDigest(signer->privateKey, signer->publicKey, seal->sealDigest, seal->signature, &seal->signatureSize);
        bytes[at++] = (uint8_t)seal->signatureSize;
        memcpy(bytes + at, seal->signature, seal->signatureSize);
        at += (uint32_t)seal->signatureSize;
    }
    PutLe32(bytes + at, at + kSealFooterSize);
    memcpy(bytes + at + 4, kSealMagic, sizeof kSealMagic);
    seal->size = at + kSealFooterSize;
    if (ok) out->Write(bytes, seal->size);
    return ok && !out->HasError();
}

int TrustAllows(SealTrust trust) { return trust == TrustNotPinned || trust == TrustGood; }

const char* SealTrustText(SealTrust trust)
{
    switch (trust) {
    case TrustNotPinned: return "the installation pins no publisher key";
    case TrustGood: return "signed by the publisher key the installation pins";
    case TrustUnsealed: return "the installation pins a publisher key, and the package is not sealed";
    case TrustUnsigned: return "the installation pins a publisher key, and the package is not signed";
    case TrustOtherKey: return "the package is signed by another key than the publisher key the installation pins";
    case TrustBadSignature: return "the package's signature does not hold for the pinned publisher key";
    case TrustCannotVerify: return "the installation pins a publisher key, and this system cannot check signatures";
    }
    return "the package's signature cannot be checked";
}

SealTrust CheckSealTrust(const PackageSeal* seal, const PublisherKey* pin)
{
    if (!pin) return TrustNotPinned;
    if (!seal) return TrustUnsealed;
    if (!seal->isSigned) return TrustUnsigned;
    if (memcmp(pin->publicKey, seal->signerKey, kPublicKeySize) != 0) return TrustOtherKey;
    int check = VerifyDigestSignature(pin->publicKey, seal->sealDigest, seal->signature, seal->signatureSize);
    if (check == SignatureUnavailable) return TrustCannotVerify;
    return check == SignatureGood ? TrustGood : TrustBadSignature;
}
