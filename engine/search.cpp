// The installation search: a breadth-first walk of the fixed drives, each folder tested
// against the fingerprints the package expects.
#include "search.h"
#include <string.h>
#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include "apply.h"
#include "commit.h"
#include "files.h"
#include "fingerprint.h"
#include "os.h"
#include "job.h"

namespace {

int EndsInSeparator(const char* s)
{
    size_t n = strlen(s);
    return n > 0 && (s[n - 1] == '\\' || s[n - 1] == '/');
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
        if (folder.size() >= 3 && folder.compare(folder.size() - 3, 3, "*.*") == 0) folder.resize(folder.size() - 3);
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

}   // namespace

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

// What one folder's files are, each looked at once however many packages name it: the walk
// tests a folder against every package of a bundle, and these share most of their names.
class FolderFiles {
public:
    void Clear() { known.clear(); }
    int Exists(const char* path) { return Find(path).exists; }
    FileFingerprint Print(const char* path)
    {
        Known& k = Find(path);
        if (!k.printed) {
            ComputeFingerprint(path, &k.print);
            k.printed = 1;
        }
        return k.print;
    }

private:
    struct Known {
        int exists;
        int printed;
        FileFingerprint print;
    };
    Known& Find(const char* path)
    {
        auto it = known.find(path);
        if (it == known.end()) it = known.emplace(path, Known{FileExists(path), 0, FileFingerprint()}).first;
        return it->second;
    }
    std::unordered_map<std::string, Known> known;
};

// The old release's files decide by the policies: a miss for each file absent or changed where
// its hard policy cares, a hit for each one present as expected; Abort rejects at once.
int HoldsTheOldRelease(UpgradeJob* job, const char* folder, FolderFiles* files)
{
    int misses = 0, hits = 0;
    // A table cut short holds the entry it was cut in half read: only those before it count.
    int count = job->WholeEntries();
    for (int i = 0; i < count; i++) {
        FileEntry* e = job->Entry(i);
        if (e->kind == KindAdd) continue;
        // A candidate that does not fit a path buffer counts as a file that is not there.
        char path[kPathMax];
        int fits = JoinPath(path, folder, e->name);
        if (!fits || !files->Exists(path)) {
            if (e->hardPolicy != PolicyIgnore) misses++;
            if (e->hardPolicy == PolicyAbort) return 0;
            continue;
        }
        if (e->hardPolicy == PolicyIgnore) continue;
        FileFingerprint print = files->Print(path);
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

// A folder is also the installation when it is the new release already, or when it holds this
// package's journal: a rerun must find the installation it is to finish. Those two tests look
// at the job's target, which is pointed at the folder for them.
int MatchFolderWith(UpgradeJob* job, const char* folder, FolderFiles* files)
{
    if (HoldsTheOldRelease(job, folder, files)) return 1;
    if (job->cut) return 0;
    if (folder != job->targetFolder && !job->SetTarget(folder)) return 0;
    return AlreadyUpToDate(job) || JournalBelongsToPackage(job);
}

// Every Patch and Delete file whose absence the apply would not pass over is there with its
// old size and checksum: the package this folder was installed from.
int FitsFolder(UpgradeJob* job, FolderFiles* files)
{
    int count = job->WholeEntries();
    for (int i = 0; i < count; i++) {
        FileEntry* e = job->Entry(i);
        if ((e->kind != KindPatch && e->kind != KindDelete) || e->hardPolicy == PolicyIgnore) continue;
        char path[kPathMax];
        if (!JoinPath(path, job->targetFolder, e->name) || !files->Exists(path)) return 0;
        FileFingerprint print = files->Print(path);
        if (print.size != e->oldPrint.size || print.checksum != e->oldPrint.checksum) return 0;
    }
    return 1;
}

int IsSeparator(char c) { return c == '\\' || c == '/'; }

}   // namespace

int MatchFolder(UpgradeJob* job)
{
    FolderFiles files;
    return MatchFolderWith(job, job->targetFolder, &files);
}

int WalkDrives(UpgradeJob* job, SearchPlatform* platform, char* found)
{
    int which = 0;
    return WalkDrives(&job, 1, platform, &which, found);
}

int WalkDrives(UpgradeJob* const* jobs, int count, SearchPlatform* platform, int* which, char* found)
{
    WaitCursor wait(platform, 1);
    CurrentDirectoryGuard directory;
    FolderFiles files;
    int drive = 0;
    char folder[kPathMax], listed[kPathMax], pattern[kPathMax], subfolder[kPathMax];
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
        files.Clear();
        for (int i = 0; i < count; i++) {
            if (MatchFolderWith(jobs[i], folder, &files)) {
                strcpy(found, folder);
                *which = i;
                return 1;
            }
        }
        platform->ListClear();
        if (!JoinPath(pattern, folder, "*.*")) continue;
        platform->ListFolders(pattern);
        while (platform->ListCount() > 0) {
            listed[0] = 0;
            platform->ListTake(listed);
            if (!listed[0]) break;
            if (listed[0] != '[' || listed[1] == '.') continue;
            size_t n = strlen(listed);
            if (n < 3) continue;
            listed[n - 1] = 0;
            // A subfolder whose path would not fit is never entered.
            if (JoinPath(subfolder, folder, listed + 1)) platform->QueueAdd(subfolder);
        }
    }
    return 0;
}

int FindInstallation(const char* packagePath, char* destination, SearchPlatform* platform)
{
    int which = 0;
    return FindInstallationOfAny(&packagePath, 1, destination, platform, &which);
}

int FindInstallationOfAny(const char* const* packagePaths, int count, char* destination, SearchPlatform* platform,
                          int* which)
{
    // A package that cannot be read takes no part; with none left there is nothing to walk.
    std::vector<std::unique_ptr<UpgradeJob>> jobs;
    std::vector<UpgradeJob*> walked;
    std::vector<int> index;
    for (int i = 0; i < count; i++) {
        std::unique_ptr<UpgradeJob> job(new UpgradeJob(packagePaths[i], "C:\\"));
        if (!job->HoldsSafeEntries()) continue;
        walked.push_back(job.get());
        index.push_back(i);
        jobs.push_back(std::move(job));
    }
    int matched = 0;
    char found[kPathMax];
    if (walked.empty() || !WalkDrives(walked.data(), (int)walked.size(), platform, &matched, found)) return 0;
    size_t n = strlen(found);
    if (n > 3 && EndsInSeparator(found)) found[n - 1] = 0;
    // The destination keeps its text unless the found folder can be given whole.
    char expanded[kPathMax];
    if (!ExpandLongName(found, expanded)) return 0;
    strcpy(destination, expanded);
    *which = index[matched];
    return 1;
}

int ChoosePackage(const char* const* packagePaths, int count, const char* folder)
{
    std::vector<std::unique_ptr<UpgradeJob>> jobs;
    for (int i = 0; i < count; i++) {
        jobs.emplace_back(new UpgradeJob(packagePaths[i], folder));
        UpgradeJob* job = jobs.back().get();
        // An interrupted commit is finished by the package that began it, whatever else fits.
        if (job->IsValid() && JournalBelongsToPackage(job)) return i;
    }
    FolderFiles files;
    for (int i = 0; i < count; i++) {
        UpgradeJob* job = jobs[i].get();
        if (job->IsValid() && FitsFolder(job, &files)) return i;
    }
    return -1;
}

const char kSiblingInfix[] = "-from-";

std::vector<std::string> SiblingPackages(const char* basePackagePath)
{
    std::string path = basePackagePath;
    size_t cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1]) && path[cut - 1] != ':') cut--;
    std::string folder = path.substr(0, cut), name = path.substr(cut);
    if (name.size() <= 4 || !SameNameIgnoringCase(name.c_str() + name.size() - 4, ".upg")) return {};
    struct Search {
        std::string prefix;
        std::vector<std::string> names;
    } search{name.substr(0, name.size() - 4) + kSiblingInfix, {}};
    auto add = [](void* context, const OsFolderEntry* entry) {
        Search* s = static_cast<Search*>(context);
        std::string n = entry->name;
        size_t p = s->prefix.size();
        if (entry->kind != kEntryFile || n.size() <= p + 4) return;
        if (!SameNameIgnoringCase(n.substr(0, p).c_str(), s->prefix.c_str())) return;
        if (!SameNameIgnoringCase(n.c_str() + n.size() - 4, ".upg")) return;
        s->names.push_back(n);
    };
    if (!Os().listEntries(folder.empty() ? "." : folder.c_str(), add, &search)) return {};
    std::sort(search.names.begin(), search.names.end());
    std::vector<std::string> paths;
    for (const std::string& n : search.names) paths.push_back(folder + n);
    return paths;
}
