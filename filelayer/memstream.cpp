// The counting stream and the memory stream over a borrowed, owned-and-growing, or missing block.
#include "memstream.h"
#include <stdlib.h>

void CountingStream::Put(uint8_t)
{
    ++position;
    if (length < position) length = position;
}

uint8_t CountingStream::Get()
{
    if (position < length)
        ++position;
    else
        SetError();
    return 0;
}

// Steps through the Get slot so that a subclass's Get sees every byte it passes.
int CountingStream::Seek(uint32_t p)
{
    if (p > length) return 0;
    position = 0;
    while (position != p) {
        uint32_t before = position;
        Get();
        if (position == before) return 0;
    }
    return 1;
}

uint32_t CountingStream::Tell() { return position; }

uint32_t CountingStream::Size() { return length; }

void CountingStream::Clear()
{
    Reset();
    length = 0;
}

MemoryStream::MemoryStream(void* block_, uint32_t capacity_, uint32_t length_)
    : capacity(capacity_), ownsBlock(0), growBy(0), block((uint8_t*)block_), cursor((uint8_t*)block_)
{
    length = length_;
}

// A failed allocation leaves capacity 0, so that no Put ever stores through the missing block;
// a growing stream then tries again at its first Put.
MemoryStream::MemoryStream(uint32_t capacity_, uint32_t growBy_)
    : capacity(capacity_), ownsBlock(1), growBy(growBy_), block(nullptr), cursor(nullptr)
{
    if (capacity) block = (uint8_t*)malloc(capacity);
    if (!block) capacity = 0;
    cursor = block;
}

MemoryStream::MemoryStream() : capacity(0), ownsBlock(0), growBy(0), block(nullptr), cursor(nullptr) {}

MemoryStream::~MemoryStream()
{
    if (ownsBlock && block) free(block);
}

void MemoryStream::Put(uint8_t b)
{
    if (position >= capacity || !block) {
        if (growBy == 0 || !ownsBlock) {
            SetError();
            return;
        }
        // Linear growth by the fixed step, as the callers size their steps for it.
        uint32_t grown = capacity < growBy ? growBy : capacity + growBy;
        uint8_t* moved = grown > capacity ? (uint8_t*)realloc(block, grown) : nullptr;
        if (!moved) {
            SetError();
            return;
        }
        capacity = grown;
        block = moved;
        cursor = block + position;
    }
    *cursor++ = b;
    ++position;
    if (length < position) length = position;
}

uint8_t MemoryStream::Get()
{
    if (position >= length || !block) {
        SetError();
        return 0;
    }
    ++position;
    return *cursor++;
}

int MemoryStream::Seek(uint32_t p)
{
    if (p > length) return 0;
    position = p;
    cursor = block ? block + p : nullptr;
    return 1;
}

const uint8_t* MemoryStream::Held(uint32_t* n)
{
    *n = block && position < length ? length - position : 0;
    return *n ? cursor : nullptr;
}

void MemoryStream::Skip(uint32_t k)
{
    position += k;
    cursor += k;
}
