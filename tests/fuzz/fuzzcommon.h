// Shared by the fuzz targets: a hard check that aborts, a private scratch folder, a quiet progress.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string>
#include "entries.h"
#include "script.h"

// A failed check aborts, so that libFuzzer keeps the input and the replay driver fails.
#define FUZZ_CHECK(cond) ((cond) ? (void)0 : FuzzFail(#cond, __FILE__, __LINE__))
[[noreturn]] void FuzzFail(const char* what, const char* file, int line);

// A folder of this process, made on first use and removed at exit; name is a plain file name.
std::string FuzzPath(const char* name);
void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size);

// Counts the interpreter's progress reports and polls and never asks to stop.
class CountingProgress : public ScriptProgress {
public:
    void Advance(uint32_t n) override { done += n, updates++; }
    int Poll() override { return ++polls, 0; }
    uint32_t done = 1;   // the bytes reported, plus 1
    uint64_t updates = 0;
    uint64_t polls = 0;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
