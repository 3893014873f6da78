// The crash-state explorer: every disk state a crash could leave during an apply, rerun twice.
//
// One apply of a small release pair runs under a table that records every change through the
// platform seam. From the record, an in-memory model of the disk (names, folders, file
// contents, what has been made durable) yields the states a crash could leave under three
// models: (1) the calls up to any point, as a kill leaves them; (2) the folder and name changes
// kept in order, with file data not yet flushed lost, cut or zero-filled; (3) any subset of the
// folder changes that no flush of their folders has made durable yet, as file systems that
// write folders out of order leave them. The recovery run that the first rerun makes from each
// journal a kill left is recorded too, and every prefix of it taken. Each state is written to
// the disk and the apply run on it twice: after the first run the installation is exactly the
// old release or the new one, after the second exactly the new one, and nothing else is left.
// UPG_CRASH_PAIR=large takes the fifty-file pair instead (subsets then sampled). Beside it, a
// package that moves the installation to a new publisher key, killed at every change.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <tuple>
#include <vector>
#include "apply.h"
#include "build.h"
#include "commit.h"
#include "crypto.h"
#include "faultos.h"
#include "keyfile.h"
#include "os.h"
#include "sandbox.h"
#include "uitext.h"

namespace {

namespace fs = std::filesystem;

// One change through the seam, its paths relative to the target ('/' separators, "" the target).
struct Op {
    enum Kind { Create, Open, Write, Times, MakeDir, RemoveDir, Remove, Move, SyncFile, SyncDir } kind;
    std::string path, to;
    int handle = -1;      // Create, Open, Write, Times, SyncFile: which open it goes through
    bool fresh = false;   // Create: a new name, not a file cut to nothing
    uint32_t offset = 0;
    PkgBytes bytes;
    OsFileTime time = 0;
    // A change of names in folders: durable once each of its folders has been flushed after it.
    bool FolderChange() const
    {
        return (kind == Create && fresh) || kind == MakeDir || kind == RemoveDir || kind == Remove || kind == Move;
    }
};

std::string Parent(const std::string& rel)
{
    size_t cut = rel.rfind('/');
    return cut == std::string::npos ? "" : rel.substr(0, cut);
}

// The recording table: native calls; every successful change inside the target is recorded.
struct Recorder {
    std::string target;   // without its trailing '/'
    std::vector<Op> ops;
    std::map<OsHandle, int> handles;
    int nextHandle = 0;
    int outside = 0;   // changes outside the target: there must be none
    OsLayer table;

