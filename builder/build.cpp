// The build procedure: two trees in, one verified package out, or nothing and a reason.
#include "build.h"
#include "codepage.h"
#include "delta.h"
#include "files.h"
#include "replay.h"
#include "seal.h"
#include "script.h"
#include "stream.h"
#include "tree.h"
#include <string.h>
#include <algorithm>
#include <functional>
#include <new>
#if defined(_GLIBCXX_HAS_GTHREADS) || !defined(__GLIBCXX__)
#include <condition_variable>
#include <mutex>
#include <thread>
#define UPG_BUILD_THREADS 1
#endif

namespace {

const uint8_t kFormatVersion = 1;
const uint32_t kReadBlock = 1u << 20;

// Reads a whole file of the given size into bytes.
int LoadFile(FileStream* file, uint32_t size, std::vector<uint8_t>* bytes)
{
    try {
        bytes->resize(size);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(kReadBlock, size - done);
        if (file->Read(bytes->data() + done, (int32_t)n) != (int32_t)n) return 0;
        done += n;
    }
    return 1;
}

std::string Number(uint64_t v) { return std::to_string((unsigned long long)v); }

// The script of a new file equal to its old one: one copy of all of it.
int WriteWholeCopyScript(uint32_t size, Stream* part, uint64_t* scriptBytes)
{
    std::vector<uint8_t> out;
    if (size) {
        DeltaOp op{0, size, 1};
        std::vector<uint8_t> forms;
        uint32_t base = 0;
        ChooseCopyForms(&op, 1, &base, &forms);
        EmitOps(&op, 1, forms, nullptr, &out);
    }
    out.push_back(OpEnd);
    part->Write(out.data(), (uint32_t)out.size());
    *scriptBytes = out.size();
    return !part->HasError();
}

}   // namespace

uint64_t PartMemory(uint32_t oldSize, uint32_t newSize)
{
    uint64_t window = std::min(kDefaultWindow, newSize);
    return (uint64_t)oldSize + OldIndexBytes(oldSize) + window * (kParseBytesPerByte + 3);
}

namespace {

// What encoding one file starts from: the new file open, the old one (if any) in memory.
struct PartInput {
    PartInput(const char* newPath) : newFile(ReadAccess | ShareRead, newPath), newSize(0), oldSize(0), sameContent(0) {}
    FileStream newFile;
    uint32_t newSize;
    std::vector<uint8_t> old;
    uint32_t oldSize;
    int sameContent;
};

int OpenPart(const char* oldPath, const char* newPath, PartInput* in, std::string* error)
{
    if (in->newFile.HasError()) {
        *error = std::string("cannot read ") + newPath;
        return 0;
    }
    in->newSize = in->newFile.Size();
    if (oldPath) {
        FileStream oldFile(ReadAccess | ShareRead, oldPath);
        in->oldSize = oldFile.Size();
        if (oldFile.HasError() || !LoadFile(&oldFile, in->oldSize, &in->old)) {
            *error = std::string("cannot read ") + oldPath + " into memory (" + Number(in->oldSize) + " bytes)";
            return 0;
        }
    }
    if (oldPath && in->oldSize == in->newSize) {
        std::vector<uint8_t> block(std::min(kReadBlock, in->newSize));
        in->sameContent = 1;
        for (uint32_t done = 0; in->sameContent && done < in->newSize;) {
            uint32_t n = std::min(kReadBlock, in->newSize - done);
            if (in->newFile.Read(block.data(), (int32_t)n) != (int32_t)n) {
                *error = std::string("cannot read ") + newPath;
                return 0;
            }
            in->sameContent = memcmp(block.data(), in->old.data() + done, n) == 0;
            done += n;
        }
        in->newFile.Seek(0);
    }
    return 1;
}

// The anchors of the whole new file, read from its start in blocks that overlap by the 7 bytes
// an 8-byte string reaches past a block's end.
int CollectFileAnchors(FileStream* file, uint32_t size, std::vector<uint32_t>* anchors)
{
    std::vector<uint8_t> block(std::min(kReadBlock, size) + 7);
    uint32_t carried = 0;
    file->Seek(0);
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(kReadBlock, size - done);
        if (file->Read(block.data() + carried, (int32_t)n) != (int32_t)n) return 0;
        CollectAnchors(block.data(), carried + n, anchors);
        uint32_t keep = std::min<uint32_t>(7, carried + n);
        memmove(block.data(), block.data() + carried + n - keep, keep);
        carried = keep;
        done += n;
    }
    return 1;
}

}   // namespace

