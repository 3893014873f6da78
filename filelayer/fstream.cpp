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
}

TQLXFStream::TQLXFStream(unsigned flags, const char* name)
    : handle(kNoHandle), readAhead(0), writeBehind(0), buffer(nullptr), aheadPos(0), aheadLen(0),
      aheadAt(0), fill(kBufferSize), platformPos(0), platformKnown(0), behindLen(0)
{
    if (name) Open(flags, name);
}

TQLXFStream::~TQLXFStream()
{
    Close();
    free(buffer);
}

void TQLXFStream::Open(unsigned flags, const char* name)
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

void TQLXFStream::Close()
{
    FlushBehind();
    if (handle != kNoHandle) Os().close(handle);
    handle = kNoHandle;
    writeBehind = 0;
    platformKnown = 0;
    aheadLen = aheadAt = aheadPos = 0;
}

// Writes the pending bytes; a short write raises the flag as the write itself would have.
void TQLXFStream::FlushBehind()
{
    if (behindLen == 0) return;
    uint32_t n = behindLen, put = 0;
    behindLen = 0;
    Os().write(handle, buffer, n, &put);
    if (put < n) SetError();
}

// The platform's position while reading ahead, without a call when it is already known.
uint32_t TQLXFStream::PlatformPosition()
{
    if (aheadLen) return aheadPos + aheadLen;
    return platformKnown ? platformPos : Os().tell(handle);
}

// Fills the window with up to n bytes from the platform's position at; returns the count.
uint32_t TQLXFStream::FillAhead(uint32_t at, uint32_t n)
{
    uint32_t got = 0;
    Os().read(handle, buffer, n, &got);
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
void TQLXFStream::DropAhead()
{
    if (aheadLen == 0) return;
    uint32_t now;
    Os().seek(handle, aheadPos + aheadAt, &now);
    aheadLen = aheadAt = aheadPos = 0;
    platformKnown = 0;
}

void TQLXFStream::Put(uint8_t b)
{
    if (writeBehind) {
        buffer[behindLen++] = b;
        if (behindLen == kBufferSize) FlushBehind();
        return;
    }
    DropAhead();
    platformKnown = 0;
    uint32_t put = 0;
    Os().write(handle, &b, 1, &put);
    if (put != 1) SetError();
}

uint8_t TQLXFStream::Get()
{
    if (aheadAt < aheadLen) return buffer[aheadAt++];
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

int TQLXFStream::Seek(uint32_t position)
{
    FlushBehind();
    // Inside the window (its end included) a platform seek could not fail: move in memory.
    if (aheadLen && position >= aheadPos && position - aheadPos <= aheadLen) {
        aheadAt = position - aheadPos;
        return 1;
    }
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

uint32_t TQLXFStream::Tell()
{
    if (aheadLen) return aheadPos + aheadAt;
    FlushBehind();
    return Os().tell(handle);
}

uint32_t TQLXFStream::Size()
{
    FlushBehind();
    int64_t n = Os().size(handle);
    if (n < 0 || n > 0x7FFFFFFF) {
        SetError();
        return 0;
    }
    return (uint32_t)n;
}

void TQLXFStream::Flush() { FlushBehind(); }

int TQLXFStream::Sync()
{
    FlushBehind();
    if (error || handle == kNoHandle) return 0;
    if (!Os().flushFile(handle)) {
        SetError();
        return 0;
    }
    return 1;
}

void TQLXFStream::Write(const void* bytes, uint32_t count)
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
    uint32_t put = 0;
    Os().write(handle, bytes, count, &put);
    if (put < count) SetError();
}

int32_t TQLXFStream::Read(void* out, int32_t count)
{
    if (count <= 0) return 0;
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
    memcpy(to, buffer + aheadAt, take);
    aheadAt += take;
    if (take == want) return (int32_t)take;
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
