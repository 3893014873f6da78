// Match finder, parser and instruction writer of the delta encoder.
//
// The old file is indexed by hashing 8-byte strings into buckets of a few positions each;
// every candidate is verified byte by byte, so a hash collision costs time, never a wrong
// copy. Each window of the new file is first scanned for matches (runs of equal bytes on one
// "diagonal", a fixed distance between new and old position), then parsed by a shortest-path
// pass over the window's positions under the costs the instructions are expected to have once
// the package is compressed, and last the copies of the chosen parse get their cheapest
// encoding (far, near, SetBase and near, or resumed where the previous copy ended).
#include "delta.h"
#include "bytes.h"
#include "script.h"
#include "stream.h"
#include <string.h>
#include <algorithm>
#include <new>

namespace {

const uint32_t kNone = 0xFFFFFFFFu;
const uint32_t kWays = 4;          // positions kept per hash bucket
const uint32_t kSeed = 8;          // bytes hashed per indexed position
const uint32_t kDiagMin = 4;       // shortest match taken on a recently used diagonal
const uint32_t kSkipMargin = 16;   // inside a long match, look again this far before its end
const size_t kMaxActive = 12;      // matches followed at once by the parser
const uint32_t kPrefetch = 16;     // positions ahead whose index bucket is fetched early
const uint32_t kInfinite = 0xFFFFFFFFu;
const uint32_t kResumePosition = 0xFFFFFFFFu;   // the interpreter leaves the old file where it stands

uint32_t Hash8(const uint8_t* p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return (uint32_t)((v * 0x9E3779B97F4A7C15ull) >> 32);
}

uint32_t WindowOf(uint32_t position) { return position >> 16; }

// Extra bytes a copy of this length costs over one of at most 255 bytes, either form.
uint32_t LengthExtra(uint32_t count) { return count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 3; }

uint32_t ForwardMatch(const uint8_t* a, const uint8_t* b, uint32_t limit)
{
    uint32_t n = 0;
    while (n + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y) {
            uint64_t d = x ^ y;
            // Little-endian loads: the lowest differing byte is the first one.
            return n + (uint32_t)(__builtin_ctzll(d) >> 3);
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) n++;
    return n;
}

typedef DeltaMatch Match;

int64_t DiagonalOf(const Match& m) { return (int64_t)m.oldStart - (int64_t)m.newStart; }

// Finds the matches of one window. Positions well inside a match already found are not
// looked up again: whatever starts there and reaches further is found near that match's end,
// where every position is looked up and each find is extended backwards.
void FindMatches(const OldIndex* index, const uint8_t* data, uint32_t size, std::vector<Match>* found)
{
    found->clear();
    const uint8_t* old = index->bytes;
    const uint32_t oldSize = index->size;
    if (oldSize == 0 || size < kDiagMin) return;

    int64_t recent[4] = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};   // diagonals of the latest matches
    uint32_t ends[4] = {kNone, kNone, kNone, kNone};                    // old ends of the latest matches
    uint32_t covered = 0;                                               // end of the furthest match found so far

    auto seen = [&](int64_t diagonal, uint32_t j) {
        // The same run is found again from any position inside it; the last few are enough.
        size_t n = found->size();
        for (size_t k = n > 8 ? n - 8 : 0; k < n; k++) {
            const Match& m = (*found)[k];
            if (DiagonalOf(m) == diagonal && m.newStart <= j && j < m.newEnd) return true;
        }
        return false;
    };
    auto take = [&](uint32_t j, uint32_t p, uint32_t minimum) {
        int64_t diagonal = (int64_t)p - (int64_t)j;
        if (seen(diagonal, j)) return;
        uint32_t limit = std::min(size - j, oldSize - p);
        uint32_t ahead = ForwardMatch(old + p, data + j, limit);
        if (ahead < minimum) return;
        uint32_t back = 0;
        while (back < j && back < p && old[p - back - 1] == data[j - back - 1]) back++;
        found->push_back(Match{j - back, j + ahead, p - back});
        if (j + ahead > covered) covered = j + ahead;
        uint32_t end = p + ahead;
        if (ends[0] != end && ends[1] != end && ends[2] != end) {
            memmove(ends + 1, ends, 3 * sizeof ends[0]);
            ends[0] = end;
        }
        if (recent[0] != diagonal) {
            int k = 1;
            while (k < 3 && recent[k] != diagonal) k++;
            memmove(recent + 1, recent, k * sizeof recent[0]);
            recent[0] = diagonal;
        }
    };