int SurveyPart(const char* oldPath, const char* newPath, std::vector<uint32_t>* anchors, std::string* error)
{
    PartInput in(newPath);
    if (!OpenPart(oldPath, newPath, &in, error)) return 0;
    // A file equal to its old one is one copy: no literals.
    if (in.sameContent) return 1;
    size_t before = anchors->size();
    try {
        if (oldPath && in.oldSize && in.newSize) {
            OldIndex index;
            DeltaStats stats{};
            if (!BuildOldIndex(in.old.data(), in.oldSize, &index)) {
                *error = std::string("not enough memory to index ") + oldPath;
                return 0;
            }
            if (!SurveyLiterals(&index, &in.newFile, in.newSize, anchors, &stats)) {
                *error = std::string("cannot read ") + newPath + " (or no memory to encode it)";
                return 0;
            }
            if (!PreferWholeInsert(stats)) return 1;
            anchors->resize(before);
        }
        if (!CollectFileAnchors(&in.newFile, in.newSize, anchors)) {
            *error = std::string("cannot read ") + newPath;
            return 0;
        }
    } catch (const std::bad_alloc&) {
        *error = std::string("not enough memory to survey ") + newPath;
        return 0;
    }
    return 1;
}

int MakePart(const char* oldPath, const char* newPath, const char* partPath, PartResult* result, std::string* error,
             const RepeatSet* repeats)
{
    *result = PartResult{};
    PartInput in(newPath);
    if (!OpenPart(oldPath, newPath, &in, error)) return 0;
    FileStream& newFile = in.newFile;
    const uint32_t newSize = in.newSize, oldSize = in.oldSize;
    const std::vector<uint8_t>& old = in.old;
    const int sameContent = in.sameContent;
    result->memory = PartMemory(oldSize, newSize);

    {
        FileStream part(WriteAccess, partPath);
        if (part.HasError()) {
            *error = std::string("cannot create ") + partPath;
            return 0;
        }
        WritePartHeader(&part);
        DeltaStats stats{};
        int ok;
        if (sameContent) {
            ok = WriteWholeCopyScript(newSize, &part, &result->scriptBytes);
        } else if (oldPath && oldSize && newSize) {
            OldIndex index;
            if (!BuildOldIndex(old.data(), oldSize, &index)) {
                *error = std::string("not enough memory to index ") + oldPath;
                return 0;
            }
            ok = WriteDeltaScript(&index, &newFile, newSize, &part, &stats, 0, repeats);
            result->scriptBytes = stats.scriptBytes;
            if (ok && PreferWholeInsert(stats)) {
                // No delta beats the file itself: start the part again with it whole.
                part.Open(WriteAccess, partPath);
                WritePartHeader(&part);
                newFile.Seek(0);
                ok = WriteInsertScript(&newFile, newSize, &part, &stats);
                result->scriptBytes = stats.scriptBytes;
                result->wholeInsert = 1;
            }
        } else {
            ok = WriteInsertScript(&newFile, newSize, &part, &stats);
            result->scriptBytes = stats.scriptBytes;
            result->wholeInsert = 1;
        }
        if (!ok || part.HasError()) {
            *error = std::string("cannot write the script of ") + newPath + " to " + partPath;
            return 0;
        }
    }

    ReplayResult replay;
    if (!ReplayPart(partPath, oldPath ? old.data() : nullptr, oldSize, newPath, newSize, &replay)) {
        *error = std::string("the script for ") + newPath + " does not rebuild it (" + Number(replay.written) + " of " +
            Number(newSize) + " bytes written, first difference at " +
            (replay.firstDifference == 0xFFFFFFFFu ? std::string("none") : Number(replay.firstDifference)) +
            (replay.endsAtPartEnd ? "" : ", script not read to its end") + "); no package written";
        return 0;
    }
    return 1;
}

