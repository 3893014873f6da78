// The file stream over the platform seam: read-ahead for read-only streams, write-behind for write-only ones.
#include "stream.h"
#include <stdlib.h>
#include <string.h>

namespace {
// Script interpretation reads byte by byte and writes pieces of a few bytes; one platform call
// per operation would dominate the run.
const uint32_t kBufferSize = 65536;
// First fill after a seek out of the window: copies jump about the old file, and filling the
// whole window for each short one costs more than the calls it saves.
const uint32_t kFirstFill = 4096;
// Copies up to this size read straight into the write-behind buffer.
const uint32_t kDirectCopy = 4096;
// The block cache of a stream that asked for one: patch scripts copy from all over the old file, often
// from the same few places again and again, so each block is read once while it stays cached.
const uint32_t kBlockSize = 65536;
const uint32_t kMaxBlocks = 1024;   // 64 MiB; beyond, blocks share slots
// Mapped instead: files larger than one block (a smaller one is a single read) up to what the
// address space spares; a 32-bit process keeps room for everything else.
const int64_t kMinMapped = kBlockSize;
const int64_t kMaxMapped = sizeof(void*) >= 8 ? 0x7FFFFFFF : 256 << 20;
}

// Slot i holds block tags[i] - 1 of the file (0: none), lengths[i] bytes of it; a slot's memory
// is allocated when it is first filled.
struct BlockCache {
    uint32_t fileSize;
    uint32_t slots;
    uint32_t* tags;
    uint32_t* lengths;
    uint8_t** data;
};

namespace {

BlockCache* NewCache(uint32_t fileSize)
{
    BlockCache* c = (BlockCache*)calloc(1, sizeof(BlockCache));
    if (!c) return nullptr;
    uint32_t blocks = fileSize / kBlockSize + 1;
    c->fileSize = fileSize;
    c->slots = blocks < kMaxBlocks ? blocks : kMaxBlocks;
    c->tags = (uint32_t*)calloc(c->slots, sizeof(uint32_t));
    c->lengths = (uint32_t*)calloc(c->slots, sizeof(uint32_t));
    c->data = (uint8_t**)calloc(c->slots, sizeof(uint8_t*));
    if (c->tags && c->lengths && c->data) return c;
    free(c->tags);
    free(c->lengths);
    free(c->data);
    free(c);
    return nullptr;
}

void FreeCache(BlockCache* c)
{
    if (!c) return;
    for (uint32_t i = 0; i < c->slots; i++) free(c->data[i]);
    free(c->tags);
    free(c->lengths);
    free(c->data);
    free(c);
}

}   // namespace

FileStream::FileStream(unsigned flags, const char* name)
    : handle(kNoHandle), readAhead(0), writeBehind(0), buffer(nullptr), window(nullptr), cacheWanted(0), cache(nullptr),
      cached(0), mapView(nullptr), mapSize(0), mapAt(0), aheadPos(0), aheadLen(0), aheadAt(0), fill(kBufferSize),
      platformPos(0), platformKnown(0), behindLen(0), watcher(nullptr), watchContext(nullptr)
{
    if (name) Open(flags, name);
}

FileStream::~FileStream()
{
    Close();
    free(buffer);
}

void FileStream::Open(unsigned flags, const char* name)
{
    Close();
    error = 0;
    // Read ahead only where nobody can change the file beneath the window; write behind only
    // where nobody can read the file before the pending bytes reach it.
    unsigned access = flags & (ReadAccess | WriteAccess);
    int ownFile = (flags & (ShareRead | ShareWrite | NoReadAhead)) == 0;
    readAhead = (flags & (WriteAccess | ShareWrite | NoReadAhead)) == 0;
    int behind = ownFile && access == WriteAccess;
    if ((readAhead || behind) && !buffer) {
        buffer = (uint8_t*)malloc(kBufferSize);
        // Without the buffer the stream simply makes one platform call per operation.
        if (!buffer) readAhead = behind = 0;
    }
    handle = Os().open(name, flags & (ReadAccess | WriteAccess | ShareRead | ShareWrite | OwnerOnly));
    if (handle == kNoHandle) {
        SetError();
        return;
    }
    // A closed stream must fail each write at once, so only an open one buffers.
    writeBehind = behind;
    fill = kBufferSize;
    platformPos = 0;
    platformKnown = 1;
}

