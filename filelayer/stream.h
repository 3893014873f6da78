// Byte streams: the abstract base with its sticky error flag, the file stream and the utilities.
#pragma once
#include <stdint.h>
#include "os.h"

// Base of all streams. Its own byte operations fail; subclasses override what they store.
// A failing operation raises the sticky error flag and returns 0; only Reset (and Clear and
// Fill, which end in it) and a file stream's Open lower it again. Every operation is virtual:
// Write, Read and Fill go through Put and Get unless a subclass has a faster way.
class Stream {
public:
    Stream() : error(0) {}
    virtual ~Stream();
    virtual void SetError();
    virtual void Put(uint8_t b);
    virtual uint8_t Get();
    virtual int Seek(uint32_t position);
    virtual uint32_t Tell();
    virtual uint32_t Size();
    virtual void Flush();
    virtual int Reset();
    virtual void Clear();
    virtual void Fill(uint32_t count);
    // Puts every byte in order, whatever happens to the error flag.
    virtual void Write(const void* bytes, uint32_t count);
    // Reads with Get; returns count, or the bytes stored before the flag was seen raised.
    virtual int32_t Read(void* buffer, int32_t count);
    // CopyBytes with this stream as the destination; a stream with a buffer of its own may
    // read into it directly.
    virtual uint32_t CopyFrom(Stream* source, uint32_t count);
    // The bytes from the current position on that the stream holds in memory, for a caller
    // that reads them in place: *n of them (0: none held, the base's answer), valid until the
    // next operation on this stream. Skip(k), k at most that *n, then moves past k of them.
    virtual const uint8_t* Held(uint32_t* n);
    virtual void Skip(uint32_t k);

    int HasError() const { return error; }

    // Reads a NUL-terminated string, keeps at most n-1 characters and always consumes the
    // whole string. n must be at least 1. Returns the length of the whole string as it stood
    // in the stream, so a caller can tell a cut one (result >= n).
    uint32_t ReadString(char* buffer, uint32_t n);
    // Reads one text line (CR skipped, LF or 0 or end of stream ends it), stores at most
    // limit-1 characters; returns the count of the line's bytes other than CR.
    uint32_t ReadLine(char* buffer, uint32_t limit);
    // Little-endian values; bytes that do not arrive read as zero.
    uint16_t ReadU16();
    uint32_t ReadU32();
    void WriteString(const char* text);
    void WriteU16(uint16_t value);
    void WriteU32(uint32_t value);
    // printf into a 256-byte buffer, then every character with CR put before each LF; no NUL.
    void WriteFormatted(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    float ReadReal();
    void WriteReal(float value, int decimals);
    // The writing helpers above, ReadReal, Fill, CopyAll and the counting stream have no caller
    // in the programs: the stream family is kept whole, every slot and helper in its defined
    // shape, so that code written against it elsewhere finds it unchanged. Their tests hold them
    // to that shape.

protected:
    int error;
};

// Copies count bytes from source's current position through a 32000-byte buffer; stops early
// when the source ends or the destination fails. Returns the bytes copied.
uint32_t CopyBytes(Stream* destination, Stream* source, uint32_t count);
// Resets the source and copies all of it.
void CopyAll(Stream* destination, Stream* source);

// A stream over an operating-system file. Every byte operation is one platform call, except
// that a stream opened for reading only may read ahead, with results and error flag exactly
// those of one platform call per operation, and a stream opened for writing only holds its
// writes back until the buffer fills or another operation, Flush or Close needs them on disk.
// A failed write found then raises the flag: at the latest when Close returns, so callers
// that check a rebuilt file after closing it see every failure.
class FileStream : public Stream {
public:
    FileStream(unsigned flags, const char* name);
    ~FileStream() override;
    void Open(unsigned flags, const char* name);
    void Close();

    void Put(uint8_t b) override;
    uint8_t Get() override;
    int Seek(uint32_t position) override;
    uint32_t Tell() override;
    uint32_t Size() override;
    void Flush() override;
    void Write(const void* bytes, uint32_t count) override;
    int32_t Read(void* out, int32_t count) override;
    uint32_t CopyFrom(Stream* source, uint32_t count) override;
    // The rest of the read-ahead window or of the cached block in view; nothing for a mapped
    // file, whose bytes are read only through the platform's guarded copy.
    const uint8_t* Held(uint32_t* n) override;
    void Skip(uint32_t k) override { aheadAt += k; }
    // Writes what is held back and forces the file onto the disk; 0, with the flag raised,
    // when anything written so far failed or the platform could not flush.
    int Sync();
    // For a file read from all over (the old file of a patch script): once a seek leaves the
    // read-ahead window, reads come straight from the file mapped into memory where the
    // platform can map it, else through a cache of the file's 64 KiB blocks (at most 64 MiB),
    // so each block is read once. Streams read front to back, like the package, stay without.
    // A mapped file cut short by another program fails the reads it took away, flag raised.
    void CacheBlocks() { cacheWanted = 1; }
    // For a file that will be forced onto the disk: each time 8 MiB more reached the platform,
    // it is told to start writing them, so that the disk works while the rest is made and the
    // flush finds little left.
    void WriteBackEarly() { writebackDue = kWritebackStep; }
    // Shows watch every byte that reaches the platform through this stream, in the order it
    // reaches it, in pieces of up to 64 KiB: for a file written front to back, its contents,
    // without reading them back.
    typedef void (*WriteWatch)(void* context, const uint8_t* bytes, uint32_t n);
    void WatchWrites(WriteWatch watch, void* context)
    {
        watcher = watch;
        watchContext = context;
    }

    OsHandle handle;

private:
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;
    // Read-ahead window for read-only streams: bytes [aheadPos, aheadPos + aheadLen) of the
    // file are in buffer[], aheadAt indexes the next one; the platform's own position is
    // aheadPos + aheadLen whenever aheadLen is not 0, and platformPos when platformKnown.
    // Write-behind streams keep their behindLen pending bytes in the same buffer.
    // Once a read-only stream that asked for it seeks out of its window, reads go through a
    // cache of the file's blocks instead (cached is set): the window is then the block that
    // holds the position, which is aheadPos + aheadAt even where no block does (aheadLen 0,
    // past the end).
    void DropAhead();
    void FlushBehind();
    uint32_t PlatformPosition();
    uint32_t FillAhead(uint32_t at, uint32_t n);
    int SeekCached(uint32_t position);
    int ShowBlock(uint32_t position);
    void TryMap();
    uint8_t GetMapped();
    int32_t ReadMapped(void* out, uint32_t want);
    int readAhead;     // opened for reading only, and nobody else may write the file
    int writeBehind;   // open for writing only, and nobody else may read the file
    uint8_t* buffer;
    const uint8_t* window;   // buffer, or the cached block in view
    int cacheWanted;
    struct BlockCache* cache;
    int cached;
    // The whole file in memory, read only through the platform's guarded copy; mapAt may
    // stand past the end, where reads give nothing.
    const uint8_t* mapView;
    uint32_t mapSize, mapAt;
    uint32_t aheadPos, aheadLen, aheadAt;
    uint32_t fill;   // size of the next window: small after a seek, growing while reading on
    uint32_t platformPos;
    int platformKnown;
    uint32_t behindLen;
    WriteWatch watcher;
    void* watchContext;
    static const uint32_t kWritebackStep = 8u << 20;
    uint32_t writebackDue = 0;   // bytes to write before the next start of write-back; 0: never
    void PutBytes(const uint8_t* bytes, uint32_t n);
};
