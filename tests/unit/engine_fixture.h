// Engine test doubles: a package writer, a job over the scripted interface and a fake search platform.
#pragma once
#include <stdint.h>
#include <deque>
#include <memory>
#include <string>
#include <vector>
#include "apply.h"
#include "fingerprint.h"
#include "pkgwriter.h"
#include "job.h"
#include "applysupport.h"
#include "search.h"
#include "testutil.h"
#include "session.h"

// One entry of a package under construction.
struct TestEntry {
    int kind;
    int soft;
    int hard;
    std::string name;
    std::string description;
    PkgPrint oldPrint;
    PkgPrint newPrint;
    Bytes script;   // empty for Delete entries
};

// Entries by file contents and dates, laid out by the shared writer (pkgwriter.h).
struct PackageWriter {
    std::string title = "Test package";
    std::string notes = "Notes";
    uint8_t version = 17;
    std::vector<TestEntry> entries;
    Bytes tail;   // anything after the scripts

    // An Add entry whose script inserts content; the new print carries dateTime.
    TestEntry& Add(const std::string& name, const Bytes& content, uint32_t dateTime, int soft = 0, int hard = 0);
    // A Patch entry: old content, new content rebuilt by copying the common prefix from the old
    // file and inserting the rest.
    TestEntry& Patch(const std::string& name, const Bytes& oldContent, uint32_t oldDate, const Bytes& newContent,
                     uint32_t newDate, int soft = 0, int hard = 0);
    TestEntry& Delete(const std::string& name, const Bytes& oldContent, uint32_t oldDate, int soft = 0, int hard = 0);
    Bytes Serialize() const;
    void WriteTo(const std::string& path) const;
};

Bytes InsertScript(const Bytes& content);
// A DOS date-time for year/month/day hour:minute:second (local time).
uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second);
// Writes a file and stamps its last-write time with a DOS date-time (local time).
void WriteStamped(const std::string& path, const Bytes& content, uint32_t dateTime);
// The DOS date-time a file carries now (0 when it cannot be read).
uint32_t DateOf(const std::string& path);
void MakeReadOnly(const std::string& path, bool readOnly);

// A job over a package file with the scripted interface and a wording table attached.
struct TestJob {
    TestJob(const std::string& packagePath, const std::string& target, ScriptedUi* ui,
            const char* wordingPath = nullptr);
    ~TestJob();
    // Runs the apply; 1 when it applied. The outcome stays in outcome.
    int Apply();
    std::unique_ptr<UpgradeJob> owned;
    UpgradeJob* job;
    ApplySession host;
    ApplyOutcome outcome = ApplyNotStarted;
};

// Drive roots, folders and listing order held in memory.
class FakeSearchPlatform : public SearchPlatform {
public:
    std::vector<std::pair<std::string, int>> roots;                           // root text, fixed or not
    std::vector<std::pair<std::string, std::vector<std::string>>> listings;   // pattern, names
    std::deque<std::string> queue, listing;
    std::vector<std::string> listed;   // every pattern listed, in order
    std::vector<int> waits;            // every ShowWait argument
    int rootsAsked = 0;

    int FixedRoot(int index, char* root) override;
    void QueueAdd(const char* path) override { queue.push_back(path); }
    int QueueCount() override { return (int)queue.size(); }
    void QueueTake(char* out) override;
    void ListFolders(const char* pattern) override;
    int ListCount() override { return (int)listing.size(); }
    void ListTake(char* out) override;
    void ListClear() override { listing.clear(); }
    void ShowWait(int on) override { waits.push_back(on); }
};

// Both separators as '/', for comparing paths the walk built with those the test built.
std::string Slashed(const std::string& path);

// The default English wording file of the repository.
std::string DefaultWordingPath();
