// The fault-injecting platform table: native calls, except the ones a test plan makes fail.
#include "faultos.h"
#include <map>
#include "os.h"

namespace {

FaultPlan plan;
FaultLog seen;
OsLayer table;
std::map<OsHandle, std::string> openPaths;
std::map<OsHandle, uint64_t> bytesPut;

const OsLayer& Native() { return NativeOs(); }

// Counts the call and says whether the plan wants it to fail.
bool Fails(FaultKind kind)
{
    uint64_t n = ++seen.calls[kind];
    if (plan.failAt[kind] != 0 && n == plan.failAt[kind]) {
        seen.injected++;
        return true;
    }
    return false;
}

bool Locked(const char* path) { return !plan.lockedPath.empty() && path && plan.lockedPath == path; }

bool DiskFull() { return plan.diskFullFrom != 0 && seen.calls[FaultWrite] >= plan.diskFullFrom; }

void Changed(const char* path) { seen.changed.push_back(path ? path : ""); }

OsHandle Open(const char* path, unsigned flags)
{
    bool fail = Fails(FaultOpen);
    if (Locked(path)) {
        seen.injected++;
        return kNoHandle;
    }
    if (fail) return kNoHandle;
    if (flags & 2) Changed(path);
    OsHandle h = Native().open(path, flags);
    if (h != kNoHandle) {
        openPaths[h] = path ? path : "";
        bytesPut[h] = 0;
    }
    return h;
}

void Close(OsHandle h)
{
    openPaths.erase(h);
    bytesPut.erase(h);
    Native().close(h);
}

int Read(OsHandle h, void* buffer, uint32_t n, uint32_t* got)
{
    if (Fails(FaultRead)) {
        if (got) *got = 0;
        return 0;
    }
    return Native().read(h, buffer, n, got);
}

int Write(OsHandle h, const void* buffer, uint32_t n, uint32_t* put)
{
    bool fail = Fails(FaultWrite);
    uint32_t want = n;
    if (DiskFull()) {
        seen.injected++;
        // The write that meets the full disk still gets part of its bytes out.
        want = seen.calls[FaultWrite] == plan.diskFullFrom ? n / 2 : 0;
        fail = true;
    } else if (fail) {
        want = 0;
    }
    uint32_t done = 0;
    int ok = want ? Native().write(h, buffer, want, &done) : 1;
    if (put) *put = done;
    uint64_t& total = bytesPut[h];
    total += done;
    if (total > seen.largestWrite) seen.largestWrite = total;
    return fail ? 0 : ok;
}

int Seek(OsHandle h, uint32_t position, uint32_t* now)
{
    if (Fails(FaultSeek)) return 0;
    return Native().seek(h, position, now);
}

int SetTimes(OsHandle h, OsFileTime utc)
{
    if (Fails(FaultSetTimes)) return 0;
    auto it = openPaths.find(h);
    Changed(it == openPaths.end() ? "?" : it->second.c_str());
    return Native().setTimes(h, utc);
}

int MakeFolder(const char* path)
{
    if (Fails(FaultMakeFolder)) return 0;
    if (DiskFull()) {
        seen.injected++;
        return 0;
    }
    Changed(path);
    return Native().makeFolder(path);
}

int RemoveFolder(const char* path)
{
    if (Fails(FaultRemoveFolder)) return 0;
    Changed(path);
    return Native().removeFolder(path);
}

int RemoveFile(const char* path)
{
    bool fail = Fails(FaultRemoveFile);
    if (Locked(path)) {
        seen.injected++;
        return 0;
    }
    if (fail) return 0;
    Changed(path);
    return Native().removeFile(path);
}

int MoveReplace(const char* from, const char* to)
{
    bool fail = Fails(FaultMove);
    if (Locked(from) || Locked(to)) {
        seen.injected++;
        return 0;
    }
    if (fail) return 0;
    Changed(from);
    Changed(to);
    return Native().moveReplace(from, to);
}

}  // namespace

const char* FaultKindName(int kind)
{
    static const char* const names[FaultKinds] = {"open",        "read",      "write",
                                                  "seek",        "set times", "delete",
                                                  "move",        "make folder", "remove folder"};
    return kind >= 0 && kind < FaultKinds ? names[kind] : "?";
}

void FaultInstall(const FaultPlan& p)
{
    plan = p;
    seen = FaultLog();
    openPaths.clear();
    bytesPut.clear();
    table = NativeOs();
    table.open = Open;
    table.close = Close;
    table.read = Read;
    table.write = Write;
    table.seek = Seek;
    table.setTimes = SetTimes;
    table.makeFolder = MakeFolder;
    table.removeFolder = RemoveFolder;
    table.removeFile = RemoveFile;
    table.moveReplace = MoveReplace;
    SetOs(&table);
}

void FaultRemove() { SetOs(nullptr); }

const FaultLog& FaultSeen() { return seen; }
