// upg verify: the pre-check alone; reports each entry's finding and touches nothing.
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "apply.h"
#include "commit.h"
#include "commands.h"
#include "files.h"
#include "joblog.h"
#include "job.h"
#include "options.h"
#include "search.h"
#include "trust.h"
#include "upg_version.h"

namespace {

const char kHelp[] = "Usage: upg verify PACKAGE... --target DIR [--trust KEYFILE] [--json] [--log FILE]\n"
                     "\n"
                     "Checks every file that PACKAGE lists against the installation in DIR, as the upgrade's\n"
                     "first step would, and prints one line per file: what would be done, its name, and what\n"
                     "was found. Asks nothing and changes nothing. It first says whether the package's seal\n"
                     "holds, who signed it and whether that is the publisher key the installation pins (its\n"
                     "upgtrust.pem, or KEYFILE). --json prints one JSON object instead: the seal, each file's\n"
                     "finding and what the upgrade would do about it, and the outcome with its exit code.\n"
                     "--log FILE writes the findings to FILE (replaced), stamped like the log of an apply.\n"
                     "Exit codes (stable): 0 every file would be upgraded without a question, 1 some would\n"
                     "not, the package would be refused or the folder does not exist, 2 missing or invalid\n"
                     "setup data or a usage error.\n"
                     "Given several packages or a bundle's folder, it first names the package that fits DIR\n"
                     "(the base package when none does) and checks that one.\n";

// What the command line of upg verify asks for.
struct VerifyCommand {
    std::vector<std::string> given;   // packages, or a bundle's folder
    const char* target = nullptr;
    const char* trust = nullptr;
    const char* logPath = nullptr;
    int json = 0;
};

// kRunCommand, or the exit code of help or a usage error.
int ReadVerifyCommand(int argc, char** argv, VerifyCommand* c)
{
    CommandLine line{"verify",
                     kHelp,
                     {Flag("--json", nullptr, &c->json), Text("--target", nullptr, &c->target),
                      Text("--trust", nullptr, &c->trust), Text("--log", nullptr, &c->logPath)}};
    int read = ReadCommandLine(line, argc, argv, &c->given);
    if (read != kRunCommand) return read;
    if (c->given.empty()) return UsageError("verify", "name the package to check.");
    if (!c->target) return UsageError("verify", "name the installation's folder with --target DIR.");
    return kRunCommand;
}

// Of several packages, the one that fits the installation (else the base package), named.
const char* ChoosePackageFor(const std::vector<std::string>& packages, const char* target, JobLog* log, int json)
{
    std::vector<const char*> paths;
    for (const std::string& p : packages) paths.push_back(p.c_str());
    int chosen = ChoosePackage(paths.data(), (int)paths.size(), target);
    std::string which = chosen >= 0
        ? "Package: " + FileNameOf(packages[chosen]) + " fits the installation."
        : "Package: none fits the installation as it is; checked against the base package " + FileNameOf(packages[0]) +
            ".";
    log->Note(which);
    if (!json) printf("%s\n", which.c_str());
    return paths[chosen < 0 ? 0 : chosen];
}

// What an apply does first of all, before any file is looked at.
void ShowJournal(UpgradeJob* job)
{
    char journal[kPathMax];
    if (!JournalPath(job, journal) || !FileExists(journal)) return;
    if (JournalBelongsToPackage(job))
        printf("A commit of this package was interrupted: applying finishes it without a question.\n");
    else
        printf("An interrupted commit is recorded in the scratch folder: applying undoes it first.\n");
}

// The sets of files a seal holds one digest for, as verify names them: in text, in JSON.
const char* const kSetWords[][2] = {
    {"the new files", "new"}, {"the files to patch", "patched"}, {"the files to delete", "deleted"}};

// The sentence for a set whose digest does not hold: the file where one can be named.
std::string SetText(UpgradeJob* job, const SetFinding& f)
{
    std::string text = std::string("Seal: ") + kSetWords[f.set][0] +
        " match their sizes and checksums but not the seal's digest of their content";
    if (f.file >= 0) return text + "; the one that differs is " + ShownPath(job->Entry(f.file)->name) + ".";
    return text + "; which of the " + std::to_string(f.members) +
        " differs cannot be told, so the upgrade would stop before changing anything.";
}

// The sets whose digest does not hold, as a JSON field with its comma; none prints nothing.
std::string SetsJson(UpgradeJob* job, const std::vector<SetFinding>& sets)
{
    std::string out;
    for (const SetFinding& f : sets) {
        if (f.holds != 0) continue;
        out += std::string(out.empty() ? "" : ",") + "\n    {\"set\": \"" + kSetWords[f.set][1] +
            "\", \"file\": " + (f.file >= 0 ? JsonText(job->Entry(f.file)->name) : std::string("null")) + "}";
    }
    return out.empty() ? out : "\n  \"sealSets\": [" + out + "\n  ],";
}

// Checks every entry, logs and prints the findings; the exit code.
int ReportFindings(UpgradeJob* job, JobLog* log, const char* package, const char* target, const std::string& seal,
                   int json)
{
    int count = job->EntryCount();
    int problems = 0, setsDiffer = 0;
    std::vector<EntryFinding> findings;
    std::vector<SetFinding> sets;
    CheckEntries(job, &findings, &sets);
    std::vector<FindingWords> verdicts;
    for (int i = 0; i < count; i++) {
        log->Finding(i, job->Entry(i), findings[i]);
        verdicts.push_back(DescribeFinding(findings[i]));
        if (!verdicts.back().clean) problems++;
    }
    for (const SetFinding& f : sets)
        if (f.holds == 0) {
            setsDiffer++;
            log->Note(SetText(job, f));
        }
    int code = problems || setsDiffer ? ExitNotApplied : ExitDone;
    std::string files = std::to_string(count) + " files";
    std::string differing = setsDiffer > 1 ? "digests of " + std::to_string(setsDiffer) + " sets of files do"
                                           : std::string("digest of one set of files does");
    log->Note("outcome: " +
              (problems         ? "attention: " + std::to_string(problems) + " of " + files + " need attention"
                   : setsDiffer ? "attention: the seal's " + differing + " not hold"
                                : "clean: all " + files + " would be upgraded"));
    if (json) {
        printf("{\n  \"package\": %s,\n  \"target\": %s,\n  \"seal\": %s,\n  \"entries\": [", JsonText(package).c_str(),
               JsonText(target).c_str(), seal.c_str());
        for (int i = 0; i < count; i++)
            printf("%s\n    {%s}", i ? "," : "", FindingJson(job->Entry(i), verdicts[i]).c_str());
        printf("%s],%s\n  \"files\": %d,\n  \"needAttention\": %d,\n  \"outcome\": \"%s\",\n  \"exitCode\": %d\n}\n",
               count ? "\n  " : "", SetsJson(job, sets).c_str(), count, problems, code ? "attention" : "clean", code);
        return code;
    }
    for (int i = 0; i < count; i++)
        printf("%-6s %s: %s\n", KindWord(job->Entry(i)->kind), ShownPath(job->Entry(i)->name).c_str(),
               verdicts[i].text.c_str());
    if (problems)
        printf("%d of %d files need attention.\n", problems, count);
    else if (!setsDiffer)
        printf("All %d files would be upgraded.\n", count);
    for (const SetFinding& f : sets)
        if (f.holds == 0) printf("%s\n", SetText(job, f).c_str());
    return code;
}

}   // namespace