namespace {

struct Planned {
    FileEntry entry;                             // name and description in UTF-8, as the applier reads them
    std::string storedName, storedDescription;   // in the package's code page
    std::string oldPath, newPath;
    int dateOnly;
    uint8_t oldDigest[kDigestSize];
    uint8_t newDigest[kDigestSize];
};

// Compares two files byte by byte into *same; 0 when either cannot be read.
int SameFileBytes(const std::string& a, const std::string& b, int* same)
{
    FileStream x(ReadAccess | ShareRead, a.c_str()), y(ReadAccess | ShareRead, b.c_str());
    if (x.HasError() || y.HasError()) return 0;
    std::vector<uint8_t> p(65536), q(65536);
    *same = x.Size() == y.Size();
    while (*same) {
        int32_t m = x.Read(p.data(), (int32_t)p.size()), n = y.Read(q.data(), (int32_t)q.size());
        if (m != n || memcmp(p.data(), q.data(), m > 0 ? (size_t)m : 0) != 0) *same = 0;
        if (m <= 0) break;
    }
    return 1;
}

std::string LastComponent(const std::string& name)
{
    size_t cut = name.rfind('\\');
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

// CR LF for the notes box, which breaks lines only there.
std::string WindowsLines(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

void PutBytes(std::vector<uint8_t>* out, const void* bytes, size_t n)
{
    out->insert(out->end(), (const uint8_t*)bytes, (const uint8_t*)bytes + n);
}

void PutString(std::vector<uint8_t>* out, const char* text) { PutBytes(out, text, strlen(text) + 1); }

void PutEntry(std::vector<uint8_t>* out, const Planned& p)
{
    const FileEntry& e = p.entry;
    out->push_back((uint8_t)(e.kind | (e.softPolicy << 2) | (e.hardPolicy << 4)));
    PutString(out, p.storedName.c_str());
    PutString(out, p.storedDescription.c_str());
    if (e.kind != KindAdd) PutBytes(out, &e.oldPrint, sizeof e.oldPrint);
    if (e.kind != KindDelete) PutBytes(out, &e.newPrint, sizeof e.newPrint);
}

int SameEntry(const FileEntry& a, const FileEntry& b)
{
    return a.kind == b.kind && a.softPolicy == b.softPolicy && a.hardPolicy == b.hardPolicy &&
        strcmp(a.name, b.name) == 0 && strcmp(a.description, b.description) == 0 && a.oldPrint == b.oldPrint &&
        a.newPrint == b.newPrint;
}

// Reads the written package back as the applier does and checks that it says what was meant.
int ReadBackPackage(const std::string& path, const std::vector<Planned>& plan, int sealed, unsigned codePage,
                    std::string* error)
{
    PackageTable job(path.c_str(), codePage);
    if (!job.IsValid() || job.header.entryCount != (int16_t)plan.size()) {
        *error = "the written package does not read back as valid";
        return 0;
    }
    for (size_t i = 0; i < plan.size(); i++)
        if (!SameEntry(*job.Entry((int)i), plan[i].entry)) {
            *error = std::string("entry ") + plan[i].entry.name + " does not read back as written";
            return 0;
        }
    uint32_t end = job.stream->Size();
    if (sealed) {
        std::vector<uint8_t> kinds;
        for (const Planned& p : plan) kinds.push_back(p.entry.kind);
        PackageSeal seal;
        SealRead read = ReadSeal(job.stream.get(), kinds.data(), (int)kinds.size(), &seal);
        if (read != SealIntact || seal.codePage != codePage) {
            *error = std::string("the written package's seal does not read back: ") +
                (read != SealIntact ? SealReadText(read) : "another code page");
            return 0;
        }
        std::vector<const uint8_t*> files(plan.size() + 1);
        for (int set = 0; set < kFileSets; set++) {
            for (size_t i = 0; i < plan.size(); i++) files[i] = set == NewFiles ? plan[i].newDigest : plan[i].oldDigest;
            if (seal.SetHolds(set, files.data()) != 1) {
                *error = "the seal's digests of the files do not read back as written";
                return 0;
            }
        }
        end = seal.start;
    }
    ScriptRun run;
    for (size_t i = 0; i < plan.size(); i++)
        if (plan[i].entry.kind != KindDelete) RunPatchScript(job.stream.get(), &run, nullptr, nullptr);
    if (job.stream->HasError() || job.stream->Tell() != end) {
        *error = "the scripts of the written package do not end where the package ends";
        return 0;
    }
    return 1;
}

std::string PartPath(const std::string& folder, size_t i) { return folder + "\\" + Number(i) + ".part"; }

void RemoveParts(const std::string& folder, size_t count)
{
    for (size_t i = 0; i < count; i++) RemoveFile(PartPath(folder, i).c_str());
    RemoveFolder(folder.c_str());
}

// Runs work(i) for every i of order on up to `jobs` threads, in that order, holding the memory of
// the work running together under budget; reported(i) is called on this thread as each one
// ends. Stops starting work after the first that fails. Returns 1 when every one succeeded.
int RunJobs(const std::vector<size_t>& order, int jobs, uint64_t budget, const std::function<uint64_t(size_t)>& need,
            const std::function<int(size_t)>& work, const std::function<void(size_t)>& reported)
{
    std::vector<int> ok(order.empty() ? 0 : *std::max_element(order.begin(), order.end()) + 1, 0);
#if UPG_BUILD_THREADS
    if (jobs > 1 && order.size() > 1) {
        std::mutex lock;
        std::condition_variable changed;
        size_t next = 0, finished = 0;
        uint64_t held = 0;
        int failed = 0;
        std::vector<size_t> done;
        auto worker = [&]() {
            std::unique_lock<std::mutex> hold(lock);
            for (;;) {
                if (failed || next == order.size()) return;
                size_t i = order[next];
                uint64_t bytes = need(i);
                if (held != 0 && held + bytes > budget) {
                    changed.wait(hold);
                    continue;
                }
                next++;
                held += bytes;
                hold.unlock();
                int result = work(i);
                hold.lock();
                ok[i] = result;
                held -= bytes;
                finished++;
                done.push_back(i);
                if (!result) failed = 1;
                changed.notify_all();
            }
        };
        std::vector<std::thread> threads;
        for (int t = 0; t < jobs && t < (int)order.size(); t++) threads.emplace_back(worker);
        {
            std::unique_lock<std::mutex> hold(lock);
            size_t count = 0;
            while (finished < order.size() && !(failed && finished == next)) {
                changed.wait(hold);
                for (; count < done.size(); count++)
                    if (ok[done[count]]) reported(done[count]);
            }
        }
        for (std::thread& t : threads) t.join();
    } else
#endif
    {
        (void)jobs;
        (void)budget;
        (void)need;
        for (size_t i : order) {
            ok[i] = work(i);
            if (!ok[i]) break;
            reported(i);
        }
    }
    for (size_t i : order)
        if (!ok[i]) return 0;
    return 1;
}

// Encodes the parts of the Add and Patch entries, largest first, on up to options.jobs threads:
// first the survey of every file for the literals that recur in the package, then the parts.
int EncodeParts(const BuildOptions& options, std::vector<Planned>& plan, const std::string& parts, BuildReport* report,
                std::string* error)
{
    std::vector<size_t> order;
    uint64_t totalBytes = 0, largest = 0;
    auto oldPath = [&](size_t i) { return plan[i].entry.kind == KindPatch ? plan[i].oldPath.c_str() : nullptr; };
    auto need = [&](size_t i) {
        const FileEntry& e = plan[i].entry;
        return PartMemory(e.kind == KindPatch ? e.oldPrint.size : 0, e.newPrint.size);
    };
    for (size_t i = 0; i < plan.size(); i++)
        if (plan[i].entry.kind != KindDelete) {
            order.push_back(i);
            totalBytes += plan[i].entry.newPrint.size;
            largest = std::max(largest, need(i));
        }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return plan[a].entry.newPrint.size > plan[b].entry.newPrint.size; });
    report->peakJobMemory = largest;
    uint64_t budget = options.memoryBudget ? options.memoryBudget : (uint64_t)256 << 20;
    budget = std::max(budget, largest);
    int jobs = std::max(1, options.jobs);

    std::vector<PartResult> results(plan.size());
    std::vector<std::string> errors(plan.size());
    auto failure = [&](const char* what) {
        for (size_t i : order)
            if (!errors[i].empty()) {
                *error = errors[i];
                return 0;
            }
        *error = std::string(what) + "a file failed";
        return 0;
    };

    RepeatSet repeats;
    {
        std::vector<std::vector<uint32_t>> anchors(plan.size());
        auto survey = [&](size_t i) {
            return SurveyPart(oldPath(i), plan[i].newPath.c_str(), &anchors[i], &errors[i]);
        };
        if (!RunJobs(order, jobs, budget, need, survey, [](size_t) {})) return failure("the survey of ");
        try {
            std::vector<uint32_t> all;
            size_t count = 0;
            for (const std::vector<uint32_t>& a : anchors) count += a.size();
            all.reserve(count);
            for (std::vector<uint32_t>& a : anchors) {
                all.insert(all.end(), a.begin(), a.end());
                std::vector<uint32_t>().swap(a);
            }
            MakeRepeatSet(&all, &repeats);
        } catch (const std::bad_alloc&) {
            // Without the set every literal is priced alike: a larger package, still a right one.
            repeats.keys.clear();
        }
    }

    BuildProgress progress{0, totalBytes, 0, (int)order.size(), ""};
    auto encode = [&](size_t i) {
        return MakePart(oldPath(i), plan[i].newPath.c_str(), PartPath(parts, i).c_str(), &results[i], &errors[i],
                        &repeats);
    };
    auto reported = [&](size_t i) {
        const FileEntry& e = plan[i].entry;
        progress.doneBytes += e.newPrint.size;
        progress.doneFiles++;
        progress.name = e.name;
        if (options.progress) options.progress(options.progressContext, &progress);
    };
    if (!RunJobs(order, jobs, budget, need, encode, reported)) return failure("the script for ");
    for (size_t k = 0; k < report->entries.size(); k++) {
        report->entries[k].scriptBytes = results[k].scriptBytes;
        report->entries[k].wholeInsert = results[k].wholeInsert;
    }
    return 1;
}

int WritePackage(const BuildOptions& options, const std::string& title, const std::string& notes,
                 const std::vector<Planned>& plan, const std::string& parts, const std::string& temp,
                 BuildReport* report, std::string* error)
{
    FileStream out(WriteAccess, temp.c_str());
    if (out.HasError()) {
        *error = "cannot create " + temp;
        return 0;
    }
    // Every byte before the seal passes through the package digest as it is written.
    DigestContext* digest = nullptr;
    if (options.seal && !(digest = DigestBegin())) {
        *error = "this system offers no SHA-256 to seal the package with (give --no-seal)";
        return 0;
    }
    PackageHeader header = {};
    memcpy(header.magic, kPackageMagic, sizeof header.magic);
    header.version = kFormatVersion;
    header.entryCount = (int16_t)plan.size();
    std::vector<uint8_t> head;
    PutBytes(&head, &header, sizeof header);
    PutString(&head, title.c_str());
    PutString(&head, notes.c_str());
    for (const Planned& p : plan) PutEntry(&head, p);
    out.Write(head.data(), (uint32_t)head.size());
    DigestFeed(digest, head.data(), head.size());
    std::vector<uint8_t> block(kReadBlock);
    for (size_t i = 0; i < plan.size(); i++) {
        if (plan[i].entry.kind == KindDelete) continue;
        std::string path = PartPath(parts, i);
        FileStream part(ReadAccess, path.c_str());
        if (part.HasError() || !part.Seek(kPartHeaderSize)) {
            *error = "cannot read " + path;
            DigestDiscard(digest);
            return 0;
        }
        for (;;) {
            int32_t n = part.Read(block.data(), (int32_t)block.size());
            if (n <= 0) break;
            out.Write(block.data(), (uint32_t)n);
            DigestFeed(digest, block.data(), (size_t)n);
        }
    }
    if (digest) {
        PackageSeal seal;
        seal.Allocate((int)plan.size());
        int made = DigestEnd(digest, seal.packageDigest);
        seal.codePage = (uint16_t)options.codePage;
        for (size_t i = 0; made && i < plan.size(); i++) {
            seal.kinds[i] = plan[i].entry.kind;
            memcpy(seal.NewDigestSlot((int)i), plan[i].newDigest, kDigestSize);
            memcpy(seal.OldDigestSlot((int)i), plan[i].oldDigest, kDigestSize);
        }
        if (!made || !WriteSeal(&out, &seal, options.signer)) {
            *error = options.signer ? "cannot sign the package with the given key" : "cannot seal the package";
            return 0;
        }
        report->sealBytes = seal.size;
        report->isSigned = seal.isSigned;
        memcpy(report->keyId, seal.keyId, kKeyIdSize);
    }
    out.Flush();
    if (out.HasError()) {
        *error = "cannot write " + temp + " (disk full?)";
        return 0;
    }
    return 1;
}

std::string CodePageList()
{
    std::string list;
    for (const unsigned* cp = kBuildCodePages; *cp; cp++) list += (list.empty() ? "" : ", ") + Number(*cp);
    return list;
}

// The UTF-8 text in the package's code page; a character it cannot hold refuses the build with
// the code page to give instead (what names the thing goes first in the message).
int Encode(const BuildOptions& options, const std::string& text, const std::string& what, std::string* out,
           std::string* error)
{
    size_t at = 0;
    if (Utf8ToCodePage(options.codePage, text, out, &at)) return 1;
    if (!IsUtf8(text.c_str())) {
        *error = what + " is not valid UTF-8";
        return 0;
    }
    const char* p = text.c_str() + at;
    const char* start = p;
    NextCodePoint(&p);
    std::string character(start, (size_t)(p - start));
    unsigned other = CodePageHolding(text);
    *error = what + " holds '" + character + "', which code page " + Number(options.codePage) + " cannot hold; " +
        (other ? "build with --codepage " + Number(other) + ", which holds it"
               : "no code page the builder offers (" + CodePageList() + ") holds it");
    return 0;
}

// The options that need no file, and the title and notes in the package's code page.
int CheckOptions(const BuildOptions& options, std::string* title, std::string* notes, std::string* error)
{
    if (options.signer && !options.seal) {
        *error = "a package is signed through its seal: signing and --no-seal exclude each other";
        return 0;
    }
    if (!CodePageKnown(options.codePage)) {
        *error = "code page " + Number(options.codePage) + " is not one the builder offers (" + CodePageList() + ")";
        return 0;
    }
    if (!Encode(options, options.title, "the title", title, error) ||
        !Encode(options, WindowsLines(options.notes), "the release notes", notes, error))
        return 0;
    if (title->size() >= kTitleSize) {
        *error =
            "the title is " + Number(title->size()) + " characters long; at most " + Number(kTitleSize - 1) + " fit";
        return 0;
    }
    if (notes->size() >= kNotesSize) {
        *error = "the release notes are " + Number(notes->size()) +
            " characters long (with CR LF line ends); at most " + Number(kNotesSize - 1) + " fit";
        return 0;
    }
    if (memchr(notes->data(), 0, notes->size()) || memchr(title->data(), 0, title->size())) {
        *error = "the title and the release notes must not hold NUL characters";
        return 0;
    }
    return 1;
}

// What planning one pair of files came to.
enum PlanStep { PlanFailed = 0, PlanKept, PlanUnchanged };

// Fingerprints the files of p, named name, and gives it its stored name, policies and
// description; PlanUnchanged for the files of a Patch that are the same, date included.
PlanStep PlanEntry(const BuildOptions& options, const int32_t* offset, const std::string& name, Planned* p,
                   std::string* error)
{
    NameFault fault = CheckEntryName(name.c_str(), 0);
    if (name.size() >= kNameSize) fault = NameTooLong;
    if (fault != NameOk) {
        *error = "the name " + name + " would be refused by the applier: " + NameFaultText(fault);
        return PlanFailed;
    }
    if (!Encode(options, name, "the name " + name, &p->storedName, error)) return PlanFailed;
    // The seal's digests come from the same reading as the fingerprints.
    if (!p->oldPath.empty() &&
        !ComputeFingerprint(p->oldPath.c_str(), &p->entry.oldPrint, offset, options.seal ? p->oldDigest : nullptr)) {
        *error = "cannot fingerprint " + p->oldPath + " (unreadable, or dated outside 1980-2107)";
        return PlanFailed;
    }
    if (!p->newPath.empty() &&
        !ComputeFingerprint(p->newPath.c_str(), &p->entry.newPrint, offset, options.seal ? p->newDigest : nullptr)) {
        *error = "cannot fingerprint " + p->newPath + " (unreadable, or dated outside 1980-2107)";
        return PlanFailed;
    }
    if (p->entry.kind == KindPatch) {
        int same = 0;
        if (SameContent(p->entry.oldPrint, p->entry.newPrint) && !SameFileBytes(p->oldPath, p->newPath, &same)) {
            *error = "cannot read " + p->oldPath + " or " + p->newPath;
            return PlanFailed;
        }
        if (same && p->entry.oldPrint == p->entry.newPrint) return PlanUnchanged;
        if (!same && p->entry.oldPrint == p->entry.newPrint) {
            // The applier takes a file that carries its new fingerprint as done already.
            *error = "the old and new " + name +
                " differ in content but not in fingerprint (date, size and checksum); the applier could "
                "not tell them apart: give the new file another modification time";
            return PlanFailed;
        }
        p->dateOnly = same;
    }
    memcpy(p->entry.name, name.c_str(), name.size() + 1);
    int soft, hard;
    DefaultPolicies(p->entry.kind, &soft, &hard);
    std::string description = LastComponent(name);
    for (const BuildRule& r : options.rules) {
        if (!GlobMatches(r.glob.c_str(), name.c_str())) continue;
        if (r.soft >= 0) soft = r.soft;
        if (r.hard >= 0) hard = r.hard;
        if (r.hasDescription) description = r.description;
    }
    p->entry.softPolicy = (uint8_t)soft;
    p->entry.hardPolicy = (uint8_t)hard;
    // The applier keeps 79 characters of a description; the builder cuts it the same way.
    if (!Encode(options, description, "the description of " + name, &p->storedDescription, error)) return PlanFailed;
    p->storedDescription = p->storedDescription.substr(0, kDescriptionSize - 1);
    CodePageToUtf8(options.codePage, p->storedDescription.c_str(), p->entry.description, kDescriptionSize);
    return PlanKept;
}

// Pairs the files of the two trees by name into the entries of the package, in table order,
// and counts them in the report.
int PlanPackage(const BuildOptions& options, std::vector<Planned>* plan, BuildReport* report, std::string* error)
{
    std::vector<TreeFile> oldFiles, newFiles;
    if (!ListTree(options.oldDir, &oldFiles, error) || !ListTree(options.newDir, &newFiles, error)) return 0;
    if (!OutsideTree(options.output, options.oldDir) || !OutsideTree(options.output, options.newDir)) {
        *error = "the package " + options.output + " must not lie inside the trees it is built from";
        return 0;
    }
    // The builder's own UTC offset, when it has one, goes to the fingerprints explicitly: the
    // encoder threads run meanwhile, so the platform table is never swapped.
    const int32_t offsetMinutes = options.utcOffsetMinutes;
    const int32_t* offset = options.hasUtcOffset ? &offsetMinutes : nullptr;
    size_t a = 0, b = 0;
    while (a < oldFiles.size() || b < newFiles.size()) {
        int order = a == oldFiles.size() ? 1
            : b == newFiles.size()       ? -1
                                         : CompareNames(oldFiles[a].name, newFiles[b].name);
        Planned p{};
        p.entry = FileEntry{};
        std::string name;
        if (order < 0) {
            p.entry.kind = KindDelete;
            p.oldPath = oldFiles[a].path;
            name = oldFiles[a++].name;
        } else if (order > 0) {
            p.entry.kind = KindAdd;
            p.newPath = newFiles[b].path;
            name = newFiles[b++].name;
        } else {
            p.entry.kind = KindPatch;
            p.oldPath = oldFiles[a++].path;
            p.newPath = newFiles[b].path;
            name = newFiles[b++].name;
        }
        PlanStep step = PlanEntry(options, offset, name, &p, error);
        if (step == PlanFailed) return 0;
        if (step == PlanUnchanged) {
            report->unchanged++;
            continue;
        }
        plan->push_back(p);
        if (plan->size() > (size_t)kMaxEntries) {
            *error = "more than " + Number(kMaxEntries) + " files differ between the trees; a package holds at most " +
                Number(kMaxEntries) + " entries: split the upgrade into several packages";
            return 0;
        }
    }
    for (const Planned& p : *plan) {
        BuildEntryInfo info{p.entry.name, p.entry.kind, p.entry.oldPrint.size, p.entry.newPrint.size, 0, 0, p.dateOnly};
        report->entries.push_back(info);
        if (p.entry.kind == KindAdd)
            report->adds++;
        else if (p.entry.kind == KindPatch)
            report->patches++;
        else
            report->deletes++;
        if (p.entry.kind != KindDelete) report->newBytes += p.entry.newPrint.size;
    }
    return 1;
}

// Encodes every part, writes the package beside the output, reads it back through the applier's
// reader and only then moves it over the output; nothing is left behind on failure.
int WritePlanned(const BuildOptions& options, const std::string& title, const std::string& notes,
                 std::vector<Planned>& plan, BuildReport* report, std::string* error)
{
    std::string temp = options.output + ".tmp";
    std::string parts = options.output + ".parts";
    RemoveParts(parts, plan.size());
    if (!MakeFolder(parts.c_str())) {
        *error = "cannot create the work folder " + parts;
        return 0;
    }
    int ok = EncodeParts(options, plan, parts, report, error) &&
        WritePackage(options, title, notes, plan, parts, temp, report, error) &&
        ReadBackPackage(temp, plan, options.seal, options.codePage, error);
    RemoveParts(parts, plan.size());
    if (ok && !MoveFileOver(temp.c_str(), options.output.c_str())) {
        *error = "cannot move " + temp + " to " + options.output;
        ok = 0;
    }
    if (!ok) {
        RemoveFile(temp.c_str());
        return 0;
    }
    FileStream written(ReadAccess, options.output.c_str());
    report->packageBytes = written.Size();
    return 1;
}

}   // namespace

void DefaultPolicies(int kind, int* soft, int* hard)
{
    switch (kind) {
    case KindAdd:   // soft: the file exists already; hard: it exists and is read-only
        *soft = PolicyAsk;
        *hard = PolicyAsk;
        break;
    case KindPatch:   // soft: only the date-time differs; hard: missing, modified, read-only
        *soft = PolicyIgnore;
        *hard = PolicyAsk;
        break;
    default:   // soft: content or date-time differ; hard: missing or read-only
        *soft = PolicyIgnore;
        *hard = PolicyIgnore;
        break;
    }
}

int BuildPackage(const BuildOptions& options, BuildReport* report, std::string* error)
{
    *report = BuildReport{};
    std::string title, notes;
    std::vector<Planned> plan;
    return CheckOptions(options, &title, &notes, error) && PlanPackage(options, &plan, report, error) &&
        WritePlanned(options, title, notes, plan, report, error);
}
