// File fingerprints: the block checksum, the DOS date-time of the last write, verify and stamp.
#include "fingerprint.h"
#include <string.h>
#include <condition_variable>
#include <mutex>
#include <memory>
#include <system_error>
#include <thread>
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
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // Eight bytes at a time: byte k of a word lands in bits 8k, so folding the word's XOR
    // leaves the even bytes' XOR low and the odd ones' high.
    uint64_t words = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        words ^= w;
    }
    words ^= words >> 32;
    words ^= words >> 16;
    even = (uint8_t)words;
    odd = (uint8_t)(words >> 8);
#endif
    for (; i + 1 < n; i += 2) {
        even ^= p[i];
        odd ^= p[i + 1];
    }
    if (i < n) even ^= p[i];
    return (n & 1) ? (uint16_t)((odd << 8) | even) : (uint16_t)((even << 8) | odd);
}

}   // namespace

// The checksum (where sum is given) and SHA-256 of a byte stream, made on a second thread: the
// caller hands pieces over and goes on reading or writing while they are hashed. Small files, and systems that
// give no thread, have their pieces hashed at once on the caller's.
class HashPipe {
public:
    HashPipe(ChecksumState* sum, DigestContext* digest, uint32_t expectedSize);
    ~HashPipe() { Finish(); }
    void Feed(const uint8_t* bytes, uint32_t n);
    // Waits until every piece is hashed into *sum and the digest.
    void Finish();

private:
    // Large slots keep the hand-overs, and with them the wake-ups, few.
    static const int kSlots = 4;
    static const uint32_t kSlotSize = 1u << 20;
    // Below this a thread costs more than it saves.
    static const uint32_t kThreadedSize = 1u << 20;
    void Hash(const uint8_t* bytes, uint32_t n);
    void HandOver();
    void Run();
    ChecksumState* sum;
    DigestContext* digest;
    std::unique_ptr<uint8_t[]> slots;   // null when the writer hashes on its own thread
    uint32_t lengths[kSlots];
    int head, tail, count, done;
    uint32_t filling;               // bytes in the slot at head, not yet handed over
    int feederWaits, workerWaits;   // a side asleep on changed, the only one worth waking
    std::mutex lock;
    std::condition_variable changed;
    std::thread worker;
};

HashPipe::HashPipe(ChecksumState* s, DigestContext* d, uint32_t expectedSize)
    : sum(s), digest(d), head(0), tail(0), count(0), done(0), filling(0), feederWaits(0), workerWaits(0)
{
    if (expectedSize < kThreadedSize || (!sum && !digest)) return;
    slots.reset(new uint8_t[(size_t)kSlots * kSlotSize]);
    try {
        worker = std::thread(&HashPipe::Run, this);
    } catch (const std::system_error&) {
        // No thread to be had: the writer hashes on its own.
        slots.reset();
    }
}

void HashPipe::Hash(const uint8_t* bytes, uint32_t n)
{
    if (sum) ChecksumFeed(sum, bytes, n);
    if (digest) DigestFeed(digest, bytes, n);
}

void HashPipe::Feed(const uint8_t* bytes, uint32_t n)
{
    if (!slots) {
        Hash(bytes, n);
        return;
    }
    while (n > 0) {
        if (filling == 0) {
            std::unique_lock<std::mutex> held(lock);
            while (count == kSlots) {
                feederWaits = 1;
                changed.wait(held);
            }
            feederWaits = 0;
        }
        // The slot at head is the caller's alone until count says it is filled; it is handed
        // over full, so the worker wakes once per slot, not once per write.
        uint32_t take = kSlotSize - filling < n ? kSlotSize - filling : n;
        memcpy(slots.get() + (size_t)head * kSlotSize + filling, bytes, take);
        filling += take;
        bytes += take;
        n -= take;
        if (filling == kSlotSize) HandOver();
    }
}

void HashPipe::HandOver()
{
    lengths[head] = filling;
    head = (head + 1) % kSlots;
    filling = 0;
    std::lock_guard<std::mutex> held(lock);
    count++;
    if (workerWaits) changed.notify_all();
}

void HashPipe::Run()
{
    Os().runBehind();
    for (;;) {
        std::unique_lock<std::mutex> held(lock);
        while (count == 0 && !done) {
            workerWaits = 1;
            changed.wait(held);
        }
        workerWaits = 0;
        if (count == 0) return;
        held.unlock();
        Hash(slots.get() + (size_t)tail * kSlotSize, lengths[tail]);
        tail = (tail + 1) % kSlots;
        held.lock();
        count--;
        if (feederWaits) changed.notify_all();
    }
}

void HashPipe::Finish()
{
    if (!slots) return;
    if (filling) HandOver();
    {
        std::lock_guard<std::mutex> held(lock);
        done = 1;
        changed.notify_all();
    }
    worker.join();
    slots.reset();
}

struct MappedDigest::Worker {
    std::thread thread;
};

MappedDigest::MappedDigest(const uint8_t* v, uint32_t n) : view(v), size(n), made(0)
{
    if (!view) return;
    worker.reset(new Worker);
    try {
        worker->thread = std::thread(&MappedDigest::Run, this);
    } catch (const std::system_error&) {
        worker.reset();
    }
}

