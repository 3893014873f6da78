// Publisher bundles: the wording and program checked first, then the three files together or none.
#include "bundle.h"
#include <stdio.h>
#include <string.h>
#include <vector>
#include "commands.h"
#include "bytes.h"
#include "files.h"
#include "os.h"
#include "entries.h"
#include "search.h"
#include "stream.h"
#include "tree.h"
#include "uitext.h"
#include "wording.h"

namespace {

const char kWorkingSuffix[] = ".new";
const char kSetupName[] = "upgsetup.exe";

// The lines the program shows, and what each words, for a publisher who has to mend one.
struct NeededLine {
    UiLineId line;
    const char* role;
};
const NeededLine kNeededLines[] = {
    {LineOperations, "the operations, Add|Update|Delete"},
    {LineLabels, "the progress labels, Operation|File|Description"},
    {LineCaption, "the caption of the progress view and the questions"},
    {LineCancelButton, "the Cancel button"},
    {LineChecking, "the operation while files are checked"},
    {LineReplacing, "the operation while files are replaced"},
    {LineContinue, "the last paragraph of a question"},
    {LineConfirmCancel, "the question before cancelling"},
    {LineAddExists, "a file to add that exists already"},
    {LinePatchDateDiffers, "a file with the expected contents and another date"},
    {LineDeleteDiffers, "a file to delete that is not the expected version"},
    {LineAddReadOnly, "a file to add that exists read-only"},
    {LineMissing, "a missing file"},
    {LinePatchModified, "a file to update that is not the expected version"},
    {LineReadOnly, "a read-only file"},
    {LineCannotGoOn, "the upgrade cannot go on"},
    {LineBadResultStop, "a wrong rebuilt file, when the upgrade stops"},
    {LineBadResultAsk, "a wrong rebuilt file, when the upgrade asks"},
    {LineKnowMore, "the offer to tell more"},
    {LineStopped, "the upgrade has stopped"},
};
// What an empty line reads as in the table.
const char kEmptyLine[] = "-|-|-|";

std::string LineName(const NeededLine& n) { return "line " + std::to_string((int)n.line) + " (" + n.role + ")"; }

// Lines 1 and 2 are lists: each of the first three parts must lie within the line itself, as a
// missing part reads the next line's text instead.
std::string ListFault(const UiTextTable& table, const NeededLine& n)
{
    const char* next = table.lines[n.line + 1];
    int dashes = 0;
    for (int k = 0; k < 3; k++) {
        const char* part = table.LinePart(n.line, k);
        if (part >= next) return LineName(n) + ": " + std::to_string(k) + " of its 3 parts";
        if (!*part) return LineName(n) + ": part " + std::to_string(k + 1) + " empty";
        if (strcmp(part, "-") == 0) dashes++;
    }
    return dashes == 3 ? LineName(n) + ": empty" : "";
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string Resolved(const std::string& path)
{
    char full[4096];
    return Os().fullPath(path.c_str(), full, sizeof full) ? std::string(full) : path;
}

// The program as the Debian package installs it (share/upg beside the bin folder upg runs
// from), beside upg as in the Windows ZIP, or in a build tree: build/win/app from upg.exe in
// build/win/console, or from the native upg in build/native/console. Then the package's own
// place, for a upg that runs from elsewhere.
std::string FindSetupProgram(std::string* looked)
{
    std::vector<std::string> candidates;
    char self[4096];
    if (ProgramPath(self, sizeof self)) {
        std::string dir = FolderOf(self);
        std::string up = JoinPathText(dir, "..");
        candidates.push_back(JoinPathText(JoinPathText(JoinPathText(up, "share"), "upg"), kSetupName));
        candidates.push_back(JoinPathText(dir, kSetupName));
        candidates.push_back(JoinPathText(JoinPathText(up, "app"), kSetupName));
        candidates.push_back(
            JoinPathText(JoinPathText(JoinPathText(JoinPathText(up, ".."), "win"), "app"), kSetupName));
    }
#ifndef _WIN32
    candidates.push_back("/usr/share/upg/upgsetup.exe");
#endif
    for (const std::string& c : candidates) {
        if (FileExists(c.c_str())) return Resolved(c);
        *looked += "  " + Resolved(c) + "\n";
    }
    return "";
}

int CopyInto(const std::string& from, const std::string& to, std::string* error)
{
    FileStream source(ReadAccess | ShareRead, from.c_str());
    if (source.HasError()) {
        *error = "cannot read " + from;
        return 0;
    }
    uint32_t size = source.Size();
    FileStream target(WriteAccess, to.c_str());
    uint32_t copied = target.HasError() ? 0 : CopyBytes(&target, &source, size);
    target.Close();
    if (source.HasError() || target.HasError() || copied != size) {
        *error = "cannot copy " + from + " to " + to;
        return 0;
    }
    return 1;
}

int WriteBytes(const void* bytes, uint32_t size, const std::string& to, std::string* error)
{
    FileStream target(WriteAccess, to.c_str());
    if (!target.HasError()) target.Write(bytes, size);
    target.Close();
    if (target.HasError()) {
        *error = "cannot write " + to;
        return 0;
    }
    return 1;
}

std::string Working(const Bundle& b, const char* ext) { return BundleFile(b, ext) + kWorkingSuffix; }

int IsLabelCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
        c == '+' || c == '-';
}

}   // namespace

