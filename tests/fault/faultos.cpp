// The fault-injecting platform table: native calls, except the ones a test plan makes fail.
#include "faultos.h"
#include <stdio.h>
#include <map>
#include "os.h"

namespace {

FaultPlan plan;
FaultLog seen;
OsLayer table;
std::map<OsHandle, std::string> openPaths;
std::map<OsHandle, uint64_t> bytesPut;
// Why the wrapper's own last failure failed; -1 when the last failure was the native table's.
int failure = -1;
uint32_t pausedTicks = 0;

const OsLayer& Native() { return NativeOs(); }

// Counts the call and says whether the plan wants it to fail.
bool Fails(FaultKind kind)
{
    uint64_t n = ++seen.calls[kind];
    if (plan.failAt[kind] != 0 && n == plan.failAt[kind]) {
        seen.injected++;
        failure = kFailOther;
        return true;
    }
    return false;
}

// A failure made here, and why; always 0, as the failing call returns.
int Injected(int why)
{
    seen.injected++;
    failure = why;
    return 0;
}

bool Locked(const char* path) { return !plan.lockedPath.empty() && path && plan.lockedPath == path; }

bool DiskFull() { return plan.diskFullFrom != 0 && seen.calls[FaultWrite] >= plan.diskFullFrom; }

void Changed(const char* path) { seen.changed.push_back(path ? path : ""); }

// Counts a changing call; true when the run counts as killed by now and the call must fail.
bool Frozen()
{
    ++seen.changes;
    if (plan.freezeFrom == 0 || seen.changes < plan.freezeFrom) return false;
    seen.injected++;
    failure = kFailOther;
    return true;
}

OsHandle Open(const char* path, unsigned flags)
{
    bool fail = Fails(FaultOpen);
    if ((flags & 2) && Frozen()) return kNoHandle;
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
    if (Frozen()) {
        if (put) *put = 0;
        return 0;
    }
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
    if (Fails(FaultSetTimes) || Frozen()) return 0;
    auto it = openPaths.find(h);
    Changed(it == openPaths.end() ? "?" : it->second.c_str());
    return Native().setTimes(h, utc);
}

int MakeFolder(const char* path)
{
    if (Fails(FaultMakeFolder) || Frozen()) return 0;
    if (DiskFull()) {
        seen.injected++;
        return 0;
    }
    Changed(path);
    return Native().makeFolder(path);
}

int RemoveFolder(const char* path)
{
    if (Fails(FaultRemoveFolder) || Frozen()) return 0;
    Changed(path);
    return Native().removeFolder(path);
}

int RemoveFile(const char* path)
{
    bool fail = Fails(FaultRemoveFile);
    if (Frozen()) return 0;
    if (Locked(path) || (!plan.undeletablePath.empty() && path && plan.undeletablePath == path))
        return Injected(kFailBusy);
    if (fail) return 0;
    Changed(path);
    failure = -1;
    return Native().removeFile(path);
}

int MoveReplace(const char* from, const char* to)
{
    bool fail = Fails(FaultMove);
    if (Frozen()) return 0;
    if (Locked(from) || Locked(to)) return Injected(kFailBusy);
    if (fail) return 0;
    uint64_t n = seen.calls[FaultMove];
    if (plan.busyMoves && n >= plan.busyMoveFrom && n < plan.busyMoveFrom + plan.busyMoves) return Injected(kFailBusy);
    Changed(from);
    Changed(to);
    failure = -1;
    int moved = Native().moveReplace(from, to);
    // The program that keeps the file from being deleted holds it under its new name too.
    if (moved && !plan.undeletablePath.empty() && plan.undeletablePath == from) plan.undeletablePath = to;
    return moved;
}

int LastFailure() { return failure >= 0 ? failure : Native().lastFailure(); }

uint32_t Ticks() { return Native().ticks() + pausedTicks; }

void Pause(uint32_t ms)
{
    pausedTicks += ms;
    seen.pausedMs += ms;
}

int ProbeFile(const char* path, char* holder, size_t capacity)
{
    seen.probes++;
    if (!plan.inUsePath.empty() && path && plan.inUsePath == path && plan.inUseProbes > 0) {
        plan.inUseProbes--;
        if (holder && capacity) snprintf(holder, capacity, "%s", plan.inUseHolder.c_str());
        return kFileInUse;
    }
    return Native().probeFile(path, holder, capacity);
}

// Never mapped: reads of a view pass no call this layer could make fail, so the streams read
// every file through the calls above.
int MapFile(OsHandle, uint64_t, const void**) { return 0; }

int FolderWritable(const char* path) { return plan.foldersWritable ? Native().folderWritable(path) : 0; }

int FlushFile(OsHandle h)
{
    if (Fails(FaultFlush) || Frozen()) return 0;
    return Native().flushFile(h);
}

int FlushFolder(const char* path)
{
    if (Fails(FaultFlush) || Frozen()) return 0;
    return Native().flushFolder(path);
}

int FlushVolume(const char* path)
{
    if (Fails(FaultFlush) || Frozen()) return 0;
    return Native().flushVolume(path);
}

}   // namespace

const char* FaultKindName(int kind)
{
    static const char* const names[FaultKinds] = {"open",   "read", "write",       "seek",          "set times",
                                                  "delete", "move", "make folder", "remove folder", "flush"};
    return kind >= 0 && kind < FaultKinds ? names[kind] : "?";
}

void FaultInstall(const FaultPlan& p)
{
    plan = p;
    seen = FaultLog();
    failure = -1;
    pausedTicks = 0;
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
    table.flushFile = FlushFile;
    table.flushFolder = FlushFolder;
    table.flushVolume = FlushVolume;
    table.lastFailure = LastFailure;
    table.ticks = Ticks;
    table.pause = Pause;
    table.probeFile = ProbeFile;
    table.folderWritable = FolderWritable;
    table.mapFile = MapFile;
    SetOs(&table);
}

void FaultRemove() { SetOs(nullptr); }

const FaultLog& FaultSeen() { return seen; }
