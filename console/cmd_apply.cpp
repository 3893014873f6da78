// upg apply: checks the package, finds or takes the target folder, applies with the engine.
#include <stdio.h>
#include <string.h>
#include <memory>
#include <new>
#include <string>
#include <vector>
#include "apply.h"
#include "applyjson.h"
#include "commands.h"
#include "files.h"
#include "joblog.h"
#include "job.h"
#include "search.h"
#include "stream.h"
#include "terminal.h"
#include "terminal_ui.h"
#include "session.h"
#include "uitext.h"
#include "upg_version.h"

namespace {

const char kHelp[] =
    "Usage: upg apply PACKAGE... [--target DIR] [--trust KEYFILE] [--ui FILE] [--answers SEQ | --yes | --no]\n"
    "                 [--log FILE] [--json] [--quiet]\n"
    "\n"
    "Brings the installation in DIR up to the release in PACKAGE. Every listed file is checked\n"
    "first; the new files are built and verified in a scratch folder inside DIR, and only then\n"
    "replace the old ones. Questions about unexpected files appear on the terminal.\n"
    "\n"
    "Several packages, or a bundle's folder (BASE.upg with its BASE-from-*.upg), serve every\n"
    "earlier release they start from: the one that fits the installation is applied, and named.\n"
    "When none fits, the base package is, and its checks say what differs.\n"
    "\n"
    "  --target DIR    the installation's folder; without it, the fixed disks are searched\n"
    "  --trust KEYFILE apply only a package signed with this publisher key (a public key\n"
    "                  file); without it, the key the installation pins in its upgtrust.pem\n"
    "  --ui FILE       wording of the questions and progress texts (default: PACKAGE's .uui\n"
    "                  beside it, else the built-in English wording)\n"
    "  --answers SEQ   answer the questions in order from the letters y and n, then No\n"
    "  --yes, --no     answer every question Yes, or No; with --yes, files in use by other\n"
    "                  programs are waited for up to 10 seconds\n"
    "  --log FILE      write a log of every step to FILE (replaced), as the Windows program\n"
    "                  does in the temporary folder; a log that cannot be written is skipped\n"
    "  --json          print one JSON object on stdout: each file's finding, the answers,\n"
    "                  every file operation, the commit's result and the outcome\n"
    "  --quiet         no progress bar and no notes on what is happening\n"
    "\n"
    "Without answers given, questions are read from the terminal, or answered No when there is\n"
    "none. Ctrl-C asks whether to cancel; a cancelled upgrade leaves the installation as it was.\n"
    "Files that other programs hold or run, and a folder your user account may not change, are\n"
    "reported before anything changes, and nothing is applied.\n"
    "The files are replaced all or none; an upgrade interrupted while it replaces them is\n"
    "finished, without questions, by running it again.\n"
    "Exit codes: 0 applied, 1 not applied, 2 missing or invalid setup data or a usage error.\n";

// The wording file beside the package: its path with the extension .uui.
std::string WordingBeside(const std::string& package)
{
    size_t slash = package.find_last_of("/\\");
    size_t dot = package.rfind('.');
    std::string base = (dot != std::string::npos && (slash == std::string::npos || dot > slash))
                           ? package.substr(0, dot)
                           : package;
    return base + ".uui";
}

// The last line of an apply: what it came to.
const char* OutcomeText(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyApplied: return "The upgrade is complete.";
    case ApplyNotStarted: return "The upgrade could not start; nothing was changed.";
    case ApplyCancelled: return "The upgrade was cancelled; nothing was changed.";
    case ApplyDeclined: return "The upgrade was not applied: a question was answered No; nothing was changed.";
    case ApplyStopped: return "The upgrade was not applied: a file stopped it; nothing was changed.";
    case ApplyNotReplaced: return "The upgrade was not applied: its files could not all be replaced; nothing was changed.";
    case ApplyRefused: return "The upgrade was not applied: the package was refused; nothing was changed.";
    case ApplyUpToDate: return "The installation is already up to date; nothing was changed.";
    case ApplyInterrupted:
        return "The upgrade is not finished: its record is kept in the scratch folder; run it again to finish it.";
    case ApplyInUse: return "The upgrade was not applied: files are in use by other programs; nothing was changed.";
    case ApplyNoAccess:
        return "The upgrade was not applied: your user account may not change the installation; nothing was changed.";
    }
    return "The upgrade was not completed.";
}

int Readable(const char* path)
{
    if (!FileExists(path)) return 0;
    FileStream probe(ReadAccess, path);
    return !probe.HasError();
}

}  // namespace

