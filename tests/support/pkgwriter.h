// The one test package writer of every suite: byte images, scripts instruction by instruction,
// a simple differ, whole packages from a plan.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

typedef std::vector<uint8_t> PkgBytes;

// The 10-byte fingerprint computed here independently of the package layer, so that a fault
// in one cannot hide a fault in the other.
struct PkgPrint {
    uint32_t dateTime = 0;
    uint32_t size = 0;
    uint16_t checksum = 0;
};
uint16_t PkgChecksum(const PkgBytes& data);
// A fixed, valid DOS date-time (2024-05-17 10:20:30) unless another is given.
const uint32_t kPkgDate = ((uint32_t)((44u << 9) | (5u << 5) | 17u) << 16) | ((10u << 11) | (20u << 5) | 15u);
PkgPrint PrintOf(const PkgBytes& data, uint32_t dateTime = kPkgDate);

// Appends v as `bytes` little-endian bytes.
void PutLe(PkgBytes* b, uint32_t v, int bytes);

// Little-endian pieces of a package file, appended in order: for images no plan describes.
struct Image {
    PkgBytes b;
    Image& U8(uint32_t v) { return Le(v, 1); }
    Image& U16(uint32_t v) { return Le(v, 2); }
    Image& U32(uint32_t v) { return Le(v, 4); }
    Image& Le(uint32_t v, int bytes)
    {
        PutLe(&b, v, bytes);
        return *this;
    }
    Image& Raw(const PkgBytes& more)
    {
        b.insert(b.end(), more.begin(), more.end());
        return *this;
    }
    Image& Str(const std::string& s)
    {
        b.insert(b.end(), s.begin(), s.end());
        return U8(0);
    }
    // The magic with its NUL, the version and the entry count.
    Image& Header(uint8_t version, int16_t count);
    Image& Print(uint32_t dateTime, uint32_t size, uint16_t checksum) { return U32(dateTime).U32(size).U16(checksum); }
    Image& Print(const PkgPrint& p) { return Print(p.dateTime, p.size, p.checksum); }
    // One entry record with the description "desc" and fixed prints of its kind (the new one
    // of size newSize).
    Image& Entry(uint8_t flags, const std::string& name, uint32_t newSize = 0);
};

// Operand widths: the smallest that holds the value, or at least 16 or 32 bits.
enum PkgWidth { WidthFit = 0, Width16 = 1, Width32 = 2 };

// Emits one script and remembers where every instruction starts.
class ScriptWriter {
public:
    void Insert(const PkgBytes& literal, PkgWidth width = WidthFit);
    void InsertRaw(uint8_t op, uint32_t count, const PkgBytes& literal);   // count as declared
    void SetBase(uint16_t high);
    void CopyNear(uint16_t offset, uint32_t count, PkgWidth width = WidthFit);
    void CopyFar(uint32_t position, uint32_t count, PkgWidth width = WidthFit);
    void Op(uint8_t op);   // any single byte, e.g. an unknown opcode
    void Raw(const PkgBytes& bytes);
    void End();

    PkgBytes bytes;
    std::vector<size_t> starts;   // offsets of instruction starts inside bytes

private:
    void U16(uint32_t v);
    void U32(uint32_t v);
    void Count(uint32_t count, PkgWidth width);
};

struct DiffStyle {
    PkgWidth width = WidthFit;
    int nearCopies = 1;    // use SetBase and near copies where the base fits
    int noops = 0;         // put an unknown opcode between instructions
    uint32_t maxRun = 0;   // split literal and copy runs longer than this (0: never)
};
// A script that rebuilds newer from older (older may be empty for an Add entry).
PkgBytes DiffScript(const PkgBytes& older, const PkgBytes& newer, const DiffStyle& style = DiffStyle());

struct PkgEntry {
    uint8_t flags = 0;   // kind in bits 0-1, soft policy 2-3, hard policy 4-5
    std::string name;
    std::string description;
    PkgPrint oldPrint, newPrint;
    PkgBytes script;   // written for every kind but Delete
};
enum { PkgAdd = 0, PkgPatch = 1, PkgDelete = 2 };
inline uint8_t PkgFlags(int kind, int soft, int hard) { return (uint8_t)(kind | soft << 2 | hard << 4); }

struct PkgPlan {
    uint8_t version = 1;
    int useCount = 0;   // write `count` instead of the number of entries
    int16_t count = 0;
    std::string title = "Test upgrade";
    std::string notes = "Notes";
    std::vector<PkgEntry> entries;
};

struct PkgLayout {
    size_t tableStart = 0;
    std::vector<size_t> entryStarts;
    size_t scriptsStart = 0;
    std::vector<size_t> scriptStarts;
    std::vector<size_t> instructionStarts;   // absolute offsets of every instruction
};
PkgBytes WritePackage(const PkgPlan& plan, PkgLayout* layout = nullptr);

// An entry with its kind, policies, name and description; prints and script are the caller's.
PkgEntry NamedEntry(int kind, int soft, int hard, const std::string& name, const std::string& description);

// Entries made from file versions: the script comes from the differ.
PkgEntry AddEntry(const std::string& name, const PkgBytes& newer, int soft = 0, int hard = 0,
                  const DiffStyle& style = DiffStyle());
PkgEntry PatchEntry(const std::string& name, const PkgBytes& older, const PkgBytes& newer, int soft = 0, int hard = 0,
                    const DiffStyle& style = DiffStyle());
PkgEntry DeleteEntry(const std::string& name, const PkgBytes& older, int soft = 0, int hard = 0);

// Deterministic pseudo-random bytes for file contents.
PkgBytes PseudoRandomBytes(uint32_t seed, size_t n);
