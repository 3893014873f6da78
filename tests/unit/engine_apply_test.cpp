// The apply procedure over real folders: decision table, policies, questions, cancellation,
// and the commit that never loses a file.
#include <gtest/gtest.h>
#include <ctype.h>
#include <string.h>
#include <algorithm>
#include <string>
#include <vector>
#include "apply.h"
#include "engine_fixture.h"
#include "files.h"
#include "joblog.h"
#include "os.h"
#include "search.h"
#include "stream.h"
#include "uitext.h"

namespace {

const uint32_t kOldDate = DosStamp(2001, 5, 6, 7, 8, 10);
const uint32_t kNewDate = DosStamp(2003, 9, 10, 11, 12, 14);
const uint32_t kOtherDate = DosStamp(2002, 1, 2, 3, 4, 6);

const Bytes kOld = BytesOf("the old contents of the file\n");
const Bytes kNew = BytesOf("the old contents, now changed and longer\n");
const Bytes kOther = BytesOf("somebody else's edit\n");

struct Folder {
    TempDir dir;
    std::string pkg() { return dir / "p.upg"; }
    std::string target() { return dir / "target"; }
    std::string file(const std::string& name) { return dir / ("target\\" + name); }
    std::string scratch() { return dir / "target\\__QZUPD_"; }
    std::string inScratch(const std::string& name) { return dir / ("target\\__QZUPD_\\" + name); }
};

struct Outcome {
    int result;
    ApplyOutcome outcome;
    ScriptedUi ui;
    JobLog* log = nullptr;   // attached to the run when set
};

void Apply(Folder& f, const PackageWriter& w, Outcome* run, const char* wording = nullptr)
{
    w.WriteTo(f.pkg());
    run->ui.tickStep = 60;   // one poll per 100 ms pause keeps the record short
    TestJob t(f.pkg(), f.target(), &run->ui, wording);
    t.host.log = run->log;
    run->result = t.Apply();
    run->outcome = t.outcome;
}

// The lines of a text log without their timestamps, each checked to start with one.
std::vector<std::string> LogLines(const std::string& path)
{
    std::vector<std::string> lines;
    std::string text;
    Bytes bytes = ReadFileBytes(path);
    text.assign(bytes.begin(), bytes.end());
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        at = end == std::string::npos ? text.size() : end + 1;
        // "YYYY-MM-DD HH:MM:SS.mmm  text"
        const std::string shape = "dddd-dd-dd dd:dd:dd.ddd  ";
        bool stamped = line.size() > shape.size();
        for (size_t k = 0; stamped && k < shape.size(); k++)
            stamped = shape[k] == 'd' ? isdigit((unsigned char)line[k]) != 0 : line[k] == shape[k];
        lines.push_back(stamped ? line.substr(shape.size()) : "<no timestamp> " + line);
    }
    return lines;
}

// The last n lines of a log.
std::vector<std::string> Tail(const std::vector<std::string>& lines, size_t n)
{
    return std::vector<std::string>(lines.end() - (long)std::min(n, lines.size()), lines.end());
}

// How the file of the single entry stands before the apply.
enum Setup { Absent, ReadOnlyOld, Modified, OtherDate, Identical, AlreadyNew, ReadOnlyOther };

void Prepare(Folder& f, Setup s)
{
    std::string path = f.file("f.txt");
    switch (s) {
    case Absent:
        WriteFileBytes(f.file("keep.txt"), BytesOf("k"));   // the target folder exists
        break;
    case ReadOnlyOld:
        WriteStamped(path, kOld, kOldDate);
        MakeReadOnly(path, true);
        break;
    case ReadOnlyOther:
        WriteStamped(path, kOther, kOldDate);
        MakeReadOnly(path, true);
        break;
    case Modified: WriteStamped(path, kOther, kOldDate); break;
    case OtherDate: WriteStamped(path, kOld, kOtherDate); break;
    case Identical: WriteStamped(path, kOld, kOldDate); break;
    case AlreadyNew: WriteStamped(path, kNew, kNewDate); break;
    }
}

struct Row {
    const char* title;
    int kind;
    Setup setup;
    int line;           // finding in the question, 0 for none
    bool softDecides;   // which policy the finding is resolved by
    int stateAfter;
    const char* contentAfter;   // nullptr: the file is gone
};

const char* kOldText = "the old contents of the file\n";
const char* kNewText = "the old contents, now changed and longer\n";
const char* kOtherText = "somebody else's edit\n";

const Row kRows[] = {
    {"add, absent", 0, Absent, 0, false, StatePending, kNewText},
    {"add, read-only", 0, ReadOnlyOther, 12, false, StateReadOnly, kOtherText},
    {"add, exists", 0, Modified, 9, true, StatePending, kNewText},
    {"add, already new", 0, AlreadyNew, 0, false, StateUpgraded, kNewText},
    {"patch, missing", 1, Absent, 13, false, StateMissing, nullptr},
    {"patch, modified", 1, Modified, 14, false, StateModified, kOtherText},
    {"patch, read-only", 1, ReadOnlyOld, 15, false, StateReadOnly, kOldText},
    {"patch, other date", 1, OtherDate, 10, true, StatePending, kNewText},
    {"patch, identical", 1, Identical, 0, false, StatePending, kNewText},
    {"patch, already new", 1, AlreadyNew, 0, false, StateUpgraded, kNewText},
    {"delete, missing", 2, Absent, 13, false, StateMissing, nullptr},
    {"delete, modified", 2, Modified, 11, true, StatePending, nullptr},
    {"delete, read-only", 2, ReadOnlyOld, 15, false, StateReadOnly, kOldText},
    {"delete, other date", 2, OtherDate, 11, true, StatePending, nullptr},
    {"delete, identical", 2, Identical, 0, false, StatePending, nullptr},
};