int CmdVerify(int argc, char** argv)
{
    VerifyCommand c;
    int read = ReadVerifyCommand(argc, argv, &c);
    if (read != kRunCommand) return read;
    std::string reason;
    std::vector<std::string> packages;
    int gathered = GatherPackages(c.given, &packages, &reason);
    FileJobLog log(c.logPath);
    EarlyEnd end{&log, "not checked: ", c.json, gathered ? packages[0].c_str() : c.given[0].c_str(), c.target};
    log.Note(std::string("upg ") + UPG_VERSION + ": verify " + end.package + " against " + c.target);
    if (!gathered || !CheckPackages(packages, &reason)) return end.Refuse(reason);
    if (!IsDirectory(c.target))
        return end.Stop("noTarget", std::string("The target folder ") + c.target + " does not exist.");
    if (packages.size() > 1) end.package = ChoosePackageFor(packages, c.target, &log, c.json);
    const char* package = end.package;
    UpgradeJob job(package, c.target);
    if (job.targetTooLong)
        return end.Stop("noTarget", std::string("The target folder's path is too long: ") + c.target);
    if (!job.IsValid()) return end.Refuse("The package changed while it was read.");
    if (!CheckPackageSeal(&job, &reason)) return end.Refuse(reason);

    TrustReport report;
    int trusted = CheckPackageTrust(&job, c.trust, &report);
    log.Trust(&job, report, trusted);
    std::string seal = SealJson(report, job.seal ? job.seal->size : 0, trusted);
    if (!trusted) {
        std::string why = "The package would be refused: " + TrustText(report) + ".";
        if (c.json) return JsonEnd(package, c.target, seal.c_str(), "refused", why, ExitNotApplied);
        printf("%s\n", why.c_str());
        return ExitNotApplied;
    }
    if (!c.json && (report.seal != SealAbsent || report.pinned)) printf("Seal: %s.\n", TrustText(report).c_str());
    if (!c.json) ShowJournal(&job);
    return ReportFindings(&job, &log, package, c.target, seal, c.json);
}
