// upg inspect: the header, texts and every entry of a package, with figures for each script.
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "commands.h"
#include "options.h"
#include "os.h"
#include "scriptscan.h"
#include "job.h"
#include "stream.h"
#include "trust.h"

namespace {

const char kHelp[] = "Usage: upg inspect PACKAGE [--json] [--trust KEYFILE]\n"
                     "\n"
                     "Shows the package's format version, title and release notes, and for every file its kind,\n"
                     "policies, name, description and fingerprints before and after the upgrade, with figures\n"
                     "for its patch script: instructions, literal bytes, copied bytes, the size it produces and\n"
                     "whether it ends properly, and the package's seal: whether its digests hold and which key\n"
                     "signed it; with --trust, whether that is the given publisher key. --json prints the same\n"
                     "as one JSON object.\n"
                     "Exit codes: 0 every script ends properly and produces the expected size, 1 not so,\n"
                     "2 missing or invalid setup data or a usage error.\n";

// The stored value 3 names no policy; the upgrade treats it as Ignore.
const char* PolicyName(int p)
{
    const char* word = PolicyWord(p);
    return word ? word : "ignore (3)";
}

std::string DateText(uint32_t dt)
{
    char b[32];
    snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (dt >> 25), (dt >> 21) & 15, (dt >> 16) & 31,
             (dt >> 11) & 31, (dt >> 5) & 63, (dt & 31) * 2);
    return b;
}

std::string PrintText(const FileFingerprint& p)
{
    char b[96];
    snprintf(b, sizeof b, "%08X %u %04X (%s)", (unsigned)p.dateTime, (unsigned)p.size, (unsigned)p.checksum,
             DateText(p.dateTime).c_str());
    return b;
}

std::string PrintJson(const FileFingerprint& p)
{
    char b[128];
    snprintf(b, sizeof b, "{\"dateTime\": \"%08X\", \"date\": \"%s\", \"size\": %u, \"checksum\": \"%04X\"}",
             (unsigned)p.dateTime, DateText(p.dateTime).c_str(), (unsigned)p.size, (unsigned)p.checksum);
    return b;
}

// What inspect shows of a package, read once.
struct Contents {
    const char* package;
    UpgradeJob* job;
    std::vector<ScriptFigures> figures;   // per entry; empty for Delete entries
    TrustReport report;
    int trusted;
    uint32_t sealBytes;
    uint32_t after;   // bytes between the last script and the seal
    int clean;        // every script ends properly at its expected size
};

void PrintContentsJson(const Contents& c)
{
    const UpgradeJob& job = *c.job;
    int count = job.EntryCount();
    printf("{\n  \"package\": %s,\n  \"version\": %u,\n  \"title\": %s,\n  \"notes\": %s,\n  \"entries\": [",
           JsonText(c.package).c_str(), (unsigned)job.header.version, JsonText(job.title.c_str()).c_str(),
           JsonText(job.notes.c_str()).c_str());
    for (int i = 0; i < count; i++) {
        const FileEntry* e = job.Entry(i);
        printf("%s\n    {\"kind\": \"%s\", \"softPolicy\": \"%s\", \"hardPolicy\": \"%s\", \"name\": %s, "
               "\"description\": %s",
               i ? "," : "", KindWord(e->kind), PolicyName(e->softPolicy), PolicyName(e->hardPolicy),
               JsonText(e->name).c_str(), JsonText(e->description).c_str());
        if (e->kind != KindAdd) printf(", \"oldPrint\": %s", PrintJson(e->oldPrint).c_str());
        if (e->kind != KindDelete) {
            const ScriptFigures& f = c.figures[i];
            printf(", \"newPrint\": %s, \"script\": {\"instructions\": %u, \"literalBytes\": %llu, "
                   "\"copiedBytes\": %llu, \"outputSize\": %llu, \"endsProperly\": %s}",
                   PrintJson(e->newPrint).c_str(), (unsigned)f.instructions, (unsigned long long)f.literal,
                   (unsigned long long)f.copied, (unsigned long long)(f.literal + f.copied),
                   f.ended ? "true" : "false");
        }
        printf("}");
    }
    printf("%s],\n  \"bytesAfterScripts\": %u,\n", count ? "\n  " : "", (unsigned)c.after);
    printf("  \"seal\": %s,\n", SealJson(c.report, c.sealBytes, c.trusted).c_str());
    printf("  \"clean\": %s\n}\n", c.clean && c.trusted ? "true" : "false");
}