void AddEntry(PackageWriter* w, int kind, const std::string& name, int soft, int hard)
{
    if (kind == 0) w->Add(name, kNew, kNewDate, soft, hard);
    if (kind == 1) w->Patch(name, kOld, kOldDate, kNew, kNewDate, soft, hard);
    if (kind == 2) w->Delete(name, kOld, kOldDate, soft, hard);
}

std::string Content(const std::string& path)
{
    Bytes b = ReadFileBytes(path);
    return std::string(b.begin(), b.end());
}

// The deciding policy is Ask (answered Yes) and the other one Abort, so a finding resolved by
// the wrong policy shows up as an Abort question.
TEST(ApplyDecisionTable, EveryRowSetsStateLineAndOutcome)
{
    UiTextTable wording(DefaultWordingPath().c_str());
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.title);
        Folder f;
        Prepare(f, r.setup);
        PackageWriter w;
        AddEntry(&w, r.kind, "f.txt", r.softDecides ? 1 : 2, r.softDecides ? 2 : 1);
        if (r.line == 0) w.entries[0].soft = w.entries[0].hard = 2;
        Outcome run;
        run.ui.answers = {1};
        w.WriteTo(f.pkg());
        run.ui.tickStep = 60;
        TestJob t(f.pkg(), f.target(), &run.ui);
        run.result = t.Apply();
        // A file that is its new version already makes the installation up to date: nothing
        // is examined further.
        EXPECT_EQ(t.outcome, r.setup == AlreadyNew ? ApplyUpToDate : ApplyApplied);
        if (r.setup != AlreadyNew) {
            EXPECT_EQ(t.job->Entry(0)->state, r.stateAfter);
        }
        if (r.line == 0) {
            EXPECT_TRUE(run.ui.questions.empty());
        } else {
            ASSERT_EQ(run.ui.questions.size(), 1u);
            std::string q = run.ui.questions[0];
            EXPECT_NE(q.find(wording.LineText(r.line)), std::string::npos) << q;
            EXPECT_NE(q.find(wording.LineText(7)), std::string::npos) << q;
        }
        if (r.contentAfter) {
            EXPECT_EQ(Content(f.file("f.txt")), r.contentAfter);
        } else {
            EXPECT_FALSE(PathExists(f.file("f.txt")));
        }
        if (r.contentAfter == kNewText) {
            EXPECT_EQ(DateOf(f.file("f.txt")), kNewDate);
        }
        EXPECT_FALSE(PathExists(f.scratch()));
        MakeReadOnly(f.file("f.txt"), false);
    }
}

TEST(ApplyDecisionTable, CheckEntryReportsFindingsWithoutTouchingAnything)
{
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.title);
        Folder f;
        Prepare(f, r.setup);
        PackageWriter w;
        AddEntry(&w, r.kind, "f.txt", 1, 1);
        w.WriteTo(f.pkg());
        ScriptedUi ui;
        TestJob t(f.pkg(), f.target(), &ui);
        EntryFinding found = CheckEntry(t.job, 0);
        int state = found.state;
        EXPECT_EQ(found.line, r.line);
        if (r.line) {
            EXPECT_EQ(found.soft, r.softDecides ? 1 : 0);
        }
        if (r.line == 0) {
            EXPECT_TRUE(state == StatePending || state == StateUpgraded);
        }
        if (r.setup == AlreadyNew) {
            EXPECT_EQ(state, StateUpgraded);
        }
        EXPECT_TRUE(ui.events.empty());
        EXPECT_FALSE(PathExists(f.scratch()));
        MakeReadOnly(f.file("f.txt"), false);
    }
}

TEST(ApplyQuestions, ComposedByteForByte)
{
    Folder f;
    Prepare(f, OtherDate);
    PackageWriter w;
    w.Patch("f.txt", kOld, kOldDate, kNew, kNewDate, 1, 1);
    w.entries[0].description = "Main text";
    w.Delete("gone.txt", kOld, kOldDate, 1, 1);   // missing, no description
    Outcome run;
    run.ui.answers = {1, 1};
    Apply(f, w, &run);
    ASSERT_EQ(run.ui.questions.size(), 2u);
    EXPECT_EQ(run.ui.questions[0],
              "Upgrade\n"
              "Operation: Update\n\nFile: f.txt\nDescription: Main text\n\n"
              "This file has another date and time than expected, but its contents are the expected ones.\n\n"
              "Do you want to continue?");
    EXPECT_EQ(run.ui.questions[1],
              "Upgrade\n"
              "Operation: Delete\n\nFile: gone.txt\n\n"
              "This file is missing from the installation.\n\n"
              "Do you want to continue?");
    EXPECT_EQ(run.result, 1);
}

