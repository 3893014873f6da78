// The package seal: an optional block after the last script binding every package byte before
// it, the files the package adds, patches and deletes, and the publisher's signature. An
// applier that stops after the last script never reads it.
#pragma once
#include <stdint.h>
#include <stddef.h>
#include <memory>
#include <vector>
#include "crypto.h"
#include "keyfile.h"

class Stream;
class FileStream;
class MappedDigest;
struct PackageTable;

extern const char kSealMagic[8];         // "[QZSEAL]", no NUL; opens the seal and ends its footer
const uint8_t kSealVersion = 2;          // what WriteSeal writes; version 1 is still read
const uint8_t kSealPerFileVersion = 1;   // a SHA-256 per file instead of one per set of files
const uint32_t kSealFooterSize = 12;     // the seal's size (32 bits), then the magic again

// The sets of files a version-2 seal holds one digest for: the SHA-256 of the concatenated
// SHA-256 of each file of the set, in table order.
enum FileSet {
    NewFiles = 0,       // the new file of every Add and Patch entry
    PatchedFiles = 1,   // the old file of every Patch entry: what the scripts copy from
    DeletedFiles = 2,   // the old file of every Delete entry
    kFileSets = 3
};
// Whether an entry of this kind has a file in the set.
int InFileSet(int set, uint8_t kind);

struct PackageSeal {
    PackageSeal();
    ~PackageSeal();
    // Room for the kinds and digests of count entries, all zero.
    void Allocate(int count);
    // The digest an entry's new file (Add, Patch) or old file (Patch, Delete) must have;
    // null for a kind that has no such file, and for a seal that holds digests per set.
    // Before WriteSeal, the slots are where the writer is given every file's digest.
    const uint8_t* NewDigest(int i) const;
    const uint8_t* OldDigest(int i) const;
    uint8_t* NewDigestSlot(int i) { return digests.data() + (size_t)i * 2 * kDigestSize; }
    uint8_t* OldDigestSlot(int i) { return digests.data() + ((size_t)i * 2 + 1) * kDigestSize; }

    // The digest a set of files must have; null for a seal that holds digests per file.
    const uint8_t* SetDigest(int set) const;
    // Whether the files known so far match the set's digest: digests[i] is the SHA-256 of
    // entry i's file of that set, null where it is not known. 1 when it holds, 0 when it does
    // not, -1 when it cannot tell (a file of the set not known, or digests per file).
    int SetHolds(int set, const uint8_t* const* digests) const;

    uint8_t version;                      // of the seal read, or written
    uint16_t codePage;                    // Windows code page of the package's names, title and notes; 0 not recorded
    uint32_t start;                       // where the seal begins: the package bytes its digest covers
    uint32_t size;                        // bytes of the seal, footer included
    uint8_t packageDigest[kDigestSize];   // SHA-256 of every package byte before the seal
    uint8_t setDigests[kFileSets][kDigestSize];
    int entryCount;
    std::vector<uint8_t> kinds;     // entry kinds, as the table has them
    std::vector<uint8_t> digests;   // two per entry: new, old
    int isSigned;
    uint8_t signerKey[kPublicKeySize];   // the public key that made the signature
    uint8_t keyId[kKeyIdSize];           // its id
    uint8_t signature[kSignatureMax];
    size_t signatureSize;
    // Stored in the seal, and what the signature signs. Version 2: SHA-256 of the package
    // digest followed by the seal from its magic to the end of the set digests, or of the
    // signer's key when signed. Version 1: the same without the package digest in front.
    uint8_t sealDigest[kDigestSize];
    // Read with claim: everything but the package digest was checked, and the seal holds only
    // once ConfirmSeal says so. The bytes its own digest covers are kept until then.
    int claimed;
    std::vector<uint8_t> covered;

private:
    PackageSeal(const PackageSeal&) = delete;
    PackageSeal& operator=(const PackageSeal&) = delete;
};

enum SealRead {
    SealAbsent = 0,     // the package ends without a seal footer
    SealIntact = 1,     // well formed, and the package digest holds
    SealMalformed,      // a footer, but the seal does not read as one for this entry table
    SealNewerVersion,   // written by a later version of the format
    SealMismatch,       // the package bytes before the seal are not the ones that were sealed
    SealBadSignature,   // signed, and the signature does not hold for the signer's own key
    SealNoDigest,       // this system offers no SHA-256 to check it with
    SealPackageCut      // no seal, and the package ends inside a patch script's instruction
};
const char* SealReadText(SealRead result);