std::string BundleFile(const Bundle& bundle, const char* ext) { return JoinPathText(bundle.dir, bundle.base + ext); }

std::string BundlePackagePart(const Bundle& bundle) { return Working(bundle, ".upg"); }

std::string BundleSibling(const Bundle& bundle, size_t i) { return JoinPathText(bundle.dir, bundle.siblings[i]); }

std::string BundleSiblingPart(const Bundle& bundle, size_t i) { return BundleSibling(bundle, i) + kWorkingSuffix; }

std::string ReleaseLabel(const std::string& dir)
{
    std::string d = dir;
    while (d.size() > 1 && (d.back() == '/' || d.back() == '\\')) d.pop_back();
    size_t slash = d.find_last_of("/\\");
    std::string label;
    for (char c : slash == std::string::npos ? d : d.substr(slash + 1)) label += IsLabelCharacter(c) ? c : '_';
    // Trailing dots would be dropped by Windows from the file name.
    while (!label.empty() && label.back() == '.') label.pop_back();
    return label.substr(0, 30);
}

std::string ReleaseTitle(const std::string& oldDir, const std::string& newDir)
{
    return "Upgrade from " + ReleaseLabel(oldDir) + " to " + ReleaseLabel(newDir);
}

int CheckWording(const char* path, std::string* why, std::string* notes)
{
    why->clear();
    if (path) {
        if (!FileExists(path)) {
            *why = std::string("the wording ") + path + " does not exist or is not a file\n";
            return 0;
        }
        FileStream probe(ReadAccess | ShareRead, path);
        if (probe.HasError()) {
            *why = std::string("the wording ") + path + " cannot be opened for reading\n";
            return 0;
        }
    }
    UiTextTable table = path ? UiTextTable(path) : UiTextTable(nullptr, kDefaultUiResource);
    for (const NeededLine& n : kNeededLines) {
        std::string fault;
        if (!table.HasLine(n.line))
            fault = LineName(n) + ": missing";
        else if (n.line == LineOperations || n.line == LineLabels)
            fault = ListFault(table, n);
        else if (strcmp(table.LineText(n.line), kEmptyLine) == 0)
            fault = LineName(n) + ": empty";
        if (!fault.empty()) *why += fault + "\n";
    }
    if (why->empty() && !table.HasLine(LineNotReplaced))
        *notes += "the wording has no line 21 (files that could not be replaced): the program words that "
                  "message in English\n";
    if (why->empty() && !(table.HasLine(LineInUse) && table.HasLine(LineNoAccess) && table.HasLine(LineRunAsAdmin)))
        *notes += "the wording lacks some of lines 23 to 25 (files in use, administrator rights): the program "
                  "words those messages in English\n";
    return why->empty();
}

int CheckSetupProgram(const std::string& path, std::string* why)
{
    uint8_t head[4096];
    int32_t got = 0;
    {
        FileStream f(ReadAccess | ShareRead, path.c_str());
        if (f.HasError()) {
            *why = "cannot read the setup program " + path;
            return 0;
        }
        got = f.Read(head, sizeof head);
    }
    // The headers up to the subsystem field, 94 bytes past the PE signature, must be there.
    uint32_t pe = got >= 0x60 ? GetLe32(head + 0x3C) : 0;
    if (got < 0x60 || head[0] != 'M' || head[1] != 'Z' || pe > (uint32_t)got - 0x60 ||
        memcmp(head + pe, "PE\0\0", 4) != 0) {
        *why = path + " is not a Windows program";
        return 0;
    }
    const uint16_t kI386 = 0x14C, kPe32 = 0x10B, kWindowed = 2, kConsole = 3;
    uint16_t machine = GetLe16(head + pe + 4), magic = GetLe16(head + pe + 24),
             subsystem = GetLe16(head + pe + 24 + 68);
    if (machine != kI386 || magic != kPe32) {
        *why = path + " is not a 32-bit Windows program; the bundle needs the 32-bit upgsetup.exe";
        return 0;
    }
    if (subsystem == kConsole) {
        *why = path + " is a console program; the bundle needs the windowed upgsetup.exe";
        return 0;
    }
    if (subsystem != kWindowed) {
        *why = path + " is not a windowed Windows program";
        return 0;
    }
    return 1;
}

