// The test package writer: byte images of packages and scripts, with an independent checksum.
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

void PutLe(PkgBytes* b, uint32_t v, int bytes)
{
    for (int i = 0; i < bytes; i++) b->push_back((uint8_t)(v >> (8 * i)));
}

Image& Image::Header(uint8_t version, int16_t count)
{
    const uint8_t magic[8] = {'[', 'Q', 'Z', 'U', 'P', 'D', ']', 0};
    b.insert(b.end(), magic, magic + 8);
    return U8(version).U16((uint16_t)count);
}

Image& Image::Entry(uint8_t flags, const std::string& name, uint32_t newSize)
{
    U8(flags).Str(name).Str("desc");
    int kind = flags & 3;
    if (kind == PkgPatch || kind == PkgDelete) Print(0x206F73CD, 7, 0x1234);
    if (kind == PkgAdd || kind == PkgPatch) Print(0x206F73CD, newSize, 0x4321);
    return *this;
}

void ScriptWriter::U16(uint32_t v) { PutLe(&bytes, v, 2); }

void ScriptWriter::U32(uint32_t v) { PutLe(&bytes, v, 4); }

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
    if (op == 1)
        bytes.push_back((uint8_t)count);
    else if (op == 2)
        U16(count);
    else
        U32(count);
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

}   // namespace

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

// Instruction starts of a script, found by decoding it; an operand that runs past the end
// ends the walk.
void DecodeStarts(const PkgBytes& s, size_t base, std::vector<size_t>* out)
{
    // Operand bytes after the opcode, and the width of a literal count, per opcode 1..10.
    static const uint8_t kOperands[11] = {0, 1, 2, 4, 2, 3, 4, 6, 5, 6, 8};
    size_t i = 0;
    while (i < s.size()) {
        out->push_back(base + i);
        uint8_t op = s[i++];
        if (op == 0) return;
        if (op > 10) continue;
        size_t n = kOperands[op];
        if (n > s.size() - i) return;
        size_t literal = 0;
        if (op <= 3)
            for (size_t k = 0; k < n; k++) literal |= (size_t)s[i + k] << (8 * k);
        i += n;
        if (literal > s.size() - i) return;
        i += literal;
    }
}

}   // namespace

PkgBytes WritePackage(const PkgPlan& plan, PkgLayout* layout)
{
    Image b;
    b.Header(plan.version, plan.useCount ? plan.count : (int16_t)plan.entries.size());
    b.Str(plan.title).Str(plan.notes);
    PkgLayout l;
    l.tableStart = b.b.size();
    for (const PkgEntry& e : plan.entries) {
        l.entryStarts.push_back(b.b.size());
        b.U8(e.flags).Str(e.name).Str(e.description);
        int kind = e.flags & 3;
        if (kind == PkgPatch || kind == PkgDelete) b.Print(e.oldPrint);
        if (kind == PkgAdd || kind == PkgPatch) b.Print(e.newPrint);
    }
    l.scriptsStart = b.b.size();
    for (const PkgEntry& e : plan.entries) {
        if ((e.flags & 3) == PkgDelete) continue;
        l.scriptStarts.push_back(b.b.size());
        DecodeStarts(e.script, b.b.size(), &l.instructionStarts);
        b.Raw(e.script);
    }
    if (layout) *layout = l;
    return b.b;
}

PkgEntry NamedEntry(int kind, int soft, int hard, const std::string& name, const std::string& description)
{
    PkgEntry e;
    e.flags = PkgFlags(kind, soft, hard);
    e.name = name;
    e.description = description;
    return e;
}

PkgEntry AddEntry(const std::string& name, const PkgBytes& newer, int soft, int hard, const DiffStyle& style)
{
    PkgEntry e = NamedEntry(PkgAdd, soft, hard, name, "new " + name);
    e.newPrint = PrintOf(newer);
    e.script = DiffScript(PkgBytes(), newer, style);
    return e;
}

PkgEntry PatchEntry(const std::string& name, const PkgBytes& older, const PkgBytes& newer, int soft, int hard,
                    const DiffStyle& style)
{
    PkgEntry e = NamedEntry(PkgPatch, soft, hard, name, "update of " + name);
    e.oldPrint = PrintOf(older);
    e.newPrint = PrintOf(newer);
    e.script = DiffScript(older, newer, style);
    return e;
}

PkgEntry DeleteEntry(const std::string& name, const PkgBytes& older, int soft, int hard)
{
    PkgEntry e = NamedEntry(PkgDelete, soft, hard, name, "");
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