void FileStream::Close()
{
    FlushBehind();
    if (mapView) Os().unmapFile(mapView, mapSize);
    mapView = nullptr;
    mapSize = mapAt = 0;
    if (cacheWanted) cacheWanted = 1;
    if (handle != kNoHandle) Os().close(handle);
    handle = kNoHandle;
    writeBehind = 0;
    platformKnown = 0;
    aheadLen = aheadAt = aheadPos = 0;
    FreeCache(cache);
    cache = nullptr;
    cached = 0;
    window = nullptr;
}

// Writes the pending bytes; a short write raises the flag as the write itself would have.
void FileStream::FlushBehind()
{
    if (behindLen == 0) return;
    uint32_t n = behindLen;
    behindLen = 0;
    PutBytes(buffer, n);
}

// One platform write; the watcher sees what reached the file.
void FileStream::PutBytes(const uint8_t* bytes, uint32_t n)
{
    uint32_t put = 0;
    Os().write(handle, bytes, n, &put);
    if (put > n) put = n;
    if (watcher && put) watcher(watchContext, bytes, put);
    if (put < n) SetError();
    if (writebackDue) {
        if (put < writebackDue) {
            writebackDue -= put;
        } else {
            writebackDue = kWritebackStep;
            Os().startWriteback(handle);
        }
    }
}

// The platform's position while reading ahead, without a call when it is already known.
uint32_t FileStream::PlatformPosition()
{
    if (aheadLen) return aheadPos + aheadLen;
    return platformKnown ? platformPos : Os().tell(handle);
}

// Fills the window with up to n bytes from the platform's position at; returns the count.
uint32_t FileStream::FillAhead(uint32_t at, uint32_t n)
{
    uint32_t got = 0;
    Os().read(handle, buffer, n, &got);
    window = buffer;
    aheadPos = at;
    aheadLen = got;
    aheadAt = 0;
    platformPos = at + got;
    platformKnown = 1;
    // Reading on from where the last window ended: the next window may be larger.
    fill = fill < kBufferSize / 2 ? fill * 2 : kBufferSize;
    if (got == 0) aheadPos = 0;
    return got;
}

// Puts the platform's position back where the caller believes the stream stands.
void FileStream::DropAhead()
{
    if (aheadLen == 0 && !cached) return;
    uint32_t now;
    Os().seek(handle, aheadPos + aheadAt, &now);
    aheadLen = aheadAt = aheadPos = 0;
    cached = 0;
    platformKnown = 0;
}

// Brings the block holding position into view; 0 when no byte stands there (the end of the
// file, or a read that failed), the position kept all the same.
int FileStream::ShowBlock(uint32_t position)
{
    BlockCache* c = cache;
    uint32_t block = position / kBlockSize, start = block * kBlockSize;
    if (position < c->fileSize) {
        uint32_t slot = block % c->slots;
        if (c->tags[slot] != block + 1) {
            c->tags[slot] = 0;
            if (!c->data[slot]) c->data[slot] = (uint8_t*)malloc(kBlockSize);
            // Without memory for the slot the window's own buffer serves, uncached.
            uint8_t* into = c->data[slot] ? c->data[slot] : buffer;
            uint32_t now = 0, got = 0;
            if (Os().seek(handle, start, &now) && now == start) Os().read(handle, into, kBlockSize, &got);
            c->lengths[slot] = got;
            if (into != buffer && got) c->tags[slot] = block + 1;
            window = into;
        } else {
            window = c->data[slot];
        }
        if (position - start < c->lengths[slot]) {
            aheadPos = start;
            aheadLen = c->lengths[slot];
            aheadAt = position - start;
            return 1;
        }
    }
    window = nullptr;
    aheadPos = position;
    aheadLen = aheadAt = 0;
    return 0;
}

