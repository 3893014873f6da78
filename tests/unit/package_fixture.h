// Shared by the package tests: package images and a recording script progress.
#pragma once
#include <stdint.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>
#include "pkgwriter.h"
#include "entries.h"
#include "script.h"
#include "testutil.h"

// A package with no entries, so that the job's stream stands at the first script.
inline Image ScriptPackage()
{
    Image i;
    i.Header(1, 0).Str("t").Str("n");
    return i;
}

// Counts the calls the interpreter makes; the poll answers `answer` at call number cancelAt.
class RecordingProgress : public ScriptProgress {
public:
    void Advance(uint32_t n) override
    {
        done += n;
        updates++;
        doneAtUpdate.push_back(done);
    }
    int Poll() override
    {
        polls++;
        return polls == cancelAt ? answer : 0;
    }
    void Clear()
    {
        updates = polls = 0;
        doneAtUpdate.clear();
    }

    uint32_t done = 1;   // the bytes reported, plus 1
    int updates = 0;
    int polls = 0;
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

// Writes the image into the folder and reads it as a package table.
inline std::unique_ptr<PackageTable> JobOver(const TempDir& dir, const Image& image)
{
    std::string path = FreshPackagePath(dir);
    WriteFileBytes(path, image.b);
    return std::unique_ptr<PackageTable>(new PackageTable(path.c_str()));
}
