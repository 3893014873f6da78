// Shared by the package tests: package images written byte by byte and a recording job host.
#pragma once
#include <stdint.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>
#include "reader.h"
#include "testutil.h"

// Little-endian pieces of a package file, appended in order.
struct Image {
    Bytes b;
    Image& U8(uint32_t v) { b.push_back((uint8_t)v); return *this; }
    Image& U16(uint32_t v) { return U8(v & 0xFF).U8((v >> 8) & 0xFF); }
    Image& U32(uint32_t v) { return U16(v & 0xFFFF).U16(v >> 16); }
    Image& Raw(const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); return *this; }
    Image& Str(const std::string& s) { Raw(BytesOf(s)); return U8(0); }
    Image& Header(uint8_t version, int16_t count)
    {
        Raw(BytesOf(std::string("[QZUPD]", 7))).U8(0).U8(version);
        return U16((uint16_t)count);
    }
    Image& Print(uint32_t dateTime, uint32_t size, uint16_t checksum) { return U32(dateTime).U32(size).U16(checksum); }
    // One entry record: flags, name, description and the fingerprints its kind carries.
    Image& Entry(uint8_t flags, const std::string& name, uint32_t newSize = 0)
    {
        U8(flags).Str(name).Str("desc");
        uint8_t kind = flags & 3;
        if (kind == KindPatch || kind == KindDelete) Print(0x206F73CD, 7, 0x1234);
        if (kind == KindAdd || kind == KindPatch) Print(0x206F73CD, newSize, 0x4321);
        return *this;
    }
};

// A package with no entries, so that the job's stream stands at the first script.
inline Image ScriptPackage() { Image i; i.Header(1, 0).Str("t").Str("n"); return i; }

// Counts the calls a job makes on its host; the poll answers `answer` at call number cancelAt.
class RecordingHost : public JobHost {
public:
    void UpdateProgress(UpgradeJob* job) override
    {
        updates++;
        doneAtUpdate.push_back(job->progressDone);
    }
    int PollCancel(UpgradeJob*) override
    {
        polls++;
        return polls == cancelAt ? answer : 0;
    }
    void Release(UpgradeJob*) override { releases++; }
    void Clear()
    {
        updates = polls = releases = 0;
        doneAtUpdate.clear();
    }

    int updates = 0;
    int polls = 0;
    int releases = 0;
    int cancelAt = -1;
    int answer = 0;
    std::vector<uint32_t> doneAtUpdate;
};

// A new file name each time: a reader still alive holds its package open exclusively.
inline std::string FreshPackagePath(const TempDir& dir)
{
    static int serial = 0;
    return dir / ("p" + std::to_string(++serial) + ".upg");
}

// Writes the image into the folder and opens a job over it.
inline std::unique_ptr<UpgradeJob> JobOver(const TempDir& dir, const Image& image, const char* target = "C:\\APP")
{
    std::string path = FreshPackagePath(dir);
    WriteFileBytes(path, image.b);
    return std::unique_ptr<UpgradeJob>(new UpgradeJob(nullptr, nullptr, path.c_str(), target));
}
