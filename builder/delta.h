// Delta encoding: finds where a new file's bytes lie in its old version and writes the cheapest
// patch script the interpreter can run to rebuild the new file from them.
#pragma once
#include <stdint.h>
#include <stddef.h>
#include <vector>

class TQLXStream;

// Bytes of one instruction in a script, opcode and operands, literal data not counted.
uint32_t InsertCost(uint32_t count);     // Insert8 2, Insert16 3, Insert32 5
uint32_t CopyNearCost(uint32_t count);   // CopyNear8 4, CopyNear16 5, CopyNear32 7
uint32_t CopyFarCost(uint32_t count);    // CopyFar8 6, CopyFar16 7, CopyFar32 9
const uint32_t kSetBaseCost = 3;
// Size of the script that inserts a file of this size whole, End byte included.
uint64_t WholeInsertScriptSize(uint32_t size);

// One step of a parse: count bytes copied from old position from, or inserted literally.
struct DeltaOp {
    uint32_t from;   // old position of a copy; position in the new data of an insert
    uint32_t count;
    uint8_t isCopy;
};

// How each copy of a sequence is encoded.
enum CopyForm { FormFar = 0, FormNear = 1, FormSetBaseNear = 2 };

// Chooses far, near or SetBase-then-near for every copy so that the copies together take the
// fewest bytes, starting from copyBase high word `base`; *base receives the one in force
// after the last copy. Returns the bytes the copy instructions take, SetBase included.
uint64_t ChooseCopyForms(const DeltaOp* ops, size_t n, uint32_t* base, std::vector<uint8_t>* forms);

// Appends the instructions for ops (forms from ChooseCopyForms) to out; literal bytes are
// taken from data, which ops' insert positions index.
void EmitOps(const DeltaOp* ops, size_t n, const std::vector<uint8_t>& forms, const uint8_t* data,
             std::vector<uint8_t>* out);

// The old file in memory with an index of where short byte strings occur in it.
struct OldIndex {
    const uint8_t* bytes;
    uint32_t size;
    uint32_t step;                 // every step-th position is indexed
    uint32_t bucketMask;
    std::vector<uint32_t> slots;   // kWays old positions per bucket, kNone when empty
};
// Indexes old (borrowed: it must outlive the index). Returns 0 when memory runs out.
int BuildOldIndex(const uint8_t* old, uint32_t size, OldIndex* index);
// Bytes the index of an old file of this size takes.
uint64_t OldIndexBytes(uint32_t size);

struct DeltaStats {
    uint64_t scriptBytes;    // End byte included
    uint64_t copies;
    uint64_t copiedBytes;
    uint64_t inserts;
    uint64_t insertedBytes;
};

// A run of equal bytes: new data [newStart, newEnd) equals old [oldStart, ...).
struct DeltaMatch {
    uint32_t newStart;
    uint32_t newEnd;
    uint32_t oldStart;
};
// The cheapest parse of size bytes of new data given the matches found in them (sorted here).
void ParseMatches(std::vector<DeltaMatch>* matches, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops);

// Parses data (one window of the new file) against the old file; the ops cover data exactly.
// base is the copyBase high word in force before the window.
void ParseWindow(const OldIndex* index, const uint8_t* data, uint32_t size, uint32_t base,
                 std::vector<DeltaOp>* ops);

// Reads newSize bytes from newFile's current position and writes the script that rebuilds
// them from the indexed old file, End byte included, to script. Returns 1 on success, 0 when
// the new file ends early or a stream fails. window is the most new-file bytes parsed at once
// (0 for the default).
int WriteDeltaScript(const OldIndex* index, TQLXStream* newFile, uint32_t newSize, TQLXStream* script,
                     DeltaStats* stats, uint32_t window = 0);
// The script that inserts newSize bytes of newFile whole.
int WriteInsertScript(TQLXStream* newFile, uint32_t newSize, TQLXStream* script, DeltaStats* stats);

// Bytes of new-file data parsed at once by default, and the memory a parse of one window
// takes per byte of it.
const uint32_t kDefaultWindow = 1u << 20;
const uint32_t kParseBytesPerByte = 28;
