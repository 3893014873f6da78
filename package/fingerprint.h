// The 10-byte file fingerprint: computing it, verifying a rebuilt file and stamping its time.
#pragma once
#include <stdint.h>
#include <stddef.h>
#include <memory>

class FileStream;

#pragma pack(push, 1)
struct FileFingerprint {
    uint32_t dateTime;   // DOS time in bits 0-15, DOS date in bits 16-31, local time
    uint32_t size;
    uint16_t checksum;
};
#pragma pack(pop)
static_assert(sizeof(FileFingerprint) == 10, "fingerprint is stored as 10 raw bytes");

// The whole fingerprint: date-time, size and checksum.
inline bool operator==(const FileFingerprint& a, const FileFingerprint& b)
{
    return a.dateTime == b.dateTime && a.size == b.size && a.checksum == b.checksum;
}
inline bool operator!=(const FileFingerprint& a, const FileFingerprint& b) { return !(a == b); }
// The same contents as far as a fingerprint tells: size and checksum, whatever the dates.
inline bool SameContent(const FileFingerprint& a, const FileFingerprint& b)
{
    return a.size == b.size && a.checksum == b.checksum;
}

// The checksum defined over 512-byte blocks from the start of the file, fed in pieces of any
// size: each byte lands in the low half when the count of bytes from it to the end of its
// 512-byte block is odd, in the high half when it is even.
struct ChecksumState {
    uint32_t size;        // bytes fed so far
    uint16_t checksum;    // of the complete blocks
    uint16_t partial;     // of the open block, as if it ended at its current length
    uint32_t blockFill;   // bytes in the open block
};
void ChecksumBegin(ChecksumState* s);
void ChecksumFeed(ChecksumState* s, const void* bytes, size_t n);
uint16_t ChecksumValue(const ChecksumState* s);
// Checksum of a whole buffer, as of a file holding exactly these bytes.
uint16_t ChecksumOf(const void* bytes, size_t n);

// Fills the record (all zero first) and returns 1 on success; 0 when the file cannot be
// opened or its time cannot be read or converted (the record then stays all zero). The date
// is local time: the platform's, or UTC plus *utcOffsetMinutes when that is given. With
// digest, also its SHA-256 from the same reading; 0 when no digest can be made.
int ComputeFingerprint(const char* path, FileFingerprint* print, const int32_t* utcOffsetMinutes = nullptr,
                       uint8_t* digest = nullptr);
// The date-time and size alone, read without reading the contents: the checksum is left 0.
// 1 on success, as ComputeFingerprint.
int StampOfFile(const char* path, FileFingerprint* print, const int32_t* utcOffsetMinutes = nullptr);
// 1 when size and checksum equal the expected ones, and the SHA-256 too when expectedDigest is
// given, and all times were set from its dateTime. With digest, also the file's SHA-256.
int VerifyAndStamp(const char* path, const FileFingerprint* expected, const uint8_t* expectedDigest = nullptr,
                   uint8_t* digest = nullptr);
struct DigestContext;
class HashPipe;
// The SHA-256 of a mapped view, made on a second thread while the caller goes on (the package
// for its seal, hashed while the installed files are read). Only the platform's guarded use
// touches the view, so a file cut short beneath it fails the digest instead of the process.
class MappedDigest {
public:
    // The caller keeps the view mapped until Finish or destruction; without a thread, nothing
    // is made.
    MappedDigest(const uint8_t* view, uint32_t size);
    ~MappedDigest();
    // Waits for the digest; 1 when it was made over the whole view.
    int Finish(uint8_t digest[32]);

private:
    MappedDigest(const MappedDigest&) = delete;
    MappedDigest& operator=(const MappedDigest&) = delete;
    void Run();
    const uint8_t* view;
    uint32_t size;
    int made;
    uint8_t result[32];
    struct Worker;
    std::unique_ptr<Worker> worker;
};
// The fingerprint of the bytes a file stream writes, made as they reach the file, so that a
// file just written is verified without being read back.
struct WrittenPrint {
    WrittenPrint();
    ~WrittenPrint();
    ChecksumState sum;
    DigestContext* digest;            // null unless the SHA-256 was asked for
    std::unique_ptr<HashPipe> pipe;   // hashes on a second thread while the file is written
private:
    WrittenPrint(const WrittenPrint&) = delete;
    WrittenPrint& operator=(const WrittenPrint&) = delete;
};
// Starts watching what file writes, hashing it too when digest is set; 0 when no SHA-256 can
// be made. The file must be written front to back; expectedSize decides whether a second
// thread does the hashing.
int WatchPrint(FileStream* file, WrittenPrint* print, int digest, uint32_t expectedSize = 0);
// After the last write: as VerifyAndStamp, over what reached the file (whose size on the
// platform must be the bytes written), stamping through the same stream.
int VerifyAndStampWritten(FileStream* file, WrittenPrint* print, const FileFingerprint* expected,
                          const uint8_t* expectedDigest = nullptr, uint8_t* digest = nullptr);
int ReadDosDateTime(FileStream* file, uint32_t* dateTime, const int32_t* utcOffsetMinutes = nullptr);
int StampFileTimes(FileStream* file, uint32_t dateTime);
