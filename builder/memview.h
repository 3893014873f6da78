// Streams the builder needs around the interpreter: a read-only view of bytes in memory, and
// an output that compares what is written with the expected file instead of keeping it.
#pragma once
#include <stdint.h>
#include "stream.h"

// Reads a borrowed block; Seek and Read cost no more than the bytes they move.
class ByteViewStream : public Stream {
public:
    ByteViewStream(const uint8_t* bytes, uint32_t size) : bytes(bytes), size(size), position(0) {}
    uint8_t Get() override;
    int Seek(uint32_t p) override;
    uint32_t Tell() override { return position; }
    uint32_t Size() override { return size; }
    int32_t Read(void* buffer, int32_t count) override;

private:
    const uint8_t* bytes;
    uint32_t size;
    uint32_t position;
};

// Every byte written is checked against the next byte of expected; nothing is stored.
class CompareStream : public Stream {
public:
    explicit CompareStream(Stream* expected) : expected(expected), written(0), firstDifference(0xFFFFFFFFu) {}
    void Put(uint8_t b) override;
    void Write(const void* bytes, uint32_t count) override;
    uint32_t Tell() override { return written; }
    uint32_t Size() override { return written; }
    int Same() const { return firstDifference == 0xFFFFFFFFu; }

    Stream* expected;
    uint32_t written;
    uint32_t firstDifference;   // position of the first byte that differed, or 0xFFFFFFFF
};
