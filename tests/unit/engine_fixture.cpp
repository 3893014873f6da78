// Engine test doubles: package writer, a job over the scripted interface, fake search platform.
#include "engine_fixture.h"
#include <string.h>
#include <filesystem>
#include "files.h"
#include "uitext.h"

namespace fs = std::filesystem;

Bytes InsertScript(const Bytes& content)
{
    ScriptWriter s;
    s.Insert(content, Width32);
    s.End();
    return s.bytes;
}

TestEntry& PackageWriter::Add(const std::string& name, const Bytes& content, uint32_t dateTime, int soft, int hard)
{
    entries.push_back(TestEntry{PkgAdd, soft, hard, name, "Added " + name, PkgPrint(), PrintOf(content, dateTime),
                                InsertScript(content)});
    return entries.back();
}

TestEntry& PackageWriter::Patch(const std::string& name, const Bytes& oldContent, uint32_t oldDate,
                                const Bytes& newContent, uint32_t newDate, int soft, int hard)
{
    size_t common = 0;
    while (common < oldContent.size() && common < newContent.size() && oldContent[common] == newContent[common])
        common++;
    ScriptWriter s;
    if (common > 0) s.CopyFar(0, (uint32_t)common, Width32);
    if (common < newContent.size()) s.Insert(Bytes(newContent.begin() + (long)common, newContent.end()), Width32);
    s.End();
    entries.push_back(TestEntry{PkgPatch, soft, hard, name, "Patched " + name, PrintOf(oldContent, oldDate),
                                PrintOf(newContent, newDate), s.bytes});
    return entries.back();
}

TestEntry& PackageWriter::Delete(const std::string& name, const Bytes& oldContent, uint32_t oldDate, int soft, int hard)
{
    entries.push_back(TestEntry{PkgDelete, soft, hard, name, "", PrintOf(oldContent, oldDate), PkgPrint(), Bytes()});
    return entries.back();
}

Bytes PackageWriter::Serialize() const
{
    PkgPlan plan;
    plan.version = version;
    plan.title = title;
    plan.notes = notes;
    for (const TestEntry& e : entries) {
        PkgEntry p = NamedEntry(e.kind, e.soft, e.hard, e.name, e.description);
        p.oldPrint = e.oldPrint;
        p.newPrint = e.newPrint;
        p.script = e.script;
        plan.entries.push_back(p);
    }
    Bytes b = WritePackage(plan);
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

void PackageWriter::WriteTo(const std::string& path) const { WriteFileBytes(path, Serialize()); }

uint32_t DosStamp(int year, int month, int day, int hour, int minute, int second)
{
    uint32_t date = (uint32_t)((year - 1980) << 9 | month << 5 | day);
    uint32_t time = (uint32_t)(hour << 11 | minute << 5 | second / 2);
    return date << 16 | time;
}

void WriteStamped(const std::string& path, const Bytes& content, uint32_t dateTime)
{
    WriteFileBytes(path, content);
    FileFingerprint p = {dateTime, (uint32_t)content.size(), ChecksumOf(content.data(), content.size())};
    VerifyAndStamp(path.c_str(), &p);
}

uint32_t DateOf(const std::string& path)
{
    FileFingerprint p;
    ComputeFingerprint(path.c_str(), &p);
    return p.dateTime;
}

void MakeReadOnly(const std::string& path, bool readOnly)
{
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add, ec);
}

TestJob::TestJob(const std::string& packagePath, const std::string& target, ScriptedUi* ui, const char* wordingPath)
    : owned(new UpgradeJob(packagePath.c_str(), target.c_str())), job(owned.get()), host(job, ui)
{
    std::string wording = wordingPath ? wordingPath : DefaultWordingPath();
    host.wording.reset(new UiTextTable(wording.c_str()));
}

TestJob::~TestJob() {}

int TestJob::Apply()
{
    outcome = ApplyUpgrade(&host);
    return outcome == ApplyApplied;
}

// Like a list box read into a path buffer: the text is cut to what the buffer holds.
void CopyCut(char* out, const std::string& s)
{
    size_t n = s.size() < kPathMax - 1 ? s.size() : kPathMax - 1;
    memcpy(out, s.data(), n);
    out[n] = 0;
}

int FakeSearchPlatform::FixedRoot(int index, char* root)
{
    rootsAsked++;
    root[0] = 0;
    if (index < 0 || index >= (int)roots.size()) return 0;
    CopyCut(root, roots[index].first);
    return roots[index].second;
}

void FakeSearchPlatform::QueueTake(char* out)
{
    out[0] = 0;
    if (queue.empty()) return;
    CopyCut(out, queue.front());
    queue.pop_front();
}

std::string Slashed(const std::string& path)
{
    std::string s = path;
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

void FakeSearchPlatform::ListFolders(const char* pattern)
{
    listed.push_back(pattern);
    for (auto& l : listings)
        if (Slashed(l.first) == Slashed(pattern))
            for (auto& n : l.second) listing.push_back("[" + n + "]");
}

void FakeSearchPlatform::ListTake(char* out)
{
    out[0] = 0;
    if (listing.empty()) return;
    CopyCut(out, listing.front());
    listing.pop_front();
}

// A copy per test process: the text table opens its file for exclusive use, as the program does,
// so test processes that ctest runs side by side would otherwise refuse each other the file.
std::string DefaultWordingPath()
{
    static TempDir dir;
    static const std::string path = [] {
        std::string copy = dir / "upgsetup.uui";
        WriteFileBytes(copy, ReadFileBytes(std::string(UPG_SOURCE_DIR) + "/resources/upgsetup.uui"));
        return copy;
    }();
    return path;
}
