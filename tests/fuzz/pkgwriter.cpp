// Test-only package writer: byte images of packages and scripts, with an independent checksum.
#include "pkgwriter.h"
#include <string.h>
#include <unordered_map>

uint16_t PkgChecksum(const PkgBytes& data)
{
    // Per 512-byte block from the start of the file, parity counted from the block's end.
    uint16_t sum = 0;
    for (size_t block = 0; block < data.size(); block += 512) {
        size_t n = data.size() - block < 512 ? data.size() - block : 512;
        for (size_t i = 0; i < n; i++) {
            uint16_t b = data[block + i];
            sum ^= ((n - i) & 1) ? b : (uint16_t)(b << 8);
        }
    }
    return sum;
}

PkgPrint PrintOf(const PkgBytes& data, uint32_t dateTime)
{
    PkgPrint p;
    p.dateTime = dateTime;
    p.size = (uint32_t)data.size();
    p.checksum = PkgChecksum(data);
    return p;
}

void ScriptWriter::U16(uint32_t v)
{
    bytes.push_back((uint8_t)v);
    bytes.push_back((uint8_t)(v >> 8));
}

void ScriptWriter::U32(uint32_t v)
{
    U16(v & 0xFFFF);
    U16(v >> 16);
}

// The count operand in the width WidthOp chose for the opcode.
void ScriptWriter::Count(uint32_t count, PkgWidth width)
{
    if (width == WidthFit && count <= 0xFF) {
        bytes.push_back((uint8_t)count);
    } else if (width != Width32 && count <= 0xFFFF) {
        U16(count);
    } else {
        U32(count);
    }
}

static uint8_t WidthOp(uint8_t op8, uint32_t count, PkgWidth width)
{
    if (width == WidthFit && count <= 0xFF) return op8;
    if (width != Width32 && count <= 0xFFFF) return (uint8_t)(op8 + 1);
    return (uint8_t)(op8 + 2);
}

void ScriptWriter::Insert(const PkgBytes& literal, PkgWidth width)
{
    uint32_t n = (uint32_t)literal.size();
    starts.push_back(bytes.size());
    bytes.push_back(WidthOp(1, n, width));
    Count(n, width);
    bytes.insert(bytes.end(), literal.begin(), literal.end());
}

void ScriptWriter::InsertRaw(uint8_t op, uint32_t count, const PkgBytes& literal)
{
    starts.push_back(bytes.size());
    bytes.push_back(op);
    if (op == 1) bytes.push_back((uint8_t)count);
    else if (op == 2) U16(count);
    else U32(count);
    bytes.insert(bytes.end(), literal.begin(), literal.end());
}

void ScriptWriter::SetBase(uint16_t high)
{
    starts.push_back(bytes.size());
    bytes.push_back(4);
    U16(high);
}

void ScriptWriter::CopyNear(uint16_t offset, uint32_t count, PkgWidth width)
{
    starts.push_back(bytes.size());
    bytes.push_back(WidthOp(5, count, width));
    U16(offset);
    Count(count, width);
}

void ScriptWriter::CopyFar(uint32_t position, uint32_t count, PkgWidth width)
{
    starts.push_back(bytes.size());
    bytes.push_back(WidthOp(8, count, width));
    U32(position);
    Count(count, width);
}

void ScriptWriter::Op(uint8_t op)
{
    starts.push_back(bytes.size());
    bytes.push_back(op);
}

void ScriptWriter::Raw(const PkgBytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }

void ScriptWriter::End()
{
    starts.push_back(bytes.size());
    bytes.push_back(0);
}