TEST(ApplyPreCheckPolicies, AbortAskIgnoreAndThree)
{
    struct Case {
        const char* title;
        int hard;
        std::vector<int> answers;
        int result;
        size_t questions;
        size_t infos;
    } cases[] = {
        {"abort, no", 2, {0}, 0, 1, 0}, {"abort, yes", 2, {1}, 0, 1, 1}, {"ask, no", 1, {0}, 0, 1, 0},
        {"ask, yes", 1, {1}, 1, 1, 0},  {"ignore", 0, {}, 1, 0, 0},      {"three reads as ignore", 3, {}, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Folder f;
        WriteStamped(f.file("a.txt"), kOld, kOldDate);
        Prepare(f, Modified);
        PackageWriter w;
        w.Patch("a.txt", kOld, kOldDate, kNew, kNewDate);
        w.Patch("f.txt", kOld, kOldDate, kNew, kNewDate, 0, c.hard);
        Outcome run;
        run.ui.answers.assign(c.answers.begin(), c.answers.end());
        Apply(f, w, &run);
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(run.ui.questions.size(), c.questions);
        ASSERT_EQ(run.ui.infos.size(), c.infos);
        if (c.hard == 2) {
            EXPECT_NE(
                run.ui.questions[0].find("The upgrade cannot go on because of this file.\n\nDo you want to know more?"),
                std::string::npos);
        }
        if (c.infos) {
            EXPECT_EQ(run.ui.infos[0],
                      "Upgrade\nThis file is not the version that the upgrade expects, so it cannot be updated.");
        }
        // A stop in the pre-check changes nothing at all, not even a scratch folder.
        EXPECT_EQ(Content(f.file("a.txt")), c.result ? kNewText : kOldText);
        EXPECT_EQ(Content(f.file("f.txt")), kOtherText);
        EXPECT_FALSE(PathExists(f.scratch()));
    }
}

TEST(ApplyBuildPolicies, FailedVerificationByHardPolicy)
{
    struct Case {
        const char* title;
        int hard;
        std::vector<int> answers;
        int result;
        ApplyOutcome outcome;
        const char* question;   // third and last paragraph
        size_t infos;
    } cases[] = {
        {"ignore", 0, {}, 1, ApplyApplied, nullptr, 0},
        {"ask, yes", 1, {1}, 1, ApplyApplied, "The file will keep its present version.\n\nDo you want to continue?", 0},
        {"ask, no", 1, {0}, 0, ApplyDeclined, "The file will keep its present version.\n\nDo you want to continue?", 0},
        {"abort, no", 2, {0}, 0, ApplyStopped, "so the upgrade cannot go on.\n\nDo you want to know more?", 0},
        {"abort, yes", 2, {1}, 0, ApplyStopped, "so the upgrade cannot go on.\n\nDo you want to know more?", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Folder f;
        Prepare(f, Identical);
        WriteStamped(f.file("b.txt"), kOld, kOldDate);
        PackageWriter w;
        w.Patch("f.txt", kOld, kOldDate, kNew, kNewDate, 0, c.hard);
        w.entries[0].newPrint.checksum ^= 0x0101;   // the rebuilt file cannot match
        w.Patch("b.txt", kOld, kOldDate, kNew, kNewDate);
        Outcome run;
        run.ui.answers.assign(c.answers.begin(), c.answers.end());
        TestJob* keep = nullptr;
        w.WriteTo(f.pkg());
        run.ui.tickStep = 60;
        keep = new TestJob(f.pkg(), f.target(), &run.ui);
        run.result = keep->Apply();
        EXPECT_EQ(run.result, c.result);
        EXPECT_EQ(keep->outcome, c.outcome);
        // No cancel confirmation is put after a policy stop.
        EXPECT_EQ(run.ui.questions.size(), c.question ? 1u : 0u);
        if (c.question) {
            EXPECT_NE(run.ui.questions[0].find(c.question), std::string::npos) << run.ui.questions[0];
        }
        ASSERT_EQ(run.ui.infos.size(), c.infos);
        if (c.infos) {
            EXPECT_EQ(run.ui.infos[0],
                      "Upgrade\nThe upgrade has stopped. None of the files of your installation has been changed.");
        }
        if (c.result) {
            EXPECT_EQ(keep->job->Entry(0)->state, StateBadResult);
        }
        delete keep;
        EXPECT_EQ(Content(f.file("f.txt")), kOldText);
        EXPECT_EQ(Content(f.file("b.txt")), c.result ? kNewText : kOldText);
        EXPECT_FALSE(PathExists(f.scratch()));
    }
}

TEST(ApplyFlow, EmptyTableRunsAllPassesAndSucceeds)
{
    Folder f;
    WriteFileBytes(f.file("x.txt"), BytesOf("x"));
    PackageWriter w;
    Outcome run;
    Apply(f, w, &run);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.ui.ItemTexts(IDC_PROGRESS_OPERATION),
              (std::vector<std::string>{"Checking files...", "Checking files...", "Replacing files..."}));
    EXPECT_TRUE(run.ui.bars.empty());
    EXPECT_FALSE(PathExists(f.scratch()));
}

uint32_t TotalOf(const PackageWriter& w)
{
    uint32_t total = 1;
    for (auto& e : w.entries) total += e.kind == 2 ? 0 : e.newPrint.size;
    return total;
}

TEST(ApplyFlow, FullUpgradeAddsPatchesDeletesAndStamps)
{
    Folder f;
    WriteStamped(f.file("p.txt"), kOld, kOldDate);
    WriteStamped(f.file("d.txt"), kOld, kOldDate);
    PackageWriter w;
    w.Patch("p.txt", kOld, kOldDate, kNew, kNewDate);
    w.Delete("d.txt", kOld, kOldDate);
    w.Add("SUB\\NEW\\a.txt", kNew, kOtherDate);
    Outcome run;
    Apply(f, w, &run);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(run.ui.questions.empty());
    EXPECT_EQ(Content(f.file("p.txt")), kNewText);
    EXPECT_EQ(DateOf(f.file("p.txt")), kNewDate);
    EXPECT_EQ(Content(f.file("SUB\\NEW\\a.txt")), kNewText);
    EXPECT_EQ(DateOf(f.file("SUB\\NEW\\a.txt")), kOtherDate);
    EXPECT_FALSE(PathExists(f.file("d.txt")));
    EXPECT_FALSE(PathExists(f.scratch()));

    // The view: caption, button texts, the operation per pass, and the owner left to teardown.
    EXPECT_EQ(run.ui.events[0], "open");
    EXPECT_EQ(run.ui.Count("caption Upgrade"), 1);
    EXPECT_EQ(run.ui.ItemTexts(IDC_PROGRESS_CANCEL), (std::vector<std::string>{"Cancel", "----"}));
    EXPECT_EQ(
        run.ui.ItemTexts(IDC_PROGRESS_OPERATION),
        (std::vector<std::string>{"Checking files...", "Checking files...", "Update", "Add", "Replacing files..."}));
    ASSERT_FALSE(run.ui.bars.empty());
    // 83 in all: below 100 the divisor is 1, so the bar runs from 2 to 84.
    ASSERT_EQ(TotalOf(w), 83u);
    EXPECT_EQ(run.ui.bars.front(), 2);
    EXPECT_EQ(run.ui.bars.back(), 84);
    EXPECT_EQ(run.ui.closed, 1);
}

TEST(ApplyCancel, NoContinuesYesStopsAndCleansUp)
{
    for (int answer = 0; answer <= 1; answer++) {
        SCOPED_TRACE(answer ? "yes" : "no");
        Folder f;
        WriteStamped(f.file("p.txt"), kOld, kOldDate);
        WriteStamped(f.file("q.txt"), kOld, kOldDate);
        PackageWriter w;
        w.Patch("p.txt", kOld, kOldDate, kNew, kNewDate);
        w.Patch("q.txt", kOld, kOldDate, kNew, kNewDate);
        Outcome run;
        run.ui.cancelAtPump = 4;   // inside the build
        run.ui.answers = {answer};
        Apply(f, w, &run);
        ASSERT_EQ(run.ui.questions.size(), 1u);
        EXPECT_EQ(run.ui.questions[0],
                  "Upgrade\nDo you really want to cancel the upgrade? Your installation will stay as it was.");
        EXPECT_EQ(run.result, answer ? 0 : 1);
        EXPECT_EQ(run.outcome, answer ? ApplyCancelled : ApplyApplied);
        EXPECT_EQ(Content(f.file("q.txt")), answer ? kOldText : kNewText);
        EXPECT_FALSE(PathExists(f.scratch()));
    }
}

TEST(ApplyCancel, CommandsDuringTheCommitAreNotSeen)
{
    Folder f;
    WriteStamped(f.file("p.txt"), kOld, kOldDate);
    PackageWriter w;
    w.Patch("p.txt", kOld, kOldDate, kNew, kNewDate);
    w.Delete("p2.txt", kOld, kOldDate, 0, 0);
    Outcome run;
    Apply(f, w, &run);
    // The commit neither pumps nor polls, so a cancel command cannot reach it.
    auto it = std::find(run.ui.events.begin(), run.ui.events.end(), "item 103 Replacing files...");
    ASSERT_NE(it, run.ui.events.end());
    EXPECT_EQ(std::count(run.ui.events.begin(), it, "pump"), run.ui.pumpCount);
    EXPECT_EQ(std::count(it, run.ui.events.end(), "pump"), 0);
    EXPECT_GT(run.ui.pumpCount, 0);
    EXPECT_EQ(run.result, 1);
}

// Fault injection beneath the file primitives: moves to, or deletes of, chosen names fail. A
// move given as "FROM>TO" fails only from a name ending in FROM to one ending in TO.
std::vector<std::string> failMoveTo, failRemove, movedFrom;

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

int FailingMove(const char* from, const char* to)
{
    movedFrom.push_back(from);
    for (auto& n : failMoveTo) {
        size_t cut = n.find('>');
        if (cut == std::string::npos ? EndsWith(to, n)
                                     : EndsWith(from, n.substr(0, cut)) && EndsWith(to, n.substr(cut + 1)))
            return 0;
    }
    return NativeOs().moveReplace(from, to);
}

int FailingRemove(const char* path)
{
    for (auto& n : failRemove)
        if (EndsWith(path, n)) return 0;
    return NativeOs().removeFile(path);
}

struct FaultyOs {
    OsLayer layer;
    const OsLayer* previous;
    FaultyOs()
    {
        layer = NativeOs();
        layer.moveReplace = FailingMove;
        layer.removeFile = FailingRemove;
        movedFrom.clear();
        previous = SetOs(&layer);
    }
    ~FaultyOs()
    {
        SetOs(previous);
        failMoveTo.clear();
        failRemove.clear();
    }
};

// A step that fails undoes the whole commit: every file is its old version again, the person
// learns every file in the way and why, and nothing is left in the scratch folder.
TEST(ApplyCommitMends, FailedStepsUndoEveryStep)
{
    Folder f;
    WriteStamped(f.file("one.txt"), kOld, kOldDate);
    WriteStamped(f.file("two.txt"), kOld, kOldDate);
    WriteStamped(f.file("three.txt"), kOld, kOldDate);
    WriteStamped(f.file("gone.txt"), kOld, kOldDate);
    PackageWriter w;
    w.Patch("one.txt", kOld, kOldDate, kNew, kNewDate);
    w.Patch("two.txt", kOld, kOldDate, kNew, kNewDate);
    w.Patch("three.txt", kOld, kOldDate, kNew, kNewDate);
    w.Delete("gone.txt", kOld, kOldDate);
    w.Add("NEW\\DEEP\\added.txt", kNew, kNewDate);
    Outcome run;
    FileJobLog log((f.dir / "apply.log").c_str());
    run.log = &log;
    {
        FaultyOs faults;
        failMoveTo = {"TMP>two.txt", "TMP>added.txt"};   // the new two.txt and the added file
        Apply(f, w, &run);
    }
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.outcome, ApplyNotReplaced);
    ASSERT_EQ(run.ui.infos.size(), 1u);
    EXPECT_EQ(
        run.ui.infos[0],
        "Upgrade\nThe upgrade was not applied, and your installation was left as it was, because these files "
        "could not be replaced:\ntwo.txt (the new version could not be moved into its place)\nNEW\\DEEP\\added.txt "
        "(the new version could not be moved into its place)");
    for (const char* name : {"one.txt", "two.txt", "three.txt", "gone.txt"}) {
        EXPECT_EQ(Content(f.file(name)), kOldText) << name;
        EXPECT_EQ(DateOf(f.file(name)), kOldDate) << name;
    }
    // The folders made for the added file went with it.
    EXPECT_FALSE(PathExists(f.file("NEW")));
    EXPECT_FALSE(PathExists(f.scratch()));
    // Each rebuilt file takes its .TMP name only after it verified; the commit moves every
    // installed file to its .OLD backup before the first rebuilt file takes its place. All
    // names follow the table position.
    ASSERT_GE(movedFrom.size(), 9u);
    EXPECT_TRUE(EndsWith(movedFrom[0], "__QZUPD_\\N00000.PRT")) << movedFrom[0];
    EXPECT_TRUE(EndsWith(movedFrom[2], "__QZUPD_\\N00002.PRT")) << movedFrom[2];
    EXPECT_TRUE(EndsWith(movedFrom[4], "one.txt")) << movedFrom[4];
    EXPECT_TRUE(EndsWith(movedFrom[7], "gone.txt")) << movedFrom[7];
    EXPECT_TRUE(EndsWith(movedFrom[8], "__QZUPD_\\N00000.TMP")) << movedFrom[8];
    // The log holds every finding, every rename tried and every one undone, last first.
    std::vector<std::string> lines = LogLines(f.dir / "apply.log");
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(lines[0].rfind("apply: \"Test package\", 5 files, to ", 0), 0u) << lines[0];
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("check ", 0) == 0; }),
              5);
    EXPECT_EQ(
        Tail(lines, 15),
        (std::vector<std::string>{
            "journal", "backup one.txt", "backup two.txt", "backup three.txt", "delete gone.txt", "replace one.txt",
            "replace two.txt: FAILED: the new version could not be moved into its place", "replace three.txt",
            "replace NEW\\DEEP\\added.txt: FAILED: the new version could not be moved into its place", "undo gone.txt",
            "undo three.txt", "undo two.txt", "undo one.txt", "commit: rolledBack, 2 files in the way",
            "outcome: notReplaced: files could not be replaced; every step was undone, nothing was changed"}));

    // The rerun, with nothing in the way, applies everything without a question.
    Outcome again;
    Apply(f, w, &again);
    EXPECT_EQ(again.result, 1);
    EXPECT_TRUE(again.ui.questions.empty());
    EXPECT_EQ(Content(f.file("two.txt")), kNewText);
    EXPECT_FALSE(PathExists(f.file("gone.txt")));
    EXPECT_EQ(Content(f.file("NEW\\DEEP\\added.txt")), kNewText);
    EXPECT_EQ(DateOf(f.file("one.txt")), kNewDate);
    EXPECT_FALSE(PathExists(f.scratch()));
}

