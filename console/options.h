// The command line of one upg command: a table of its options, read in one pass.
#pragma once
#include <functional>
#include <string>
#include <vector>

// One option of a command. A flag sets *flag to 1; an option that takes a value hands it to
// take, which stores it and returns "" or the usage error that refuses it.
struct Option {
    const char* name;        // the long spelling, "--output"
    const char* shortName;   // "-o", or nullptr
    int* flag;               // a flag's target; nullptr for an option that takes a value
    std::function<std::string(const char* value)> take;
    const char* missing;   // the usage error for a missing value; nullptr: "NAME needs a value"
};

Option Flag(const char* name, const char* shortName, int* target);
// A value kept as given (argv outlives the command).
Option Text(const char* name, const char* shortName, const char** target, const char* missing = nullptr);
Option Text(const char* name, const char* shortName, std::string* target, const char* missing = nullptr);
Option Value(const char* name, const char* shortName, std::function<std::string(const char*)> take,
             const char* missing = nullptr);

struct CommandLine {
    const char* command;   // "apply", for the usage errors
    const char* help;      // printed on stdout for --help or -h
    std::vector<Option> options;
    size_t maxOperands = 0;   // 0: any number; more are "unexpected argument X"
    int endOfOptions = 0;     // "--" makes every later argument an operand
    const char* stop = ".";   // ends the parser's own usage errors
};

// What ReadCommandLine returns when the command goes on with its operands.
const int kRunCommand = -1;

// Reads argv[1..] in order, so the first fault wins: --help prints the help and gives
// ExitDone; an unknown option, a missing value, an operand too many or a value that take
// refuses prints a usage error and gives ExitInvalid. A value is taken as it is, even when it
// looks like an option; "-" alone is an operand.
int ReadCommandLine(const CommandLine& line, int argc, char** argv, std::vector<std::string>* operands);
