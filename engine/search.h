// The installation search: a breadth-first walk of the fixed drives for the matching folder.
#pragma once
#include <stddef.h>
#include <string>
#include <vector>

struct UpgradeJob;

// The platform means of the walk: roots with their drive types, a FIFO of folder paths and a
// listing of one folder's subfolders ("[" name "]" texts in the platform's order).
class SearchPlatform {
public:
    virtual ~SearchPlatform() {}
    // Root of drive index 0..25 into root (kPathMax bytes); returns 1 when it is a fixed disk.
    virtual int FixedRoot(int index, char* root) = 0;
    virtual void QueueAdd(const char* path) = 0;
    virtual int QueueCount() = 0;
    // Takes the string at the head into out (kPathMax bytes).
    virtual void QueueTake(char* out) = 0;
    // Lists the subfolders matched by pattern ("folder\*.*") into the lister.
    virtual void ListFolders(const char* pattern) = 0;
    virtual int ListCount() = 0;
    virtual void ListTake(char* out) = 0;
    virtual void ListClear() = 0;
    // The hourglass while the walk runs.
    virtual void ShowWait(int on) = 0;
};

// Shows the hourglass for the life of the walk; restores the previous cursor at the end.
class WaitCursor {
public:
    WaitCursor(SearchPlatform* platform, int show);
    ~WaitCursor();
    // Non-zero shows the hourglass unless it is shown; zero restores when it is shown.
    void Show(int show);

private:
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
    SearchPlatform* platform;
    int shown;
};

// Fills destination (kPathMax bytes) and returns 1 when a folder matched.
int FindInstallation(const char* packagePath, char* destination, SearchPlatform* platform);
// The same walk for several packages at once (a bundle's base package first, then its siblings):
// every folder is tested against each package in turn, and a file that several packages name is
// read once per folder. Fills destination and *which (the index of the package that matched)
// and returns 1 at the first folder that matches any of them.
int FindInstallationOfAny(const char* const* packagePaths, int count, char* destination, SearchPlatform* platform,
                          int* which);
// The walk over the jobs' common tree: found (kPathMax bytes) receives the folder that matched,
// with its separator, and *which the index of the job it matched. A job's target is pointed at
// the folders the walk tests it against.
int WalkDrives(UpgradeJob* const* jobs, int count, SearchPlatform* platform, int* which, char* found);
int WalkDrives(UpgradeJob* job, SearchPlatform* platform, char* found);
// Whether the job's target folder is its installation: it holds the old release, or it is the
// new release already, or it holds this package's journal.
int MatchFolder(UpgradeJob* job);

// The package of a bundle that fits a folder chosen by hand: the one whose interrupted commit
// the folder holds, else the first whose every Patch and Delete file is there with its old size
// and checksum. -1 when none fits (the caller then takes the base package, index 0).
int ChoosePackage(const char* const* packagePaths, int count, const char* folder);

// The sibling packages beside a bundle's base package BASE.upg: the files BASE-from-*.upg of its
// folder (names compared without regard to case), sorted by name. Their names say which release
// each upgrades from; the builder numbers them in release order.
std::vector<std::string> SiblingPackages(const char* basePackagePath);
extern const char kSiblingInfix[];   // "-from-"
// The portable platform for POSIX: mount points of real disk file systems as the fixed drives.
SearchPlatform* NewPortableSearchPlatform();
