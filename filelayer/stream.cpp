// The stream base: failing byte operations, the sticky error flag, and utilities built on the slots.
#include "stream.h"
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <vector>

Stream::~Stream() {}

void Stream::SetError() { error = 1; }

void Stream::Put(uint8_t) { SetError(); }

uint8_t Stream::Get()
{
    SetError();
    return 0;
}

int Stream::Seek(uint32_t)
{
    SetError();
    return 0;
}

uint32_t Stream::Tell()
{
    SetError();
    return 0;
}

uint32_t Stream::Size()
{
    SetError();
    return 0;
}

void Stream::Flush() {}

int Stream::Reset()
{
    error = 0;
    return Seek(0);
}

void Stream::Clear() { Reset(); }

void Stream::Fill(uint32_t count)
{
    Clear();
    for (uint32_t i = 0; i < count; ++i) Put(0);
    Reset();
}

void Stream::Write(const void* bytes, uint32_t count)
{
    const uint8_t* p = (const uint8_t*)bytes;
    for (uint32_t i = 0; i < count; ++i) Put(p[i]);
}

// Tests the sticky flag, not the byte: a stream already in error yields one byte and stops.
int32_t Stream::Read(void* buffer, int32_t count)
{
    if (count <= 0) return count;
    uint8_t* p = (uint8_t*)buffer;
    for (int32_t i = 0; i < count; ++i) {
        p[i] = Get();
        if (error) return i;
    }
    return count;
}

// Keeps reading to the string's end however small the buffer, so the next field starts right.
uint32_t Stream::ReadString(char* buffer, uint32_t n)
{
    uint32_t room = n ? n - 1 : 0;
    uint32_t w = 0, whole = 0;
    buffer[0] = (char)Get();
    while (buffer[w] != 0) {
        ++whole;
        if (room > 0) {
            ++w;
            --room;
        }
        buffer[w] = (char)Get();
    }
    return whole;
}

uint32_t Stream::ReadLine(char* buffer, uint32_t limit)
{
    uint32_t k = 0, w = 0;
    for (;;) {
        uint8_t c = Get();
        if (c == 13) continue;
        if (c == 10 || c == 0) break;
        ++k;
        if (k < limit) buffer[w++] = (char)c;
    }
    if (limit > 0) buffer[w] = 0;
    return k;
}

uint16_t Stream::ReadU16()
{
    uint8_t b[2] = {0, 0};
    Read(b, 2);
    return (uint16_t)(b[0] | (b[1] << 8));
}

uint32_t Stream::ReadU32()
{
    uint8_t b[4] = {0, 0, 0, 0};
    Read(b, 4);
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

void Stream::WriteString(const char* text)
{
    for (; *text; ++text) Put((uint8_t)*text);
    Put(0);
}

void Stream::WriteU16(uint16_t value)
{
    uint8_t b[2] = {(uint8_t)value, (uint8_t)(value >> 8)};
    Write(b, 2);
}

void Stream::WriteU32(uint32_t value)
{
    uint8_t b[4] = {(uint8_t)value, (uint8_t)(value >> 8), (uint8_t)(value >> 16), (uint8_t)(value >> 24)};
    Write(b, 4);
}

void Stream::WriteFormatted(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    for (const char* p = text; *p; ++p) {
        if (*p == '\n') Put(13);
        Put((uint8_t)*p);
    }
}

float Stream::ReadReal()
{
    char text[40];
    ReadString(text, sizeof text);
    float value = 0;
    if (sscanf(text, "%f", &value) != 1) value = 0;
    return value;
}

void Stream::WriteReal(float value, int decimals)
{
    char text[40];
    snprintf(text, sizeof text, "%01.*f", decimals, (double)value);
    WriteString(text);
}

namespace {
const uint32_t kCopyBuffer = 32000;
}

uint32_t CopyBytes(Stream* destination, Stream* source, uint32_t count) { return destination->CopyFrom(source, count); }

uint32_t Stream::CopyFrom(Stream* source, uint32_t count)
{
    // On the stack: the interpreter copies pieces of up to 256 bytes, and a heap block per call
    // costs more than the copy.
    uint8_t buffer[kCopyBuffer];
    uint32_t copied = 0;
    int32_t got;
    do {
        uint32_t request = count - copied < kCopyBuffer ? count - copied : kCopyBuffer;
        got = source->Read(buffer, (int32_t)request);
        if (got > 0) {
            Write(buffer, (uint32_t)got);
            copied += (uint32_t)got;
        }
    } while (copied < count && got == (int32_t)kCopyBuffer && !HasError());
    return copied;
}

const uint8_t* Stream::Held(uint32_t* n)
{
    *n = 0;
    return nullptr;
}

void Stream::Skip(uint32_t) {}

void CopyAll(Stream* destination, Stream* source)
{
    source->Reset();
    std::vector<uint8_t> buffer(kCopyBuffer);
    int32_t n;
    do {
        n = source->Read(buffer.data(), (int32_t)kCopyBuffer);
        if (n > 0) destination->Write(buffer.data(), (uint32_t)n);
    } while (n == (int32_t)kCopyBuffer);
}
