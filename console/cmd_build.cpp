// upg build: makes a package that turns the files of one release tree into another's.
#include "commands.h"
#include "build.h"
#include "bundle.h"
#include "codepage.h"
#include "files.h"
#include "options.h"
#include "stream.h"
#include "terminal.h"
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <chrono>
#include <thread>

namespace {

const char kBuildHelp[] =
    "usage: upg build OLD_DIR NEW_DIR -o OUT.upg [options]\n"
    "       upg build OLD_DIR... NEW_DIR --bundle DIR [--name BASE] [--wording FILE]\n"
    "                 [--setup-exe FILE] [options]\n"
    "\n"
    "Compares two release trees and writes a package that upgrades OLD_DIR's files to\n"
    "NEW_DIR's: Delete entries for files only in OLD_DIR, Add entries for files only in\n"
    "NEW_DIR, Patch entries for files in both whose content or date-time differ. Files are\n"
    "paired by relative path without regard to case, as Windows does. Every script is run\n"
    "through the patch interpreter against the old file and must give the new file exactly\n"
    "before the package is written; a failed build leaves no package.\n"
    "\n"
    "options:\n"
    "  -o, --output FILE     the package to write (replaced only when the build succeeds)\n"
    "  --title TEXT          package title, at most 79 characters\n"
    "  --notes FILE          release notes from a text file, at most 8191 characters\n"
    "  --rule GLOB:KEY=VALUE,...\n"
    "                        policies and description for the entries whose names match\n"
    "                        GLOB; keys soft=, hard= (ignore|ask|abort) and desc=TEXT (the\n"
    "                        rest of the rule). '*' stays within a folder, '**' crosses\n"
    "                        folders; a GLOB without '/' or '\\' matches the file name.\n"
    "                        Later rules win. Example: --rule '*.cfg:hard=ignore,desc=Settings'\n"
    "  --jobs N              encode N files at once (default: the number of cores)\n"
    "  --memory MB           memory the encoding jobs may hold together (default 256; a\n"
    "                        single file always gets what it needs)\n"
    "  --utc-offset [+-]HH:MM\n"
    "                        fingerprint dates as local time at this offset from UTC\n"
    "                        (default: this machine's offset now)\n"
    "  --sign KEYFILE        sign the package with this private key (upg keygen); an\n"
    "                        installation that pins the matching public key applies only\n"
    "                        packages signed with it\n"
    "  --no-seal             leave out the seal (SHA-256 of the package and of every file)\n"
    "  --codepage N          store names, title and notes in Windows code page N (default\n"
    "                        1252; also 1250, 1251, 1253, 1254, 1257, 850, 437); the seal\n"
    "                        records it. A name it cannot hold refuses the build.\n"
    "  --bundle DIR          write what a publisher ships into DIR instead of -o: BASE.exe\n"
    "                        (a copy of the 32-bit upgsetup.exe), BASE.upg and BASE.uui.\n"
    "                        With several OLD_DIRs (oldest first), BASE.upg upgrades the\n"
    "                        last one and BASE-from-NN-LABEL.upg each earlier one, straight\n"
    "                        to NEW_DIR (NN its place in the list, LABEL its folder's name);\n"
    "                        the program applies whichever fits the installation it finds.\n"
    "                        Without --title, each title says which release it upgrades.\n"
    "  --name BASE           the bundle's base name (default upgsetup)\n"
    "  --wording FILE        the bundle's wording (default: the built-in English one); it\n"
    "                        must hold every line the program shows\n"
    "  --setup-exe FILE      the program to copy (default: upgsetup.exe from the Debian\n"
    "                        package, beside upg, or from the build tree)\n"
    "  -q, --quiet           print nothing but errors\n"
    "\n"
    "default policies (soft finding / hard finding):\n"
    "  Add     ask  when the file exists already     / ask    when it exists read-only\n"
    "  Patch   ignore when only the date differs     / ask    when missing, changed or read-only\n"
    "  Delete  ignore when content or date differ    / ignore when missing or read-only\n"
    "The description of an entry is its file name unless a rule gives one.\n"
    "\n"
    "Dates: a fingerprint holds the local DOS time of the file's last write. The applier\n"
    "turns file times into local time with its machine's current offset from UTC, so the\n"
    "package matches installed files when it is built with the offset the target machines\n"
    "use: give --utc-offset when that is not this machine's.\n"
    "\n"
    "A bundle is checked whole (name, wording, program) before anything is written, and\n"
    "its three files appear together or, when something fails, not at all.\n";

struct ProgressLine {
    int shown;
    std::chrono::steady_clock::time_point last;
};

void ShowProgress(void* context, const BuildProgress* p)
{
    ProgressLine* line = (ProgressLine*)context;
    auto now = std::chrono::steady_clock::now();
    if (p->doneFiles != p->totalFiles && now - line->last < std::chrono::milliseconds(200)) return;
    line->last = now;
    int percent = p->totalBytes ? (int)(p->doneBytes * 100 / p->totalBytes) : 100;
    char name[48];
    size_t n = strlen(p->name);
    snprintf(name, sizeof name, "%s%s", n > 40 ? "..." : "", n > 40 ? p->name + n - 40 : p->name);
    fprintf(stderr, "\r  encoding %3d%%  %d/%d files  %-43s", percent, p->doneFiles, p->totalFiles, name);
    if (p->doneFiles == p->totalFiles) fprintf(stderr, "\n");
    fflush(stderr);
    line->shown = 1;
}

// "+HH:MM", "-HH:MM" or "HH:MM" into minutes east of UTC.
int ParseOffset(const char* text, int* minutes)
{
    int sign = 1;
    if (*text == '+' || *text == '-') sign = *text++ == '-' ? -1 : 1;
    int h, m;
    char rest;
    if (sscanf(text, "%2d:%2d%c", &h, &m, &rest) != 2 || h > 14 || m > 59 || strlen(text) != 5) return 0;
    *minutes = sign * (h * 60 + m);
    return 1;
}

int ReadText(const char* path, std::string* text)
{
    FileStream f(ReadAccess | ShareRead, path);
    if (f.HasError()) return 0;
    text->assign(f.Size(), '\0');
    int32_t got = text->empty() ? 0 : f.Read(&(*text)[0], (int32_t)text->size());
    if (f.HasError() || got != (int32_t)text->size()) return 0;
    return 1;
}

// Builds one package and prints what it holds; 0 with the reason in *error.
int BuildOne(const BuildOptions& options, const std::string& shown, int quiet, int verbose, ProgressLine* line,
             std::string* error)
{
    auto start = std::chrono::steady_clock::now();
    BuildReport report;
    int ok = BuildPackage(options, &report, error);
    if (line->shown && !ok) fprintf(stderr, "\n");
    if (!ok || quiet) return ok;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (verbose)
        for (const BuildEntryInfo& e : report.entries)
            printf("  %-6s %10lu -> %10lu  script %10llu%s%s  %s\n", KindWord(e.kind), (unsigned long)e.oldSize,
                   (unsigned long)e.newSize, (unsigned long long)e.scriptBytes, e.wholeInsert ? " whole" : "",
                   e.dateOnly ? " date" : "", ShownPath(e.name).c_str());
    printf("%s: %d added, %d patched, %d deleted, %d unchanged; %llu bytes for %llu bytes of new files (%.1f s)\n",
           shown.c_str(), report.adds, report.patches, report.deletes, report.unchanged,
           (unsigned long long)report.packageBytes, (unsigned long long)report.newBytes, seconds);
    if (report.isSigned) {
        char id[2 * kKeyIdSize + 1];
        KeyIdText(report.keyId, id);
        printf("sealed (%llu bytes) and signed by key %s\n", (unsigned long long)report.sealBytes, id);
    } else if (report.sealBytes) {
        printf("sealed (%llu bytes), not signed\n", (unsigned long long)report.sealBytes);
    }
    return 1;
}

// What the command line of upg build asks for.
struct BuildCommand {
    BuildOptions options;
    int quiet = 0, verbose = 0, noSeal = 0;
    PublisherKey signer;
    std::vector<std::string> dirs;   // the old release folders, then the new one
    Bundle bundle;
    int bundleOption = 0;   // --name, --wording or --setup-exe was given
    ~BuildCommand() { memset(&signer, 0, sizeof signer); }
};

// A whole number in text, all of it; 0 when text is something else.
int WholeNumber(const char* text, long* n)
{
    char* end = nullptr;
    *n = strtol(text, &end, 10);
    return !*end;
}

// Usage errors of the values that must be numbers.
const char kJobsMissing[] = "--jobs needs a number from 1 to 64";
const char kMemoryMissing[] = "--memory needs a number of megabytes";
const char kOffsetMissing[] = "--utc-offset needs [+-]HH:MM, for example +01:00";
const char kCodePageMissing[] = "--codepage needs one of 1252, 1250, 1251, 1253, 1254, 1257, 850, 437";

std::string SetNotes(BuildCommand* c, const char* v)
{
    std::string& notes = c->options.notes;
    if (!ReadText(v, &notes)) return std::string("cannot read the notes file ") + v;
    // A UTF-8 mark opening the file is no part of the text.
    if (notes.compare(0, 3, "\xEF\xBB\xBF") == 0) notes.erase(0, 3);
    return std::string();
}

std::string AddRule(BuildCommand* c, const char* v)
{
    BuildRule rule;
    std::string why;
    if (ParseRule(v, &rule, &why)) c->options.rules.push_back(rule);
    return why;
}

std::string SetJobs(BuildCommand* c, const char* v)
{
    long n;
    if (!WholeNumber(v, &n) || n < 1 || n > 64) return std::string(kJobsMissing);
    c->options.jobs = (int)n;
    return std::string();
}

std::string SetMemory(BuildCommand* c, const char* v)
{
    long n;
    if (!WholeNumber(v, &n) || n < 1) return std::string(kMemoryMissing);
    c->options.memoryBudget = (uint64_t)n << 20;
    return std::string();
}

std::string SetUtcOffset(BuildCommand* c, const char* v)
{
    if (!ParseOffset(v, &c->options.utcOffsetMinutes)) return std::string(kOffsetMissing);
    c->options.hasUtcOffset = 1;
    return std::string();
}

std::string SetSigner(BuildCommand* c, const char* v)
{
    KeyFault fault = ReadKeyFile(v, 1, &c->signer);
    if (fault != KeyOk) return std::string("cannot sign with ") + v + ": " + KeyFaultText(fault);
    c->options.signer = &c->signer;
    return std::string();
}

std::string SetCodePage(BuildCommand* c, const char* v)
{
    long n;
    if (!WholeNumber(v, &n) || !CodePageKnown((unsigned)n)) return std::string(kCodePageMissing);
    c->options.codePage = (unsigned)n;
    return std::string();
}

// An option whose value one of the setters above reads into the command.
Option BuildValue(BuildCommand* c, const char* name, const char* shortName,
                  std::string (*set)(BuildCommand*, const char*), const char* missing)
{
    return Value(
        name, shortName, [c, set](const char* v) { return set(c, v); }, missing);
}

// A part of the bundle's naming; any but --bundle itself asks for a bundle.
Option BundlePart(BuildCommand* c, const char* name, std::string* slot)
{
    return Value(name, nullptr, [c, name, slot](const char* v) {
        if (!*v) return std::string(name) + " needs a value";
        *slot = v;
        if (slot != &c->bundle.dir) c->bundleOption = 1;
        return std::string();
    });
}

// The options in argv into *c; kRunCommand, or the exit code of help or a usage error.
int ReadBuildCommand(int argc, char** argv, BuildCommand* c)
{
    BuildOptions& o = c->options;
    CommandLine line{"build",
                     kBuildHelp,
                     {Text("--output", "-o", &o.output, "-o needs the package file to write"),
                      Text("--title", nullptr, &o.title, "--title needs a text"),
                      BuildValue(c, "--notes", nullptr, SetNotes, "--notes needs a file"),
                      BuildValue(c, "--rule", nullptr, AddRule, "--rule needs GLOB:KEY=VALUE,..."),
                      BuildValue(c, "--jobs", "-j", SetJobs, kJobsMissing),
                      BuildValue(c, "--memory", nullptr, SetMemory, kMemoryMissing),
                      BuildValue(c, "--utc-offset", nullptr, SetUtcOffset, kOffsetMissing),
                      BuildValue(c, "--sign", nullptr, SetSigner, "--sign needs the private key file"),
                      BundlePart(c, "--bundle", &c->bundle.dir), BundlePart(c, "--name", &c->bundle.base),
                      BundlePart(c, "--wording", &c->bundle.wording), BundlePart(c, "--setup-exe", &c->bundle.setupExe),
                      BuildValue(c, "--codepage", nullptr, SetCodePage, kCodePageMissing),
                      Flag("--no-seal", nullptr, &c->noSeal), Flag("--quiet", "-q", &c->quiet),
                      Flag("--verbose", "-v", &c->verbose)}};
    line.stop = "";
    int read = ReadCommandLine(line, argc, argv, &c->dirs);
    if (c->noSeal) o.seal = 0;
    return read;
}

// The usage errors of options that do not go together; kRunCommand when they do.
int CheckBuildCommand(const BuildCommand& c)
{
    const std::vector<std::string>& dirs = c.dirs;
    const Bundle& bundle = c.bundle;
    if (dirs.size() < 2 || (dirs.size() > 2 && bundle.dir.empty()))
        return UsageError("build",
                          dirs.size() < 2 ? "give the old and the new release folder"
                                          : "several old release folders need --bundle DIR");
    if (dirs.size() > kMaxReleases + 1)
        return UsageError("build", "a bundle upgrades from at most " + std::to_string(kMaxReleases) + " releases");
    if (!bundle.dir.empty() && !c.options.output.empty())
        return UsageError("build", "-o and --bundle exclude each other: a bundle names its package BASE.upg");
    if (bundle.dir.empty() && c.bundleOption)
        return UsageError("build", "--name, --wording and --setup-exe need --bundle DIR");
    if (c.options.output.empty() && bundle.dir.empty())
        return UsageError("build", "give the package to write with -o OUT.upg, or a bundle folder with --bundle DIR");
    if (c.options.signer && !c.options.seal) return UsageError("build", "--sign and --no-seal exclude each other");
    return kRunCommand;
}

// Checks that the release folders exist and, for a bundle, everything it needs;
// kRunCommand, or the exit code.
int PrepareBuild(BuildCommand* c, const std::vector<std::string>& olds)
{
    // A release folder that is not there is missing input, not a failed build.
    for (const std::string& dir : c->dirs)
        if (!IsDirectory(dir.c_str())) {
            fprintf(stderr, "upg build: the release folder %s does not exist\n", dir.c_str());
            return ExitInvalid;
        }
    Bundle& bundle = c->bundle;
    if (bundle.dir.empty()) return kRunCommand;
    if (bundle.base.empty()) bundle.base = "upgsetup";
    std::string error, notes;
    int ready = PrepareBundle(&bundle, olds, c->options.newDir, &error, &notes);
    if (!notes.empty() && !c->quiet) fprintf(stderr, "upg build: note: %s", notes.c_str());
    if (!ready) {
        fprintf(stderr, "upg build: %s\n", error.c_str());
        return ExitInvalid;
    }
    return kRunCommand;
}

}   // namespace

