// The package reader: header, title and notes of a package file (entries.h reads the table).
#pragma once
#include <stdint.h>
#include <memory>
#include <string>

class FileStream;

// Sizes of the strings as the package stores them, terminator included.
const uint32_t kTitleSize = 80;
const uint32_t kNotesSize = 8192;
// Title and notes once decoded into UTF-8, which takes up to three bytes for a stored one.
const uint32_t kTitleTextSize = 3 * kTitleSize;
const uint32_t kNotesTextSize = 3 * kNotesSize;
const uint8_t kMaxVersion = 17;
extern const char kPackageMagic[8];   // "[QZUPD]" and its NUL
extern const char kScratchName[];     // "__QZUPD_", the scratch folder inside the target

#pragma pack(push, 1)
struct PackageHeader {
    char magic[8];
    uint8_t version;
    int16_t entryCount;
};
#pragma pack(pop)
static_assert(sizeof(PackageHeader) == 11, "the header is read as 11 raw bytes");

// Opens a package and reads header, title and notes. Construction never refuses; ask IsValid.
// Title and notes are decoded into UTF-8 from the code page the seal records, else from
// codePage when given, else by PackageTextToUtf8's rule for an unnamed one.
struct PackageReader {
    explicit PackageReader(const char* path, unsigned codePage = 0);
    ~PackageReader();
    // Magic with its NUL, version at most 17, no stream error; tested in that order.
    int IsValid() const;
    // The header's entry count held to what the table can hold: a negative one reads as none.
    int EntryCount() const;

    std::unique_ptr<FileStream> stream;
    PackageHeader header;
    std::string title;
    std::string notes;
    // The code page the strings are decoded from; 0 when neither package nor caller named one.
    unsigned codePage;

    PackageReader(const PackageReader&) = delete;
    PackageReader& operator=(const PackageReader&) = delete;
};