    bool Rel(const char* path, std::string* rel)
    {
        std::string p = path ? path : "";
        for (char& c : p)
            if (c == '\\') c = '/';
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        if (p == target) {
            *rel = "";
            return true;
        }
        if (p.compare(0, target.size() + 1, target + "/") != 0) return false;
        *rel = p.substr(target.size() + 1);
        return true;
    }
    Op* Add(Op::Kind kind, const char* path)
    {
        std::string rel;
        if (!Rel(path, &rel)) {
            outside++;
            return nullptr;
        }
        ops.push_back(Op());
        ops.back().kind = kind;
        ops.back().path = rel;
        return &ops.back();
    }
    int HandleOf(OsHandle h)
    {
        auto it = handles.find(h);
        return it == handles.end() ? -1 : it->second;
    }
};

Recorder* recorder = nullptr;

OsHandle RecOpen(const char* path, unsigned flags)
{
    bool existed = NativeOs().attributes(path) != kAttrInvalid;
    OsHandle h = NativeOs().open(path, flags);
    if (h == kNoHandle || !(flags & WriteAccess)) return h;
    Op* op = recorder->Add(flags & ReadAccess ? Op::Open : Op::Create, path);
    if (!op) return h;
    op->handle = recorder->nextHandle++;
    op->fresh = !existed;
    recorder->handles[h] = op->handle;
    return h;
}

void RecClose(OsHandle h)
{
    recorder->handles.erase(h);
    NativeOs().close(h);
}

int RecWrite(OsHandle h, const void* buffer, uint32_t n, uint32_t* put)
{
    uint32_t at = NativeOs().tell(h);
    uint32_t done = 0;
    int ok = NativeOs().write(h, buffer, n, &done);
    if (put) *put = done;
    int id = recorder->HandleOf(h);
    if (id >= 0 && done) {
        Op op;
        op.kind = Op::Write;
        op.handle = id;
        op.offset = at;
        op.bytes.assign((const uint8_t*)buffer, (const uint8_t*)buffer + done);
        recorder->ops.push_back(op);
    }
    return ok;
}

int RecSetTimes(OsHandle h, OsFileTime utc)
{
    int ok = NativeOs().setTimes(h, utc);
    int id = recorder->HandleOf(h);
    if (ok && id >= 0) {
        Op op;
        op.kind = Op::Times;
        op.handle = id;
        op.time = utc;
        recorder->ops.push_back(op);
    }
    return ok;
}

int RecMakeFolder(const char* path)
{
    int ok = NativeOs().makeFolder(path);
    if (ok) recorder->Add(Op::MakeDir, path);
    return ok;
}

int RecRemoveFolder(const char* path)
{
    int ok = NativeOs().removeFolder(path);
    if (ok) recorder->Add(Op::RemoveDir, path);
    return ok;
}

int RecRemoveFile(const char* path)
{
    int ok = NativeOs().removeFile(path);
    if (ok) recorder->Add(Op::Remove, path);
    return ok;
}

int RecMove(const char* from, const char* to)
{
    int ok = NativeOs().moveReplace(from, to);
    std::string rel;
    if (ok && recorder->Rel(to, &rel)) {
        if (Op* op = recorder->Add(Op::Move, from)) op->to = rel;
    } else if (ok) {
        recorder->outside++;
    }
    return ok;
}

int RecFlushFile(OsHandle h)
{
    int ok = NativeOs().flushFile(h);
    int id = recorder->HandleOf(h);
    if (ok && id >= 0) {
        Op op;
        op.kind = Op::SyncFile;
        op.handle = id;
        recorder->ops.push_back(op);
    }
    return ok;
}

int RecFlushFolder(const char* path)
{
    int ok = NativeOs().flushFolder(path);
    if (ok) recorder->Add(Op::SyncDir, path);
    return ok;
}

// No volume-wide flush: the apply takes the way it takes where there is none (Windows), file
// by file and folder by folder, which is what the models have to hold against.
int RecFlushVolume(const char*) { return 0; }

// Runs body under the recording table; the record of the target's changes is returned.
std::vector<Op> Record(const std::string& target, const std::function<void()>& body, int* outside)
{
    Recorder r;
    r.target = target;
    while (r.target.size() > 1 && r.target.back() == '/') r.target.pop_back();
    r.table = NativeOs();
    r.table.open = RecOpen;
    r.table.close = RecClose;
    r.table.write = RecWrite;
    r.table.setTimes = RecSetTimes;
    r.table.makeFolder = RecMakeFolder;
    r.table.removeFolder = RecRemoveFolder;
    r.table.removeFile = RecRemoveFile;
    r.table.moveReplace = RecMove;
    r.table.flushFile = RecFlushFile;
    r.table.flushFolder = RecFlushFolder;
    r.table.flushVolume = RecFlushVolume;
    recorder = &r;
    SetOs(&r.table);
    body();
    SetOs(nullptr);
    recorder = nullptr;
    *outside = r.outside;
    return r.ops;
}

// The disk as the model sees it: names leading to files, folders, file contents.
struct File {
    PkgBytes data, durable;   // durable: what a flush has put on the disk
    OsFileTime time = 0;
    bool timed = false;
};

struct Disk {
    std::map<std::string, int> names;
    std::set<std::string> dirs;   // "" is the target
    std::vector<File> files;

