// Little-endian integers in byte buffers: the one encoding of every number the formats store.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

inline uint16_t GetLe16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
inline uint32_t GetLe32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline void PutLe16(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
// Appending forms, for records built in a growing buffer.
inline void AppendLe16(std::vector<uint8_t>* out, uint32_t v)
{
    out->push_back((uint8_t)v);
    out->push_back((uint8_t)(v >> 8));
}
inline void AppendLe32(std::vector<uint8_t>* out, uint32_t v)
{
    AppendLe16(out, v & 0xFFFF);
    AppendLe16(out, v >> 16);
}
