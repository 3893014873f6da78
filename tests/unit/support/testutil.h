// Small helpers shared by the unit tests: a scratch folder per test and whole-file reads/writes.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

// A fresh empty folder, removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    // The folder's path with a trailing separator, in the platform's own spelling.
    const std::string& path() const { return root; }
    // root + relative name, with '\' as separator inside the name turned into the platform's.
    std::string operator/(const std::string& name) const;

private:
    std::string root;
};

typedef std::vector<uint8_t> Bytes;
Bytes BytesOf(const std::string& text);
void WriteFileBytes(const std::string& path, const Bytes& data);   // creates folders on the way
Bytes ReadFileBytes(const std::string& path);                      // empty when it cannot be read
bool PathExists(const std::string& path);
