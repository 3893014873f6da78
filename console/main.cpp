// upg: applies, checks and inspects upgrade packages from the command line.
#include <stdio.h>
#include <string.h>
#include <exception>
#include <new>
#include <string>
#include <vector>
#include "commands.h"
#include "os.h"
#include "upg_version.h"
#include "wording.h"

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* summary;
};

const Command kCommands[] = {
    {"apply", CmdApply, "bring an installation up to the package's release"},
    {"verify", CmdVerify, "check an installation against a package without changing anything"},
    {"inspect", CmdInspect, "show what a package holds"},
    {"fingerprint", CmdFingerprint, "show the fingerprint (date-time, size, checksum) of files"},
#ifdef UPG_HAVE_BUILDER
    {"build", CmdBuild, "make a package from an old and a new release folder"},
#endif
    {"keygen", CmdKeygen, "make a key pair for signing packages"},
};

void Help(FILE* out)
{
    fprintf(out, "Usage: upg COMMAND [ARGUMENTS]\n       upg --version\n\nCommands:\n");
    for (const Command& c : kCommands) fprintf(out, "  %-12s %s\n", c.name, c.summary);
    fprintf(out,
            "\n'upg COMMAND --help' describes a command.\n"
            "Exit codes (stable): 0 done, 1 not applied or not clean, 2 missing or invalid data or a\n"
            "usage error.\n");
}

int Run(int argc, char** argv)
{
    if (argc < 2) {
        Help(stderr);
        return ExitInvalid;
    }
    if (IsHelp(argv[1])) {
        Help(stdout);
        return ExitDone;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("upg %s\n", UPG_VERSION);
        return ExitDone;
    }
    for (const Command& c : kCommands)
        if (strcmp(argv[1], c.name) == 0) return c.run(argc - 1, argv + 1);
    fprintf(stderr, "upg: '%s' is not a command.\n\n", argv[1]);
    Help(stderr);
    return ExitInvalid;
}

}   // namespace

int main(int argc, char** argv)
{
    RegisterDefaultWording();
    // Memory that runs out throws std::bad_alloc anywhere in the code, the standard library's
    // containers included; this is the one place it is caught, told in one line instead of
    // an abort. Every file the code holds is closed on the way by its owner.
    try {
        // Text inside is UTF-8, names on the command line included.
        std::vector<std::string> args;
        Utf8Arguments(argc, argv, &args);
        std::vector<char*> pointers;
        for (std::string& a : args) pointers.push_back(&a[0]);
        pointers.push_back(nullptr);
        return Run((int)args.size(), pointers.data());
    } catch (const std::bad_alloc&) {
        fprintf(stderr, "upg: there is not enough memory to go on.\n");
    } catch (const std::exception& e) {
        fprintf(stderr, "upg: unexpected failure: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "upg: unexpected failure.\n");
    }
    fprintf(stderr, "Nothing more was done; an interrupted upgrade finishes when it is run again.\n");
    return ExitNotApplied;
}
