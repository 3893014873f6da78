// Delta encoding: finds where a new file's bytes lie in its old version and writes the cheapest
// patch script the interpreter can run to rebuild the new file from them.
#pragma once
#include <stdint.h>
#include <stddef.h>
#include <vector>

class Stream;

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

// How each copy of a sequence is encoded. A resumed copy starts where the previous copy left
// the old file and says so with the position 0xFFFFFFFF, which moves nothing.
enum CopyForm { FormFar = 0, FormNear = 1, FormSetBaseNear = 2, FormResume = 3 };

// Literal strings that recur in the package. Literal bytes are priced as the compressor will
// see them: a string that other literals of the package repeat costs next to nothing, so
// placing its bytes as literals in every file that has them beats copying each from its old
// file. A first, survey encoding of every file gives the literals; the 8-byte strings at
// anchors (positions chosen by content, at least one of every two) that occur twice or more
// among them make the set, each kept as a 32-bit hash.
struct RepeatSet {
    std::vector<uint32_t> keys;   // sorted, each once
};
// Appends the strings at the anchors of data to keys.
void CollectAnchors(const uint8_t* data, uint32_t size, std::vector<uint32_t>* keys);
// Keeps in set the keys that occur more than once in keys (which it sorts).
void MakeRepeatSet(std::vector<uint32_t>* keys, RepeatSet* set);
// Marks in cheap (size bytes) the bytes of data inside a string of the set.
void MarkRepeats(const RepeatSet& set, const uint8_t* data, uint32_t size, uint8_t* cheap);

// Where the old file stands is not known (no copy yet in this script).
const uint32_t kUnknownEnd = 0xFFFFFFFFu;

// What the parts of a script are expected to cost once the package is compressed, in
// sixteenths of a byte. Literal text compresses well, position operands hardly at all, and a
// resumed copy's four 0xFF bytes to almost nothing, so the raw byte counts would pick the
// wrong instructions.
struct DeltaCosts {
    uint32_t literal;      // one literal byte
    uint32_t insert;       // an Insert8 header
    uint32_t nearCopy;     // CopyNear8 with its operands
    uint32_t farCopy;      // CopyFar8 with its operands
    uint32_t resumeCopy;   // CopyFar8 at 0xFFFFFFFF
    uint32_t setBase;
    uint32_t wider;      // each byte a wider count adds
    uint32_t repeated;   // one literal byte of a string that recurs among the package's literals
};
// The model for data that looks like text, and for other data.
extern const DeltaCosts kTextCosts, kBinaryCosts;
// The model for one window of new data, by the share of its bytes that are text.
const DeltaCosts& CostsFor(const uint8_t* data, uint32_t size);

// Chooses far, near, SetBase-then-near or resumed for every copy so that the copies together
// cost least under costs, starting from copyBase high word `base` with the old file standing
// at *oldEnd; *base and *oldEnd receive the state after the last copy. Returns the bytes the
// copy instructions take, SetBase included.
uint64_t ChooseCopyForms(const DeltaOp* ops, size_t n, uint32_t* base, std::vector<uint8_t>* forms,
                         uint32_t* oldEnd = nullptr, const DeltaCosts& costs = kBinaryCosts);

// Appends the instructions for ops (forms from ChooseCopyForms) to out; literal bytes are
// taken from data, which ops' insert positions index.
void EmitOps(const DeltaOp* ops, size_t n, const std::vector<uint8_t>& forms, const uint8_t* data,
             std::vector<uint8_t>* out);

// The old file in memory with an index of where short byte strings occur in it.
struct OldIndex {
    const uint8_t* bytes;
    uint32_t size;
    uint32_t step;   // every step-th position is indexed
    uint32_t bucketMask;
    std::vector<uint32_t> slots;   // kWays old positions per bucket, kNone when empty
};
// Indexes old (borrowed: it must outlive the index). Returns 0 when memory runs out.
int BuildOldIndex(const uint8_t* old, uint32_t size, OldIndex* index);
// Bytes the index of an old file of this size takes.
uint64_t OldIndexBytes(uint32_t size);

struct DeltaStats {
    uint64_t scriptBytes;   // End byte included
    uint64_t copies;
    uint64_t copiedBytes;
    uint64_t inserts;
    uint64_t insertedBytes;
    uint64_t cost;        // expected once compressed, in sixteenths of a byte
    uint64_t wholeCost;   // the same for inserting the new data whole
};
// Whether inserting the new data whole is expected to ship smaller than the delta.
int PreferWholeInsert(const DeltaStats& delta);

// A run of equal bytes: new data [newStart, newEnd) equals old [oldStart, ...).
struct DeltaMatch {
    uint32_t newStart;
    uint32_t newEnd;
    uint32_t oldStart;
};
// The cheapest parse under costs of size bytes of new data given the matches found in them
// (sorted here). base is the copyBase high word in force before the data, oldEnd where the old
// file stands; cheap, when given, marks the literal bytes priced at costs.repeated. Returns
// the parse's expected cost.
uint64_t ParseMatches(std::vector<DeltaMatch>* matches, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops,
                      uint32_t oldEnd = kUnknownEnd, const DeltaCosts& costs = kBinaryCosts,
                      const uint8_t* cheap = nullptr);

// Parses data (one window of the new file) against the old file; the ops cover data exactly.
// The encoder parses its windows inline; this one-window form is kept for the tests.
void ParseWindow(const OldIndex* index, const uint8_t* data, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops,
                 uint32_t oldEnd = kUnknownEnd);

// Reads newSize bytes from newFile's current position and writes the script that rebuilds
// them from the indexed old file, End byte included, to script. Returns 1 on success, 0 when
// the new file ends early or a stream fails. window is the most new-file bytes parsed at once
// (0 for the default); repeats, when given, prices the literals that recur in the package.
int WriteDeltaScript(const OldIndex* index, Stream* newFile, uint32_t newSize, Stream* script, DeltaStats* stats,
                     uint32_t window = 0, const RepeatSet* repeats = nullptr);
// The survey encoding: parses as WriteDeltaScript does but with literals priced lower, so that
// more strings are seen as literals, and appends the anchors of the literal runs to anchors
// instead of writing a script. stats receives the estimates.
int SurveyLiterals(const OldIndex* index, Stream* newFile, uint32_t newSize, std::vector<uint32_t>* anchors,
                   DeltaStats* stats);
// The script that inserts newSize bytes of newFile whole.
int WriteInsertScript(Stream* newFile, uint32_t newSize, Stream* script, DeltaStats* stats);

// Bytes of new-file data parsed at once by default, and the memory a parse of one window
// takes per byte of it.
const uint32_t kDefaultWindow = 1u << 20;
const uint32_t kParseBytesPerByte = 28;
