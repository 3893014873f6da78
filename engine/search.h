// The installation search: a breadth-first walk of the fixed drives for the matching folder.
#pragma once
#include <stddef.h>

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
int FindInstallation(const char* packagePath, char* destination, void* ownerWindow,
                     SearchPlatform* platform);
int WalkDrives(UpgradeJob* job, SearchPlatform* platform);
int MatchFolder(UpgradeJob* job);
// The portable platform for POSIX: mount points of real disk file systems as the fixed drives.
SearchPlatform* NewPortableSearchPlatform();
