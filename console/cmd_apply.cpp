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
#include "options.h"
#include "search.h"
#include "stream.h"
#include "terminal.h"
#include "terminal_ui.h"
#include "trust.h"
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
    std::string base =
        (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? package.substr(0, dot) : package;
    return base + ".uui";
}

int Readable(const char* path)
{
    if (!FileExists(path)) return 0;
    FileStream probe(ReadAccess, path);
    return !probe.HasError();
}

// What the command line of upg apply asks for.
struct ApplyCommand {
    std::vector<std::string> given;   // packages, or a bundle's folder
    const char* target = nullptr;
    const char* uiFile = nullptr;
    const char* answers = nullptr;
    const char* trust = nullptr;
    const char* logPath = nullptr;
    int yes = 0, no = 0, quiet = 0, json = 0;
};

// kRunCommand, or the exit code of help or a usage error.
int ReadApplyCommand(int argc, char** argv, ApplyCommand* c)
{
    CommandLine line{"apply",
                     kHelp,
                     {Text("--target", nullptr, &c->target), Text("--ui", nullptr, &c->uiFile),
                      Text("--answers", nullptr, &c->answers), Text("--trust", nullptr, &c->trust),
                      Text("--log", nullptr, &c->logPath), Flag("--json", nullptr, &c->json),
                      Flag("--yes", nullptr, &c->yes), Flag("--no", nullptr, &c->no),
                      Flag("--quiet", nullptr, &c->quiet)}};
    int read = ReadCommandLine(line, argc, argv, &c->given);
    if (read != kRunCommand) return read;
    if (c->given.empty()) return UsageError("apply", "name the package to apply.");
    if ((c->answers != nullptr) + c->yes + c->no > 1)
        return UsageError("apply", "--answers, --yes and --no exclude each other.");
    if (c->answers) {
        for (const char* p = c->answers; *p; p++)
            if (!strchr("yYnN", *p))
                return UsageError("apply", std::string("--answers takes only the letters y and n, not '") + *p + "'.");
    }
    return kRunCommand;
}

// Takes --target, or searches the fixed disks for an installation, and of several packages
// picks the one that fits it, setting end->target and end->package; kRunCommand, or the exit
// code of a stop.
int ChooseTarget(const ApplyCommand& c, const std::vector<std::string>& packages, JobLog* log, EarlyEnd* end)
{
    std::vector<const char*> paths;
    for (const std::string& p : packages) paths.push_back(p.c_str());
    char found[kPathMax] = "";
    int chosen = 0;
    if (c.target) {
        if (!IsDirectory(c.target))
            return end->Stop("noTarget", std::string("The target folder ") + c.target + " does not exist.");
        if (paths.size() > 1) chosen = ChoosePackage(paths.data(), (int)paths.size(), c.target);
    } else {
        if (!c.quiet) fprintf(stderr, "Searching for installed components...\n");
        log->Note("searching the fixed disks for the installation");
        std::unique_ptr<SearchPlatform> platform(NewPortableSearchPlatform());
        if (!FindInstallationOfAny(paths.data(), (int)paths.size(), found, platform.get(), &chosen))
            return end->Stop("notFound",
                             std::string("No installation that ") +
                                 (paths.size() > 1 ? "these packages" : "this package") +
                                 " can upgrade was found on the fixed disks.\nName its folder with --target DIR.");
        end->target = ShownPath(found);
        fprintf(stderr, "Found the installation in %s\n", end->target.c_str());
        log->Note("installation found: " + end->target);
    }
    if (paths.size() > 1) {
        std::string which = chosen >= 0
            ? "Using " + FileNameOf(paths[chosen]) + ", the package that fits the installation."
            : "No package fits the installation as it is: using the base package " + FileNameOf(paths[0]) + ".";
        if (chosen < 0) chosen = 0;
        end->package = paths[chosen];
        if (!c.quiet) fprintf(stderr, "%s\n", which.c_str());
        log->Note(which);
    }
    return kRunCommand;
}

}   // namespace

int CmdApply(int argc, char** argv)
{
    ApplyCommand c;
    int read = ReadApplyCommand(argc, argv, &c);
    if (read != kRunCommand) return read;
    std::vector<std::string> packages;
    std::string reason;
    int gathered = GatherPackages(c.given, &packages, &reason);
    // The log is opened before anything is checked, so that a refusal is in it too.
    FileJobLog fileLog(c.logPath);
    EarlyEnd end{&fileLog, "not applied: ", c.json, gathered ? packages[0].c_str() : c.given[0].c_str(),
                 c.target ? c.target : ""};
    fileLog.Note(std::string("upg ") + UPG_VERSION + ": apply " + end.package);
    if (!gathered || !CheckPackages(packages, &reason)) return end.Refuse(reason);
    if (c.uiFile && !Readable(c.uiFile))
        return end.Refuse(std::string("The wording file ") + c.uiFile + " cannot be read.");
    read = ChooseTarget(c, packages, &fileLog, &end);
    if (read != kRunCommand) return read;
    const char* package = end.package;
    const std::string& folder = end.target;

    std::string wording = c.uiFile ? c.uiFile : WordingBeside(packages[0]);

    AnswerSource source = c.yes ? AnswerAllYes : c.no ? AnswerAllNo : c.answers ? AnswerFromList : AnswerFromTerminal;
    TerminalUi ui(source, c.answers ? c.answers : "", !c.quiet && IsTerminal(stderr));
    UpgradeJob job(package, folder.c_str());
    ApplySession host(&job, &ui);
    host.wording.reset((c.uiFile || Readable(wording.c_str())) ? new UiTextTable(wording.c_str())
                                                               : new UiTextTable(nullptr, kDefaultUiResource));
    if (c.trust) host.trustFile = c.trust;
    if (job.targetTooLong) return end.Stop("noTarget", "The target folder's path is too long: " + folder);
    if (!job.IsValid()) return end.Refuse("The package changed while it was read.");
    // The seal is checked by the apply itself, which reads the installed files meanwhile; its
    // digest is begun at once.
    StartSealCheck(&job);

    JsonApplyLog jsonLog(package, folder);
    TeeLog both(&fileLog, &jsonLog);
    host.log = c.json ? static_cast<JobLog*>(&both) : &fileLog;
    if (!c.quiet) fprintf(stderr, "Applying \"%s\" to %s\n", job.title.c_str(), folder.c_str());
    CatchInterrupt();
    ApplyOutcome outcome = ApplyUpgrade(&host);
    ui.CloseProgress(nullptr);
    int success = outcome == ApplyApplied || outcome == ApplyUpToDate;
    // An installation found up to date has been told so already.
    if (outcome != ApplyUpToDate && (!success || !c.quiet)) fprintf(stderr, "%s\n", OutcomeLine(outcome));
    // A package whose seal does not hold is invalid setup data, pin or no pin.
    int code = success ? ExitDone : outcome == ApplyRefused && SealDamaged(job) ? ExitInvalid : ExitNotApplied;
    if (c.json) jsonLog.Print(stdout, outcome, code);
    return code;
}