    for (uint32_t j = 0; j + kDiagMin <= size; j++) {
        if (covered > j + kSkipMargin) j = covered - kSkipMargin;
        // The alignment of the latest matches often resumes after a few changed bytes.
        for (int64_t d : recent) {
            if (d == INT64_MIN) continue;
            int64_t p = (int64_t)j + d;
            if (p < 0 || p >= (int64_t)oldSize) continue;
            if (old[p] != data[j]) continue;
            take(j, (uint32_t)p, kDiagMin);
        }
        // Text inserted after a match: the old file goes on where that match ended, which a
        // resumed copy reaches without a position.
        for (uint32_t e : ends)
            if (e < oldSize && old[e] == data[j]) take(j, e, kDiagMin);
        if (j + kSeed > size) continue;
        // The buckets, and the old positions they hold, lie all over memory: ask for the bucket
        // a few positions on, and for the old bytes of the one half as far on (whose bucket
        // has arrived by now), so that both are there when the scan gets to them.
        if (j + kPrefetch + kSeed <= size)
            __builtin_prefetch(&index->slots[(size_t)(Hash8(data + j + kPrefetch) & index->bucketMask) * kWays]);
        if (j + kPrefetch / 2 + kSeed <= size) {
            const uint32_t* ahead =
                &index->slots[(size_t)(Hash8(data + j + kPrefetch / 2) & index->bucketMask) * kWays];
            for (uint32_t w = 0; w < kWays && ahead[w] != kNone; w++) __builtin_prefetch(old + ahead[w]);
        }
        const uint32_t* bucket = &index->slots[(size_t)(Hash8(data + j) & index->bucketMask) * kWays];
        for (uint32_t w = 0; w < kWays; w++) {
            uint32_t p = bucket[w];
            if (p == kNone) break;
            if (old[p] != data[j] || p + kSeed > oldSize) continue;
            take(j, p, kSeed);
        }
    }
}

// A match the parser follows: the cheapest way found so far to start a copy on its diagonal.
struct Active {
    Match m;
    uint32_t bestCost;     // cost before the copy plus its fixed part, in sixteenths of a byte
    uint32_t bestStart;    // where that copy starts
    uint16_t bestBase;     // the copyBase window that copy leaves
    uint8_t fromLiteral;   // the copy follows a literal run
};

struct FormNode {
    int32_t parent;
    uint8_t form;
};
struct FormState {
    uint32_t base;
    uint64_t cost;
    int32_t node;
};

// Buffers that one encoding reuses from window to window, so that a file cut into many small
// windows allocates once, not a dozen times per window.
struct Scratch {
    std::vector<Match> matches;
    // Per position of a window, for the parse.
    std::vector<uint32_t> costA, costL, runL, startA, fromA, endA, endL;
    std::vector<uint16_t> baseA, baseL;
    std::vector<uint8_t> afterLiteralA;
    std::vector<Active> active;
    std::vector<FormNode> nodes;
    std::vector<FormState> states, grown;
};

uint64_t Parse(Scratch* w, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops, uint32_t oldEnd,
               const DeltaCosts& costs, const uint8_t* cheap);
uint64_t ChooseForms(Scratch* w, const DeltaOp* ops, size_t n, uint32_t* base, std::vector<uint8_t>* forms,
                     uint32_t* oldEnd, const DeltaCosts& costs);

}   // namespace

uint32_t InsertCost(uint32_t count) { return count <= 0xFF ? 2 : count <= 0xFFFF ? 3 : 5; }
uint32_t CopyNearCost(uint32_t count) { return 4 + LengthExtra(count); }
uint32_t CopyFarCost(uint32_t count) { return 6 + LengthExtra(count); }

uint64_t WholeInsertScriptSize(uint32_t size) { return size == 0 ? 1 : (uint64_t)InsertCost(size) + size + 1; }

namespace {

// Slots for an old file of this size: about one per two positions, at most kMaxSlots; a
// larger file indexes every step-th position only, which still finds every match of
// kSeed + step - 1 bytes or more, and the recent diagonals find most shorter ones.
const uint64_t kMaxSlots = (uint64_t)1 << 23;

void IndexShape(uint32_t size, uint32_t* step, uint64_t* slots)
{
    uint64_t n = kWays;
    while (n < size && n < kMaxSlots * 2) n <<= 1;
    *slots = std::max<uint64_t>(kWays, n / 2);
    *step = (uint32_t)std::max<uint64_t>(1, (size + *slots * 2 - 1) / (*slots * 2));
}

}   // namespace

