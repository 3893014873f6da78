// Shared by the package tests: package images and a recording job host.
#pragma once
#include <stdint.h>
#include <string.h>
#include <memory>
#include <string>
#include <vector>
#include "pkgwriter.h"
#include "reader.h"
#include "testutil.h"

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
