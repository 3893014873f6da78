// The in-memory view and the comparing output used to replay scripts.
#include "memview.h"
#include <string.h>

uint8_t ByteViewStream::Get()
{
    if (position >= size) {
        SetError();
        return 0;
    }
    return bytes[position++];
}

int ByteViewStream::Seek(uint32_t p)
{
    if (p > size) {
        SetError();
        return 0;
    }
    position = p;
    return 1;
}

int32_t ByteViewStream::Read(void* buffer, int32_t count)
{
    if (count <= 0) return 0;
    uint32_t n = size - position < (uint32_t)count ? size - position : (uint32_t)count;
    memcpy(buffer, bytes + position, n);
    position += n;
    return (int32_t)n;
}

void CompareStream::Put(uint8_t b) { Write(&b, 1); }

void CompareStream::Write(const void* bytes, uint32_t count)
{
    const uint8_t* p = (const uint8_t*)bytes;
    uint8_t buffer[4096];
    while (count) {
        uint32_t n = count < sizeof buffer ? count : (uint32_t)sizeof buffer;
        int32_t got = expected->Read(buffer, (int32_t)n);
        uint32_t have = got > 0 ? (uint32_t)got : 0;
        if (firstDifference == 0xFFFFFFFFu) {
            for (uint32_t i = 0; i < n; i++)
                if (i >= have || buffer[i] != p[i]) {
                    firstDifference = written + i;
                    break;
                }
        }
        written += n;
        p += n;
        count -= n;
    }
}
