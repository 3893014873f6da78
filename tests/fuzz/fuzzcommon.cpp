// Shared by the fuzz targets: the failing check and the per-process scratch folder.
#include "fuzzcommon.h"
#include <stdio.h>
#include <stdlib.h>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

void FuzzFail(const char* what, const char* file, int line)
{
    fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    fflush(stderr);
    abort();
}

namespace {

std::string folder;

void RemoveFolder()
{
    std::error_code ec;
    if (!folder.empty()) fs::remove_all(folder, ec);
}

}   // namespace

std::string FuzzPath(const char* name)
{
    if (folder.empty()) {
        std::string base = (fs::temp_directory_path() / "upgfuzz-XXXXXX").string();
        char* made = mkdtemp(&base[0]);
        if (!made) FuzzFail("mkdtemp", __FILE__, __LINE__);
        folder = made;
        folder += '/';
        atexit(RemoveFolder);
    }
    return folder + name;
}

void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write((const char*)data, (std::streamsize)size);
    f.close();
    if (!f) FuzzFail("writing the input file", __FILE__, __LINE__);
}
