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
#include "search.h"
#include "trust.h"
#include "upg_version.h"

namespace {

const char kHelp[] =
    "Usage: upg verify PACKAGE... --target DIR [--trust KEYFILE] [--json] [--log FILE]\n"
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

}  // namespace

int CmdVerify(int argc, char** argv)
{
    std::vector<std::string> given;
    const char* target = nullptr;
    const char* trust = nullptr;
    const char* logPath = nullptr;
    int json = 0;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (IsHelp(a)) {
            fputs(kHelp, stdout);
            return ExitDone;
        }
        if (strcmp(a, "--json") == 0) {
            json = 1;
        } else if (strcmp(a, "--target") == 0 || strcmp(a, "--trust") == 0 || strcmp(a, "--log") == 0) {
            if (i + 1 >= argc) return UsageError("verify", std::string(a) + " needs a value.");
            (strcmp(a, "--target") == 0 ? target : strcmp(a, "--trust") == 0 ? trust : logPath) = argv[++i];
        } else if (a[0] == '-' && a[1]) {
            return UsageError("verify", std::string("unknown option ") + a + ".");
        } else {
            given.push_back(a);
        }
    }
    if (given.empty()) return UsageError("verify", "name the package to check.");
    if (!target) return UsageError("verify", "name the installation's folder with --target DIR.");
    std::string reason;
    std::vector<std::string> packages;
    int gathered = GatherPackages(given, &packages, &reason);
    const char* package = gathered ? packages[0].c_str() : given[0].c_str();
    FileJobLog log(logPath);
    log.Note(std::string("upg ") + UPG_VERSION + ": verify " + package + " against " + target);
    auto invalid = [&](const std::string& why) {
        log.Note(std::string("refused: ") + kInvalidSetupData + " " + why);
        int code = RefusePackage(why);
        return json ? JsonEnd(package, target, nullptr, "invalid", kInvalidSetupData + (" " + why), code) : code;
    };
    auto stopped = [&](const std::string& why) {
        log.Note("not checked: " + why);
        fprintf(stderr, "%s\n", why.c_str());
        return json ? JsonEnd(package, target, nullptr, "noTarget", why, ExitNotApplied) : ExitNotApplied;
    };
    if (!gathered) return invalid(reason);
    for (const std::string& p : packages)
        if (!CheckPackage(p.c_str(), &reason)) return invalid(packages.size() > 1 ? p + ": " + reason : reason);
    if (!IsDirectory(target)) return stopped(std::string("The target folder ") + target + " does not exist.");
    if (packages.size() > 1) {
        std::vector<const char*> paths;
        for (const std::string& p : packages) paths.push_back(p.c_str());
        int chosen = ChoosePackage(paths.data(), (int)paths.size(), target);
        std::string which = chosen >= 0 ? "Package: " + FileNameOf(packages[chosen]) + " fits the installation."
                                        : "Package: none fits the installation as it is; checked against the base package " +
                                              FileNameOf(packages[0]) + ".";
        package = packages[chosen < 0 ? 0 : chosen].c_str();
        log.Note(which);
        if (!json) printf("%s\n", which.c_str());
    }
    UpgradeJob job(package, target);
    if (job.targetTooLong) return stopped(std::string("The target folder's path is too long: ") + target);
    if (!job.IsValid()) return invalid("The package changed while it was read.");
    if (!CheckPackageSeal(&job, &reason)) return invalid(reason);

    TrustReport report;
    int trusted = CheckPackageTrust(&job, trust, &report);
    log.Trust(&job, report, trusted);
    std::string seal = SealJson(report, job.seal ? job.seal->size : 0, trusted);
    if (!trusted) {
        std::string why = "The package would be refused: " + TrustText(report) + ".";
        if (json) return JsonEnd(package, target, seal.c_str(), "refused", why, ExitNotApplied);
        printf("%s\n", why.c_str());
        return ExitNotApplied;
    }
    if (!json && (report.seal != SealAbsent || report.pinned)) printf("Seal: %s.\n", TrustText(report).c_str());
    // What an apply does first of all, before any file below is looked at.
    char journal[kPathMax];
    if (!json && JournalPath(&job, journal) && FileExists(journal)) {
        if (JournalBelongsToPackage(&job))
            printf("A commit of this package was interrupted: applying finishes it without a question.\n");
        else
            printf("An interrupted commit is recorded in the scratch folder: applying undoes it first.\n");
    }

    int count = job.EntryCount();
    int problems = 0;
    std::vector<FindingWords> verdicts;
    for (int i = 0; i < count; i++) {
        EntryFinding finding = CheckEntry(&job, i);
        log.Finding(i, job.Entry(i), finding);
        verdicts.push_back(DescribeFinding(finding));
        if (!verdicts.back().clean) problems++;
    }
    int code = problems ? ExitNotApplied : ExitDone;
    log.Note(std::string("outcome: ") + (problems ? "attention: " + std::to_string(problems) + " of " : "clean: all ") +
             std::to_string(count) + " files" + (problems ? " need attention" : " would be upgraded"));
    if (json) {
        printf("{\n  \"package\": %s,\n  \"target\": %s,\n  \"seal\": %s,\n  \"entries\": [",
               JsonText(package).c_str(), JsonText(target).c_str(), seal.c_str());
        for (int i = 0; i < count; i++)
            printf("%s\n    {%s}", i ? "," : "", FindingJson(job.Entry(i), verdicts[i]).c_str());
        printf("%s],\n  \"files\": %d,\n  \"needAttention\": %d,\n  \"outcome\": \"%s\",\n  \"exitCode\": %d\n}\n",
               count ? "\n  " : "", count, problems, problems ? "attention" : "clean", code);
        return code;
    }
    for (int i = 0; i < count; i++)
        printf("%-6s %s: %s\n", KindName(job.Entry(i)->kind), ShownPath(job.Entry(i)->name).c_str(),
               verdicts[i].text.c_str());
    if (problems)
        printf("%d of %d files need attention.\n", problems, count);
    else
        printf("All %d files would be upgraded.\n", count);
    return code;
}
