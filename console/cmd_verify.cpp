// upg verify: the pre-check alone; reports each entry's finding and touches nothing.
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "apply.h"
#include "commit.h"
#include "commands.h"
#include "files.h"
#include "reader.h"
#include "trust.h"

namespace {

const char kHelp[] =
    "Usage: upg verify PACKAGE --target DIR [--trust KEYFILE] [--json]\n"
    "\n"
    "Checks every file that PACKAGE lists against the installation in DIR, as the upgrade's\n"
    "first step would, and prints one line per file: what would be done, its name, and what\n"
    "was found. Asks nothing and changes nothing. It first says whether the package's seal\n"
    "holds, who signed it and whether that is the publisher key the installation pins (its\n"
    "upgtrust.pem, or KEYFILE). --json prints one JSON object instead: the seal, each file's\n"
    "finding and what the upgrade would do about it, and the outcome with its exit code.\n"
    "Exit codes (stable): 0 every file would be upgraded without a question, 1 some would\n"
    "not, the package would be refused or the folder does not exist, 2 missing or invalid\n"
    "setup data or a usage error.\n";

const char* PolicyOutcome(int policy)
{
    if (policy == PolicyAsk) return "the upgrade would ask";
    if (policy == PolicyAbort) return "the upgrade would stop";
    return "";
}

// One file's finding: what the person reads, the names a script reads, and whether the entry
// would go through unasked.
struct Verdict {
    std::string text;
    const char* finding;      // ok, upgraded, missing, modified, readOnly, dateDiffers, exists
    const char* policy;       // the policy that decides it; null for a clean entry
    const char* resolution;   // apply, none (already upgraded), skip, ask, stop
    int clean;
};

Verdict Judge(const EntryFinding& f)
{
    if (f.state == StateUpgraded) return {"already upgraded", "upgraded", nullptr, "none", 1};
    if (f.line == LineNone) return {"ok", "ok", nullptr, "apply", 1};
    Verdict v{"", "unexpected", "", "", 0};
    switch (f.state) {
    case StateMissing: v.text = "missing"; v.finding = "missing"; break;
    case StateModified: v.text = "not the expected version"; v.finding = "modified"; break;
    case StateReadOnly: v.text = "read-only"; v.finding = "readOnly"; break;
    case StateDateDiffers: v.text = "expected contents, other date"; v.finding = "dateDiffers"; break;
    case StateAlreadyExists: v.text = "exists already"; v.finding = "exists"; break;
    case StateTooLong: v.text = "path too long for this folder"; v.finding = "tooLong"; break;
    default: v.text = "unexpected"; break;
    }
    // Soft findings let the file through under Ignore; hard ones skip it.
    if (f.policy == PolicyIgnore) {
        v.text += f.soft ? " (accepted)" : " (would be skipped)";
        v.policy = "ignore";
        v.resolution = f.soft ? "apply" : "skip";
        v.clean = f.soft;
        return v;
    }
    v.policy = f.policy == PolicyAsk ? "ask" : "abort";
    v.resolution = f.policy == PolicyAsk ? "ask" : "stop";
    v.text += " (" + std::string(PolicyOutcome(f.policy)) + ")";
    return v;
}

// The JSON document of a run that ends before the files are checked: why, and the exit code.
int JsonEnd(const char* package, const char* target, const char* seal, const char* outcome,
            const std::string& reason, int code)
{
    printf("{\n  \"package\": %s,\n  \"target\": %s,\n", JsonText(package).c_str(), JsonText(target).c_str());
    if (seal) printf("  \"seal\": %s,\n", seal);
    printf("  \"outcome\": \"%s\",\n  \"reason\": %s,\n  \"exitCode\": %d\n}\n", outcome,
           JsonText(reason.c_str()).c_str(), code);
    return code;
}

}  // namespace

int CmdVerify(int argc, char** argv)
{
    const char* package = nullptr;
    const char* target = nullptr;
    const char* trust = nullptr;
    int json = 0;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (IsHelp(a)) {
            fputs(kHelp, stdout);
            return ExitDone;
        }
        if (strcmp(a, "--json") == 0) {
            json = 1;
        } else if (strcmp(a, "--target") == 0 || strcmp(a, "--trust") == 0) {
            if (i + 1 >= argc) return UsageError("verify", std::string(a) + " needs a value.");
            (strcmp(a, "--target") == 0 ? target : trust) = argv[++i];
        } else if (a[0] == '-' && a[1]) {
            return UsageError("verify", std::string("unknown option ") + a + ".");
        } else if (!package) {
            package = a;
        } else {
            return UsageError("verify", std::string("unexpected argument ") + a + ".");
        }
    }
    if (!package) return UsageError("verify", "name the package to check.");
    if (!target) return UsageError("verify", "name the installation's folder with --target DIR.");
    std::string reason;
    auto invalid = [&](const std::string& why) {
        int code = RefusePackage(why);
        return json ? JsonEnd(package, target, nullptr, "invalid", kInvalidSetupData + (" " + why), code) : code;
    };
    auto stopped = [&](const std::string& why) {
        fprintf(stderr, "%s\n", why.c_str());
        return json ? JsonEnd(package, target, nullptr, "noTarget", why, ExitNotApplied) : ExitNotApplied;
    };
    if (!CheckPackage(package, &reason)) return invalid(reason);
    if (!IsDirectory(target)) return stopped(std::string("The target folder ") + target + " does not exist.");
    UpgradeJob job(nullptr, nullptr, package, target);
    if (job.targetTooLong) return stopped(std::string("The target folder's path is too long: ") + target);
    if (!job.IsValid() || job.progressTotal == 0) return invalid("The package changed while it was read.");
    if (!CheckPackageSeal(&job, &reason)) return invalid(reason);

    TrustReport report;
    int trusted = CheckPackageTrust(&job, trust, &report);
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
    std::vector<Verdict> verdicts;
    for (int i = 0; i < count; i++) {
        verdicts.push_back(Judge(CheckEntry(&job, i)));
        if (!verdicts.back().clean) problems++;
    }
    int code = problems ? ExitNotApplied : ExitDone;
    if (json) {
        printf("{\n  \"package\": %s,\n  \"target\": %s,\n  \"seal\": %s,\n  \"entries\": [",
               JsonText(package).c_str(), JsonText(target).c_str(), seal.c_str());
        for (int i = 0; i < count; i++) {
            const Verdict& v = verdicts[i];
            printf("%s\n    {\"kind\": \"%s\", \"name\": %s, \"finding\": \"%s\", \"policy\": %s%s%s, "
                   "\"resolution\": \"%s\", \"text\": %s}",
                   i ? "," : "", KindName(job.entries[i]->kind), JsonText(job.entries[i]->name).c_str(), v.finding,
                   v.policy ? "\"" : "null", v.policy ? v.policy : "", v.policy ? "\"" : "", v.resolution,
                   JsonText(v.text.c_str()).c_str());
        }
        printf("%s],\n  \"files\": %d,\n  \"needAttention\": %d,\n  \"outcome\": \"%s\",\n  \"exitCode\": %d\n}\n",
               count ? "\n  " : "", count, problems, problems ? "attention" : "clean", code);
        return code;
    }
    for (int i = 0; i < count; i++)
        printf("%-6s %s: %s\n", KindName(job.entries[i]->kind), ShownPath(job.entries[i]->name).c_str(),
               verdicts[i].text.c_str());
    if (problems)
        printf("%d of %d files need attention.\n", problems, count);
    else
        printf("All %d files would be upgraded.\n", count);
    return code;
}
