// upg fingerprint: the 10-byte fingerprint of files as the package format records it.
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "commands.h"
#include "fingerprint.h"

namespace {

const char kHelp[] =
    "Usage: upg fingerprint FILE...\n"
    "\n"
    "Prints one line per file: its last-write date-time in MS-DOS form (local time) and its\n"
    "checksum in upper-case hexadecimal, its size in bytes, then its name:\n"
    "  DDDDDDDD SIZE CCCC NAME\n"
    "Exit codes: 0 every file was read, 1 some could not be, 2 a usage error.\n";

}  // namespace

int CmdFingerprint(int argc, char** argv)
{
    std::vector<const char*> files;
    for (int i = 1; i < argc; i++) {
        if (IsHelp(argv[i])) {
            fputs(kHelp, stdout);
            return ExitDone;
        }
        if (strcmp(argv[i], "--") == 0) {
            for (i++; i < argc; i++) files.push_back(argv[i]);
            break;
        }
        if (argv[i][0] == '-' && argv[i][1]) return UsageError("fingerprint", std::string("unknown option ") + argv[i] + ".");
        files.push_back(argv[i]);
    }
    if (files.empty()) return UsageError("fingerprint", "name at least one file.");
    int failed = 0;
    for (const char* f : files) {
        FileFingerprint p;
        if (!ComputeFingerprint(f, &p)) {
            fprintf(stderr, "%s cannot be read, or its date lies outside 1980 to 2107.\n", f);
            failed = 1;
            continue;
        }
        printf("%08X %u %04X %s\n", (unsigned)p.dateTime, (unsigned)p.size, (unsigned)p.checksum, f);
    }
    return failed ? ExitNotApplied : ExitDone;
}
