// The installation search: a breadth-first walk of the fixed drives, each folder tested
// against the fingerprints the package expects.
#include "search.h"
#include <string.h>
#include <deque>
#include <string>
#include "apply.h"
#include "commit.h"
#include "files.h"
#include "fingerprint.h"
#include "os.h"
#include "reader.h"
#include "ui.h"

namespace {

int EndsInSeparator(const char* s)
{
    size_t n = strlen(s);
    return n > 0 && (s[n - 1] == '\\' || s[n - 1] == '/');
}

// Entries the walk may judge by. A table whose reading stopped at a missing fingerprint holds
// the failing entry half read and nothing after it: only the entries before it count.
int UsableEntries(UpgradeJob* job)
{
    int count = job->EntryCount();
    int filled = 0;
    while (filled < count && job->entries[filled]) filled++;
    if (job->progressTotal == 0 && filled > 0 && filled <= count) filled--;
    return filled;
}

// Queue and listing over the seam, for platforms without list boxes.
class PortableSearchPlatform : public SearchPlatform {
public:
    int FixedRoot(int index, char* root) override
    {
        root[0] = 0;
        int type = Os().driveRoot ? Os().driveRoot(index, root, kPathMax) : kDriveNoRoot;
        return type == kDriveFixed && root[0];
    }
    void QueueAdd(const char* path) override { queue.push_back(path); }
    int QueueCount() override { return (int)queue.size(); }
    void QueueTake(char* out) override { Take(&queue, out); }
    void ListFolders(const char* pattern) override
    {
        // The pattern is the folder followed by "*.*"; the seam lists the folder itself.
        std::string folder = pattern;
        if (folder.size() >= 3 && folder.compare(folder.size() - 3, 3, "*.*") == 0)
            folder.resize(folder.size() - 3);
        if (Os().listFolders) Os().listFolders(folder.c_str(), &PortableSearchPlatform::Add, this);
    }
    int ListCount() override { return (int)listing.size(); }
    void ListTake(char* out) override { Take(&listing, out); }
    void ListClear() override { listing.clear(); }
    void ShowWait(int) override {}

private:
    static void Add(void* context, const char* name)
    {
        static_cast<PortableSearchPlatform*>(context)->listing.push_back(std::string("[") + name + "]");
    }
    static void Take(std::deque<std::string>* from, char* out)
    {
        out[0] = 0;
        if (from->empty()) return;
        const std::string& s = from->front();
        // Longer texts are not queued (see WalkDrives), so this cut never happens in practice.
        size_t n = s.size() < kPathMax - 1 ? s.size() : kPathMax - 1;
        memcpy(out, s.data(), n);
        out[n] = 0;
        from->pop_front();
    }
    std::deque<std::string> queue;
    std::deque<std::string> listing;
};

}  // namespace

WaitCursor::WaitCursor(SearchPlatform* platform, int show) : platform(platform), shown(0) { Show(show); }

WaitCursor::~WaitCursor() { Show(0); }

void WaitCursor::Show(int show)
{
    if (show && !shown) {
        platform->ShowWait(1);
        shown = 1;
    } else if (!show && shown) {
        platform->ShowWait(0);
        shown = 0;
    }
}

SearchPlatform* NewPortableSearchPlatform() { return new PortableSearchPlatform(); }

namespace {

// The old release's files decide by the policies: what the match rule has always been.
int HoldsTheOldRelease(UpgradeJob* job)
{
    int misses = 0, hits = 0;
    int count = UsableEntries(job);
    for (int i = 0; i < count; i++) {
        FileEntry* e = job->entries[i];
        if (e->kind == KindAdd) continue;
        // A candidate that does not fit a path buffer counts as a file that is not there.
        int fits = JoinPath(job->workPath, job->targetFolder, e->name);
        if (!fits || !FileExists(job->workPath)) {
            if (e->hardPolicy != PolicyIgnore) misses++;
            if (e->hardPolicy == PolicyAbort) return 0;
            continue;
        }
        if (e->hardPolicy == PolicyIgnore) continue;
        FileFingerprint print;
        ComputeFingerprint(job->workPath, &print);
        if (print.size != e->oldPrint.size || print.checksum != e->oldPrint.checksum) {
            if (e->hardPolicy == PolicyAbort) return 0;
            misses++;
            continue;
        }
        int sameDate = print.dateTime == e->oldPrint.dateTime;
        if (!sameDate && e->softPolicy == PolicyAbort) return 0;
        if (sameDate || e->softPolicy == PolicyIgnore) hits++;
    }
    return misses == 0 || misses < hits;
}

}  // namespace

// A folder is also the installation when it is the new release already, or when it holds this
// package's journal: a rerun must find the installation it is to finish.
int MatchFolder(UpgradeJob* job)
{
    if (HoldsTheOldRelease(job)) return 1;
    if (job->progressTotal == 0) return 0;
    return AlreadyUpToDate(job) || JournalBelongsToPackage(job);
}

int WalkDrives(UpgradeJob* job, SearchPlatform* platform)
{
    WaitCursor wait(platform, 1);
    CurrentDirectoryGuard directory;
    int result = 0;
    int drive = 0;
    char* folder = job->targetFolder;
    for (;;) {
        if (platform->QueueCount() <= 0) {
            if (drive > 25) break;
            char root[kPathMax];
            int fixed = platform->FixedRoot(drive, root);
            drive++;
            if (!fixed) continue;
            platform->QueueAdd(root);
        }
        folder[0] = 0;
        platform->QueueTake(folder);
        if (!folder[0]) break;
        if (!EndsInSeparator(folder)) {
            size_t n = strlen(folder);
            // No room for the separator: this folder cannot be examined, but the walk goes on.
            if (n + 1 >= kPathMax) continue;
            folder[n] = '\\';
            folder[n + 1] = 0;
        }
        if (MatchFolder(job)) {
            result = 1;
            break;
        }
        platform->ListClear();
        if (!JoinPath(job->tempPath, folder, "*.*")) continue;
        platform->ListFolders(job->tempPath);
        while (platform->ListCount() > 0) {
            job->tempPath[0] = 0;
            platform->ListTake(job->tempPath);
            if (!job->tempPath[0]) break;
            if (job->tempPath[0] != '[' || job->tempPath[1] == '.') continue;
            size_t n = strlen(job->tempPath);
            if (n < 3) continue;
            job->tempPath[n - 1] = 0;
            // A subfolder whose path would not fit is never entered.
            if (JoinPath(job->workPath, folder, job->tempPath + 1)) platform->QueueAdd(job->workPath);
        }
    }
    return result;
}

int FindInstallation(const char* packagePath, char* destination, void* ownerWindow,
                     SearchPlatform* platform)
{
    UpgradeJob job(nullptr, ownerWindow, packagePath, "C:\\");
    if (!job.IsValid()) return 0;
    if (!WalkDrives(&job, platform)) return 0;
    char* found = job.targetFolder;
    size_t n = strlen(found);
    if (n > 3 && EndsInSeparator(found)) found[n - 1] = 0;
    // The destination keeps its text unless the found folder can be given whole.
    char expanded[kPathMax];
    if (!ExpandLongName(found, expanded)) return 0;
    strcpy(destination, expanded);
    return 1;
}
