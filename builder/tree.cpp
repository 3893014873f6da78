// Tree listing over the standard library's file system walk; the seam has no recursive lister.
#include "tree.h"
#include <algorithm>
#include <filesystem>
#include <system_error>
#include "files.h"

namespace fs = std::filesystem;

int CompareNames(const std::string& a, const std::string& b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        unsigned char x = (unsigned char)FoldAscii(a[i]), y = (unsigned char)FoldAscii(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int ListTree(const std::string& root, std::vector<TreeFile>* files, std::string* error)
{
    files->clear();
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = "not a folder: " + root;
        return 0;
    }
    std::vector<std::string> names;   // files and folders, for the case check
    fs::recursive_directory_iterator it(root, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        std::string name = p.lexically_relative(root).generic_string();
        std::replace(name.begin(), name.end(), '/', '\\');
        names.push_back(name);
        std::error_code kindError;
        if (it->is_directory(kindError)) continue;
        if (!it->is_regular_file(kindError)) {
            *error = "neither a file nor a folder: " + p.string();
            return 0;
        }
        uint64_t size = it->file_size(kindError);
        if (kindError) {
            *error = "cannot read " + p.string();
            return 0;
        }
        if (size > 0xFFFFFFFFull) {
            *error = p.string() + " is 4 GiB or larger; the package format holds files below 4 GiB";
            return 0;
        }
        files->push_back(TreeFile{name, p.string(), size});
    }
    if (ec) {
        *error = "cannot list " + root + ": " + ec.message();
        return 0;
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; });
    for (size_t i = 1; i < names.size(); i++)
        if (CompareNames(names[i - 1], names[i]) == 0) {
            *error = "in " + root + ", " + names[i - 1] + " and " + names[i] +
                     " differ only in case; on Windows they are one file";
            return 0;
        }
    std::sort(files->begin(), files->end(), [](const TreeFile& a, const TreeFile& b) { return CompareNames(a.name, b.name) < 0; });
    return 1;
}

int OutsideTree(const std::string& path, const std::string& root)
{
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    fs::path r = fs::weakly_canonical(fs::absolute(root, ec), ec);
    auto rel = p.lexically_relative(r);
    if (rel.empty()) return 1;
    return *rel.begin() == "..";
}
