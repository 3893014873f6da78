// Shared by the fuzz targets: a hard check that aborts, a private scratch folder, a quiet host.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include "reader.h"

// A failed check aborts, so that libFuzzer keeps the input and the replay driver fails.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : FuzzFail(#cond, __FILE__, __LINE__))
[[noreturn]] void FuzzFail(const char* what, const char* file, int line);

// A folder of this process, made on first use and removed at exit; name is a plain file name.
std::string FuzzPath(const char* name);
void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);

// Counts the job's progress updates and polls and never asks to stop.
class CountingHost : public JobHost {
public:
    void UpdateProgress(UpgradeJob*) override { updates++; }
    int PollCancel(UpgradeJob*) override { return ++polls, 0; }
    void Release(UpgradeJob*) override {}
    uint64_t updates = 0;
    uint64_t polls = 0;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
