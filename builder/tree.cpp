// Tree listing through the platform seam: a walk of folders that never descends into a link.
#include "tree.h"
#include <algorithm>
#include "files.h"
#include "os.h"

namespace {

struct Walk {
    std::vector<TreeFile>* files;
    std::vector<std::string> names;   // files and folders, for the case check
    std::string error;
};

struct Listing {
    std::vector<OsFolderEntry> entries;
    std::vector<std::string> names;   // the entries' names outlive the listing call
};

void Collect(void* context, const OsFolderEntry* entry)
{
    Listing* l = (Listing*)context;
    l->names.push_back(entry->name);
    l->entries.push_back(*entry);
}

// Lists folder (named relative as prefix, '\' between folders) and what lies below it.
int ListFolder(Walk* w, const std::string& folder, const std::string& prefix)
{
    Listing l;
    if (!Os().listEntries(folder.c_str(), &Collect, &l)) {
        w->error = "cannot list " + folder;
        return 0;
    }
    for (size_t i = 0; i < l.entries.size(); i++) {
        const OsFolderEntry& e = l.entries[i];
        std::string name = prefix + l.names[i];
        std::string path = JoinPathText(folder, l.names[i]);
        w->names.push_back(name);
        if (e.kind == kEntryFolder) {
            // A linked folder is a name in the tree but not walked: it could lead back up.
            if (!e.link && !ListFolder(w, path, name + "\\")) return 0;
            continue;
        }
        if (e.kind != kEntryFile) {
            w->error = "neither a file nor a folder: " + path;
            return 0;
        }
        if (e.size > 0xFFFFFFFFull) {
            w->error = path + " is 4 GiB or larger; the package format holds files below 4 GiB";
            return 0;
        }
        w->files->push_back(TreeFile{name, path, e.size});
    }
    return 1;
}

}   // namespace

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
    if (!IsDirectory(root.c_str())) {
        *error = "not a folder: " + root;
        return 0;
    }
    Walk w;
    w.files = files;
    if (!ListFolder(&w, root, "")) {
        *error = w.error;
        return 0;
    }
    std::vector<std::string>& names = w.names;
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return CompareNames(a, b) < 0; });
    for (size_t i = 1; i < names.size(); i++)
        if (CompareNames(names[i - 1], names[i]) == 0) {
            *error = "in " + root + ", " + names[i - 1] + " and " + names[i] +
                " differ only in case; on Windows they are one file";
            return 0;
        }
    std::sort(files->begin(), files->end(),
              [](const TreeFile& a, const TreeFile& b) { return CompareNames(a.name, b.name) < 0; });
    return 1;
}

int OutsideTree(const std::string& path, const std::string& root)
{
    char p[4096], r[4096];
    if (!Os().fullPath(path.c_str(), p, sizeof p) || !Os().fullPath(root.c_str(), r, sizeof r)) return 1;
    std::string file = p, folder = r;
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    if (file == folder) return 0;
    if (file.size() <= folder.size() || file.compare(0, folder.size(), folder) != 0) return 1;
    char next = file[folder.size()];
    return next != '/' && next != '\\' && folder.back() != '/' && folder.back() != '\\';
}
