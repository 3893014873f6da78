// The commands of the upg tool and the helpers they share.
//
// Errors in the console layer. A command returns its exit code: ExitDone (0), ExitNotApplied
// (1: not applied, not clean, or a failure while working) or ExitInvalid (2: missing or invalid
// data, or a usage error). What went wrong reaches stderr once, where it is found, by one of:
//   UsageError      "upg COMMAND: message" and the pointer to --help; exit 2
//   RefusePackage   kSetupRefused, then the reason on a line of its own; exit 2
//   EarlyEnd        apply and verify: a refusal or a stop, also in the log and the JSON document
//   a command's own fprintf for the rest: a sentence (apply, verify), or "upg build: reason"
// stdout carries only results: findings, contents, JSON. Helpers below the commands print
// nothing: they return 1 or 0 with the reason in a std::string* (CheckPackage, GatherPackages,
// the builder's BuildPackage), or an exit code where the name says they print. Running out of
// memory throws, and main tells it in one line.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>
#include "words.h"

class JobLog;
struct FileEntry;
struct UpgradeJob;
struct TrustReport;

// Each command takes its own arguments (argv[0] is the command's name) and returns the exit
// code: 0 done, 1 not applied or not clean, 2 missing or invalid data, or a usage error.
int CmdApply(int argc, char** argv);
int CmdVerify(int argc, char** argv);
int CmdInspect(int argc, char** argv);
int CmdFingerprint(int argc, char** argv);
int CmdBuild(int argc, char** argv);
int CmdKeygen(int argc, char** argv);

enum { ExitDone = 0, ExitNotApplied = 1, ExitInvalid = 2 };

// The packages a command was given, the bundle's base package first: a folder stands for the
// bundle in it (its one BASE.upg, then every BASE-from-*.upg); several files are taken as given,
// with the one whose siblings the others are moved to the front. 0 with why when a folder holds
// no bundle or several.
int GatherPackages(const std::vector<std::string>& given, std::vector<std::string>* packages, std::string* why);
// The last component of a path, for naming a package in a sentence.
std::string FileNameOf(const std::string& path);
// 1 when the package can be applied; otherwise 0 with a sentence that says why.
int CheckPackage(const char* path, std::string* reason);
// CheckPackage for each package; the reason names the package when there are several.
int CheckPackages(const std::vector<std::string>& packages, std::string* reason);
// 1 when the job's package is whole and its seal, if any, holds (kept in the job); otherwise 0
// with a sentence that says why.
int CheckPackageSeal(UpgradeJob* job, std::string* reason);
// Whether the job's seal check, once run, found the package damaged (its seal does not hold, or
// it was cut inside a script): invalid setup data, whoever reads it.
int SealDamaged(const UpgradeJob& job);
// Prints the refusal for an invalid package (the fixed first line, then the reason).
int RefusePackage(const std::string& reason);
// Prints a usage error with a pointer to the command's help.
int UsageError(const char* command, const std::string& message);
// Whether text is --help or -h.
int IsHelp(const char* text);
// Turns the separators the engine writes into the platform's own, for showing a path.
std::string ShownPath(const std::string& path);
// A JSON string literal of 8-bit text; bytes outside printable ASCII are escaped as \u00XX.
std::string JsonText(const char* text);
// The seal as a JSON object: present, intact, bytes, signed, keyId, trusted (null without a
// pinned key) and the sentence that says it.
std::string SealJson(const TrustReport& report, uint32_t sealBytes, int trusted);
// One file's finding as the fields of a JSON object, without the braces: kind, name, finding,
// policy, resolution and text; verify and apply print the same.
std::string FindingJson(const FileEntry* entry, const FindingWords& words);
// How apply and verify end before the files are checked, told on stderr, in the log and, with
// --json, as the JSON document (JsonEnd); each returns the exit code.
struct EarlyEnd {
    JobLog* log;
    const char* stopNote;   // opens the log's line for a stop: "not applied: "
    int json;
    const char* package;   // the package the JSON document names
    std::string target;
    // A package refused: the fixed first line, the reason; exit 2.
    int Refuse(const std::string& why) const;
    // No installation to work on, or one that cannot be: the sentence; exit 1.
    int Stop(const char* outcome, const std::string& why) const;
};
// The JSON document of a run that ends before the files are checked: why, and the exit code
// (returned). seal is a JSON object or null; a null target prints as "".
int JsonEnd(const char* package, const char* target, const char* seal, const char* outcome, const std::string& reason,
            int code);
