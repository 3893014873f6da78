// Streams in memory: one that only counts bytes, and one over a contiguous block.
#pragma once
#include "stream.h"

// Keeps no bytes: Put moves the position and raises the length to it; Get walks the position
// up to the length. Seek steps with Get from 0.
class CountingStream : public Stream {
public:
    CountingStream() : length(0), position(0) {}
    void Put(uint8_t b) override;
    uint8_t Get() override;
    int Seek(uint32_t p) override;
    uint32_t Tell() override;
    uint32_t Size() override;
    void Clear() override;

    uint32_t length;
    uint32_t position;
};

// A counting stream that keeps the bytes in one block: borrowed from the caller (fixed
// capacity), owned and growing by a fixed step, or empty. cursor is always block + position.
class MemoryStream : public CountingStream {
public:
    // Over the caller's block; the stream never frees, moves or grows it.
    MemoryStream(void* block, uint32_t capacity, uint32_t length);
    // Over a block it allocates itself; growBy 0 means it never grows. When the allocation
    // fails, capacity is 0 and a growing stream allocates again at its first Put.
    MemoryStream(uint32_t capacity, uint32_t growBy);
    // No block at all: every Put and Get fails.
    MemoryStream();
    ~MemoryStream() override;

    void Put(uint8_t b) override;
    uint8_t Get() override;
    int Seek(uint32_t p) override;
    const uint8_t* Held(uint32_t* n) override;
    void Skip(uint32_t k) override;

    uint32_t capacity;
    int ownsBlock;
    uint32_t growBy;
    uint8_t* block;
    uint8_t* cursor;

private:
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;
};
