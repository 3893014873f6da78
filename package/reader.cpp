// Package reader and upgrade job: header, title, notes and the entry table of a package file.
#include "reader.h"
#include <new>
#include <string.h>
#include "codepage.h"
#include "seal.h"
#include "stream.h"

const char kPackageMagic[8] = {'[', 'Q', 'Z', 'U', 'P', 'D', ']', '\0'};
const char kScratchName[] = "__QZUPD_";

namespace {

const uint32_t kFolderSize = 260;

// Buffers are zeroed so that a job whose reading stopped early never shows stale bytes.
char* NewBuffer(uint32_t size)
{
    char* b = new (std::nothrow) char[size];
    if (b) memset(b, 0, size);
    return b;
}

}  // namespace

PackageReader::PackageReader(const char* path, unsigned codePage)
    : stream(nullptr), title(nullptr), notes(nullptr), codePage(codePage)
{
    memset(&header, 0, sizeof header);
    stream = new (std::nothrow) FileStream(ReadAccess, path);
    if (!stream) return;
    // A short file is caught by IsValid through the magic or the error ReadString raises.
    stream->Read(&header, (int32_t)sizeof header);
    title = NewBuffer(kTitleTextSize);
    notes = NewBuffer(kNotesTextSize);
    char* stored = NewBuffer(kNotesSize);
    if (!title || !notes || !stored) {
        // Without its buffers the reader cannot stand at the entry table: refuse it.
        delete[] stored;
        stream->SetError();
        return;
    }
    // Only the seal says how the strings are encoded, and it lies at the end of the file.
    unsigned recorded = ReadSealCodePage(stream);
    if (recorded) this->codePage = recorded;
    stream->ReadString(stored, kTitleSize);
    PackageTextToUtf8(this->codePage, stored, title, kTitleTextSize);
    stream->ReadString(stored, kNotesSize);
    PackageTextToUtf8(this->codePage, stored, notes, kNotesTextSize);
    delete[] stored;
}

PackageReader::~PackageReader()
{
    delete[] title;
    delete[] notes;
    delete stream;
}

int PackageReader::IsValid() const
{
    if (memcmp(header.magic, kPackageMagic, sizeof header.magic) != 0) return 0;
    if (header.version > kMaxVersion) return 0;
    if (!stream || stream->HasError()) return 0;
    return 1;
}

UpgradeJob::UpgradeJob(void* instance, void* ownerWindow, const char* packagePath, const char* targetFolder,
                       unsigned codePage)
    : PackageReader(packagePath, codePage),
      entries(nullptr),
      instance(instance),
      ownerWindow(ownerWindow),
      workWindow(nullptr),
      progressDone(1),
      progressTotal(0),
      targetFolder(nullptr),
      messageText(nullptr),
      workPath(nullptr),
      tempPath(nullptr),
      uiText(nullptr),
      host(nullptr),
      outputLimit(0xFFFFFFFFu),
      outputOverrun(0),
      scriptCut(0),
      faultEntry(-1),
      faultName(NameOk),
      tooManyEntries(0),
      targetTooLong(0),
      outOfMemory(0),
      seal(nullptr),
      sealState(-1),
      trustFile(nullptr)
{
    entries = new (std::nothrow) FileEntry*[kMaxEntries];
    if (entries)
        for (int i = 0; i < kMaxEntries; i++) entries[i] = nullptr;

    this->targetFolder = NewBuffer(kFolderSize);
    if (this->targetFolder && targetFolder) {
        const char* given = targetFolder;
        size_t n = strlen(given);
        int hasSeparator = n > 0 && (given[n - 1] == '\\' || given[n - 1] == '/');
        // A folder whose name and separator do not fit would be cut into some other folder.
        if (n + (hasSeparator ? 0 : 1) >= kFolderSize) {
            targetTooLong = 1;
        } else {
            memcpy(this->targetFolder, given, n);
            if (!hasSeparator) this->targetFolder[n] = '\\';
        }
    }
    messageText = NewBuffer(kMessageSize);
    workPath = NewBuffer(kFolderSize);
    tempPath = NewBuffer(kFolderSize);
    if (!entries || !this->targetFolder || !messageText || !workPath || !tempPath) outOfMemory = 1;

    progressTotal = ReadEntries();
}

UpgradeJob::~UpgradeJob()
{
    if (entries) {
        for (int i = 0; i < kMaxEntries; i++) delete entries[i];
        delete[] entries;
    }
    delete[] targetFolder;
    delete[] messageText;
    delete[] workPath;
    delete[] tempPath;
    delete seal;
    // The host owns what this layer cannot reach: the windows and the UI text table.
    if (host) host->Release(this);
}

int UpgradeJob::IsValid() const
{
    if (!PackageReader::IsValid()) return 0;
    if (outOfMemory || targetTooLong || tooManyEntries || faultEntry >= 0) return 0;
    return 1;
}

uint32_t UpgradeJob::ReadEntries()
{
    uint32_t sum = 0;
    if (!entries || !stream) return 0;
    // A count beyond the table would write past it; read nothing and let IsValid refuse.
    if (header.entryCount > kMaxEntries) {
        tooManyEntries = 1;
        return 0;
    }
    for (int i = 0; i < header.entryCount; i++) {
        if (!entries[i]) {
            entries[i] = new (std::nothrow) FileEntry;
            if (!entries[i]) {
                outOfMemory = 1;
                return 0;
            }
        }
        FileEntry* e = entries[i];
        memset(e, 0, sizeof *e);
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
            if (stream->Read(&e->oldPrint, (int32_t)sizeof e->oldPrint) != (int32_t)sizeof e->oldPrint) return 0;
        }
        if (e->kind == KindAdd || e->kind == KindPatch) {
            if (stream->Read(&e->newPrint, (int32_t)sizeof e->newPrint) != (int32_t)sizeof e->newPrint) return 0;
            sum += e->newPrint.size;
        }
    }
    return sum + 1;
}
