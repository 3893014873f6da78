// Walks a patch script by its opcodes alone, so a package can be judged without an old file.
#include "scriptscan.h"
#include "script.h"
#include "stream.h"

namespace {

// Skips n bytes of the package; 0 when it ends first. The comparison is made against what is
// left, so a count near 4 GiB cannot wrap the position.
int Skip(TQLXStream* s, uint32_t n)
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

}  // namespace

ScriptFigures ScanScript(TQLXStream* s)
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
        uint32_t count = 0;
        switch (op) {
        case OpInsert8: count = s->Get(); break;
        case OpInsert16: count = s->ReadU16(); break;
        case OpInsert32: count = s->ReadU32(); break;
        case OpSetBase: s->ReadU16(); break;
        case OpCopyNear8: s->ReadU16(); f.copied += s->Get(); break;
        case OpCopyNear16: s->ReadU16(); f.copied += s->ReadU16(); break;
        case OpCopyNear32: s->ReadU16(); f.copied += s->ReadU32(); break;
        case OpCopyFar8: s->ReadU32(); f.copied += s->Get(); break;
        case OpCopyFar16: s->ReadU32(); f.copied += s->ReadU16(); break;
        case OpCopyFar32: s->ReadU32(); f.copied += s->ReadU32(); break;
        default: break;
        }
        if (op >= OpInsert8 && op <= OpInsert32) {
            f.literal += count;
            if (!Skip(s, count)) return f;
        }
        if (s->HasError()) return f;
    }
}
