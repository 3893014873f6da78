// File fingerprints: the block checksum, the DOS date-time of the last write, verify and stamp.
#include "fingerprint.h"
#include <string.h>
#include "crypto.h"
#include "dostime.h"
#include "os.h"
#include "stream.h"

namespace {

const uint32_t kBlock = 512;
// Large reads keep the pass to few platform calls; the checksum does not depend on them.
const int32_t kReadSize = 64 * 1024;

uint16_t Swap(uint16_t v) { return (uint16_t)((v << 8) | (v >> 8)); }

// Checksum of n bytes taken as a block of their own: the last byte lands low, the one
// before it high, and so on backwards.
uint16_t RunSum(const uint8_t* p, size_t n)
{
    uint8_t even = 0, odd = 0;
    size_t i = 0;
    for (; i + 1 < n; i += 2) {
        even ^= p[i];
        odd ^= p[i + 1];
    }
    if (i < n) even ^= p[i];
    return (n & 1) ? (uint16_t)((odd << 8) | even) : (uint16_t)((even << 8) | odd);
}

}  // namespace

void ChecksumBegin(ChecksumState* s)
{
    s->size = 0;
    s->checksum = 0;
    s->partial = 0;
    s->blockFill = 0;
}

void ChecksumFeed(ChecksumState* s, const void* bytes, size_t n)
{
    const uint8_t* p = (const uint8_t*)bytes;
    while (n > 0) {
        size_t take = kBlock - s->blockFill;
        if (take > n) take = n;
        // Appending bytes moves every earlier byte of the block one place further from its
        // end per byte, so an odd run swaps the halves of what the block held.
        uint16_t before = (take & 1) ? Swap(s->partial) : s->partial;
        s->partial = (uint16_t)(before ^ RunSum(p, take));
        s->blockFill += (uint32_t)take;
        s->size += (uint32_t)take;
        p += take;
        n -= take;
        if (s->blockFill == kBlock) {
            s->checksum ^= s->partial;
            s->partial = 0;
            s->blockFill = 0;
        }
    }
}

uint16_t ChecksumValue(const ChecksumState* s) { return (uint16_t)(s->checksum ^ s->partial); }

uint16_t ChecksumOf(const void* bytes, size_t n)
{
    ChecksumState s;
    ChecksumBegin(&s);
    ChecksumFeed(&s, bytes, n);
    return ChecksumValue(&s);
}

int ReadDosDateTime(TQLXFStream* file, uint32_t* dateTime, const int32_t* utcOffsetMinutes)
{
    *dateTime = 0;
    // Pending writes would change the time once they reach the file.
    file->Flush();
    OsFileTime t;
    if (!Os().getWriteTime(file->handle, &t)) return 0;
    if (utcOffsetMinutes)
        t = (OsFileTime)((int64_t)t + (int64_t)*utcOffsetMinutes * 60 * 10000000);
    else if (!Os().utcToLocal(&t))
        return 0;
    uint16_t date, time;
    if (!FileTimeToDos(t, &date, &time)) return 0;
    *dateTime = ((uint32_t)date << 16) | time;
    return 1;
}

int StampFileTimes(TQLXFStream* file, uint32_t dateTime)
{
    OsFileTime t;
    if (!DosToFileTime((uint16_t)(dateTime >> 16), (uint16_t)(dateTime & 0xFFFF), &t)) return 0;
    if (!Os().localToUtc(&t)) return 0;
    file->Flush();
    return Os().setTimes(file->handle, t) ? 1 : 0;
}

int ComputeFingerprint(const char* path, FileFingerprint* print, const int32_t* utcOffsetMinutes, uint8_t* digest)
{
    memset(print, 0, sizeof *print);
    if (!path) return 0;
    TQLXFStream file(ReadAccess, path);
    if (file.HasError()) return 0;
    uint32_t dateTime;
    if (!ReadDosDateTime(&file, &dateTime, utcOffsetMinutes)) return 0;
    DigestContext* hash = nullptr;
    if (digest && !(hash = DigestBegin())) return 0;

    // On the stack, so that nothing is allocated per file.
    uint8_t buffer[kReadSize];
    ChecksumState s;
    ChecksumBegin(&s);
    // A read that fails part-way ends the pass like the end of the file.
    for (;;) {
        int32_t got = file.Read(buffer, kReadSize);
        if (got <= 0) break;
        ChecksumFeed(&s, buffer, (size_t)got);
        DigestFeed(hash, buffer, (size_t)got);
    }
    if (hash && !DigestEnd(hash, digest)) return 0;
    print->dateTime = dateTime;
    print->size = s.size;
    print->checksum = ChecksumValue(&s);
    return 1;
}

int VerifyAndStamp(const char* path, const FileFingerprint* expected, const uint8_t* expectedDigest, uint8_t* made)
{
    if (!path || !expected) return 0;
    FileFingerprint actual;
    uint8_t own[kDigestSize];
    uint8_t* digest = made ? made : own;
    if (!ComputeFingerprint(path, &actual, nullptr, expectedDigest || made ? digest : nullptr)) return 0;
    if (actual.size != expected->size || actual.checksum != expected->checksum) return 0;
    if (expectedDigest && memcmp(digest, expectedDigest, kDigestSize) != 0) return 0;
    // Opened for writing only now, so a wrong file is never touched.
    TQLXFStream file(ReadAccess | WriteAccess, path);
    if (file.HasError()) return 0;
    return StampFileTimes(&file, expected->dateTime);
}