// An undo that cannot finish keeps the journal and says to run again; the installation is
// still found by the search, and the next run finishes the commit without a question.
TEST(ApplyCommitMends, AnUnfinishedUndoIsFinishedByTheNextRun)
{
    Folder f;
    WriteStamped(f.file("one.txt"), kOld, kOldDate);
    WriteStamped(f.file("two.txt"), kOld, kOldDate);
    PackageWriter w;
    w.Patch("one.txt", kOld, kOldDate, kNew, kNewDate, 2, 2);
    w.Patch("two.txt", kOld, kOldDate, kNew, kNewDate, 2, 2);
    Outcome run;
    {
        FaultyOs faults;
        failMoveTo = {"TMP>two.txt", "OLD>one.txt"};
        Apply(f, w, &run);
    }
    EXPECT_EQ(run.outcome, ApplyInterrupted);
    ASSERT_EQ(run.ui.infos.size(), 1u);
    EXPECT_NE(run.ui.infos[0].find("run the upgrade again to finish it.\ntwo.txt ("), std::string::npos)
        << run.ui.infos[0];
    EXPECT_TRUE(PathExists(f.inScratch("COMMIT.JNL")));
    EXPECT_EQ(Content(f.inScratch("N00000.OLD")), kOldText);

    auto matches = [&] {
        UpgradeJob job(f.pkg().c_str(), f.target().c_str());
        return MatchFolder(&job);
    };
    EXPECT_EQ(matches(), 1);

    Outcome again;
    FileJobLog log((f.dir / "rerun.log").c_str());
    again.log = &log;
    Apply(f, w, &again);
    EXPECT_EQ(again.outcome, ApplyApplied);
    EXPECT_TRUE(again.ui.questions.empty());
    EXPECT_EQ(Tail(LogLines(f.dir / "rerun.log"), 7),
              (std::vector<std::string>{"an earlier run left a journal: its commit is finished or undone first",
                                        "backup two.txt", "replace one.txt", "replace two.txt", "finish",
                                        "recovery: the interrupted commit of this package was finished",
                                        "outcome: applied: every listed file is in its new state"}));
    // Finished forward, not undone and rebuilt: nothing is checked or built again.
    EXPECT_EQ(again.ui.ItemTexts(IDC_PROGRESS_OPERATION),
              (std::vector<std::string>{"Checking files...", "Replacing files..."}));
    EXPECT_EQ(Content(f.file("one.txt")), kNewText);
    EXPECT_EQ(Content(f.file("two.txt")), kNewText);
    EXPECT_FALSE(PathExists(f.scratch()));
    // The new release is recognised too.
    EXPECT_EQ(matches(), 1);
}

