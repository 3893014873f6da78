// Building a package from two release trees: pairing files, policies, delta scripts, the
// replay of every script through the interpreter, and the atomic write of the package.
//
// Errors in the builder. A step that can fail returns int 1 on success and 0 on failure, with
// the reason in std::string* error: lower case, no full stop, naming the file or the option
// where there is one ("cannot read old/app.exe into memory (123 bytes)"); the console prints it
// after "upg build: ". The encoder's own steps (delta.h, replay.h) return 0 without a reason and
// their callers word it. Memory that a file's size decides is caught (std::bad_alloc) and
// becomes a reason naming the file (the optional repeat set is dropped instead); any other
// allocation failure throws to the program's edge.
// A failed build leaves no package and no work files behind.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>
#include "keyfile.h"
#include "entries.h"

struct RepeatSet;

// Overrides for the entries whose names match glob; later rules win over earlier ones.
struct BuildRule {
    std::string glob;   // '\' or '/' between folders; without either it matches the file name
    int soft;           // a MismatchPolicy, or -1 to keep the default
    int hard;
    int hasDescription;
    std::string description;
};

// Parses "GLOB:KEY=VALUE,..." with keys soft, hard (ignore, ask, abort) and desc (the rest of
// the text, commas included). Returns 0 with the reason in *error.
int ParseRule(const char* text, BuildRule* rule, std::string* error);
// Case-insensitive glob over an entry name: '*' within one folder name, '**' across folders,
// '?' one character.
int GlobMatches(const char* glob, const char* name);

// Default policies of each kind, as (soft, hard).
void DefaultPolicies(int kind, int* soft, int* hard);

struct BuildProgress {
    uint64_t doneBytes;   // new-file bytes encoded so far
    uint64_t totalBytes;
    int doneFiles;
    int totalFiles;
    const char* name;   // the entry just finished
};

struct BuildOptions {
    std::string oldDir;
    std::string newDir;
    std::string output;
    std::string title;
    std::string notes;   // text as given; lone LF become CR LF
    std::vector<BuildRule> rules;
    int jobs = 1;
    uint64_t memoryBudget = 0;   // bytes the encoding jobs may hold together; 0: the default
    int hasUtcOffset = 0;
    int utcOffsetMinutes = 0;   // local time minus UTC
    int seal = 1;               // append the seal: SHA-256 of every file and of the package
    // The code page names, title, notes and descriptions are stored in (one that CodePageKnown
    // knows); the seal records it. Texts come in as UTF-8.
    unsigned codePage = 1252;
    const PublisherKey* signer = nullptr;   // sign the seal with this key (needs seal)
    // Called from the builder's own thread, about once per finished file.
    void (*progress)(void* context, const BuildProgress* p) = nullptr;
    void* progressContext = nullptr;
};

struct BuildEntryInfo {
    std::string name;
    int kind;
    uint32_t oldSize, newSize;
    uint64_t scriptBytes;
    int wholeInsert;   // the script inserts the file whole
    int dateOnly;      // Patch with the same content and another date-time
};

struct BuildReport {
    std::vector<BuildEntryInfo> entries;
    int adds = 0, patches = 0, deletes = 0, unchanged = 0;
    uint64_t packageBytes = 0;
    uint64_t sealBytes = 0;   // of packageBytes, the seal's
    int isSigned = 0;
    uint8_t keyId[kKeyIdSize] = {};
    uint64_t newBytes = 0;        // of the added and patched files
    uint64_t peakJobMemory = 0;   // largest memory one encoding job asked for
};

// Builds the package; 1 on success. On failure *error says why, naming the file where there is
// one, and no package file exists at options.output (an older one there is left as it was).
int BuildPackage(const BuildOptions& options, BuildReport* report, std::string* error);

// Per file: writes the part (a script in a file of its own, see replay.h) that rebuilds newPath
// from oldPath (null for an Add), the delta or the whole file when no delta is smaller, and
// replays it through the interpreter. Returns 1 when the replay gives the new file exactly.
struct PartResult {
    uint64_t scriptBytes;
    int wholeInsert;
    uint64_t memory;   // bytes held while encoding
};
int MakePart(const char* oldPath, const char* newPath, const char* partPath, PartResult* result, std::string* error,
             const RepeatSet* repeats = nullptr);
// The survey of one file for the repeat set (delta.h): appends to anchors those of the literal
// bytes its delta would have, or of all of it when it would go in whole.
int SurveyPart(const char* oldPath, const char* newPath, std::vector<uint32_t>* anchors, std::string* error);
// Bytes MakePart holds at most for files of these sizes.
uint64_t PartMemory(uint32_t oldSize, uint32_t newSize);
