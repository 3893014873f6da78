// upg fingerprint: the 10-byte fingerprint of files as the package format records it.
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "commands.h"
#include "fingerprint.h"
#include "options.h"

namespace {

const char kHelp[] = "Usage: upg fingerprint FILE...\n"
                     "\n"
                     "Prints one line per file: its last-write date-time in MS-DOS form (local time) and its\n"
                     "checksum in upper-case hexadecimal, its size in bytes, then its name:\n"
                     "  DDDDDDDD SIZE CCCC NAME\n"
                     "Exit codes: 0 every file was read, 1 some could not be, 2 a usage error.\n";

}   // namespace

int CmdFingerprint(int argc, char** argv)
{
    std::vector<std::string> files;
    CommandLine line{"fingerprint", kHelp, {}};
    line.endOfOptions = 1;
    int read = ReadCommandLine(line, argc, argv, &files);
    if (read != kRunCommand) return read;
    if (files.empty()) return UsageError("fingerprint", "name at least one file.");
    int failed = 0;
    for (const std::string& f : files) {
        FileFingerprint p;
        if (!ComputeFingerprint(f.c_str(), &p)) {
            fprintf(stderr, "%s cannot be read, or its date lies outside 1980 to 2107.\n", f.c_str());
            failed = 1;
            continue;
        }
        printf("%08X %u %04X %s\n", (unsigned)p.dateTime, (unsigned)p.size, (unsigned)p.checksum, f.c_str());
    }
    return failed ? ExitNotApplied : ExitDone;
}