    bool HasDir(const std::string& d) const { return dirs.count(d) != 0; }
    bool Inside(const std::string& folder) const
    {
        std::string prefix = folder + "/";
        for (const auto& n : names)
            if (n.first.compare(0, prefix.size(), prefix) == 0) return true;
        for (const auto& d : dirs)
            if (d.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    // A canonical text of the state, to run each distinct state once.
    std::string Key() const
    {
        std::string k;
        for (const auto& d : dirs) k += "D" + d + '\n';
        for (const auto& n : names) {
            const File& f = files[n.second];
            k +=
                "F" + n.first + '\n' + std::to_string(f.timed ? f.time : 0) + ':' + std::to_string(f.data.size()) + ':';
            k.append(f.data.begin(), f.data.end());
        }
        return k;
    }
};

// The installation as it stands on the disk, times included.
Disk ReadDisk(const std::string& target)
{
    Disk d;
    d.dirs.insert("");
    for (const auto& e : ReadTree(target)) {
        if (e.first.back() == '/') {
            d.dirs.insert(e.first.substr(0, e.first.size() - 1));
            continue;
        }
        File f;
        f.data = f.durable = e.second;
        OsHandle h = NativeOs().open((target + e.first).c_str(), ReadAccess | ShareRead);
        if (h != kNoHandle) {
            f.timed = NativeOs().getWriteTime(h, &f.time) != 0;
            NativeOs().close(h);
        }
        d.names[e.first] = (int)d.files.size();
        d.files.push_back(f);
    }
    return d;
}

void WriteDisk(const Disk& d, const std::string& target)
{
    std::error_code ec;
    fs::remove_all(target, ec);
    for (const auto& dir : d.dirs) fs::create_directories(target + dir, ec);
    for (const auto& n : d.names) {
        const File& f = d.files[n.second];
        std::string path = target + n.first;
        WriteFileBytes(path, f.data);
        if (!f.timed) continue;
        OsHandle h = NativeOs().open(path.c_str(), ReadAccess | WriteAccess);
        if (h != kNoHandle) {
            NativeOs().setTimes(h, f.time);
            NativeOs().close(h);
        }
    }
}

// The record's changes replayed on the model. skip: folder changes left out (model 3).
Disk Replay(const Disk& start, const std::vector<Op>& ops, size_t count, const std::vector<bool>* skip = nullptr)
{
    Disk d = start;
    std::map<int, int> open;   // record handle -> file, -1 for none
    for (size_t k = 0; k < count; k++) {
        const Op& op = ops[k];
        if (skip && (*skip)[k]) {
            if (op.kind == Op::Create) open[op.handle] = -1;
            continue;
        }
        switch (op.kind) {
        case Op::Create: {
            auto it = d.names.find(op.path);
            if (it != d.names.end()) {
                d.files[it->second].data.clear();
                open[op.handle] = it->second;
            } else if (d.HasDir(Parent(op.path))) {
                d.names[op.path] = (int)d.files.size();
                open[op.handle] = (int)d.files.size();
                d.files.push_back(File());
            } else {
                open[op.handle] = -1;
            }
            break;
        }
        case Op::Open: {
            auto it = d.names.find(op.path);
            open[op.handle] = it == d.names.end() ? -1 : it->second;
            break;
        }
        case Op::Write: {
            auto it = open.find(op.handle);
            if (it == open.end() || it->second < 0) break;
            PkgBytes& data = d.files[it->second].data;
            if (data.size() < op.offset + op.bytes.size()) data.resize(op.offset + op.bytes.size());
            std::copy(op.bytes.begin(), op.bytes.end(), data.begin() + op.offset);
            break;
        }
        case Op::Times: {
            auto it = open.find(op.handle);
            if (it == open.end() || it->second < 0) break;
            d.files[it->second].time = op.time;
            d.files[it->second].timed = true;
            break;
        }
        case Op::SyncFile: {
            auto it = open.find(op.handle);
            if (it != open.end() && it->second >= 0) d.files[it->second].durable = d.files[it->second].data;
            break;
        }
        case Op::MakeDir:
            if (d.HasDir(Parent(op.path))) d.dirs.insert(op.path);
            break;
        case Op::RemoveDir:
            if (!d.Inside(op.path)) d.dirs.erase(op.path);
            break;
        case Op::Remove: d.names.erase(op.path); break;
        case Op::Move: {
            auto it = d.names.find(op.path);
            if (it == d.names.end()) break;
            int file = it->second;
            d.names.erase(it);
            // A name moved into a folder that never reached the disk is lost with it.
            if (d.HasDir(Parent(op.to))) d.names[op.to] = file;
            break;
        }
        case Op::SyncDir: break;
        }
    }
    // Names in folders that are gone are gone too.
    for (auto it = d.names.begin(); it != d.names.end();) {
        bool reachable = true;
        for (std::string p = Parent(it->first);; p = Parent(p)) {
            if (!d.HasDir(p)) reachable = false;
            if (p.empty() || !reachable) break;
        }
        it = reachable ? std::next(it) : d.names.erase(it);
    }
    return d;
}

// The folder changes among the first count that no flush has made durable by then.
std::vector<size_t> Pending(const std::vector<Op>& ops, size_t count)
{
    std::vector<size_t> pending;
    for (size_t k = 0; k < count; k++) {
        if (!ops[k].FolderChange()) continue;
        std::set<std::string> need = {Parent(ops[k].path)};
        if (ops[k].kind == Op::Move) need.insert(Parent(ops[k].to));
        for (size_t m = k + 1; m < count && !need.empty(); m++)
            if (ops[m].kind == Op::SyncDir) need.erase(ops[m].path);
        if (!need.empty()) pending.push_back(k);
    }
    return pending;
}

enum Model { ModelPrefix, ModelData, ModelFolders, ModelRecovery, Models };
const char* const kModelNames[Models] = {"calls up to a point", "unflushed data lost, cut or zero-filled",
                                         "unflushed folder changes in any subset", "prefixes of the recovery run"};

std::string Describe(const std::vector<Op>& ops, size_t count)
{
    static const char* const kinds[] = {"create",        "open",   "write", "times",      "make folder",
                                        "remove folder", "remove", "move",  "flush file", "flush folder"};
    if (count == 0) return "before the first change";
    const Op& op = ops[count - 1];
    return std::string("after change ") + std::to_string(count) + " of " + std::to_string(ops.size()) + " (" +
        kinds[op.kind] + " " + op.path + (op.to.empty() ? "" : " -> " + op.to) + ")";
}

class Explorer {
public:
    Explorer(Sandbox& box, const Tree& oldTree, const Tree& newTree) : box(box), oldTree(oldTree), newTree(newTree) {}

    // Writes the state and runs the apply on it twice; 1 when it was a state not seen before.
    // With recordFirst, the first rerun's changes are returned for the recovery prefixes.
    bool Try(Model model, const Disk& d, const std::string& where, std::vector<Op>* recordFirst = nullptr,
             Disk* before = nullptr)
    {
        raw[model]++;
        if (!seen.insert(d.Key()).second) return false;
        distinct[model]++;
        WriteDisk(d, box.target);
        if (before) *before = ReadDisk(box.target);
        for (int run = 0; run < 2; run++) {
            ScriptedUi ui = ScriptedUi::No();   // a rerun after a crash asks nothing
            int outside = 0;
            if (run == 0 && recordFirst)
                *recordFirst = Record(
                    box.target, [&] { box.Apply(ui); }, &outside);
            else
                box.Apply(ui);
            Tree now = ReadTree(box.target);
            bool good = run == 0 ? now == oldTree || now == newTree : now == newTree;
            if (good && ui.Count("ask") == 0 && outside == 0) continue;
            if (++failures <= 5) {
                std::string why = Difference(now, newTree);
                ADD_FAILURE() << kModelNames[model] << ", " << where << ": after rerun " << run + 1
                              << " the installation is "
                              << (run == 0 ? "neither the old nor the new release" : "not the new release")
                              << (ui.Count("ask") ? " (it asked)" : "")
                              << (ui.infos.empty() ? "" : "; it said: " + ui.infos[0]) << "\nagainst the new release:\n"
                              << why;
            }
            break;
        }
        return true;
    }

    static std::string Difference(const Tree& now, const Tree& want)
    {
        std::string why;
        for (const auto& f : now)
            if (!want.count(f.first))
                why += "  extra " + f.first + "\n";
            else if (want.at(f.first) != f.second)
                why += "  differs " + f.first + "\n";
        for (const auto& f : want)
            if (!now.count(f.first)) why += "  missing " + f.first + "\n";
        return why;
    }

    Sandbox& box;
    const Tree& oldTree;
    const Tree& newTree;
    std::set<std::string> seen;
    int raw[Models] = {}, distinct[Models] = {};
    int failures = 0;
};

Upgrade SmallPair()
{
    Upgrade u;
    PkgBytes app = PseudoRandomBytes(31, 1500), lib = PseudoRandomBytes(32, 700);
    PkgBytes newApp = app, newLib = lib;
    newApp.insert(newApp.begin() + 500, 100, 0x41);
    newLib.erase(newLib.begin() + 100, newLib.begin() + 300);
    u.Patch("APP.EXE", app, newApp, 0, 1);
    u.Add("NEW\\DEEP\\ADDED.DLL", PseudoRandomBytes(33, 600), 0, 1);
    u.Delete("OLD\\GONE.TXT", PseudoRandomBytes(34, 300), 0, 1);
    u.Patch("SUB\\LIB.DLL", lib, newLib, 0, 1);
    u.untouched["README.TXT"] = PseudoRandomBytes(35, 200);
    return u;
}

TEST(CrashStates, EveryStateACrashCanLeaveEndsOldOrNewThenNew)
{
    const char* pair = getenv("UPG_CRASH_PAIR");
    bool large = pair && strcmp(pair, "large") == 0;
    Upgrade u = large ? FiftyFileUpgrade() : SmallPair();
    const size_t kMaxSubsets = large ? 64 : 1024;
    auto started = std::chrono::steady_clock::now();
    Sandbox box(u);
    const Tree oldTree = ReadTree(box.target);
    const Disk start = ReadDisk(box.target);
    int outside = 0;
    std::vector<Op> ops = Record(
        box.target,
        [&] {
            ScriptedUi ui = ScriptedUi::Yes();
            ASSERT_EQ(1, box.Apply(ui));
        },
        &outside);
    ASSERT_EQ(0, outside);
    ASSERT_EQ("", box.Upgraded());
    const Tree newTree = ReadTree(box.target);
    ASSERT_NE(oldTree, newTree);
    // The model replays the record to the state the apply left.
    ASSERT_EQ(newTree, [&] {
        WriteDisk(Replay(start, ops, ops.size()), box.target);
        return ReadTree(box.target);
    }());

    if (getenv("UPG_CRASH_TRACE"))
        for (size_t k = 1; k <= ops.size(); k++) printf("%s\n", Describe(ops, k).c_str());
    Explorer x(box, oldTree, newTree);
    std::mt19937 rng(20261208);
    std::map<std::string, std::pair<Disk, std::string>> journals;   // kills that left a journal, each state once
    for (size_t count = 0; count <= ops.size() && x.failures < 5; count++) {
        const std::string where = Describe(ops, count);
        // (1) What a kill leaves: the calls up to here, every byte handed to the system.
        Disk killed = Replay(start, ops, count);
        if (killed.names.count(std::string(kScratchName) + "/COMMIT.JNL"))
            journals.insert({killed.Key(), {killed, where}});
        x.Try(ModelPrefix, killed, where);

        // (2) Every name change kept, in order; the data not flushed yet lost, cut short or
        // zero-filled: in all such files at once, and in each one alone.
        std::vector<int> dirty;
        for (const auto& n : killed.names)
            if (killed.files[n.second].data != killed.files[n.second].durable) dirty.push_back(n.second);
        for (int how = 0; how < 3; how++) {
            auto damage = [&](Disk d, int only) {
                for (int f : dirty) {
                    if (only >= 0 && f != only) continue;
                    File& file = d.files[f];
                    if (how == 0) {
                        file.data = file.durable;
                    } else {
                        // What reached the disk before stays: only bytes past it are cut or zeroed.
                        size_t same = 0;
                        while (same < file.data.size() && same < file.durable.size() &&
                               file.data[same] == file.durable[same])
                            same++;
                        if (how == 1)
                            file.data.resize(same + (file.data.size() - same) / 2);
                        else
                            std::fill(file.data.begin() + (long)same, file.data.end(), 0);
                    }
                }
                x.Try(ModelData, d, where + ", data " + (how == 0 ? "lost" : how == 1 ? "cut" : "zero-filled"));
            };
            if (dirty.empty()) break;
            damage(killed, -1);
            if (dirty.size() > 1)
                for (int f : dirty) damage(killed, f);
        }

        // (3) The folder changes no flush has made durable: any subset of them reached the disk.
        std::vector<size_t> pending = Pending(ops, count);
        if (pending.empty()) continue;
        size_t all = pending.size() < 31 ? (size_t)1 << pending.size() : 0;
        size_t tries = all && all <= kMaxSubsets ? all : kMaxSubsets;
        for (size_t t = 0; t < tries && x.failures < 5; t++) {
            uint64_t mask = all && all <= kMaxSubsets ? t : t == 0 ? 0 : rng();
            std::vector<bool> skip(ops.size(), false);
            std::string lost;
            for (size_t p = 0; p < pending.size(); p++)
                if (!(mask >> (p % 64) & 1)) {
                    skip[pending[p]] = true;
                    lost += " " + std::to_string(pending[p] + 1);
                }
            x.Try(ModelFolders, Replay(start, ops, count, &skip),
                  where + ", folder changes lost:" + (lost.empty() ? " none" : lost));
        }
    }

    // (4) A crash inside the recovery: every prefix of the run that finds a kill's journal.
    for (const auto& j : journals) {
        if (x.failures >= 5) break;
        std::vector<Op> recovery;
        Disk crashed;
        // Taken apart from the other states: the journal states were all tried as kills.
        x.seen.erase(j.first);
        x.Try(ModelRecovery, j.second.first, j.second.second, &recovery, &crashed);
        for (size_t count = 0; count < recovery.size() && x.failures < 5; count++)
            x.Try(ModelRecovery, Replay(crashed, recovery, count),
                  "a rerun " + j.second.second + " crashed itself " + Describe(recovery, count));
    }

    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    printf("crash states of a %zu-change apply (%s pair), each rerun twice:\n", ops.size(),
           large ? "fifty-file" : "small");
    for (int m = 0; m < Models; m++)
        printf("  %-42s %6d states, %6d distinct\n", kModelNames[m], x.raw[m], x.distinct[m]);
    printf("  %zu journals a kill left; %.1f s\n", journals.size(), seconds);
    // The models reach the commit: states with a journal, and folder changes left out.
    EXPECT_GT(journals.size(), 5u);
    EXPECT_GT(x.distinct[ModelFolders], 0);
    EXPECT_GT(x.distinct[ModelData], 0);
    EXPECT_GT(x.distinct[ModelRecovery], (int)journals.size());
}

// The state the two phases keep any crash from leaving, as a second guard: a file system that
// kept a replacement and lost its backup's rename. The rerun takes the step as done.
TEST(CrashStates, AReplacementWhoseBackupWasLostCountsAsDone)
{
    Upgrade u = SmallPair();
    Sandbox box(u);
    const Disk start = ReadDisk(box.target);
    int outside = 0;
    std::vector<Op> ops = Record(
        box.target,
        [&] {
            ScriptedUi ui = ScriptedUi::Yes();
            box.Apply(ui);
        },
        &outside);
    const Tree newTree = ReadTree(box.target);
    size_t replaced = 0;
    while (replaced < ops.size() && !(ops[replaced].kind == Op::Move && ops[replaced].to == "APP.EXE")) replaced++;
    ASSERT_LT(replaced, ops.size());
    Disk mixed = Replay(start, ops, replaced + 1);
    ASSERT_EQ(1u, mixed.names.erase(std::string(kScratchName) + "/N00000.OLD"));
    WriteDisk(mixed, box.target);
    ScriptedUi ui = ScriptedUi::No();
    EXPECT_EQ(1, box.Apply(ui)) << (ui.infos.empty() ? "" : ui.infos[0]);
    EXPECT_EQ("", Explorer::Difference(ReadTree(box.target), newTree));
}

ApplyOutcome ApplyTo(const std::string& package, const std::string& target, ScriptedUi& ui)
{
    UpgradeJob job(package.c_str(), target.c_str());
    ApplySession host(&job, &ui);
    host.wording.reset(new UiTextTable(nullptr, kDefaultUiResource));
    return ApplyUpgrade(&host);
}

// The installation without the scratch folder.
Tree Installation(const std::string& target) { return ReadTree(target, kScratchName); }

// A package signed by the pinned key K1 that replaces the pin with K2, killed at every change:
// a stranger's package (signed by K3 and pinning it) and an unsigned one, offered at each, are
// refused and leave the old or the new release; the rerun of the package ends whole new, K2
// pinned, whether the kill left a journal or not, and without a new trust decision.
TEST(CrashStates, AKeyRotationKilledAtEveryChangeEndsNewAndAdmitsNoStranger)
{
    const PublisherKey k1 = NewKey(), k2 = NewKey(), k3 = NewKey();
    TempDir dir;
    const std::string olds = dir / "old/", news = dir / "new/", theirs = dir / "theirs/", target = dir / "target/";
    auto release = [](const std::string& folder, const PkgBytes& app, const PkgBytes& lib, bool add,
                      const PkgBytes& pin) {
        WriteFileBytes(folder + "APP.EXE", app);
        WriteFileBytes(folder + "LIB/X.DLL", lib);
        if (add) WriteFileBytes(folder + "NEW/ADD.DAT", PseudoRandomBytes(43, 500));
        WriteFileBytes(folder + kTrustFileName, pin);
    };
    PkgBytes app = PseudoRandomBytes(41, 3000), lib = PseudoRandomBytes(42, 900), app2 = app;
    app2.insert(app2.begin() + 1000, 200, 7);
    release(olds, app, lib, false, PemOf(k1));
    release(news, app2, PseudoRandomBytes(44, 800), true, PemOf(k2));
    release(theirs, PseudoRandomBytes(45, 3000), lib, true, PemOf(k3));
    const std::string rotate = dir / "rotate.upg", stranger = dir / "stranger.upg", unsigned_ = dir / "unsigned.upg";
    for (const auto& b : {std::make_tuple(&news, &k1, &rotate), std::make_tuple(&theirs, &k3, &stranger),
                          std::make_tuple(&theirs, (const PublisherKey*)nullptr, &unsigned_)}) {
        BuildOptions o;
        o.oldDir = olds;
        o.newDir = *std::get<0>(b);
        o.signer = std::get<1>(b);
        o.output = *std::get<2>(b);
        BuildReport report;
        std::string error;
        ASSERT_EQ(1, BuildPackage(o, &report, &error)) << error;
    }
    const Disk oldDisk = ReadDisk(olds);
    const Tree oldTree = ReadTree(olds), newTree = ReadTree(news);

    WriteDisk(oldDisk, target);
    uint64_t changes = 0;
    {
        ScriptedUi ui = ScriptedUi::Yes();
        FaultScope scope(FaultPlan{});
        ASSERT_EQ(ApplyApplied, ApplyTo(rotate, target, ui));
        changes = FaultSeen().changes;
    }
    ASSERT_EQ(newTree, ReadTree(target));

    int journals = 0, finishedBefore = 0;
    for (uint64_t n = 1; n <= changes; n++) {
        WriteDisk(oldDisk, target);
        {
            ScriptedUi ui = ScriptedUi::Yes();
            FaultPlan plan;
            plan.freezeFrom = n;
            FaultScope scope(plan);
            ApplyTo(rotate, target, ui);
        }
        const Disk killed = ReadDisk(target);
        journals += killed.names.count(std::string(kScratchName) + "/" + kJournalName) != 0;
        for (const std::string* other : {&stranger, &unsigned_}) {
            WriteDisk(killed, target);
            ScriptedUi ui = ScriptedUi::No();
            EXPECT_EQ(ApplyRefused, ApplyTo(*other, target, ui)) << *other << ", killed at change " << n;
            Tree now = Installation(target);
            EXPECT_TRUE(now == oldTree || now == newTree) << *other << ", killed at change " << n;
        }
        WriteDisk(killed, target);
        ScriptedUi ui = ScriptedUi::No();
        ApplyOutcome outcome = ApplyTo(rotate, target, ui);
        EXPECT_EQ("", Explorer::Difference(Installation(target), newTree))
            << "killed at change " << n << ": outcome " << outcome;
        // Refused only where the commit had finished before the kill: K1 is pinned no more.
        // What a kill there leaves of the scratch folder holds no file.
        EXPECT_TRUE(
            outcome == ApplyApplied || outcome == ApplyUpToDate ||
            (outcome == ApplyRefused && Installation(target) == newTree && ReadTree(target + kScratchName).empty()))
            << "killed at change " << n << ": outcome " << outcome;
        EXPECT_TRUE(ReadTree(target + kScratchName).empty()) << "killed at change " << n;
        finishedBefore += outcome == ApplyRefused;
    }
    printf("key rotation killed at each of its %d changes: %d left a journal, %d reruns found the commit finished\n",
           (int)changes, journals, finishedBefore);
    EXPECT_GT(journals, 3);
}

}   // namespace
