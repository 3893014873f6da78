// Code-page tables and conversions, the same on every platform: the builder on Linux must write
// exactly the bytes that an applier on Windows reads back.
#include "codepage.h"
#include <string.h>
#include "os.h"

namespace {

struct CodePageTable {
    unsigned codePage;
    uint16_t high[128];   // bytes 0x80-0xFF; 0x00-0x7F are ASCII in every one of them
};

// Bytes a code page leaves undefined map to the control character of the same value, as the
// Windows conversion does, so that every byte decodes and encodes back to itself.
const CodePageTable kTables[] = {
#include "codepage_tables.inc"
};

const CodePageTable* Table(unsigned codePage)
{
    for (const CodePageTable& t : kTables)
        if (t.codePage == codePage) return &t;
    return nullptr;
}

size_t Utf8Length(uint32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

void PutUtf8(uint32_t c, char* out)
{
    if (c < 0x80) {
        out[0] = (char)c;
    } else if (c < 0x800) {
        out[0] = (char)(0xC0 | c >> 6);
        out[1] = (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out[0] = (char)(0xE0 | c >> 12);
        out[1] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[2] = (char)(0x80 | (c & 0x3F));
    } else {
        out[0] = (char)(0xF0 | c >> 18);
        out[1] = (char)(0x80 | ((c >> 12) & 0x3F));
        out[2] = (char)(0x80 | ((c >> 6) & 0x3F));
        out[3] = (char)(0x80 | (c & 0x3F));
    }
}

int IsAscii(const char* text)
{
    for (const unsigned char* p = (const unsigned char*)text; *p; p++)
        if (*p >= 0x80) return 0;
    return 1;
}

}   // namespace

const unsigned kBuildCodePages[] = {1252, 1250, 1251, 1253, 1254, 1257, 850, 437, 0};

int CodePageKnown(unsigned codePage) { return Table(codePage) != nullptr; }

int32_t NextCodePoint(const char** p)
{
    const unsigned char* s = (const unsigned char*)*p;
    unsigned char b = s[0];
    int n = b < 0x80 ? 0 : b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF4 ? 3 : -1;
    if (n < 0) {
        *p += 1;
        return b < 0x80 ? b : -1;
    }
    uint32_t c = n == 0 ? b : n == 1 ? b & 0x1F : n == 2 ? b & 0x0F : b & 0x07;
    for (int i = 1; i <= n; i++) {
        if ((s[i] & 0xC0) != 0x80) {
            *p += i;
            return -1;
        }
        c = c << 6 | (s[i] & 0x3F);
    }
    *p += n + 1;
    // Overlong forms, surrogates and values past the last plane are not characters.
    if ((n == 2 && c < 0x800) || (n == 3 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c <= 0xDFFF)) return -1;
    return (int32_t)c;
}

int IsUtf8(const char* text)
{
    while (*text)
        if (NextCodePoint(&text) < 0) return 0;
    return 1;
}

int CodePageToUtf8(unsigned codePage, const char* text, char* out, size_t capacity)
{
    const CodePageTable* t = Table(codePage);
    if (!t || capacity == 0) return 0;
    size_t w = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p; p++) {
        uint32_t c = *p < 0x80 ? *p : t->high[*p - 0x80];
        size_t n = Utf8Length(c);
        if (w + n >= capacity) {
            out[w] = 0;
            return 0;
        }
        PutUtf8(c, out + w);
        w += n;
    }
    out[w] = 0;
    return 1;
}

int CopyUtf8(const char* text, char* out, size_t capacity)
{
    if (capacity == 0) return 0;
    size_t w = 0;
    for (const char* p = text; *p;) {
        const char* start = p;
        NextCodePoint(&p);
        size_t n = (size_t)(p - start);
        if (w + n >= capacity) {
            out[w] = 0;
            return 0;
        }
        memcpy(out + w, start, n);
        w += n;
    }
    out[w] = 0;
    return 1;
}

int Utf8ToCodePage(unsigned codePage, const std::string& text, std::string* out, size_t* badAt)
{
    const CodePageTable* t = Table(codePage);
    out->clear();
    const char* begin = text.c_str();
    for (const char* p = begin; *p;) {
        const char* at = p;
        int32_t c = NextCodePoint(&p);
        int byte = c >= 0 && c < 0x80 ? c : -1;
        for (int i = 0; t && byte < 0 && c >= 0x80 && i < 128; i++)
            if (t->high[i] == (uint32_t)c) byte = 0x80 + i;
        if (byte < 0) {
            if (badAt) *badAt = (size_t)(at - begin);
            return 0;
        }
        out->push_back((char)byte);
    }
    return 1;
}

unsigned CodePageHolding(const std::string& text)
{
    std::string ignored;
    for (const unsigned* cp = kBuildCodePages; *cp; cp++)
        if (Utf8ToCodePage(*cp, text, &ignored, nullptr)) return *cp;
    return 0;
}

int PackageTextToUtf8(unsigned recorded, const char* text, char* out, size_t capacity)
{
    // ASCII reads the same in all of them.
    if (IsAscii(text)) return CopyUtf8(text, out, capacity);
    unsigned codePage = recorded ? recorded : SystemCodePage();
    if (codePage == 0) {
        if (IsUtf8(text)) return CopyUtf8(text, out, capacity);
        codePage = 1252;
    }
    if (CodePageKnown(codePage)) return CodePageToUtf8(codePage, text, out, capacity);
    std::string converted;
    if (SystemTextToUtf8(codePage, text, &converted)) return CopyUtf8(converted.c_str(), out, capacity);
    return CodePageToUtf8(1252, text, out, capacity);
}