int PrepareBundle(Bundle* bundle, const std::vector<std::string>& oldDirs, const std::string& newDir,
                  std::string* error, std::string* notes)
{
    const std::string& base = bundle->base;
    if (base.find_first_of("/\\") != std::string::npos) {
        *error = "--name " + base + " is a path; give the base name alone, the folder with --bundle";
        return 0;
    }
    NameFault fault = CheckEntryName((base + ".upg").c_str(), 0);
    if (base.empty() || base.size() > 64 || fault != NameOk) {
        *error = "--name " + base + " cannot name a program on Windows" +
            (fault != NameOk ? std::string(": ") + NameFaultText(fault) : std::string(": give 1 to 64 characters"));
        return 0;
    }
    std::string why;
    if (!CheckWording(bundle->wording.empty() ? nullptr : bundle->wording.c_str(), &why, notes)) {
        *error = "the wording lacks what the program needs:\n" + why +
            "The default wording holds every line: resources/upgsetup.uui in the sources,\n"
            "/usr/share/upg/upgsetup.uui where the Debian package is installed.";
        return 0;
    }
    if (bundle->setupExe.empty()) {
        std::string looked;
        bundle->setupExe = FindSetupProgram(&looked);
        if (bundle->setupExe.empty()) {
            *error = "cannot find upgsetup.exe; looked for it at\n" + looked +
                "Give the 32-bit program with --setup-exe FILE (build it with 'make win').";
            return 0;
        }
    }
    if (!CheckSetupProgram(bundle->setupExe, &why)) {
        *error = why;
        return 0;
    }
    int outside = OutsideTree(bundle->dir, newDir);
    for (const std::string& oldDir : oldDirs) outside &= OutsideTree(bundle->dir, oldDir);
    if (!outside) {
        *error = "the bundle folder " + bundle->dir + " must not lie inside the release folders";
        return 0;
    }
    bundle->siblings.clear();
    for (size_t i = 0; i + 1 < oldDirs.size(); i++) {
        char number[8];
        snprintf(number, sizeof number, "%02u", (unsigned)(i + 1));
        std::string label = ReleaseLabel(oldDirs[i]);
        bundle->siblings.push_back(base + kSiblingInfix + number + (label.empty() ? "" : "-" + label) + ".upg");
    }
    if (!IsDirectory(bundle->dir.c_str())) {
        if (Os().attributes(bundle->dir.c_str()) != kAttrInvalid || !MakeFolder(bundle->dir.c_str())) {
            *error = "cannot create the bundle folder " + bundle->dir;
            return 0;
        }
        bundle->madeDir = 1;
    }
    return 1;
}

void AbandonBundle(Bundle* bundle)
{
    for (const char* ext : {".exe", ".upg", ".uui"}) RemoveFile(Working(*bundle, ext).c_str());
    for (size_t i = 0; i < bundle->siblings.size(); i++) RemoveFile(BundleSiblingPart(*bundle, i).c_str());
    if (bundle->madeDir) RemoveFolder(bundle->dir.c_str());
}

namespace {

// A sibling of an earlier bundle under this base name that this bundle did not write.
void RemoveStaleSiblings(const Bundle& bundle)
{
    struct Stale {
        const Bundle* bundle;
        std::vector<std::string> names;
    } stale{&bundle, {}};
    auto add = [](void* context, const char* name) {
        Stale* s = static_cast<Stale*>(context);
        std::string prefix = s->bundle->base + kSiblingInfix;
        size_t n = strlen(name);
        if (n <= prefix.size() + 4 || !SameNameIgnoringCase(std::string(name, prefix.size()).c_str(), prefix.c_str()) ||
            !SameNameIgnoringCase(name + n - 4, ".upg"))
            return;
        for (const std::string& mine : s->bundle->siblings)
            if (SameNameIgnoringCase(mine.c_str(), name)) return;
        s->names.push_back(name);
    };
    ListFiles(bundle.dir.c_str(), add, &stale);
    for (const std::string& name : stale.names) RemoveFile(JoinPathText(bundle.dir, name).c_str());
}

}   // namespace

int FinishBundle(Bundle* bundle, std::string* error)
{
    int ok = CopyInto(bundle->setupExe, Working(*bundle, ".exe"), error);
    if (ok && bundle->wording.empty())
        ok = WriteBytes(kDefaultWording, kDefaultWordingSize, Working(*bundle, ".uui"), error);
    else if (ok)
        ok = CopyInto(bundle->wording, Working(*bundle, ".uui"), error);
    // The program goes last: without it, nothing a customer could start is left half there.
    std::vector<std::pair<std::string, std::string>> moves;
    moves.push_back({Working(*bundle, ".uui"), BundleFile(*bundle, ".uui")});
    for (size_t i = 0; i < bundle->siblings.size(); i++)
        moves.push_back({BundleSiblingPart(*bundle, i), BundleSibling(*bundle, i)});
    moves.push_back({Working(*bundle, ".upg"), BundleFile(*bundle, ".upg")});
    moves.push_back({Working(*bundle, ".exe"), BundleFile(*bundle, ".exe")});
    size_t moved = 0;
    for (; ok && moved < moves.size(); moved++) {
        if (!MoveFileOver(moves[moved].first.c_str(), moves[moved].second.c_str())) {
            *error = "cannot move " + moves[moved].first + " to " + moves[moved].second;
            ok = 0;
            break;
        }
    }
    if (ok) {
        RemoveStaleSiblings(*bundle);
        return 1;
    }
    for (size_t i = 0; i < moved; i++) RemoveFile(moves[i].second.c_str());
    AbandonBundle(bundle);
    return 0;
}
