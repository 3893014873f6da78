// Text between UTF-8, used everywhere inside, and the single-byte code pages packages store.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>

// Code pages with a table of their own: 1250-1254, 1257, 437 and 850.
int CodePageKnown(unsigned codePage);
// The code pages the builder offers, in the order a suggestion tries them; ends with 0.
extern const unsigned kBuildCodePages[];

// 1 when text is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
int IsUtf8(const char* text);

// Decodes the NUL-terminated text in a known code page into UTF-8 in out (capacity bytes,
// NUL included). What does not fit is cut at a character boundary; returns 1 when all fit.
int CodePageToUtf8(unsigned codePage, const char* text, char* out, size_t capacity);
// Copies UTF-8 into out, cut at a character boundary when it does not fit; 1 when all fit.
int CopyUtf8(const char* text, char* out, size_t capacity);

// Encodes UTF-8 into a known code page. 0 when a character has no place in it (or the UTF-8 is
// malformed), with *badAt the byte offset of that character.
int Utf8ToCodePage(unsigned codePage, const std::string& text, std::string* out, size_t* badAt);
// The first of kBuildCodePages that holds every character of text; 0 when none does.
unsigned CodePageHolding(const std::string& text);

// Text as a package stores it, decoded into UTF-8. recorded is the code page the package names
// (0 when it names none): on Windows the system's ANSI code page stands in for it; elsewhere
// the text is taken as UTF-8 when it is valid UTF-8, else as code page 1252.
int PackageTextToUtf8(unsigned recorded, const char* text, char* out, size_t capacity);

// One code point of UTF-8 at *p, advancing *p; -1 (and one byte consumed) for a malformed one.
int32_t NextCodePoint(const char** p);