uint64_t OldIndexBytes(uint32_t size)
{
    uint32_t step;
    uint64_t slots;
    IndexShape(size, &step, &slots);
    return slots * sizeof(uint32_t);
}

int BuildOldIndex(const uint8_t* old, uint32_t size, OldIndex* index)
{
    index->bytes = old;
    index->size = size;
    uint64_t slots;
    IndexShape(size, &index->step, &slots);
    index->bucketMask = (uint32_t)(slots / kWays - 1);
    try {
        index->slots.assign((size_t)slots, kNone);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (size < kSeed) return 1;
    // Later positions go in front, so a lookup meets the nearest-after ones first; a full
    // bucket drops its oldest.
    for (uint32_t i = 0; i + kSeed <= size; i += index->step) {
        uint32_t* bucket = &index->slots[(size_t)(Hash8(old + i) & index->bucketMask) * kWays];
        // A run of one repeated byte would fill every slot with its own positions.
        if (bucket[0] != kNone && i - bucket[0] < kSeed && memcmp(old + bucket[0], old + i, kSeed) == 0) continue;
        memmove(bucket + 1, bucket, (kWays - 1) * sizeof(uint32_t));
        bucket[0] = i;
    }
    return 1;
}

// Tuned on the benchmark's release pairs against the real compressed size of whole packages
// (docs/builder.md). A far copy costs far more than its six bytes: its four position bytes are
// random to the compressor and it cuts the literal text around it, whose strings the compressor
// would otherwise find elsewhere. Literal bytes that the package repeats cost next to nothing.
const DeltaCosts kTextCosts = {7, 16, 45, 150, 16, 28, 15, 2};
const DeltaCosts kBinaryCosts = {8, 20, 60, 140, 32, 28, 12, 2};

const DeltaCosts& CostsFor(const uint8_t* data, uint32_t size)
{
    uint32_t text = 0;
    for (uint32_t i = 0; i < size; i++) {
        uint8_t c = data[i];
        text += (c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t';
    }
    return (uint64_t)text * 10 >= (uint64_t)size * 9 ? kTextCosts : kBinaryCosts;
}

int PreferWholeInsert(const DeltaStats& delta) { return delta.cost >= delta.wholeCost; }

void ParseWindow(const OldIndex* index, const uint8_t* data, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops,
                 uint32_t oldEnd)
{
    Scratch w;
    FindMatches(index, data, size, &w.matches);
    Parse(&w, size, base, ops, oldEnd, CostsFor(data, size), nullptr);
}

uint64_t ParseMatches(std::vector<DeltaMatch>* found, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops,
                      uint32_t oldEnd, const DeltaCosts& costs, const uint8_t* cheap)
{
    Scratch w;
    w.matches.swap(*found);
    uint64_t cost = Parse(&w, size, base, ops, oldEnd, costs, cheap);
    w.matches.swap(*found);
    return cost;
}

uint64_t ChooseCopyForms(const DeltaOp* ops, size_t n, uint32_t* base, std::vector<uint8_t>* forms, uint32_t* oldEnd,
                         const DeltaCosts& costs)
{
    Scratch w;
    return ChooseForms(&w, ops, n, base, forms, oldEnd, costs);
}

namespace {

uint64_t Parse(Scratch* w, uint32_t size, uint32_t base, std::vector<DeltaOp>* ops, uint32_t oldEnd,
               const DeltaCosts& costs, const uint8_t* cheap)
{
    ops->clear();
    if (size == 0) return 0;
    std::vector<Match>& matches = w->matches;
    std::sort(matches.begin(), matches.end(), [](const Match& a, const Match& b) { return a.newStart < b.newStart; });

    auto insertCost = [&](uint32_t run) { return costs.insert + costs.wider * (InsertCost(run) - InsertCost(1)); };
    auto lengthCost = [&](uint32_t count) { return costs.wider * LengthExtra(count); };

    // Two states per position: the data before it ends with a copy (or is empty), or ends
    // inside a literal run whose header is already counted. Each keeps the copyBase window
    // that its path left in force and where its last copy left the old file, so near and
    // resumed copies can be priced.
    //
    // Legend: every array is indexed by k, a position of the window, 0..size: the first k bytes
    // are encoded. The A arrays describe the cheapest path whose last op is a copy (or that is
    // empty), the L arrays the cheapest whose last op is a literal run still open.
    //   costA, costL    the path's cost in sixteenths of a byte; kInfinite where no path exists
    //   startA          where the last copy starts in the window (it ends at k)
    //   fromA           where that copy starts in the old file
    //   endA, endL      where the path's last copy left the old file: a copy from there resumes
    //   baseA, baseL    the copyBase window the path leaves in force
    //   afterLiteralA   the last copy follows a literal run: the walk back goes on in L
    //   runL            the length of the open literal run, which ends at k
    size_t n = (size_t)size + 1;
    std::vector<uint32_t>&costA = w->costA, &costL = w->costL, &runL = w->runL, &startA = w->startA, &fromA = w->fromA,
    &endA = w->endA, &endL = w->endL;
    std::vector<uint16_t>&baseA = w->baseA, &baseL = w->baseL;
    std::vector<uint8_t>& afterLiteralA = w->afterLiteralA;
    // Only the costs need a start value: every other field of a state is written where its
    // cost becomes finite and read only where it is.
    costA.assign(n, kInfinite);
    for (std::vector<uint32_t>* v : {&costL, &runL, &startA, &fromA, &endA, &endL}) v->resize(n);
    baseA.resize(n);
    baseL.resize(n);
    afterLiteralA.resize(n);
    costL[0] = kInfinite;
    runL[0] = 0;
    costA[0] = 0;
    baseA[0] = (uint16_t)base;
    endA[0] = oldEnd;

    std::vector<Active>& active = w->active;
    active.clear();
    uint32_t firstEnd = kInfinite;   // earliest end among the active matches
    size_t next = 0;
    for (uint32_t k = 0; k <= size; k++) {
        // Copies that end here.
        for (const Active& a : active) {
            if (a.bestCost == kInfinite || k <= a.bestStart || k > a.m.newEnd) continue;
            uint32_t c = a.bestCost + lengthCost(k - a.bestStart);
            if (c < costA[k]) {
                costA[k] = c;
                startA[k] = a.bestStart;
                fromA[k] = a.m.oldStart + (a.bestStart - a.m.newStart);
                baseA[k] = a.bestBase;
                endA[k] = fromA[k] + (k - a.bestStart);
                afterLiteralA[k] = a.fromLiteral;
            }
        }
        if (k == size) break;
        if (firstEnd <= k) {
            active.erase(std::remove_if(active.begin(), active.end(), [k](const Active& a) { return a.m.newEnd <= k; }),
                         active.end());
            firstEnd = kInfinite;
            for (const Active& a : active) firstEnd = std::min(firstEnd, a.m.newEnd);
        }
        while (next < matches.size() && matches[next].newStart == k) {
            Active a{matches[next++], kInfinite, 0, 0, 0};
            firstEnd = std::min(firstEnd, a.m.newEnd);
            if (active.size() < kMaxActive) {
                active.push_back(a);
            } else {
                // Keep the matches that reach furthest.
                auto shortest = std::min_element(active.begin(), active.end(), [](const Active& x, const Active& y) {
                    return x.m.newEnd < y.m.newEnd;
                });
                if (shortest->m.newEnd < a.m.newEnd) *shortest = a;
            }
        }
        // Copies that could start here. A far copy is priced as if it left its own window as
        // the base, which a SetBase before it would.
        for (Active& a : active) {
            uint32_t p = a.m.oldStart + (k - a.m.newStart);
            uint32_t w = WindowOf(p);
            auto offer = [&](uint32_t before, uint32_t end, uint16_t b, uint8_t fromLiteral) {
                if (before == kInfinite) return;
                uint32_t c;
                uint16_t after = b;
                if (p == end) {
                    c = before + costs.resumeCopy;
                } else if (w == b) {
                    c = before + costs.nearCopy;
                } else {
                    c = before + costs.farCopy;
                    after = (uint16_t)w;
                }
                if (c < a.bestCost) {
                    a.bestCost = c;
                    a.bestStart = k;
                    a.bestBase = after;
                    a.fromLiteral = fromLiteral;
                }
            };
            offer(costA[k], endA[k], baseA[k], 0);
            offer(costL[k], endL[k], baseL[k], 1);
        }
        // One more literal byte: a new run after a copy, or the same run grown.
        uint32_t literal = cheap && cheap[k] ? costs.repeated : costs.literal;
        uint32_t fresh = costA[k] == kInfinite ? kInfinite : costA[k] + insertCost(1) + literal;
        uint32_t grown = kInfinite;
        if (costL[k] != kInfinite) {
            uint32_t r = runL[k];
            grown = costL[k] + literal + (insertCost(r + 1) - insertCost(r));
        }
        if (grown <= fresh) {
            costL[k + 1] = grown;
            runL[k + 1] = runL[k] + 1;
            baseL[k + 1] = baseL[k];
            endL[k + 1] = endL[k];
        } else {
            costL[k + 1] = fresh;
            runL[k + 1] = 1;
            baseL[k + 1] = baseA[k];
            endL[k + 1] = endA[k];
        }
    }

    // Walk back from the end along the cheaper state.
    uint32_t k = size;
    int literal = costL[k] < costA[k];
    uint64_t total = std::min(costL[k], costA[k]);
    while (k > 0) {
        if (literal) {
            uint32_t r = runL[k];
            ops->push_back(DeltaOp{k - r, r, 0});
            k -= r;
            literal = 0;
        } else {
            uint32_t s = startA[k];
            ops->push_back(DeltaOp{fromA[k], k - s, 1});
            literal = afterLiteralA[k];
            k = s;
        }
    }
    std::reverse(ops->begin(), ops->end());
    return total;
}

uint64_t ChooseForms(Scratch* w, const DeltaOp* ops, size_t n, uint32_t* base, std::vector<uint8_t>* forms,
                     uint32_t* oldEnd, const DeltaCosts& costs)
{
    // Shortest path over (copy, copyBase) states. A state that costs a SetBase or more above
    // the cheapest can never win, as the cheapest can switch to its base for that, so only a
    // handful of bases stay alive at any time. Where the old file stands does not depend on
    // the forms, so a resumed copy is open to every state and keeps its base.
    typedef FormNode Node;
    typedef FormState State;
    std::vector<Node>& nodes = w->nodes;
    std::vector<State>&states = w->states, &grown = w->grown;
    nodes.clear();
    states.assign(1, State{*base, 0, -1});
    uint32_t end = oldEnd ? *oldEnd : kUnknownEnd;
    for (size_t i = 0; i < n; i++) {
        if (!ops[i].isCopy) continue;
        uint32_t w = WindowOf(ops[i].from), count = ops[i].count;
        uint64_t wider = (uint64_t)costs.wider * LengthExtra(count);
        int resumes = ops[i].from == end;
        end = ops[i].from + count;
        grown.clear();
        auto offer = [&](uint32_t b, uint64_t cost, int32_t parent, uint8_t form) {
            for (State& s : grown)
                if (s.base == b) {
                    if (cost < s.cost) {
                        s.cost = cost;
                        nodes.push_back(Node{parent, form});
                        s.node = (int32_t)nodes.size() - 1;
                    }
                    return;
                }
            nodes.push_back(Node{parent, form});
            grown.push_back(State{b, cost, (int32_t)nodes.size() - 1});
        };
        const State* cheapest = &states[0];
        for (const State& s : states) {
            if (s.cost < cheapest->cost) cheapest = &s;
            if (resumes) offer(s.base, s.cost + costs.resumeCopy + wider, s.node, FormResume);
            if (s.base == w) offer(w, s.cost + costs.nearCopy + wider, s.node, FormNear);
            offer(s.base, s.cost + costs.farCopy + wider, s.node, FormFar);
        }
        offer(w, cheapest->cost + costs.setBase + costs.nearCopy + wider, cheapest->node, FormSetBaseNear);
        uint64_t least = grown[0].cost;
        for (const State& s : grown) least = std::min(least, s.cost);
        states.clear();
        for (const State& s : grown)
            if (s.cost < least + costs.setBase) states.push_back(s);
    }
    const State* best = &states[0];
    for (const State& s : states)
        if (s.cost < best->cost) best = &s;
    *base = best->base;
    if (oldEnd) *oldEnd = end;
    forms->assign(n, FormFar);
    size_t i = n;
    for (int32_t node = best->node; node >= 0; node = nodes[node].parent) {
        do i--;
        while (!ops[i].isCopy);
        (*forms)[i] = nodes[node].form;
    }
    uint64_t bytes = 0;
    for (size_t k = 0; k < n; k++) {
        if (!ops[k].isCopy) continue;
        uint8_t f = (*forms)[k];
        bytes += f == FormNear     ? CopyNearCost(ops[k].count)
            : f == FormSetBaseNear ? kSetBaseCost + CopyNearCost(ops[k].count)
                                   : CopyFarCost(ops[k].count);
    }
    return bytes;
}

// The count operand in the width the opcode's family chooses by its size: 8, 16 or 32 bits.
void PutCount(std::vector<uint8_t>* out, uint32_t count)
{
    if (count <= 0xFF)
        out->push_back((uint8_t)count);
    else if (count <= 0xFFFF)
        AppendLe16(out, count);
    else
        AppendLe32(out, count);
}

uint8_t SizeStep(uint32_t count) { return count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2; }

}   // namespace

void EmitOps(const DeltaOp* ops, size_t n, const std::vector<uint8_t>& forms, const uint8_t* data,
             std::vector<uint8_t>* out)
{
    for (size_t i = 0; i < n; i++) {
        const DeltaOp& op = ops[i];
        if (op.count == 0) continue;
        if (!op.isCopy) {
            out->push_back((uint8_t)(OpInsert8 + SizeStep(op.count)));
            PutCount(out, op.count);
            out->insert(out->end(), data + op.from, data + op.from + op.count);
            continue;
        }
        if (forms[i] == FormFar || forms[i] == FormResume) {
            out->push_back((uint8_t)(OpCopyFar8 + SizeStep(op.count)));
            AppendLe32(out, forms[i] == FormResume ? kResumePosition : op.from);
        } else {
            if (forms[i] == FormSetBaseNear) {
                out->push_back(OpSetBase);
                AppendLe16(out, WindowOf(op.from));
            }
            out->push_back((uint8_t)(OpCopyNear8 + SizeStep(op.count)));
            AppendLe16(out, op.from & 0xFFFF);
        }
        PutCount(out, op.count);
    }
}

namespace {

// The string's key in the repeat set: a hash independent of the one that chooses anchors.
uint32_t Key8(const uint8_t* p)
{
    uint64_t v;
    memcpy(&v, p, 8);
    return (uint32_t)((v * 0xC2B2AE3D27D4EB4Full) >> 32);
}

// Anchors by winnowing: of every kWinnow consecutive positions the one whose string hashes
// lowest (the last of equals), so that equal strings get the same anchors inside and no gap
// between anchors exceeds kWinnow bytes. Denser anchors mark more of a repeated string but
// cost memory in the survey: one in four marked too little of the strings that recur.
const uint32_t kWinnow = 2;

template <typename F>
void ForEachAnchor(const uint8_t* data, uint32_t size, F f)
{
    if (size < 8) return;
    uint32_t n = size - 7;   // positions that start a string
    uint32_t last = kNone;
    uint32_t h[kWinnow];
    for (uint32_t s = 0; s < n; s++) {
        h[s % kWinnow] = Hash8(data + s);
        if (s + 1 < kWinnow && s + 1 < n) continue;
        // The window of positions [t, s].
        uint32_t t = s + 1 >= kWinnow ? s + 1 - kWinnow : 0, pick = t;
        for (uint32_t q = t; q <= s; q++)
            if (h[q % kWinnow] <= h[pick % kWinnow]) pick = q;
        if (pick != last) {
            f(pick);
            last = pick;
        }
    }
}

}   // namespace

void CollectAnchors(const uint8_t* data, uint32_t size, std::vector<uint32_t>* keys)
{
    ForEachAnchor(data, size, [&](uint32_t s) { keys->push_back(Key8(data + s)); });
}

void MakeRepeatSet(std::vector<uint32_t>* keys, RepeatSet* set)
{
    std::sort(keys->begin(), keys->end());
    set->keys.clear();
    for (size_t i = 0; i + 1 < keys->size(); i++)
        if ((*keys)[i] == (*keys)[i + 1] && (set->keys.empty() || set->keys.back() != (*keys)[i]))
            set->keys.push_back((*keys)[i]);
}

void MarkRepeats(const RepeatSet& set, const uint8_t* data, uint32_t size, uint8_t* cheap)
{
    memset(cheap, 0, size);
    if (set.keys.empty()) return;
    uint32_t marked = 0;   // cheap holds ones up to here
    ForEachAnchor(data, size, [&](uint32_t s) {
        if (!std::binary_search(set.keys.begin(), set.keys.end(), Key8(data + s))) return;
        for (uint32_t k = std::max(s, marked); k < s + 8; k++) cheap[k] = 1;
        marked = s + 8;
    });
}

namespace {

// The encoding loop of WriteDeltaScript and SurveyLiterals: script, or anchors when surveying.
int Encode(const OldIndex* index, Stream* newFile, uint32_t newSize, Stream* script, DeltaStats* stats, uint32_t window,
           const RepeatSet* repeats, std::vector<uint32_t>* anchors)
{
    if (window == 0) window = kDefaultWindow;
    *stats = DeltaStats{};
    std::vector<uint8_t> data, out;
    std::vector<DeltaOp> ops;
    std::vector<uint8_t> forms, cheap;
    Scratch w;
    uint32_t base = 0, oldEnd = kUnknownEnd;
    try {
        data.resize(std::min(window, newSize));
        if (repeats) cheap.resize(data.size());
        for (uint32_t done = 0; done < newSize;) {
            uint32_t size = std::min(window, newSize - done);
            if (newFile->Read(data.data(), (int32_t)size) != (int32_t)size) return 0;
            DeltaCosts costs = CostsFor(data.data(), size);
            // The survey takes literals for a little less, so that it sees every string that
            // could come out literal once its repeats are priced.
            if (anchors) costs.literal = std::max<uint32_t>(1, costs.literal * 3 / 4);
            const uint8_t* marks = nullptr;
            if (repeats) {
                MarkRepeats(*repeats, data.data(), size, cheap.data());
                marks = cheap.data();
            }
            FindMatches(index, data.data(), size, &w.matches);
            stats->cost += Parse(&w, size, base, &ops, oldEnd, costs, marks);
            for (uint32_t k = 0; k < size; k++) stats->wholeCost += marks && marks[k] ? costs.repeated : costs.literal;
            ChooseForms(&w, ops.data(), ops.size(), &base, &forms, &oldEnd, costs);
            if (anchors) {
                for (const DeltaOp& op : ops)
                    if (!op.isCopy) CollectAnchors(data.data() + op.from, op.count, anchors);
            }
            out.clear();
            if (!anchors) EmitOps(ops.data(), ops.size(), forms, data.data(), &out);
            for (const DeltaOp& op : ops) {
                if (op.isCopy) {
                    stats->copies++;
                    stats->copiedBytes += op.count;
                } else {
                    stats->inserts++;
                    stats->insertedBytes += op.count;
                }
            }
            if (script) script->Write(out.data(), (uint32_t)out.size());
            stats->scriptBytes += out.size();
            done += size;
        }
    } catch (const std::bad_alloc&) {
        return 0;
    }
    stats->scriptBytes += 1;
    if (!script) return 1;
    script->Put(0);
    return !script->HasError();
}

}   // namespace

int WriteDeltaScript(const OldIndex* index, Stream* newFile, uint32_t newSize, Stream* script, DeltaStats* stats,
                     uint32_t window, const RepeatSet* repeats)
{
    return Encode(index, newFile, newSize, script, stats, window, repeats, nullptr);
}

int SurveyLiterals(const OldIndex* index, Stream* newFile, uint32_t newSize, std::vector<uint32_t>* anchors,
                   DeltaStats* stats)
{
    try {
        return Encode(index, newFile, newSize, nullptr, stats, 0, nullptr, anchors);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int WriteInsertScript(Stream* newFile, uint32_t newSize, Stream* script, DeltaStats* stats)
{
    *stats = DeltaStats{};
    if (newSize) {
        std::vector<uint8_t> head;
        head.push_back((uint8_t)(OpInsert8 + SizeStep(newSize)));
        PutCount(&head, newSize);
        script->Write(head.data(), (uint32_t)head.size());
        stats->inserts = 1;
        stats->insertedBytes = newSize;
        if (CopyBytes(script, newFile, newSize) != newSize) return 0;
    }
    script->Put(0);
    stats->scriptBytes = WholeInsertScriptSize(newSize);
    return !script->HasError();
}
