// Bench tool: rewrites a package so that the compressed size of what its copies' positions
// cost can be measured. Not part of upg; bench/run.sh builds it with the system compiler.
//
//   bound PACKAGE OUT
// writes OUT.free: the package with every position operand made the same (SetBase dropped,
// near offsets 0xFFFF, far positions 0xFFFFFFFF), the size a package would have if stating
// where a copy reads cost nothing; and OUT.lit, OUT.ops, OUT.pos: the literal bytes, the
// opcodes with their counts, and the position operands, each on its own, to be compressed
// apart: what the package would cost if the compressor saw them as separate streams.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

bool ReadAll(const char* path, Bytes* out)
{
    FILE* f = fopen(path, "rb");
    if (!f) return false;
    uint8_t block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) out->insert(out->end(), block, block + n);
    fclose(f);
    return true;
}

bool WriteAll(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

uint32_t Le(const Bytes& b, size_t at, int width)
{
    uint32_t v = 0;
    for (int i = 0; i < width; i++) v |= (uint32_t)(at + i < b.size() ? b[at + i] : 0) << (8 * i);
    return v;
}

// Bytes of a count operand by opcode family member: 8, 16 or 32 bits.
int CountWidth(int step) { return step == 0 ? 1 : step == 1 ? 2 : 4; }

}   // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: bound PACKAGE OUT\n");
        return 2;
    }
    Bytes pkg;
    if (!ReadAll(argv[1], &pkg) || pkg.size() < 11) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    // Header, title, notes, then the entry records.
    int16_t entries = (int16_t)Le(pkg, 9, 2);
    size_t at = 11;
    auto skipString = [&]() {
        while (at < pkg.size() && pkg[at] != 0) at++;
        at++;
    };
    skipString();
    skipString();
    std::vector<int> kinds;
    for (int i = 0; i < entries; i++) {
        int kind = at < pkg.size() ? pkg[at] & 3 : 0;
        at++;
        skipString();
        skipString();
        if (kind != 0) at += 10;
        if (kind != 2) at += 10;
        kinds.push_back(kind);
    }
    if (at > pkg.size()) {
        fprintf(stderr, "%s: the entry table runs past the end\n", argv[1]);
        return 1;
    }
    // The header and entry table go with the instructions: the builder's choices do not reach them.
    Bytes freed(pkg.begin(), pkg.begin() + (long)at), ops(freed), lit, pos;
    for (int kind : kinds) {
        if (kind == 2) continue;
        for (;;) {
            if (at >= pkg.size()) {
                fprintf(stderr, "%s: a script runs past the end\n", argv[1]);
                return 1;
            }
            uint8_t op = pkg[at++];
            if (op == 0) {
                freed.push_back(0);
                ops.push_back(0);
                break;
            }
            if (op >= 1 && op <= 3) {
                int w = CountWidth(op - 1);
                uint32_t count = Le(pkg, at, w);
                size_t end = at + w + count;
                if (end > pkg.size()) end = pkg.size();
                freed.insert(freed.end(), pkg.begin() + (long)at - 1, pkg.begin() + (long)end);
                ops.insert(ops.end(), pkg.begin() + (long)at - 1, pkg.begin() + (long)at + w);
                lit.insert(lit.end(), pkg.begin() + (long)at + w, pkg.begin() + (long)end);
                at = end;
            } else if (op == 4) {
                ops.push_back(op);
                pos.insert(pos.end(), pkg.begin() + (long)at, pkg.begin() + (long)at + 2);
                at += 2;
            } else if (op >= 5 && op <= 10) {
                int pw = op <= 7 ? 2 : 4, w = CountWidth(op <= 7 ? op - 5 : op - 8);
                freed.push_back(op);
                for (int i = 0; i < pw; i++) freed.push_back(0xFF);
                freed.insert(freed.end(), pkg.begin() + (long)at + pw, pkg.begin() + (long)at + pw + w);
                ops.push_back(op);
                ops.insert(ops.end(), pkg.begin() + (long)at + pw, pkg.begin() + (long)at + pw + w);
                pos.insert(pos.end(), pkg.begin() + (long)at, pkg.begin() + (long)at + pw);
                at += pw + w;
            } else {
                freed.push_back(op);
                ops.push_back(op);
            }
        }
    }
    std::string out = argv[2];
    if (!WriteAll(out + ".free", freed) || !WriteAll(out + ".lit", lit) || !WriteAll(out + ".ops", ops) ||
        !WriteAll(out + ".pos", pos)) {
        fprintf(stderr, "cannot write %s.*\n", argv[2]);
        return 1;
    }
    return 0;
}
