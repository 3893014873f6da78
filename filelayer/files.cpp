// File-system primitives over the platform seam, and the current-directory guard.
#include "files.h"
#include "os.h"
#include <stdlib.h>
#include <string.h>

int FileExists(const char* path)
{
    uint32_t a = Os().attributes(path);
    return a != kAttrInvalid && a != 0 && (a & kAttrDirectory) == 0;
}

int IsReadOnly(const char* path)
{
    uint32_t a = Os().attributes(path);
    return a != kAttrInvalid && (a & kAttrReadOnly) != 0;
}

int IsDirectory(const char* path)
{
    uint32_t a = Os().attributes(path);
    return a != kAttrInvalid && (a & kAttrDirectory) != 0;
}

int MakeFolder(const char* path) { return Os().makeFolder(path) ? 1 : 0; }

int RemoveFolder(const char* path) { return Os().removeFolder(path) ? 1 : 0; }

int RemoveFile(const char* path) { return Os().removeFile(path) ? 1 : 0; }

// No delete before the rename: if the rename failed, the destination would be lost.
int MoveFileOver(const char* from, const char* to)
{
    if (SameNameIgnoringCase(from, to)) return 0;
    return Os().moveReplace(from, to) ? 1 : 0;
}

namespace {

// Runs op until it succeeds, fails for another reason than a busy file, or kBusyRetryMs have
// passed, waiting a little longer each time.
template <typename Op>
int Patiently(Op op, const char* a, const char* b)
{
    uint32_t start = Os().ticks(), wait = 20;
    for (;;) {
        if (op()) return 1;
        if (Os().lastFailure() != kFailBusy || IsReadOnly(a) || (b && IsReadOnly(b))) return 0;
        uint32_t spent = Os().ticks() - start;
        if (spent >= kBusyRetryMs) return 0;
        Os().pause(wait < kBusyRetryMs - spent ? wait : kBusyRetryMs - spent);
        if (wait < 250) wait *= 2;
    }
}

}   // namespace

int MoveFileOverPatiently(const char* from, const char* to)
{
    if (SameNameIgnoringCase(from, to)) return 0;
    return Patiently([&] { return Os().moveReplace(from, to) != 0; }, from, to);
}

int RemoveFilePatiently(const char* path)
{
    return Patiently([&] { return Os().removeFile(path) != 0; }, path, nullptr);
}

int ProbeFile(const char* path, char* holder) { return Os().probeFile(path, holder, kPathMax); }

int FolderWritable(const char* path) { return Os().folderWritable(path) ? 1 : 0; }

static void CopyCapped(char* out, const char* path)
{
    size_t n = strlen(path);
    if (n >= kPathMax) n = kPathMax - 1;
    memcpy(out, path, n);
    out[n] = 0;
}

int ExpandLongName(const char* path, char* out)
{
    if (strlen(path) >= kPathMax) {
        out[0] = 0;
        return 0;
    }
    strcpy(out, path);
    char name[kPathMax];
    if (!Os().storedName(path, name, sizeof name)) return 1;
    const char* back = strrchr(out, '\\');
    const char* slash = strrchr(out, '/');
    const char* sep = back > slash ? back : slash;
    size_t keep = sep ? (size_t)(sep - out) + 1 : 0;
    if (keep + strlen(name) >= kPathMax) return 1;
    strcpy(out + keep, name);
    return 1;
}

void ShortName(const char* path, char* out)
{
    if (!Os().shortName(path, out, kPathMax)) CopyCapped(out, path);
}

int FlushFileToDisk(const char* path)
{
    // Read and write access opens the existing file without cutting it.
    OsHandle h = Os().open(path, 1 | 2);
    if (h == kNoHandle) return 0;
    int ok = Os().flushFile(h) ? 1 : 0;
    Os().close(h);
    return ok;
}

int FlushFolderToDisk(const char* path) { return Os().flushFolder(path) ? 1 : 0; }

int FlushVolumeToDisk(const char* path) { return Os().flushVolume(path) ? 1 : 0; }

namespace {

struct FileFilter {
    void (*add)(void* context, const char* name);
    void* context;
    static void Entry(void* self, const OsFolderEntry* e)
    {
        // A link is listed as what it is, not followed: only plain files count.
        FileFilter* f = static_cast<FileFilter*>(self);
        if (e->kind == kEntryFile && !e->link) f->add(f->context, e->name);
    }
};

}   // namespace

int ListFiles(const char* folder, void (*add)(void* context, const char* name), void* context)
{
    FileFilter filter = {add, context};
    return Os().listEntries(folder, &FileFilter::Entry, &filter) ? 1 : 0;
}

int JoinPath(char* out, const char* a, const char* b)
{
    size_t na = strlen(a), nb = strlen(b);
    if (na + nb >= kPathMax) {
        out[0] = 0;
        return 0;
    }
    memmove(out, a, na);
    memmove(out + na, b, nb + 1);
    return 1;
}

int SameNameIgnoringCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        if (FoldAscii(*a) != FoldAscii(*b)) return 0;
        if (*a == 0) return 1;
    }
}

// Larger than a path buffer: a POSIX working directory may be longer than 259 bytes.
static const size_t kGuardBuffer = 4096;

CurrentDirectoryGuard::CurrentDirectoryGuard() : saved(kGuardBuffer, 0)
{
    if (!Os().getCurrentDir(saved.data(), kGuardBuffer)) saved[0] = 0;
}

CurrentDirectoryGuard::~CurrentDirectoryGuard()
{
    if (saved[0]) Os().setCurrentDir(saved.data());
}

std::string JoinPathText(const std::string& folder, const std::string& name)
{
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    if (!folder.empty() && (folder.back() == '/' || folder.back() == '\\')) return folder + name;
    return folder + separator + name;
}
