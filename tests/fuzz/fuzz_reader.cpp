// Fuzz target: a package file read into an upgrade job, checked against a reading of its own.
#include <string.h>
#include <string>
#include <vector>
#include "codepage.h"
#include "fuzzcommon.h"
#include "seal.h"
#include "stream.h"
#include "job.h"
#include "trust.h"

namespace {

// The layout read byte by byte: what the job must hold afterwards.
struct Expected {
    uint8_t header[11] = {};
    std::string title, notes;
    bool endMet = false;   // the end of the file fell inside a string or flag byte
    int entriesRead = 0;   // entries whose flag byte and strings were read
    struct Entry {
        uint8_t flags = 0;
        std::string name, description;
        bool nameCut = false;
        uint8_t oldPrint[10] = {}, newPrint[10] = {};
    };
    std::vector<Entry> entries;
    uint32_t progressTotal = 0;
    bool complete = true;   // no fingerprint was cut short or missing
};

struct Cursor {
    const uint8_t* data;
    size_t size, at;
    bool end = false;
    int Get()
    {
        if (at < size) return data[at++];
        end = true;
        return 0;
    }
    // Keeps capacity-1 characters; the whole string is consumed.
    std::string String(uint32_t capacity, bool* cut)
    {
        std::string s;
        size_t length = 0;
        for (int c = Get(); c != 0; c = Get(), length++)
            if (s.size() + 1 < capacity) s += (char)c;
        if (cut) *cut = length + 1 > capacity;
        return s;
    }
    size_t Block(uint8_t* out, size_t n)
    {
        size_t got = size - at < n ? size - at : n;
        memcpy(out, data + at, got);
        at += got;
        return got;
    }
};

Expected Read(const uint8_t* data, size_t size)
{
    Expected x;
    Cursor c{data, size, 0};
    c.Block(x.header, 11);
    x.title = c.String(kTitleSize, nullptr);
    x.notes = c.String(kNotesSize, nullptr);
    int16_t count;
    memcpy(&count, x.header + 9, 2);
    if (count > kMaxEntries) {
        x.endMet = c.end;
        return x;
    }
    uint32_t sum = 0;
    bool& complete = x.complete;
    for (int i = 0; i < count && complete; i++) {
        Expected::Entry e;
        e.flags = (uint8_t)c.Get();
        e.name = c.String(kNameSize, &e.nameCut);
        e.description = c.String(kDescriptionSize, nullptr);
        x.entriesRead++;
        int kind = e.flags & 3;
        // A fingerprint cut short, or missing, ends the table.
        if ((kind == KindPatch || kind == KindDelete) && c.Block(e.oldPrint, 10) < 10) complete = false;
        if (complete && (kind == KindAdd || kind == KindPatch)) {
            if (c.Block(e.newPrint, 10) < 10) complete = false;
            uint32_t s;
            memcpy(&s, e.newPrint + 4, 4);
            sum += s;
        }
        x.entries.push_back(e);
    }
    x.endMet = c.end;
    x.progressTotal = complete ? sum + 1 : 0;
    return x;
}

bool IsDevice(const std::string& component)
{
    std::string u;
    for (char ch : component) u += (char)(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    if (u == "CON" || u == "PRN" || u == "AUX" || u == "NUL") return true;
    return u.size() == 4 && (u.compare(0, 3, "COM") == 0 || u.compare(0, 3, "LPT") == 0) && u[3] >= '0' && u[3] <= '9';
}

// Components of letters, digits and '_' between single backslashes: nothing to refuse.
bool PlainlySafe(const std::string& name)
{
    if (name.empty() || name.size() > 200) return false;
    size_t start = 0;
    for (;;) {
        size_t end = name.find('\\', start);
        std::string part = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.empty() || IsDevice(part)) return false;
        for (char ch : part)
            if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'))
                return false;
        if (start == 0 && part.size() >= 8) {
            std::string u;
            for (char ch : part.substr(0, 8)) u += (char)(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
            if (u == "__QZUPD_" && part.size() == 8) return false;
        }
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

// What any accepted name must never hold, whatever else the check refuses.
bool Dangerous(const std::string& name, bool cut)
{
    if (cut || name.empty()) return true;
    if (name[0] == '\\' || name.find('/') != std::string::npos || name.find(':') != std::string::npos) return true;
    for (unsigned char ch : name)
        if (ch < 0x20 || strchr("<>\"|?*", ch)) return true;
    std::string padded = "\\" + name + "\\";
    if (padded.find("\\..\\") != std::string::npos || padded.find("\\.\\") != std::string::npos ||
        padded.find("\\\\") != std::string::npos)
        return true;
    std::string head = name.substr(0, name.find('\\'));
    for (char& ch : head) ch = (char)(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    return head == "__QZUPD_";
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string path = FuzzPath("reader.upg");
    FuzzWriteFile(path, data, size);
    Expected x = Read(data, size);

    UpgradeJob job(path.c_str(), "/nonexistent/upg-fuzz-target");
    // The strings as stored, decoded as the reader must decode them; a name whose UTF-8 does
    // not fit its buffer counts as cut.
    auto decode = [&](const std::string& stored, size_t capacity, bool* cut) {
        std::vector<char> text(capacity);
        int fits = PackageTextToUtf8(job.codePage, stored.c_str(), text.data(), capacity);
        if (cut) *cut = *cut || !fits;
        return std::string(text.data());
    };
    x.title = decode(x.title, kTitleTextSize, nullptr);
    x.notes = decode(x.notes, kNotesTextSize, nullptr);
    for (Expected::Entry& e : x.entries) {
        e.name = decode(e.name, kNameSize, &e.nameCut);
        e.description = decode(e.description, kDescriptionSize, nullptr);
    }
    FUZZ_CHECK(memcmp(&job.header, x.header, 11) == 0);
    FUZZ_CHECK(x.title == job.title);
    FUZZ_CHECK(x.notes == job.notes);
    FUZZ_CHECK(job.progressTotal == x.progressTotal);
    FUZZ_CHECK(strcmp(job.targetFolder, "/nonexistent/upg-fuzz-target\\") == 0);

    bool readerValid = memcmp(x.header, kPackageMagic, 8) == 0 && x.header[8] <= kMaxVersion && !x.endMet;
    FUZZ_CHECK(job.PackageReader::IsValid() == (readerValid ? 1 : 0));

    bool anyDangerous = false, allPlain = true;
    for (int i = 0; i < x.entriesRead; i++) {
        const Expected::Entry& e = x.entries[i];
        const FileEntry* f = job.Entry(i);
        FUZZ_CHECK(f != nullptr);
        FUZZ_CHECK(f->kind == (e.flags & 3) && f->softPolicy == ((e.flags >> 2) & 3) &&
                   f->hardPolicy == ((e.flags >> 4) & 3));
        FUZZ_CHECK(e.name == f->name);
        FUZZ_CHECK(e.description == f->description);
        FUZZ_CHECK(memcmp(&f->oldPrint, e.oldPrint, 10) == 0);
        FUZZ_CHECK(memcmp(&f->newPrint, e.newPrint, 10) == 0);
        anyDangerous = anyDangerous || Dangerous(e.name, e.nameCut);
        allPlain = allPlain && PlainlySafe(e.name) && !e.nameCut;
    }
    int16_t count;
    memcpy(&count, x.header + 9, 2);
    // Nothing beyond the entries read is held.
    FUZZ_CHECK(job.entries.size() == (size_t)x.entriesRead);

    // A table cut short is refused as a whole, whatever the entries before the cut hold.
    if (job.IsValid()) {
        FUZZ_CHECK(readerValid && count <= kMaxEntries && !anyDangerous && x.complete);
    } else if (readerValid && count <= kMaxEntries && allPlain && x.complete) {
        FUZZ_CHECK(!"a package of plain names was refused");
    }

    // The seal check reads the end of the package and walks its scripts, and leaves the stream
    // where the scripts begin; only a package that ends in the seal's footer can pass as sealed.
    if (job.IsValid()) {
        uint32_t at = job.stream->Tell();
        SealRead r = CheckSeal(&job);
        FUZZ_CHECK(job.stream->Tell() == at && !job.stream->HasError());
        bool footer = size >= 8 && memcmp(data + size - 8, kSealMagic, 8) == 0;
        FUZZ_CHECK(r != SealIntact || (footer && job.seal && job.seal->start + job.seal->size == size));
        FUZZ_CHECK((r == SealIntact) == (job.seal != nullptr));
        FUZZ_CHECK(CheckSeal(&job) == r);
    }
    return 0;
}
