// The safety check of entry names: a name must stay a plain relative path below the target.
#include "entries.h"
#include <string.h>
#include "files.h"

namespace {

// Compares [s, s+n) with the word w, ignoring ASCII case.
int SameWord(const char* s, size_t n, const char* w)
{
    if (strlen(w) != n) return 0;
    for (size_t i = 0; i < n; i++)
        if (FoldAscii(s[i]) != FoldAscii(w[i])) return 0;
    return 1;
}

// Windows opens a device for these names whatever extension follows, so "nul.txt" is no file.
int IsDeviceName(const char* s, size_t n)
{
    size_t base = 0;
    while (base < n && s[base] != '.') base++;
    // Blanks before the extension are dropped by the platform too ("CON .txt").
    while (base > 0 && s[base - 1] == ' ') base--;
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* w : plain)
        if (SameWord(s, base, w)) return 1;
    if ((base == 4 || base == 5) && (SameWord(s, 3, "COM") || SameWord(s, 3, "LPT"))) {
        unsigned char d = (unsigned char)s[3];
        if (base == 4 && d >= '0' && d <= '9') return 1;
        // The superscript digits one, two and three (UTF-8 C2 B9, C2 B2, C2 B3) name the same
        // ports.
        unsigned char e = (unsigned char)s[4];
        if (base == 5 && d == 0xC2 && (e == 0xB9 || e == 0xB2 || e == 0xB3)) return 1;
    }
    return 0;
}

NameFault CheckComponent(const char* s, size_t n)
{
    if (n == 0) return NameEmptyComponent;
    if ((n == 1 && s[0] == '.') || (n == 2 && s[0] == '.' && s[1] == '.')) return NameEmptyComponent;
    // The platform strips these, so "a." and "a " would name the file "a".
    if (s[n - 1] == '.' || s[n - 1] == ' ') return NameTrailingDotOrBlank;
    if (IsDeviceName(s, n)) return NameDevice;
    return NameOk;
}

}   // namespace

NameFault CheckEntryName(const char* name, int wasCut)
{
    if (!name || !name[0]) return NameEmpty;
    if (wasCut) return NameTooLong;
    size_t length = strlen(name);
    for (size_t i = 0; i < length; i++) {
        unsigned char c = (unsigned char)name[i];
        if (c < 0x20 || c == 0x7F || strchr("<>\"|?*", c)) return NameBadCharacter;
    }
    // A drive ("C:x" is relative to that drive's current folder) or a stream name.
    if (strchr(name, ':')) return NameAbsolute;
    if (name[0] == '\\' || name[0] == '/') return NameAbsolute;
    if (strchr(name, '/')) return NameForwardSlash;
    if (name[length - 1] == '\\') return NameEdgeSeparator;

    const char* start = name;
    int first = 1;
    for (;;) {
        const char* end = strchr(start, '\\');
        size_t n = end ? (size_t)(end - start) : strlen(start);
        NameFault fault = CheckComponent(start, n);
        if (fault != NameOk) return fault;
        // The apply builds into and then removes the scratch folder: no entry may live there.
        if (first && SameWord(start, n, kScratchName)) return NameInScratch;
        if (!end) break;
        start = end + 1;
        first = 0;
    }
    return NameOk;
}

const char* NameFaultText(NameFault fault)
{
    switch (fault) {
    case NameOk: return "valid";
    case NameEmpty: return "the name is empty";
    case NameTooLong: return "the name is longer than 249 characters";
    case NameAbsolute: return "the name is absolute or names a drive";
    case NameForwardSlash: return "the name uses '/' as separator";
    case NameEdgeSeparator: return "the name ends with a separator";
    case NameEmptyComponent: return "the name has an empty, '.' or '..' component";
    case NameTrailingDotOrBlank: return "a component of the name ends in a dot or blank";
    case NameDevice: return "a component of the name is a device name";
    case NameBadCharacter: return "the name holds a control character or one of <>\"|?*";
    case NameInScratch: return "the name lies inside the scratch folder";
    }
    return "unknown fault";
}
