// upg verify: the pre-check alone; reports each entry's finding and touches nothing.
#include <stdio.h>
#include <string.h>
#include <string>
#include "apply.h"
#include "commands.h"
#include "files.h"
#include "reader.h"
#include "trust.h"

namespace {

const char kHelp[] =
    "Usage: upg verify PACKAGE --target DIR [--trust KEYFILE]\n"
    "\n"
    "Checks every file that PACKAGE lists against the installation in DIR, as the upgrade's\n"
    "first step would, and prints one line per file: what would be done, its name, and what\n"
    "was found. Asks nothing and changes nothing. It first says whether the package's seal\n"
    "holds, who signed it and whether that is the publisher key the installation pins (its\n"
    "upgtrust.pem, or KEYFILE).\n"
    "Exit codes: 0 every file would be upgraded without a question, 1 some would not,\n"
    "2 missing or invalid setup data or a usage error.\n";

const char* PolicyOutcome(int policy)
{
    if (policy == PolicyAsk) return "the upgrade would ask";
    if (policy == PolicyAbort) return "the upgrade would stop";
    return "";
}

// What the person reads for a finding, and whether the entry would go through unasked.
std::string Wording(const EntryFinding& f, int* clean)
{
    *clean = 1;
    if (f.state == StateUpgraded) return "already upgraded";
    if (f.line == LineNone) return "ok";
    std::string what;
    switch (f.state) {
    case StateMissing: what = "missing"; break;
    case StateModified: what = "not the expected version"; break;
    case StateReadOnly: what = "read-only"; break;
    case StateDateDiffers: what = "expected contents, other date"; break;
    case StateAlreadyExists: what = "exists already"; break;
    default: what = "unexpected"; break;
    }
    // Soft findings let the file through under Ignore; hard ones skip it.
    if (f.policy == PolicyIgnore) {
        what += f.soft ? " (accepted)" : " (would be skipped)";
        if (!f.soft) *clean = 0;
        return what;
    }
    *clean = 0;
    return what + " (" + PolicyOutcome(f.policy) + ")";
}

}  // namespace

int CmdVerify(int argc, char** argv)
{
    const char* package = nullptr;
    const char* target = nullptr;
    const char* trust = nullptr;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (IsHelp(a)) {
            fputs(kHelp, stdout);
            return ExitDone;
        }
        if (strcmp(a, "--target") == 0 || strcmp(a, "--trust") == 0) {
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
    if (!CheckPackage(package, &reason)) return RefusePackage(reason);
    if (!IsDirectory(target)) {
        fprintf(stderr, "The target folder %s does not exist.\n", target);
        return ExitNotApplied;
    }
    UpgradeJob job(nullptr, nullptr, package, target);
    if (job.targetTooLong) {
        fprintf(stderr, "The target folder's path is too long: %s\n", target);
        return ExitNotApplied;
    }
    if (!job.IsValid() || job.progressTotal == 0) return RefusePackage("The package changed while it was read.");
    if (!CheckPackageSeal(&job, &reason)) return RefusePackage(reason);

    TrustReport report;
    if (!CheckPackageTrust(&job, trust, &report)) {
        printf("The package would be refused: %s.\n", TrustText(report).c_str());
        return ExitNotApplied;
    }
    if (report.seal != SealAbsent || report.pinned) printf("Seal: %s.\n", TrustText(report).c_str());

    int count = job.EntryCount();
    int problems = 0;
    for (int i = 0; i < count; i++) {
        const FileEntry* e = job.entries[i];
        int clean = 1;
        std::string finding = Wording(CheckEntry(&job, i), &clean);
        if (!clean) problems++;
        printf("%-6s %s: %s\n", KindName(e->kind), ShownPath(e->name).c_str(), finding.c_str());
    }
    if (problems)
        printf("%d of %d files need attention.\n", problems, count);
    else
        printf("All %d files would be upgraded.\n", count);
    return problems ? ExitNotApplied : ExitDone;
}