MappedDigest::~MappedDigest()
{
    if (worker) worker->thread.join();
}

namespace {
void FeedDigest(void* context, const void* bytes, size_t n) { DigestFeed((DigestContext*)context, bytes, n); }
}   // namespace

void MappedDigest::Run()
{
    Os().runBehind();
    DigestContext* c = DigestBegin();
    // Hashed in place, a piece per guarded call; a piece that fails throws the whole away.
    uint32_t at = 0;
    while (c && at < size) {
        uint32_t n = size - at < (uint32_t)kReadSize ? size - at : (uint32_t)kReadSize;
        if (!Os().useView(view + at, n, FeedDigest, c)) break;
        at += n;
    }
    if (c && at == size)
        made = DigestEnd(c, result);
    else
        DigestDiscard(c);
}

int MappedDigest::Finish(uint8_t digest[kDigestSize])
{
    if (worker) {
        worker->thread.join();
        worker.reset();
    }
    if (made) memcpy(digest, result, kDigestSize);
    return made;
}

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

int ReadDosDateTime(FileStream* file, uint32_t* dateTime, const int32_t* utcOffsetMinutes)
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

int StampFileTimes(FileStream* file, uint32_t dateTime)
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
    // Other readers may stay (a viewer, an indexer): only a writer makes the contents uncertain.
    FileStream file(ReadAccess | ShareRead, path);
    if (file.HasError()) return 0;
    uint32_t dateTime;
    if (!ReadDosDateTime(&file, &dateTime, utcOffsetMinutes)) return 0;
    DigestContext* hash = nullptr;
    if (digest && !(hash = DigestBegin())) return 0;

    // On the stack, so that nothing is allocated per file.
    uint8_t buffer[kReadSize];
    ChecksumState s;
    ChecksumBegin(&s);
    {
        // A large file's SHA-256 is made on a second thread while this one reads on and makes
        // the checksum: the SHA-256 sets the pace, so the second thread has that alone to do.
        HashPipe pipe(nullptr, hash, file.Size());
        // A read that fails part-way ends the pass like the end of the file.
        for (;;) {
            int32_t got = file.Read(buffer, kReadSize);
            if (got <= 0) break;
            ChecksumFeed(&s, buffer, (size_t)got);
            if (hash) pipe.Feed(buffer, (uint32_t)got);
        }
    }
    if (hash && !DigestEnd(hash, digest)) return 0;
    print->dateTime = dateTime;
    print->size = s.size;
    print->checksum = ChecksumValue(&s);
    return 1;
}

int StampOfFile(const char* path, FileFingerprint* print, const int32_t* utcOffsetMinutes)
{
    memset(print, 0, sizeof *print);
    if (!path) return 0;
    FileStream file(ReadAccess | ShareRead, path);
    uint32_t dateTime;
    if (file.HasError() || !ReadDosDateTime(&file, &dateTime, utcOffsetMinutes)) return 0;
    print->dateTime = dateTime;
    print->size = file.Size();
    return 1;
}

WrittenPrint::WrittenPrint() : digest(nullptr) { ChecksumBegin(&sum); }

WrittenPrint::~WrittenPrint()
{
    pipe.reset();
    DigestDiscard(digest);
}

namespace {

void WatchWritten(void* context, const uint8_t* bytes, uint32_t n) { static_cast<HashPipe*>(context)->Feed(bytes, n); }

}   // namespace

int WatchPrint(FileStream* file, WrittenPrint* print, int digest, uint32_t expectedSize)
{
    print->pipe.reset();
    ChecksumBegin(&print->sum);
    DigestDiscard(print->digest);
    print->digest = digest ? DigestBegin() : nullptr;
    print->pipe.reset(new HashPipe(&print->sum, print->digest, expectedSize));
    file->WatchWrites(&WatchWritten, print->pipe.get());
    return !digest || print->digest != nullptr;
}

int VerifyAndStampWritten(FileStream* file, WrittenPrint* print, const FileFingerprint* expected,
                          const uint8_t* expectedDigest, uint8_t* made)
{
    if (!file || !print || !expected) return 0;
    file->Flush();
    file->WatchWrites(nullptr, nullptr);
    if (!print->pipe) return 0;
    print->pipe->Finish();
    uint8_t own[kDigestSize];
    uint8_t* digest = made ? made : own;
    int hashed = print->digest && DigestEnd(print->digest, digest);
    print->digest = nullptr;
    if (file->HasError() || file->Size() != print->sum.size || file->HasError()) return 0;
    if (print->sum.size != expected->size || ChecksumValue(&print->sum) != expected->checksum) return 0;
    if ((expectedDigest || made) && !hashed) return 0;
    if (expectedDigest && memcmp(digest, expectedDigest, kDigestSize) != 0) return 0;
    return StampFileTimes(file, expected->dateTime);
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
    FileStream file(ReadAccess | WriteAccess, path);
    if (file.HasError()) return 0;
    return StampFileTimes(&file, expected->dateTime);
}