void FileStream::TryMap()
{
    int64_t size = Os().size(handle);
    const void* view = nullptr;
    if (size < kMinMapped || size > kMaxMapped || !Os().mapFile(handle, (uint64_t)size, &view)) return;
    uint32_t at = Tell();
    mapView = (const uint8_t*)view;
    mapSize = (uint32_t)size;
    mapAt = at;
    aheadLen = aheadAt = aheadPos = 0;
    window = nullptr;
}

uint8_t FileStream::GetMapped()
{
    uint8_t b = 0;
    if (mapAt < mapSize && Os().copyFromView(&b, mapView + mapAt, 1)) {
        mapAt++;
        return b;
    }
    SetError();
    return 0;
}

int32_t FileStream::ReadMapped(void* out, uint32_t want)
{
    uint32_t n = mapAt < mapSize ? mapSize - mapAt : 0;
    if (n > want) n = want;
    if (n && !Os().copyFromView(out, mapView + mapAt, n)) {
        SetError();
        return 0;
    }
    mapAt += n;
    return (int32_t)n;
}

// A seek out of the window of a stream that reads through its block cache: the block is
// brought into view by the read that needs it.
int FileStream::SeekCached(uint32_t position)
{
    if (position > cache->fileSize) {
        // Past the end: only the platform knows whether the position is allowed.
        uint32_t now = 0;
        if (!Os().seek(handle, position, &now) || now != position) {
            SetError();
            return 0;
        }
    }
    cached = 1;
    window = nullptr;
    aheadPos = position;
    aheadLen = aheadAt = 0;
    return 1;
}

void FileStream::Put(uint8_t b)
{
    if (writeBehind) {
        buffer[behindLen++] = b;
        if (behindLen == kBufferSize) FlushBehind();
        return;
    }
    DropAhead();
    platformKnown = 0;
    PutBytes(&b, 1);
}

uint8_t FileStream::Get()
{
    if (aheadAt < aheadLen) return window[aheadAt++];
    if (mapView) return GetMapped();
    if (cached) {
        if (ShowBlock(aheadPos + aheadAt)) return window[aheadAt++];
        SetError();
        return 0;
    }
    FlushBehind();
    if (readAhead) {
        // The window is used up, so the platform stands at the caller's position.
        if (FillAhead(PlatformPosition(), fill) == 0) {
            SetError();
            return 0;
        }
        aheadAt = 1;
        return buffer[0];
    }
    uint8_t b = 0;
    uint32_t got = 0;
    Os().read(handle, &b, 1, &got);
    if (got != 1) {
        SetError();
        return 0;
    }
    return b;
}

int FileStream::Seek(uint32_t position)
{
    FlushBehind();
    // Inside the window (its end included) a platform seek could not fail: move in memory.
    if (aheadLen && position >= aheadPos && position - aheadPos <= aheadLen) {
        aheadAt = position - aheadPos;
        return 1;
    }
    if (readAhead && cacheWanted == 1) {
        // Tried once per open: a file that can be neither mapped nor cached is read as it
        // stands.
        cacheWanted = 2;
        if (!mapView) TryMap();
        int64_t size = mapView ? -1 : Os().size(handle);
        if (size >= 0 && size <= 0x7FFFFFFF) cache = NewCache((uint32_t)size);
    }
    if (mapView) {
        // Past the end only the platform knows whether the position is allowed.
        uint32_t now = 0;
        if (position > mapSize && (!Os().seek(handle, position, &now) || now != position)) {
            SetError();
            return 0;
        }
        mapAt = position;
        return 1;
    }
    if (cache) return SeekCached(position);
    uint32_t was = aheadPos + aheadAt;
    bool windowed = aheadLen != 0;
    aheadLen = aheadAt = aheadPos = 0;
    uint32_t now = 0;
    if (!Os().seek(handle, position, &now) || now != position) {
        // A failed seek leaves the position alone; so must the window's end position.
        if (windowed) Os().seek(handle, was, &now);
        platformKnown = 0;
        SetError();
        return 0;
    }
    platformPos = position;
    platformKnown = 1;
    fill = kFirstFill;
    return 1;
}

