// Walks a patch script by its opcodes alone, so a package can be judged without an old file.
#include "scriptscan.h"
#include "script.h"
#include "stream.h"

namespace {

// Skips n bytes of the package; 0 when it ends first. The comparison is made against what is
// left, so a count near 4 GiB cannot wrap the position.
int Skip(Stream* s, uint32_t n)
{
    uint32_t at = s->Tell();
    uint32_t size = s->Size();
    if (at > size || n > size - at) {
        s->Seek(size);
        s->SetError();
        return 0;
    }
    return s->Seek(at + n);
}

}   // namespace

ScriptFigures ScanScript(Stream* s)
{
    ScriptFigures f;
    for (;;) {
        uint8_t op = s->Get();
        if (s->HasError()) return f;
        if (op == OpEnd) {
            f.ended = 1;
            return f;
        }
        f.instructions++;
        ScriptInstruction in = ReadOperands(s, op);
        if (in.IsCopy()) f.copied += in.count;
        if (in.IsInsert()) {
            f.literal += in.count;
            if (!Skip(s, in.count)) {
                f.cutInside = 1;
                return f;
            }
        }
        if (in.cut || s->HasError()) {
            f.cutInside = 1;
            return f;
        }
    }
}