namespace {

const size_t kWindow = 16;

uint64_t WindowHash(const uint8_t* p)
{
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < kWindow; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

struct Emitter {
    ScriptWriter w;
    DiffStyle style;
    int32_t base = -1;   // unknown: every script starts at 0, but say so explicitly once
    int emitted = 0;

    void Separator()
    {
        if (style.noops && emitted++) w.Op((uint8_t)(11 + (emitted * 37) % 245));
    }
    void Literal(const uint8_t* p, size_t n)
    {
        while (n) {
            size_t take = style.maxRun && n > style.maxRun ? style.maxRun : n;
            Separator();
            w.Insert(PkgBytes(p, p + take), style.width);
            p += take;
            n -= take;
        }
    }
    void Copy(uint32_t position, uint32_t n)
    {
        while (n) {
            uint32_t take = style.maxRun && n > style.maxRun ? style.maxRun : n;
            Separator();
            if (style.nearCopies) {
                int32_t high = (int32_t)(position >> 16);
                if (high != base) {
                    w.SetBase((uint16_t)high);
                    base = high;
                }
                w.CopyNear((uint16_t)(position & 0xFFFF), take, style.width);
            } else {
                w.CopyFar(position, take, style.width);
            }
            position += take;
            n -= take;
        }
    }
};

}  // namespace

PkgBytes DiffScript(const PkgBytes& older, const PkgBytes& newer, const DiffStyle& style)
{
    std::unordered_map<uint64_t, uint32_t> index;
    if (older.size() >= kWindow)
        for (size_t i = 0; i + kWindow <= older.size(); i++) index.emplace(WindowHash(&older[i]), (uint32_t)i);

    Emitter e;
    e.style = style;
    size_t literalStart = 0, i = 0;
    while (i < newer.size()) {
        if (i + kWindow <= newer.size()) {
            auto hit = index.find(WindowHash(&newer[i]));
            if (hit != index.end() && memcmp(&older[hit->second], &newer[i], kWindow) == 0) {
                size_t from = hit->second, n = kWindow;
                while (i + n < newer.size() && from + n < older.size() && older[from + n] == newer[i + n]) n++;
                e.Literal(newer.data() + literalStart, i - literalStart);
                e.Copy((uint32_t)from, (uint32_t)n);
                i += n;
                literalStart = i;
                continue;
            }
        }
        i++;
    }
    e.Literal(newer.data() + literalStart, newer.size() - literalStart);
    e.w.End();
    return e.w.bytes;
}

namespace {

void Put16(PkgBytes& b, uint32_t v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}

void PutPrint(PkgBytes& b, const PkgPrint& p)
{
    Put16(b, p.dateTime & 0xFFFF);
    Put16(b, p.dateTime >> 16);
    Put16(b, p.size & 0xFFFF);
    Put16(b, p.size >> 16);
    Put16(b, p.checksum);
}

void PutString(PkgBytes& b, const std::string& s)
{
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
}

// Instruction starts of a well-formed script, found by decoding it.
void DecodeStarts(const PkgBytes& s, size_t base, std::vector<size_t>* out)
{
    size_t i = 0;
    while (i < s.size()) {
        out->push_back(base + i);
        uint8_t op = s[i++];
        if (op == 0) return;
        auto u16 = [&]() { uint32_t v = i + 1 < s.size() ? (uint32_t)(s[i] | s[i + 1] << 8) : 0; i += 2; return v; };
        auto u32 = [&]() { uint32_t lo = u16(); return lo | u16() << 16; };
        switch (op) {
        case 1: i += 1 + (i < s.size() ? s[i] : 0); break;
        case 2: { uint32_t n = u16(); i += n; break; }
        case 3: { uint32_t n = u32(); i += n; break; }
        case 4: i += 2; break;
        case 5: i += 3; break;
        case 6: i += 4; break;
        case 7: i += 6; break;
        case 8: i += 5; break;
        case 9: i += 6; break;
        case 10: i += 8; break;
        default: break;
        }
    }
}

}  // namespace

PkgBytes WritePackage(const PkgPlan& plan, PkgLayout* layout)
{
    const uint8_t magic[8] = {'[', 'Q', 'Z', 'U', 'P', 'D', ']', 0};
    PkgBytes b(magic, magic + 8);
    b.push_back(plan.version);
    int16_t count = plan.useCount ? plan.count : (int16_t)plan.entries.size();
    Put16(b, (uint16_t)count);
    PutString(b, plan.title);
    PutString(b, plan.notes);
    PkgLayout l;
    l.tableStart = b.size();
    for (const PkgEntry& e : plan.entries) {
        l.entryStarts.push_back(b.size());
        b.push_back(e.flags);
        PutString(b, e.name);
        PutString(b, e.description);
        int kind = e.flags & 3;
        if (kind == PkgPatch || kind == PkgDelete) PutPrint(b, e.oldPrint);
        if (kind == PkgAdd || kind == PkgPatch) PutPrint(b, e.newPrint);
    }
    l.scriptsStart = b.size();
    for (const PkgEntry& e : plan.entries) {
        if ((e.flags & 3) == PkgDelete) continue;
        l.scriptStarts.push_back(b.size());
        DecodeStarts(e.script, b.size(), &l.instructionStarts);
        b.insert(b.end(), e.script.begin(), e.script.end());
    }
    if (layout) *layout = l;
    return b;
}

PkgEntry AddEntry(const std::string& name, const PkgBytes& newer, int soft, int hard, const DiffStyle& style)
{
    PkgEntry e;
    e.flags = PkgFlags(PkgAdd, soft, hard);
    e.name = name;
    e.description = "new " + name;
    e.newPrint = PrintOf(newer);
    e.script = DiffScript(PkgBytes(), newer, style);
    return e;
}

PkgEntry PatchEntry(const std::string& name, const PkgBytes& older, const PkgBytes& newer, int soft, int hard,
                    const DiffStyle& style)
{
    PkgEntry e;
    e.flags = PkgFlags(PkgPatch, soft, hard);
    e.name = name;
    e.description = "update of " + name;
    e.oldPrint = PrintOf(older);
    e.newPrint = PrintOf(newer);
    e.script = DiffScript(older, newer, style);
    return e;
}

PkgEntry DeleteEntry(const std::string& name, const PkgBytes& older, int soft, int hard)
{
    PkgEntry e;
    e.flags = PkgFlags(PkgDelete, soft, hard);
    e.name = name;
    e.oldPrint = PrintOf(older);
    return e;
}

PkgBytes PseudoRandomBytes(uint32_t seed, size_t n)
{
    PkgBytes b(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b[i] = (uint8_t)(x >> 8);
    }
    return b;
}