uint32_t FileStream::Tell()
{
    if (mapView) return mapAt;
    if (aheadLen || cached) return aheadPos + aheadAt;
    FlushBehind();
    return Os().tell(handle);
}

uint32_t FileStream::Size()
{
    FlushBehind();
    int64_t n = Os().size(handle);
    if (n < 0 || n > 0x7FFFFFFF) {
        SetError();
        return 0;
    }
    return (uint32_t)n;
}

void FileStream::Flush() { FlushBehind(); }

int FileStream::Sync()
{
    FlushBehind();
    if (error || handle == kNoHandle) return 0;
    if (!Os().flushFile(handle)) {
        SetError();
        return 0;
    }
    return 1;
}

void FileStream::Write(const void* bytes, uint32_t count)
{
    if (writeBehind) {
        if (count == 0) return;
        if (count <= kBufferSize - behindLen) {
            memcpy(buffer + behindLen, bytes, count);
            behindLen += count;
            if (behindLen == kBufferSize) FlushBehind();
            return;
        }
        FlushBehind();
        if (count < kBufferSize) {
            memcpy(buffer, bytes, count);
            behindLen = count;
            return;
        }
    }
    DropAhead();
    platformKnown = 0;
    PutBytes((const uint8_t*)bytes, count);
}

uint32_t FileStream::CopyFrom(Stream* source, uint32_t count)
{
    // A small piece goes straight into the pending bytes: one copy instead of two.
    if (!writeBehind || count == 0 || count > kDirectCopy) return Stream::CopyFrom(source, count);
    if (count > kBufferSize - behindLen) FlushBehind();
    int32_t got = source->Read(buffer + behindLen, (int32_t)count);
    if (got <= 0) return 0;
    behindLen += (uint32_t)got;
    if (behindLen == kBufferSize) FlushBehind();
    return (uint32_t)got;
}

const uint8_t* FileStream::Held(uint32_t* n)
{
    *n = aheadAt < aheadLen ? aheadLen - aheadAt : 0;
    return *n ? window + aheadAt : nullptr;
}

int32_t FileStream::Read(void* out, int32_t count)
{
    if (count <= 0) return 0;
    if (mapView) return ReadMapped(out, (uint32_t)count);
    FlushBehind();
    uint32_t want = (uint32_t)count;
    if (!readAhead) {
        uint32_t got = 0;
        Os().read(handle, out, want, &got);
        return (int32_t)got;
    }
    uint8_t* to = (uint8_t*)out;
    uint32_t have = aheadLen - aheadAt;
    uint32_t take = have < want ? have : want;
    if (take) memcpy(to, window + aheadAt, take);
    aheadAt += take;
    if (take == want) return (int32_t)take;
    if (cached) {
        while (take < want && ShowBlock(aheadPos + aheadAt)) {
            uint32_t n = aheadLen - aheadAt < want - take ? aheadLen - aheadAt : want - take;
            memcpy(to + take, window + aheadAt, n);
            aheadAt += n;
            take += n;
        }
        return (int32_t)take;
    }
    // The window is used up: the platform stands at the caller's position.
    uint32_t at = PlatformPosition();
    uint32_t rest = want - take, got = 0;
    if (rest >= kBufferSize) {
        aheadLen = aheadAt = aheadPos = 0;
        Os().read(handle, to + take, rest, &got);
        platformPos = at + got;
        platformKnown = 1;
        return (int32_t)(take + got);
    }
    got = FillAhead(at, rest > fill ? rest : fill);
    uint32_t more = got < rest ? got : rest;
    memcpy(to + take, buffer, more);
    aheadAt = more;
    return (int32_t)(take + more);
}
