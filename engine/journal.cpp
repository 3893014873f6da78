// The commit journal's byte format: a header that names the package, the target and every
// step, closed by a CRC-32, then four-byte records appended as steps complete.
#include "journal.h"
#include <stdio.h>
#include <string.h>
#include "bytes.h"
#include "entries.h"
#include "stream.h"

const char kJournalName[] = "COMMIT.JNL";

namespace {

const char kJournalMagic[8] = {'[', 'Q', 'Z', 'J', 'R', 'N', 'L', ']'};
const uint8_t kJournalVersion = 1;
const uint32_t kJournalMax = 8u << 20;

// CRC-32 (IEEE): what tells a whole journal from one cut or damaged, not a seal.
uint32_t Crc32(const uint8_t* p, size_t n)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        c ^= p[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void PutText(std::vector<uint8_t>* b, const std::string& s)
{
    b->insert(b->end(), s.begin(), s.end());
    b->push_back(0);
}

std::vector<uint8_t> HeaderBytes(const Journal& j)
{
    std::vector<uint8_t> b(kJournalMagic, kJournalMagic + sizeof kJournalMagic);
    b.push_back(kJournalVersion);
    AppendLe32(&b, j.package.size);
    b.push_back((uint8_t)(j.package.hasDigest ? 1 : 0));
    b.insert(b.end(), j.package.digest, j.package.digest + kDigestSize);
    PutText(&b, j.target);
    AppendLe16(&b, (uint32_t)j.steps.size());
    for (const JournalStep& s : j.steps) {
        AppendLe16(&b, (uint32_t)s.entry);
        b.push_back((uint8_t)s.kind);
        b.push_back((uint8_t)(s.hadFile ? 1 : 0));
        b.push_back((uint8_t)s.newFolders);
        AppendLe32(&b, s.newPrint.dateTime);
        AppendLe32(&b, s.newPrint.size);
        AppendLe16(&b, s.newPrint.checksum);
        PutText(&b, s.name);
    }
    AppendLe32(&b, Crc32(b.data(), b.size()));
    return b;
}

// Reads a journal's bytes by the rules HeaderBytes writes them; every field bounded.
struct Cursor {
    const std::vector<uint8_t>& b;
    size_t at = 0;
    int ok = 1;
    explicit Cursor(const std::vector<uint8_t>& bytes) : b(bytes) {}
    uint32_t U8()
    {
        if (at + 1 > b.size()) return ok = 0, 0;
        return b[at++];
    }
    uint32_t U16()
    {
        uint32_t lo = U8();
        return lo | U8() << 8;
    }
    uint32_t U32()
    {
        uint32_t lo = U16();
        return lo | U16() << 16;
    }
    std::string Text(size_t limit)
    {
        size_t end = at;
        while (end < b.size() && end - at < limit && b[end] != 0) end++;
        if (end >= b.size() || b[end] != 0) {
            ok = 0;
            return "";
        }
        std::string s((const char*)b.data() + at, end - at);
        at = end + 1;
        return s;
    }
};

}   // namespace

int ReadJournal(const char* path, Journal* j)
{
    snprintf(j->path, sizeof j->path, "%s", path);
    j->file.reset(new FileStream(ReadAccess | WriteAccess, path));
    if (j->file->HasError()) return 0;
    uint32_t size = j->file->Size();
    if (j->file->HasError() || size > kJournalMax) return 0;
    std::vector<uint8_t> b(size);
    if (size && j->file->Read(b.data(), (int32_t)size) != (int32_t)size) return 0;

    Cursor c(b);
    for (char m : kJournalMagic)
        if (c.U8() != (uint8_t)m) return 0;
    if (c.U8() != kJournalVersion) return 0;
    j->package.size = c.U32();
    j->package.hasDigest = c.U8() == 1;
    for (size_t i = 0; i < kDigestSize; i++) j->package.digest[i] = (uint8_t)c.U8();
    j->target = c.Text(kPathMax - 1);
    uint32_t count = c.U16();
    if (!c.ok || count > (uint32_t)kMaxEntries) return 0;
    for (uint32_t k = 0; k < count && c.ok; k++) {
        JournalStep s;
        s.entry = (int)c.U16();
        s.kind = (int)c.U8();
        s.hadFile = (int)c.U8();
        s.newFolders = (int)c.U8();
        s.newPrint.dateTime = c.U32();
        s.newPrint.size = c.U32();
        s.newPrint.checksum = (uint16_t)c.U16();
        s.name = c.Text(kNameSize - 1);
        // A damaged or planted journal must not lead a rename outside the target folder.
        if (s.entry >= kMaxEntries || s.kind > KindDelete || s.hadFile > 1 ||
            CheckEntryName(s.name.c_str(), 0) != NameOk)
            return 0;
        j->steps.push_back(s);
    }
    size_t headerEnd = c.at;
    uint32_t crc = c.U32();
    if (!c.ok || crc != Crc32(b.data(), headerEnd)) return 0;

    size_t good = c.at;
    while (good + 4 <= b.size()) {
        uint8_t type = b[good];
        uint32_t value = b[good + 1] | (uint32_t)b[good + 2] << 8;
        if ((uint8_t)(type ^ b[good + 1] ^ b[good + 2] ^ 0x5A) != b[good + 3]) break;
        if (type == kRecordStep && value < j->steps.size()) {
            j->steps[value].recorded = 1;
        } else if (type == kRecordComplete && value == j->steps.size()) {
            j->complete = 1;
        } else {
            break;
        }
        good += 4;
    }
    j->file->Seek((uint32_t)good);
    return !j->file->HasError();
}

int WriteJournal(const char* path, Journal* j)
{
    snprintf(j->path, sizeof j->path, "%s", path);
    std::vector<uint8_t> b = HeaderBytes(*j);
    j->file.reset(new FileStream(WriteAccess, path));
    if (j->file->HasError()) return 0;
    j->file->Write(b.data(), (uint32_t)b.size());
    return j->file->Sync();
}

int AppendRecord(Journal* j, uint8_t type, uint32_t value)
{
    if (!j->file) return 0;
    uint8_t r[4] = {type, (uint8_t)value, (uint8_t)(value >> 8), 0};
    r[3] = (uint8_t)(r[0] ^ r[1] ^ r[2] ^ 0x5A);
    j->file->Write(r, sizeof r);
    if (type == kRecordComplete) return j->file->Sync();
    j->file->Flush();
    return !j->file->HasError();
}