// A journal that cannot be read, with no backup beside it, means nothing had been changed: it
// goes, and the apply runs. Backups that no journal names stay where they are, and no apply
// starts over them.
TEST(ApplyCommitMends, UnreadableJournalsAndUnnamedBackups)
{
    Folder f;
    WriteStamped(f.file("one.txt"), kOld, kOldDate);
    PackageWriter w;
    w.Patch("one.txt", kOld, kOldDate, kNew, kNewDate);
    WriteFileBytes(f.inScratch("COMMIT.JNL"), BytesOf("[QZJRNL]\x01 cut short"));
    Outcome run;
    Apply(f, w, &run);
    EXPECT_EQ(run.outcome, ApplyApplied);
    EXPECT_EQ(Content(f.file("one.txt")), kNewText);
    EXPECT_FALSE(PathExists(f.scratch()));

    WriteStamped(f.file("one.txt"), kOld, kOldDate);
    WriteFileBytes(f.inScratch("N00000.OLD"), BytesOf("somebody's file"));
    Outcome orphans;
    Apply(f, w, &orphans);
    EXPECT_EQ(orphans.outcome, ApplyNotStarted);
    ASSERT_EQ(orphans.ui.infos.size(), 1u);
    EXPECT_NE(orphans.ui.infos[0].find("whose record is missing"), std::string::npos);
    EXPECT_EQ(Content(f.inScratch("N00000.OLD")), "somebody's file");
    EXPECT_EQ(Content(f.file("one.txt")), kOldText);
}