int CmdApply(int argc, char** argv)
{
    std::vector<std::string> given;
    const char* target = nullptr;
    const char* uiFile = nullptr;
    const char* answers = nullptr;
    const char* trust = nullptr;
    const char* logPath = nullptr;
    int yes = 0, no = 0, quiet = 0, json = 0;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (IsHelp(a)) {
            fputs(kHelp, stdout);
            return ExitDone;
        }
        if (strcmp(a, "--target") == 0 || strcmp(a, "--ui") == 0 || strcmp(a, "--answers") == 0 ||
            strcmp(a, "--trust") == 0 || strcmp(a, "--log") == 0) {
            if (i + 1 >= argc) return UsageError("apply", std::string(a) + " needs a value.");
            const char* v = argv[++i];
            if (strcmp(a, "--target") == 0) target = v;
            if (strcmp(a, "--trust") == 0) trust = v;
            if (strcmp(a, "--ui") == 0) uiFile = v;
            if (strcmp(a, "--answers") == 0) answers = v;
            if (strcmp(a, "--log") == 0) logPath = v;
        } else if (strcmp(a, "--json") == 0) {
            json = 1;
        } else if (strcmp(a, "--yes") == 0) {
            yes = 1;
        } else if (strcmp(a, "--no") == 0) {
            no = 1;
        } else if (strcmp(a, "--quiet") == 0) {
            quiet = 1;
        } else if (a[0] == '-' && a[1]) {
            return UsageError("apply", std::string("unknown option ") + a + ".");
        } else {
            given.push_back(a);
        }
    }
    if (given.empty()) return UsageError("apply", "name the package to apply.");
    if ((answers != nullptr) + yes + no > 1) return UsageError("apply", "--answers, --yes and --no exclude each other.");
    if (answers) {
        for (const char* p = answers; *p; p++)
            if (!strchr("yYnN", *p))
                return UsageError("apply", std::string("--answers takes only the letters y and n, not '") + *p + "'.");
    }

    std::vector<std::string> packages;
    std::string gatherFault;
    int gathered = GatherPackages(given, &packages, &gatherFault);
    const char* package = gathered ? packages[0].c_str() : given[0].c_str();
    // The log is opened before anything is checked, so that a refusal is in it too.
    FileJobLog fileLog(logPath);
    fileLog.Note(std::string("upg ") + UPG_VERSION + ": apply " + package);
    std::string folder = target ? target : "";
    // Ends before the apply: a refused package (exit 2), or no installation to apply to (exit 1).
    auto refuse = [&](const std::string& why) {
        fileLog.Note(std::string("refused: ") + kInvalidSetupData + " " + why);
        int code = RefusePackage(why);
        return json ? JsonEnd(package, folder.c_str(), nullptr, "invalid", kInvalidSetupData + (" " + why), code) : code;
    };
    auto stop = [&](const char* outcome, const std::string& why) {
        fprintf(stderr, "%s\n", why.c_str());
        fileLog.Note("not applied: " + why);
        return json ? JsonEnd(package, folder.c_str(), nullptr, outcome, why, ExitNotApplied) : ExitNotApplied;
    };

    std::string reason;
    if (!gathered) return refuse(gatherFault);
    for (const std::string& p : packages)
        if (!CheckPackage(p.c_str(), &reason)) return refuse(packages.size() > 1 ? p + ": " + reason : reason);
    if (uiFile && !Readable(uiFile)) return refuse(std::string("The wording file ") + uiFile + " cannot be read.");

    std::vector<const char*> paths;
    for (const std::string& p : packages) paths.push_back(p.c_str());
    char found[kPathMax] = "";
    int chosen = 0;
    if (target) {
        if (!IsDirectory(target)) return stop("noTarget", std::string("The target folder ") + target + " does not exist.");
        if (paths.size() > 1) chosen = ChoosePackage(paths.data(), (int)paths.size(), target);
    } else {
        if (!quiet) fprintf(stderr, "Searching for installed components...\n");
        fileLog.Note("searching the fixed disks for the installation");
        std::unique_ptr<SearchPlatform> platform(NewPortableSearchPlatform());
        if (!FindInstallationOfAny(paths.data(), (int)paths.size(), found, platform.get(), &chosen))
            return stop("notFound",
                        std::string("No installation that ") + (paths.size() > 1 ? "these packages" : "this package") +
                            " can upgrade was found on the fixed disks.\nName its folder with --target DIR.");
        folder = ShownPath(found);
        fprintf(stderr, "Found the installation in %s\n", folder.c_str());
        fileLog.Note("installation found: " + folder);
    }
    if (paths.size() > 1) {
        std::string which = chosen >= 0 ? "Using " + FileNameOf(paths[chosen]) + ", the package that fits the installation."
                                        : "No package fits the installation as it is: using the base package " +
                                              FileNameOf(paths[0]) + ".";
        if (chosen < 0) chosen = 0;
        package = paths[chosen];
        if (!quiet) fprintf(stderr, "%s\n", which.c_str());
        fileLog.Note(which);
    }

    std::string wording = uiFile ? uiFile : WordingBeside(paths[0]);

    AnswerSource source = yes ? AnswerAllYes : no ? AnswerAllNo : answers ? AnswerFromList : AnswerFromTerminal;
    TerminalUi ui(source, answers ? answers : "", !quiet && IsTerminal(stderr));
    UpgradeJob job(package, folder.c_str());
    ApplySession host(&job, &ui);
    host.wording.reset((uiFile || Readable(wording.c_str())) ? new UiTextTable(wording.c_str())
                                                             : new UiTextTable(nullptr, "UPGAPPLYUI"));
    if (trust) host.trustFile = trust;
    if (job.targetTooLong) return stop("noTarget", "The target folder's path is too long: " + folder);
    if (!job.IsValid()) return refuse("The package changed while it was read.");
    if (!CheckPackageSeal(&job, &reason)) return refuse(reason);

    JsonApplyLog jsonLog(package, folder);
    TeeLog both(&fileLog, &jsonLog);
    host.log = json ? static_cast<JobLog*>(&both) : &fileLog;
    if (!quiet) fprintf(stderr, "Applying \"%s\" to %s\n", job.title.c_str(), folder.c_str());
    CatchInterrupt();
    ApplyOutcome outcome = ApplyUpgrade(&host);
    ui.CloseProgress(nullptr);
    int success = outcome == ApplyApplied || outcome == ApplyUpToDate;
    // An installation found up to date has been told so already.
    if (outcome != ApplyUpToDate && (!success || !quiet)) fprintf(stderr, "%s\n", OutcomeText(outcome));
    int code = success ? ExitDone : ExitNotApplied;
    if (json) jsonLog.Print(stdout, outcome, code);
    return code;
}
