// The files of a release tree, named as the package names them.
#pragma once
#include <stdint.h>
#include <string>
#include <vector>

struct TreeFile {
    std::string name;   // relative, '\' between folders
    std::string path;   // as the platform opens it
    uint64_t size;
};

// Lists every file below root, sorted by CompareNames. Refuses (0, reason in *error) a tree
// that cannot be read, holds two names that differ only in ASCII case (one file on Windows),
// holds something that is neither file nor folder, or a file of 4 GiB or more.
int ListTree(const std::string& root, std::vector<TreeFile>* files, std::string* error);
// Orders names as Windows matches them: ASCII letters without regard to case.
int CompareNames(const std::string& a, const std::string& b);
// 1 when path does not lie inside the folder root.
int OutsideTree(const std::string& path, const std::string& root);