// However many files are in the way, the message names twenty of them.
TEST(ApplyCommitMends, ListOfFilesInTheWayIsBounded)
{
    Folder f;
    PackageWriter w;
    for (int i = 0; i < 25; i++) {
        std::string name = "f" + std::to_string(i) + ".txt";
        WriteStamped(f.file(name), kOld, kOldDate);
        w.Patch(name, kOld, kOldDate, kNew, kNewDate);
    }
    Outcome run;
    {
        FaultyOs faults;
        failMoveTo = {".OLD"};
        Apply(f, w, &run);
    }
    EXPECT_EQ(run.outcome, ApplyNotReplaced);
    ASSERT_EQ(run.ui.infos.size(), 1u);
    const std::string& text = run.ui.infos[0];
    EXPECT_NE(text.find("\nf19.txt ("), std::string::npos) << text;
    EXPECT_EQ(text.find("\nf20.txt"), std::string::npos) << text;
    EXPECT_TRUE(EndsWith(text, ")\nand 5 more")) << text;
    EXPECT_EQ(Content(f.file("f24.txt")), kOldText);
}

// A rebuilt file that verifies but cannot take its .TMP name is handled like one that fails
// verification, and never reaches the installation.
TEST(ApplyScratchNames, FailedRenameToTheFinalNameCountsAsUnverified)
{
    for (int hard : {0, 1}) {
        SCOPED_TRACE(hard ? "ask, no" : "ignore");
        Folder f;
        WriteStamped(f.file("a.txt"), kOld, kOldDate);
        WriteStamped(f.file("b.txt"), kOld, kOldDate);
        PackageWriter w;
        w.Patch("a.txt", kOld, kOldDate, kNew, kNewDate, 0, hard);
        w.Patch("b.txt", kOld, kOldDate, kNew, kNewDate);
        Outcome run;
        {
            FaultyOs faults;
            failMoveTo = {"__QZUPD_\\N00000.TMP"};
            Apply(f, w, &run);
        }
        EXPECT_EQ(run.result, hard ? 0 : 1);
        EXPECT_EQ(run.ui.questions.size(), hard ? 1u : 0u);
        EXPECT_EQ(Content(f.file("a.txt")), kOldText);
        EXPECT_EQ(DateOf(f.file("a.txt")), kOldDate);
        EXPECT_EQ(Content(f.file("b.txt")), hard ? kOldText : kNewText);
        EXPECT_FALSE(PathExists(f.scratch()));
    }
}

// What a killed run left in the scratch folder, cut-off working files and verified files
// alike, is rebuilt over and cleared away by the next run.
TEST(ApplyScratchNames, LeftoversOfAKilledRunAreReplacedAndRemoved)
{
    Folder f;
    WriteStamped(f.file("a.txt"), kOld, kOldDate);
    WriteFileBytes(f.inScratch("N00000.PRT"), BytesOf("the old con"));
    WriteFileBytes(f.inScratch("N00000.TMP"), BytesOf("stale and long enough to show a mix-up"));
    WriteFileBytes(f.inScratch("N00001.PRT"), BytesOf("cut"));
    WriteStamped(f.inScratch("N00002.TMP"), kNew, kNewDate);
    PackageWriter w;
    w.Patch("a.txt", kOld, kOldDate, kNew, kNewDate);
    w.Add("c.txt", kNew, kNewDate);
    w.Add("d.txt", kNew, kNewDate);
    Outcome run;
    Apply(f, w, &run);
    EXPECT_EQ(run.result, 1);
    for (const char* name : {"a.txt", "c.txt", "d.txt"}) {
        EXPECT_EQ(Content(f.file(name)), kNewText) << name;
        EXPECT_EQ(DateOf(f.file(name)), kNewDate) << name;
    }
    EXPECT_FALSE(PathExists(f.scratch()));
}

