// The file stream over the platform seam, with a read-ahead window for read-only streams.
#include "stream.h"
#include <stdlib.h>
#include <string.h>

namespace {
// Script interpretation reads byte by byte; one platform read per byte would dominate the run.
const uint32_t kAheadSize = 65536;
}

TQLXFStream::TQLXFStream(unsigned flags, const char* name)
    : handle(kNoHandle), readAhead(0), ahead(nullptr), aheadPos(0), aheadLen(0), aheadAt(0)
{
    if (name) Open(flags, name);
}

TQLXFStream::~TQLXFStream()
{
    Close();
    free(ahead);
}

void TQLXFStream::Open(unsigned flags, const char* name)
{
    Close();
    error = 0;
    // Read ahead only where nobody can change the file beneath the window.
    readAhead = (flags & (WriteAccess | ShareWrite | NoReadAhead)) == 0;
    if (readAhead && !ahead) {
        ahead = (uint8_t*)malloc(kAheadSize);
        // Without the window the stream simply makes one platform call per operation.
        if (!ahead) readAhead = 0;
    }
    handle = Os().open(name, flags & (ReadAccess | WriteAccess | ShareRead | ShareWrite));
    if (handle == kNoHandle) SetError();
}

void TQLXFStream::Close()
{
    if (handle != kNoHandle) Os().close(handle);
    handle = kNoHandle;
    aheadLen = aheadAt = aheadPos = 0;
}

// Puts the platform's position back where the caller believes the stream stands.
void TQLXFStream::DropAhead()
{
    if (aheadLen == 0) return;
    uint32_t now;
    Os().seek(handle, aheadPos + aheadAt, &now);
    aheadLen = aheadAt = aheadPos = 0;
}

void TQLXFStream::Put(uint8_t b)
{
    DropAhead();
    uint32_t put = 0;
    Os().write(handle, &b, 1, &put);
    if (put != 1) SetError();
}

uint8_t TQLXFStream::Get()
{
    if (aheadAt < aheadLen) return ahead[aheadAt++];
    if (readAhead) {
        // The window is used up, so the platform stands at the caller's position.
        uint32_t at = aheadLen ? aheadPos + aheadLen : Os().tell(handle);
        uint32_t got = 0;
        Os().read(handle, ahead, kAheadSize, &got);
        if (got == 0) {
            aheadLen = aheadAt = aheadPos = 0;
            SetError();
            return 0;
        }
        aheadPos = at;
        aheadLen = got;
        aheadAt = 1;
        return ahead[0];
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
        SetError();
        return 0;
    }
    return 1;
}

uint32_t TQLXFStream::Tell()
{
    if (aheadLen) return aheadPos + aheadAt;
    return Os().tell(handle);
}

uint32_t TQLXFStream::Size()
{
    int64_t n = Os().size(handle);
    if (n < 0 || n > 0x7FFFFFFF) {
        SetError();
        return 0;
    }
    return (uint32_t)n;
}

void TQLXFStream::Flush() {}

void TQLXFStream::Write(const void* bytes, uint32_t count)
{
    DropAhead();
    uint32_t put = 0;
    Os().write(handle, bytes, count, &put);
    if (put < count) SetError();
}

int32_t TQLXFStream::Read(void* buffer, int32_t count)
{
    if (count <= 0) return 0;
    uint32_t want = (uint32_t)count;
    if (!readAhead) {
        uint32_t got = 0;
        Os().read(handle, buffer, want, &got);
        return (int32_t)got;
    }
    uint8_t* out = (uint8_t*)buffer;
    uint32_t have = aheadLen - aheadAt;
    uint32_t take = have < want ? have : want;
    memcpy(out, ahead + aheadAt, take);
    aheadAt += take;
    if (take == want) return (int32_t)take;
    // The window is used up: the platform stands at the caller's position.
    uint32_t at = aheadLen ? aheadPos + aheadLen : Os().tell(handle);
    uint32_t rest = want - take, got = 0;
    if (rest >= kAheadSize) {
        aheadLen = aheadAt = aheadPos = 0;
        Os().read(handle, out + take, rest, &got);
        return (int32_t)(take + got);
    }
    Os().read(handle, ahead, kAheadSize, &got);
    aheadPos = at;
    aheadLen = got;
    uint32_t more = got < rest ? got : rest;
    memcpy(out + take, ahead, more);
    aheadAt = more;
    return (int32_t)(take + more);
}