// The package digest (the SHA-256 of every byte before the seal) made on a second thread while
// the caller goes on, from a mapping of the package stream's own open file: never the file at
// the package's name again, which another program may have replaced meanwhile. It makes
// nothing for a package without a seal footer, or where nothing can be mapped or no thread be
// had; ReadSeal then hashes the package itself. The stream is left where it stood, and must
// stay open while this lives.
class PackageDigestAhead {
public:
    explicit PackageDigestAhead(FileStream* package);
    ~PackageDigestAhead();
    // Waits for the digest; 1 when it was made over exactly the package's first n bytes.
    int Take(uint32_t n, uint8_t digest[kDigestSize]);
    // Whether a digest is being made at all.
    int Making() const { return digest != nullptr; }
    // The version the seal's first bytes declare, 0 without a seal footer or where this system
    // makes no SHA-256: what the package claims until the check has found whether it holds.
    uint8_t declaredVersion;

private:
    PackageDigestAhead(const PackageDigestAhead&) = delete;
    PackageDigestAhead& operator=(const PackageDigestAhead&) = delete;
    const void* view;
    uint32_t start;   // the bytes mapped and hashed: where the footer says the seal begins
    std::unique_ptr<MappedDigest> digest;
};

// Reads and checks the seal (either version) of a package whose entry table has been read
// (count entries of the given kinds), leaving the stream where it stood: its layout, its
// digests and, where this system can check signatures, the signature against the key the seal
// names. Fills *seal only when intact. With ahead, its digest is taken where it covers the
// bytes before the seal.
// With claim, the package bytes are not hashed: the signature is checked against the seal's
// digest as stored, and SealIntact only says that the seal claims to hold (seal->claimed)
// until ConfirmSeal has found whether it does.
SealRead ReadSeal(Stream* package, const uint8_t* kinds, int count, PackageSeal* seal,
                  PackageDigestAhead* ahead = nullptr, int claim = 0);
// Whether a claimed seal holds, from the digest the ahead makes (and only from it, the package
// stream being left alone): SealIntact, SealMismatch, or SealMalformed where it made none.
// SealIntact for a seal that was not claimed. Either way the seal is claimed no more.
SealRead ConfirmSeal(PackageSeal* seal, PackageDigestAhead* ahead);

// Reads the first n bytes of the stream from its start; 1 when every one was read. *hashed is
// 1 when they were also hashed into digest, 0 where this system offers no SHA-256.
int HashPrefix(Stream* s, uint32_t n, uint8_t digest[kDigestSize], int* hashed);

// The code page a seal at the end of the package records, read without checking the seal (the
// check needs the entry table, and the names must be decoded before it); 0 when there is none.
// Leaves the stream where it stood.
unsigned ReadSealCodePage(Stream* package);

// The same for a package whose table has been read.
SealRead ReadPackageSeal(PackageTable* table, PackageSeal* seal, PackageDigestAhead* ahead = nullptr, int claim = 0);

// Appends a version-2 seal: seal->packageDigest must be the SHA-256 of every byte written
// before it, kinds, codePage and every file's digest filled; the set digests are made from
// them. With a signer, signs and records its public key. 1 on success.
int WriteSeal(Stream* out, PackageSeal* seal, const PublisherKey* signer);

enum SealTrust {
    TrustNotPinned = 0,   // no pinned key: the seal's integrity, and its signature if any, hold
    TrustGood,            // signed by the pinned key
    TrustUnsealed,        // a pinned key, and the package carries no seal
    TrustUnsigned,        // a pinned key, and the seal carries no signature
    TrustOtherKey,        // signed by a key other than the pinned one
    TrustBadSignature,    // the pinned key's signature does not hold
    TrustCannotVerify     // a pinned key, and this system cannot check signatures
};
// 1 for the outcomes that let an apply go on.
int TrustAllows(SealTrust trust);
const char* SealTrustText(SealTrust trust);
// seal null for an unsealed package; pin null when the installation pins no key.
SealTrust CheckSealTrust(const PackageSeal* seal, const PublisherKey* pin);
