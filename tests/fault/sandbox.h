// A throw-away installation beside a canary folder, with the invariants every hostile run must keep.
#pragma once
#include <stdint.h>
#include <map>
#include <set>
#include <string>
#include <vector>
#include "faultos.h"
#include "pkgwriter.h"
#include "applysupport.h"
#include "testutil.h"
#include "session.h"

// Whether the tests run sanitized: the heaviest sweeps then take a sample, since every run of
// the tool is several times slower there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// One file of an upgrade: its version before and after (absent when not there).
struct FileVersions {
    bool hasOld = false, hasNew = false;
    PkgBytes older, newer;
};

// A package together with the installation it upgrades.
struct Upgrade {
    PkgPlan plan;
    std::map<std::string, FileVersions> files;   // by entry name ('\' separators)
    std::map<std::string, PkgBytes> untouched;   // other files of the installation

    void Add(const std::string& name, const PkgBytes& newer, int soft = 0, int hard = 0,
             const DiffStyle& style = DiffStyle());
    void Patch(const std::string& name, const PkgBytes& older, const PkgBytes& newer, int soft = 0, int hard = 0,
               const DiffStyle& style = DiffStyle());
    void Delete(const std::string& name, const PkgBytes& older, int soft = 0, int hard = 0);
};
Upgrade ThreeFileUpgrade();
Upgrade FiftyFileUpgrade();

typedef std::map<std::string, PkgBytes> Tree;   // relative path ('/' separators) -> content
// Files and folders below folder; the subfolder named skip (relative) is left out.
Tree ReadTree(const std::string& folder, const std::string& skip = "");

class Sandbox {
public:
    explicit Sandbox(const Upgrade& upgrade);
    // Puts the installation back to its old release and writes the package.
    void Reset();
    void WritePackage(const PkgBytes& package);
    // Builds a job over the package and applies it through the scripted interface; 1 when it
    // applied or found the installation up to date.
    int Apply(ScriptedUi& ui, bool* valid = nullptr);
    // The same with the fault plan in force for the run; FaultSeen() then tells what it met.
    int Apply(const FaultPlan& plan, ScriptedUi& ui, bool* valid = nullptr);

    // Each listed file is its old or new version (absent where that version is absent), no
    // other file appeared, nothing outside the target changed, the scratch folder is gone or
    // holds only whole new versions stamped with their new date under .TMP names, old
    // versions under .OLD names, the journal, and under .PRT names at most the beginning of
    // one. Empty when all holds, else what broke.
    std::string Intact() const;
    // Every listed file is its new version, nothing else changed, no file in the scratch folder.
    std::string Upgraded() const;
    // The installation is exactly the old release, no file in the scratch folder (with
    // cleanupLeft, what Intact allows there: a killed run's work files).
    std::string Unchanged(bool cleanupLeft = false) const;
    // Only files whose names are in `spared` may still be old (or absent where new is absent).
    // With cleanupLeft, the scratch folder may still hold what Intact allows (a clean-up that
    // failed: the journal and backups that the next run removes).
    std::string UpgradedExcept(const std::set<std::string>& spared, bool cleanupLeft = false) const;
    bool ScratchExists() const;
    bool JournalKept() const;   // an interrupted commit's journal is in the scratch folder
    int WorkingFiles() const;   // .PRT files in the scratch folder

    std::string target;   // with a trailing '/'
    std::string packagePath;
    const Upgrade& upgrade;
    TempDir root;

private:
    std::string Outside() const;
    Tree outsideBefore;
};

// Every changed path the fault layer saw lies inside the folder (prefix, no ".." component).
std::string ChangesInside(const std::vector<std::string>& changed, const std::string& folder);