// The package's version, code page, title and notes, one line of the notes a line.
void PrintHeader(const Contents& c)
{
    const UpgradeJob& job = *c.job;
    printf("Package:  %s\nVersion:  %u\n", c.package, (unsigned)job.header.version);
    if (job.codePage)
        printf("Texts:    code page %u, recorded in the seal\n", job.codePage);
    else if (SystemCodePage())
        printf("Texts:    no code page recorded: read in this system's code page %u\n", SystemCodePage());
    else
        printf("Texts:    no code page recorded: read as UTF-8 where valid, else as code page 1252\n");
    printf("Title:    %s\nNotes:\n", job.title.c_str());
    std::string notes = job.notes;
    size_t start = 0;
    while (start < notes.size()) {
        size_t end = notes.find('\n', start);
        if (end == std::string::npos) end = notes.size();
        std::string line = notes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        printf("  %s\n", line.c_str());
        start = end + 1;
    }
}

void PrintContentsText(const Contents& c)
{
    const UpgradeJob& job = *c.job;
    int count = job.EntryCount();
    PrintHeader(c);
    printf("Files:    %d\n", count);
    for (int i = 0; i < count; i++) {
        const FileEntry* e = job.Entry(i);
        printf("\n%5d. %-6s %s\n", i + 1, KindWord(e->kind), e->name);
        printf("       policies: soft %s, hard %s\n", PolicyName(e->softPolicy), PolicyName(e->hardPolicy));
        if (e->description[0]) printf("       description: %s\n", e->description);
        if (e->kind != KindAdd) printf("       before: %s\n", PrintText(e->oldPrint).c_str());
        if (e->kind != KindDelete) {
            const ScriptFigures& f = c.figures[i];
            printf("       after:  %s\n", PrintText(e->newPrint).c_str());
            printf("       script: %u instruction%s, %llu literal bytes, %llu copied bytes, output %llu bytes%s, %s\n",
                   (unsigned)f.instructions, f.instructions == 1 ? "" : "s", (unsigned long long)f.literal,
                   (unsigned long long)f.copied, (unsigned long long)(f.literal + f.copied),
                   f.literal + f.copied == e->newPrint.size ? "" : " (not the expected size)",
                   f.ended ? "ends properly" : "does not end properly");
        }
    }
    if (c.after) printf("\n%u bytes follow the last script.\n", (unsigned)c.after);
    if (c.report.seal == SealAbsent)
        printf("\nSeal:     none\n");
    else
        printf("\nSeal:     %u bytes; %s%s.\n", (unsigned)c.sealBytes,
               c.trusted ? "" : "REFUSED: ", TrustText(c.report).c_str());
    if (!c.clean) printf("\nSome scripts do not end properly or do not produce the expected size.\n");
}

}   // namespace

int CmdInspect(int argc, char** argv)
{
    int json = 0;
    const char* trust = nullptr;
    std::vector<std::string> operands;
    CommandLine line{"inspect",
                     kHelp,
                     {Flag("--json", nullptr, &json), Text("--trust", nullptr, &trust, "--trust needs a key file.")},
                     1};
    int read = ReadCommandLine(line, argc, argv, &operands);
    if (read != kRunCommand) return read;
    if (operands.empty()) return UsageError("inspect", "name the package to show.");
    const char* package = operands[0].c_str();
    std::string reason;
    if (!CheckPackage(package, &reason)) return RefusePackage(reason);

    UpgradeJob job(package);
    if (!CheckPackageSeal(&job, &reason)) return RefusePackage(reason);
    Contents c{package, &job, {}, TrustReport(), 0, 0, 0, 1};
    // A job without a target pins nothing: only --trust names a key here.
    c.trusted = CheckPackageTrust(&job, trust, &c.report);
    c.sealBytes = job.seal ? job.seal->size : 0;
    int count = job.EntryCount();
    c.figures.resize(count);
    for (int i = 0; i < count; i++) {
        const FileEntry* e = job.Entry(i);
        if (e->kind == KindDelete) continue;
        c.figures[i] = ScanScript(job.stream.get());
        if (!c.figures[i].ended || c.figures[i].Output() != e->newPrint.size) c.clean = 0;
    }
    uint32_t size = job.stream->Size();
    uint32_t at = job.stream->Tell();
    c.after = !job.stream->HasError() && size > at + c.sealBytes ? size - at - c.sealBytes : 0;
    if (json)
        PrintContentsJson(c);
    else
        PrintContentsText(c);
    return c.clean && c.trusted ? ExitDone : ExitNotApplied;
}