TEST(ApplyCommitMends, OlderWordingGetsTheBuiltInText)
{
    Folder f;
    std::string text;
    {
        Bytes full = ReadFileBytes(DefaultWordingPath());
        std::string all(full.begin(), full.end());
        size_t at = 0;
        for (int i = 0; i < 21; i++) at = all.find('\n', at) + 1;
        text = all.substr(0, at);   // lines 0..20 only
    }
    std::string wording = f.dir / "old.uui";
    WriteFileBytes(wording, BytesOf(text));
    WriteStamped(f.file("one.txt"), kOld, kOldDate);
    PackageWriter w;
    w.Patch("one.txt", kOld, kOldDate, kNew, kNewDate);
    Outcome run;
    {
        FaultyOs faults;
        failMoveTo = {"TMP>one.txt"};
        Apply(f, w, &run, wording.c_str());
    }
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.outcome, ApplyNotReplaced);
    ASSERT_EQ(run.ui.infos.size(), 1u);
    EXPECT_EQ(run.ui.infos[0],
              "Upgrade\nThe upgrade was not applied, and your installation was left as it was, because these files "
              "could not be replaced:\none.txt (the new version could not be moved into its place)");
    EXPECT_EQ(Content(f.file("one.txt")), kOldText);

    // The lines for files in use and for rights as well; the wording's own where it has them.
    UpgradeJob job(f.file("none.upg").c_str(), f.dir.path().c_str());
    ApplySession session(&job, nullptr);
    session.wording.reset(new UiTextTable(wording.c_str()));
    EXPECT_EQ(0u, std::string(UiLine(&session, LineInUse)).find("These files are in use by another program"));
    EXPECT_EQ(0u, std::string(UiLine(&session, LineNoAccess)).find("Your user account may not change"));
    EXPECT_EQ(0u, std::string(UiLine(&session, LineRunAsAdmin)).find("Do you want to run the upgrade again"));
    session.wording.reset(new UiTextTable(DefaultWordingPath().c_str()));
    EXPECT_STREQ(session.wording->LineText(LineInUse), UiLine(&session, LineInUse));
    EXPECT_TRUE(session.wording->HasLine(LineRunAsAdmin));
}

TEST(ApplyLongPaths, NeverWrittenPastABuffer)
{
    Folder f;
    // A target whose own path leaves room for a short name but not for a temporary name.
    std::string target = f.target();
    std::string deep = "target";
    while (target.size() < 241) {
        deep += "\\dddddddddd";
        target = f.dir / deep;
    }
    WriteFileBytes(f.dir / (deep + "\\k.txt"), BytesOf("k"));
    std::string longName(259 - target.size(), 'n');
    PackageWriter w;
    w.Add("a.txt", kNew, kNewDate, 0, 1);
    w.Patch(longName, kOld, kOldDate, kNew, kNewDate, 0, 1);
    w.WriteTo(f.pkg());
    ScriptedUi ui;
    ui.tickStep = 60;
    ui.answers = {1, 1};
    TestJob t(f.pkg(), target, &ui);
    ASSERT_TRUE(t.job->IsValid()) << target.size();
    EXPECT_EQ(t.Apply(), 1);
    ASSERT_EQ(ui.questions.size(), 2u);
    // Both are found before anything is built: neither the added file's scratch names nor the
    // long name fit, and the hard policy decides.
    for (const std::string& q : ui.questions)
        EXPECT_NE(q.find("The path of this file is too long for the chosen folder"), std::string::npos) << q;
    EXPECT_EQ(t.job->Entry(0)->state, StateTooLong);
    EXPECT_EQ(t.job->Entry(1)->state, StateTooLong);
    EXPECT_FALSE(PathExists(f.dir / (deep + "\\a.txt")));
}

// A script whose output runs past the new size is not the new file, though its first bytes are.
TEST(ApplyBuildPolicies, OutputPastTheNewSizeFailsItsEntry)
{
    Folder f;
    Prepare(f, Identical);
    PackageWriter w;
    w.Patch("f.txt", kOld, kOldDate, kNew, kNewDate, 0, 1);
    Bytes longer = kNew;
    longer.push_back('!');
    w.entries[0].script = InsertScript(longer);
    Outcome run;
    run.ui.answers = {0};
    Apply(f, w, &run);
    EXPECT_EQ(run.outcome, ApplyDeclined);
    ASSERT_EQ(run.ui.questions.size(), 1u);
    EXPECT_NE(run.ui.questions[0].find("The file will keep its present version."), std::string::npos);
    EXPECT_EQ(Content(f.file("f.txt")), kOldText);
}

// A work file that cannot be created fails its entry; a stale .TMP of an earlier run, left
// without a journal, is cleared before the build and never reaches the installation.
TEST(ApplyScratchNames, AnUnwritableWorkFileFailsTheEntryAndStaleFilesGo)
{
    Folder f;
    WriteStamped(f.file("f.txt"), kOther, kOldDate);
    WriteFileBytes(f.inScratch("N00000.TMP"), BytesOf("stale output of another run"));
    WriteFileBytes(f.inScratch("N00007.TMP"), BytesOf("beyond this table"));
    WriteFileBytes(f.inScratch("N00000.PRT\\held"), BytesOf("x"));   // a folder where the output would go
    PackageWriter w;
    w.Add("f.txt", kNew, kNewDate, 0, 0);   // exists already: replaced under soft Ignore
    w.WriteTo(f.pkg());
    ScriptedUi ui;
    ui.tickStep = 60;
    TestJob t(f.pkg(), f.target(), &ui);
    t.Apply();
    EXPECT_EQ(t.outcome, ApplyApplied);
    EXPECT_EQ(t.job->Entry(0)->state, StateBadResult);
    EXPECT_EQ(Content(f.file("f.txt")), kOtherText);
    EXPECT_FALSE(PathExists(f.inScratch("N00000.TMP")));
    EXPECT_FALSE(PathExists(f.inScratch("N00007.TMP")));
}

