// Package reader and entry table: header, title, notes and the entry records of a package file.
#include "reader.h"
#include <string.h>
#include <vector>
#include "codepage.h"
#include "entries.h"
#include "seal.h"
#include "stream.h"

const char kPackageMagic[8] = {'[', 'Q', 'Z', 'U', 'P', 'D', ']', '\0'};
const char kScratchName[] = "__QZUPD_";

namespace {

// A stored string decoded into UTF-8 through a zeroed buffer of capacity bytes.
std::string Decoded(unsigned codePage, const char* stored, uint32_t capacity)
{
    std::vector<char> text(capacity, 0);
    PackageTextToUtf8(codePage, stored, text.data(), capacity);
    return text.data();
}

}   // namespace

PackageReader::PackageReader(const char* path, unsigned codePage)
    : stream(new FileStream(ReadAccess, path)), codePage(codePage)
{
    memset(&header, 0, sizeof header);
    // A short file is caught by IsValid through the magic or the error ReadString raises.
    stream->Read(&header, (int32_t)sizeof header);
    // Only the seal says how the strings are encoded, and it lies at the end of the file.
    unsigned recorded = ReadSealCodePage(stream.get());
    if (recorded) this->codePage = recorded;
    std::vector<char> stored(kNotesSize, 0);
    stream->ReadString(stored.data(), kTitleSize);
    title = Decoded(this->codePage, stored.data(), kTitleTextSize);
    stream->ReadString(stored.data(), kNotesSize);
    notes = Decoded(this->codePage, stored.data(), kNotesTextSize);
}

PackageReader::~PackageReader() {}

int PackageReader::IsValid() const
{
    if (memcmp(header.magic, kPackageMagic, sizeof header.magic) != 0) return 0;
    if (header.version > kMaxVersion) return 0;
    if (stream->HasError()) return 0;
    return 1;
}

int PackageReader::EntryCount() const
{
    return header.entryCount <= 0 ? 0 : header.entryCount > kMaxEntries ? kMaxEntries : header.entryCount;
}

PackageTable::PackageTable(const char* path, unsigned codePage)
    : PackageReader(path, codePage), progressTotal(0), tooManyEntries(0), faultEntry(-1), faultName(NameOk), cut(0)
{
    ReadEntries();
}

int PackageTable::HoldsSafeEntries() const { return PackageReader::IsValid() && !tooManyEntries && faultEntry < 0; }

int PackageTable::IsValid() const { return HoldsSafeEntries() && !cut; }

void PackageTable::ReadEntries()
{
    uint32_t sum = 0;
    // A count beyond the table would write past it; read nothing and let IsValid refuse.
    if (header.entryCount > kMaxEntries) {
        tooManyEntries = 1;
        return;
    }
    for (int i = 0; i < header.entryCount; i++) {
        entries.emplace_back(new FileEntry());
        FileEntry* e = entries.back().get();
        uint8_t flags = stream->Get();
        e->kind = flags & 3;
        e->softPolicy = (flags >> 2) & 3;
        e->hardPolicy = (flags >> 4) & 3;
        char stored[kNameSize];
        uint32_t nameLength = stream->ReadString(stored, kNameSize);
        // A name whose UTF-8 form does not fit is cut as surely as one too long in the file.
        int fits = PackageTextToUtf8(codePage, stored, e->name, kNameSize);
        stream->ReadString(stored, kDescriptionSize);
        PackageTextToUtf8(codePage, stored, e->description, kDescriptionSize);
        if (faultEntry < 0) {
            NameFault fault = CheckEntryName(e->name, nameLength >= kNameSize || !fits);
            if (fault != NameOk) {
                faultEntry = i;
                faultName = fault;
            }
        }
        // A fingerprint cut short ends the table: its missing bytes would read as zeros, and a
        // file cut to zeros is one that an empty script rebuilds.
        if (e->kind == KindPatch || e->kind == KindDelete) {
            if (stream->Read(&e->oldPrint, (int32_t)sizeof e->oldPrint) != (int32_t)sizeof e->oldPrint) {
                cut = 1;
                return;
            }
        }
        if (e->kind == KindAdd || e->kind == KindPatch) {
            if (stream->Read(&e->newPrint, (int32_t)sizeof e->newPrint) != (int32_t)sizeof e->newPrint) {
                cut = 1;
                return;
            }
            sum += e->newPrint.size;
        }
    }
    progressTotal = sum + 1;
}