int CmdBuild(int argc, char** argv)
{
    BuildCommand c;
    unsigned cores = std::thread::hardware_concurrency();
    c.options.jobs = cores ? (int)cores : 1;
    int read = ReadBuildCommand(argc, argv, &c);
    if (read == kRunCommand) read = CheckBuildCommand(c);
    if (read != kRunCommand) return read;
    BuildOptions& options = c.options;
    Bundle& bundle = c.bundle;
    options.newDir = c.dirs.back();
    std::vector<std::string> olds(c.dirs.begin(), c.dirs.end() - 1);
    read = PrepareBuild(&c, olds);
    if (read != kRunCommand) return read;

    ProgressLine line{0, std::chrono::steady_clock::now()};
    if (!c.quiet && IsTerminal(stderr)) {
        options.progress = ShowProgress;
        options.progressContext = &line;
    }
    // One package straight from each old release; the newest old release's is BASE.upg.
    std::string error;
    int ok = 1;
    for (size_t i = 0; ok && i < olds.size(); i++) {
        BuildOptions one = options;
        one.oldDir = olds[i];
        int last = i + 1 == olds.size();
        if (!bundle.dir.empty()) one.output = last ? BundlePackagePart(bundle) : BundleSiblingPart(bundle, i);
        if (one.title.empty() && olds.size() > 1) one.title = ReleaseTitle(olds[i], options.newDir);
        std::string shown = bundle.dir.empty() ? one.output
            : last                             ? BundleFile(bundle, ".upg")
                                               : BundleSibling(bundle, i);
        ok = BuildOne(one, shown, c.quiet, c.verbose, &line, &error);
    }
    memset(&c.signer, 0, sizeof c.signer);
    if (ok && !bundle.dir.empty())
        ok = FinishBundle(&bundle, &error);
    else if (!bundle.dir.empty())
        AbandonBundle(&bundle);
    if (!ok) {
        fprintf(stderr, "upg build: %s\n", error.c_str());
        if (!bundle.dir.empty()) fprintf(stderr, "upg build: nothing was written to %s\n", bundle.dir.c_str());
        return ExitNotApplied;
    }
    if (!c.quiet && !bundle.dir.empty())
        printf("bundle %s: %s.exe (from %s), %s.upg%s, %s.uui (%s)\n", bundle.dir.c_str(), bundle.base.c_str(),
               bundle.setupExe.c_str(), bundle.base.c_str(),
               olds.size() > 1 ? (" and " + std::to_string(olds.size() - 1) + " from earlier releases").c_str() : "",
               bundle.base.c_str(), bundle.wording.empty() ? "the built-in wording" : bundle.wording.c_str());
    return ExitDone;
}