// Without its progress view no apply starts: the person is told, the owner is never disabled.
TEST(ApplyPreconditions, NoProgressViewNoApply)
{
    Folder f;
    Prepare(f, Identical);
    PackageWriter w;
    w.Patch("f.txt", kOld, kOldDate, kNew, kNewDate);
    w.WriteTo(f.pkg());
    ScriptedUi ui;
    ui.view = nullptr;
    {
        TestJob t(f.pkg(), f.target(), &ui);
        t.host.ownerWindow = (void*)0x99;
        EXPECT_EQ(t.Apply(), 0);
        EXPECT_EQ(t.outcome, ApplyNotStarted);
    }
    ASSERT_EQ(ui.infos.size(), 1u);
    EXPECT_EQ(ui.infos[0], "Upgrade\nThe upgrade could not open its progress window. Nothing was changed.");
    EXPECT_EQ(ui.ownerEnabled, 1);
    EXPECT_EQ(ui.Count("disable"), 0);
    EXPECT_EQ(Content(f.file("f.txt")), kOldText);
    EXPECT_FALSE(PathExists(f.scratch()));
}

// An installation that is the new release already: nothing is asked, not even about the files
// the package deletes under hard Abort, and the apply ends as a success. A package of Delete
// entries alone keeps asking about missing files.
TEST(ApplyRerun, AlreadyUpToDateAsksNothing)
{
    Folder f;
    WriteStamped(f.file("p.txt"), kNew, kNewDate);
    WriteStamped(f.file("SUB\\a.txt"), kNew, kOtherDate);
    PackageWriter w;
    w.Patch("p.txt", kOld, kOldDate, kNew, kNewDate, 2, 2);
    w.Add("SUB\\a.txt", kNew, kOtherDate, 2, 2);
    w.Delete("d.txt", kOld, kOldDate, 2, 2);
    Outcome run;
    Apply(f, w, &run);
    EXPECT_EQ(run.outcome, ApplyUpToDate);
    EXPECT_TRUE(run.ui.questions.empty());
    ASSERT_EQ(run.ui.infos.size(), 1u);
    EXPECT_EQ(run.ui.infos[0], "Upgrade\nThis installation is already up to date. Nothing was changed.");
    EXPECT_FALSE(PathExists(f.scratch()));

    PackageWriter deletes;
    deletes.Delete("d.txt", kOld, kOldDate, 1, 1);
    Outcome only;
    only.ui.answers = {0};
    Apply(f, deletes, &only);
    EXPECT_EQ(only.outcome, ApplyDeclined);
    ASSERT_EQ(only.ui.questions.size(), 1u);
    EXPECT_NE(only.ui.questions[0].find("This file is missing"), std::string::npos) << only.ui.questions[0];
}

// Folders that only the deleted files kept alive go; a folder that was empty before, or that
// holds anything else, stays.
TEST(ApplyFlow, FoldersEmptiedByDeletesGo)
{
    Folder f;
    WriteStamped(f.file("OLD\\SUB\\x.txt"), kOld, kOldDate);
    WriteStamped(f.file("OLD\\y.txt"), kOld, kOldDate);
    WriteStamped(f.file("KEEP\\z.txt"), kOld, kOldDate);
    WriteFileBytes(f.file("KEEP\\mine.txt"), BytesOf("someone's"));
    WriteStamped(f.file("EMPTY\\SUB\\w.txt"), kOld, kOldDate);
    ASSERT_EQ(1, MakeFolder(f.file("EMPTY\\BEFORE").c_str()));
    ASSERT_EQ(1, MakeFolder(f.file("WAS EMPTY").c_str()));
    PackageWriter w;
    for (const char* name : {"OLD\\SUB\\x.txt", "OLD\\y.txt", "KEEP\\z.txt", "EMPTY\\SUB\\w.txt"})
        w.Delete(name, kOld, kOldDate);
    Outcome run;
    Apply(f, w, &run);
    EXPECT_EQ(run.outcome, ApplyApplied);
    EXPECT_FALSE(PathExists(f.file("OLD")));
    EXPECT_TRUE(PathExists(f.file("KEEP\\mine.txt")));
    EXPECT_FALSE(PathExists(f.file("EMPTY\\SUB")));
    EXPECT_TRUE(PathExists(f.file("EMPTY\\BEFORE")));
    EXPECT_TRUE(PathExists(f.file("WAS EMPTY")));
    EXPECT_TRUE(PathExists(f.target()));
}

TEST(ApplyPreconditions, RefusedWithoutShowingAnything)
{
    Folder f;
    PackageWriter w;
    w.Add("a.txt", kNew, kNewDate);
    Bytes b = w.Serialize();
    b.resize(b.size() - InsertScript(kNew).size() - sizeof(FileFingerprint));   // no new print at all
    WriteFileBytes(f.pkg(), b);
    ScriptedUi ui;
    TestJob t(f.pkg(), f.target(), &ui);
    EXPECT_EQ(t.job->cut, 1);
    EXPECT_EQ(t.Apply(), 0);
    EXPECT_EQ(t.outcome, ApplyNotStarted);
    EXPECT_TRUE(ui.events.empty());

    TestJob noText(f.pkg(), f.target(), &ui);
    noText.host.wording.reset();
    EXPECT_EQ(noText.Apply(), 0);
    EXPECT_TRUE(ui.events.empty());
}

}   // namespace
