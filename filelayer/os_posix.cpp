// The platform seam on POSIX: Windows-like file semantics (exclusive opens, read-only marks) over POSIX calls.
#include "os_platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <atomic>

namespace {

// Paths reach the seam as the Windows-minded core spells them; the core caps them at 260
// bytes, this buffer only has to be large enough never to cut a legal one.
const size_t kNativePath = 4096;

const uint64_t kTicksPerSecond = 10000000ull;
// Seconds from 1601-01-01 to 1970-01-01.
const int64_t kEpochDelta = 11644473600ll;

int NativePath(const char* path, char* out)
{
    if (!path) return 0;
    size_t n = strlen(path);
    if (n == 0 || n >= kNativePath) return 0;
    for (size_t i = 0; i <= n; ++i) out[i] = path[i] == '\\' ? '/' : path[i];
    return 1;
}

int Fd(OsHandle h) { return (h < 0 || h > 0x7FFFFFFF) ? -1 : (int)h; }

int OwnerMayWrite(const struct stat& st) { return (st.st_mode & S_IWUSR) != 0; }

// Windows refuses to delete, replace or rename a file that any handle holds without
// sharing; flock gives the same answer here because every open of ours holds a lock.
int InUse(const char* native)
{
    int fd = ::open(native, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return busy;
}

// A file that may not be replaced or deleted: read-only or held open.
int Protected(const char* native)
{
    struct stat st;
    if (lstat(native, &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) return false;
    return !OwnerMayWrite(st) || InUse(native);
}

OsHandle PosixOpen(const char* path, unsigned flags)
{
    char p[kNativePath];
    if (!NativePath(path, p)) return kNoHandle;
    bool write = (flags & WriteAccess) != 0;
    bool read = (flags & ReadAccess) != 0 || !write;
    int mode = read ? (write ? O_RDWR : O_RDONLY) : (O_WRONLY | O_CREAT);
    int fd = ::open(p, mode | O_CLOEXEC, (flags & OwnerOnly) ? 0600 : 0666);
    if (fd < 0) return kNoHandle;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || (write && !OwnerMayWrite(st))) {
        ::close(fd);
        return kNoHandle;
    }
    // Sharing bits let sharing opens coexist; without them the open is exclusive.
    int lock = (flags & (ShareRead | ShareWrite)) ? LOCK_SH : LOCK_EX;
    if (flock(fd, lock | LOCK_NB) != 0) {
        ::close(fd);
        return kNoHandle;
    }
    // Truncate only once the lock is ours: never cut a file that someone else holds.
    if (!read && ftruncate(fd, 0) != 0) {
        ::close(fd);
        return kNoHandle;
    }
    return (OsHandle)fd;
}

void PosixClose(OsHandle h)
{
    int fd = Fd(h);
    if (fd >= 0) ::close(fd);
}

int PosixRead(OsHandle h, void* buffer, uint32_t n, uint32_t* got)
{
    *got = 0;
    int fd = Fd(h);
    if (fd < 0) return 0;
    ssize_t r;
    do r = ::read(fd, buffer, n);
    while (r < 0 && errno == EINTR);
    if (r < 0) return 0;
    *got = (uint32_t)r;
    return 1;
}

void PosixRunBehind()
{
#ifdef __linux__
    // Linux keeps a nice value per thread, named by its thread id.
    setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 10);
#endif
}

void PosixStartWriteback(OsHandle h)
{
#ifdef __linux__
    int fd = Fd(h);
    if (fd >= 0) sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)h;
#endif
}

int PosixWrite(OsHandle h, const void* buffer, uint32_t n, uint32_t* put)
{
    *put = 0;
    int fd = Fd(h);
    if (fd < 0) return 0;
    const char* p = (const char*)buffer;
    uint32_t done = 0;
    // Like WriteFile on a disk file: the whole block or a failure.
    while (done < n) {
        ssize_t r = ::write(fd, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += (uint32_t)r;
    }
    *put = done;
    return done == n;
}

int PosixSeek(OsHandle h, uint32_t position, uint32_t* now)
{
    *now = 0xFFFFFFFFu;
    int fd = Fd(h);
    if (fd < 0) return 0;
    // SetFilePointer without a high part takes the distance as signed: 2 GiB and beyond fail
    // there, and must fail here too, on 64-bit builds as on 32-bit ones.
    if (position > 0x7FFFFFFFu) return 0;
    off_t r = lseek(fd, (off_t)position, SEEK_SET);
    if (r < 0) return 0;
    *now = (uint32_t)r;
    return 1;
}

uint32_t PosixTell(OsHandle h)
{
    int fd = Fd(h);
    if (fd < 0) return 0xFFFFFFFFu;
    off_t r = lseek(fd, 0, SEEK_CUR);
    return r < 0 ? 0xFFFFFFFFu : (uint32_t)r;
}

int64_t PosixSize(OsHandle h)
{
    int fd = Fd(h);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    return (int64_t)st.st_size;
}

int PosixGetWriteTime(OsHandle h, OsFileTime* utc)
{
    int fd = Fd(h);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return 0;
    int64_t secs = (int64_t)st.st_mtim.tv_sec + kEpochDelta;
    if (secs < 0) return 0;
    *utc = (uint64_t)secs * kTicksPerSecond + (uint64_t)st.st_mtim.tv_nsec / 100;
    return 1;
}

// The file system keeps no settable creation time; access and write time carry the stamp.
int PosixSetTimes(OsHandle h, OsFileTime utc)
{
    int fd = Fd(h);
    if (fd < 0) return 0;
    struct timespec ts[2];
    ts[0].tv_sec = (time_t)((int64_t)(utc / kTicksPerSecond) - kEpochDelta);
    ts[0].tv_nsec = (long)(utc % kTicksPerSecond) * 100;
    ts[1] = ts[0];
    return futimens(fd, ts) == 0;
}

// The offset in force now, not on the file's date: the same rule in both directions, so a
// stamped file reads back with exactly the stamped local time.
int CurrentOffset(int64_t* seconds)
{
    // localtime_r need not look at TZ again; tzset makes a changed TZ count at once.
    tzset();
    time_t now = time(nullptr);
    struct tm local;
    if (!localtime_r(&now, &local)) return 0;
    *seconds = (int64_t)local.tm_gmtoff;
    return 1;
}

int Shift(OsFileTime* t, int64_t seconds)
{
    int64_t ticks = seconds * (int64_t)kTicksPerSecond;
    if (ticks < 0 && *t < (uint64_t)(-ticks)) return 0;
    *t += (uint64_t)ticks;
    return 1;
}

int PosixUtcToLocal(OsFileTime* t)
{
    int64_t off;
    return CurrentOffset(&off) && Shift(t, off);
}

int PosixLocalToUtc(OsFileTime* t)
{
    int64_t off;
    return CurrentOffset(&off) && Shift(t, -off);
}

uint32_t PosixAttributes(const char* path)
{
    char p[kNativePath];
    struct stat st;
    if (!NativePath(path, p) || stat(p, &st) != 0) return kAttrInvalid;
    uint32_t a = 0;
    if (S_ISDIR(st.st_mode)) a |= kAttrDirectory;
    if (!OwnerMayWrite(st)) a |= kAttrReadOnly;
    return a ? a : (uint32_t)kAttrNormal;
}

int PosixMakeFolder(const char* path)
{
    char p[kNativePath];
    return NativePath(path, p) && mkdir(p, 0777) == 0;
}

int PosixRemoveFolder(const char* path)
{
    char p[kNativePath];
    return NativePath(path, p) && rmdir(p) == 0;
}

int PosixRemoveFile(const char* path)
{
    char p[kNativePath];
    struct stat st;
    if (!NativePath(path, p) || lstat(p, &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    if (Protected(p)) return 0;
    return unlink(p) == 0;
}

int PosixMoveReplace(const char* from, const char* to)
{
    char f[kNativePath], t[kNativePath];
    struct stat st;
    if (!NativePath(from, f) || !NativePath(to, t) || lstat(f, &st) != 0) return 0;
    if (!S_ISDIR(st.st_mode) && InUse(f)) return 0;
    if (Protected(t)) return 0;
    // rename() replaces atomically and leaves the destination alone when it fails.
    return rename(f, t) == 0;
}

int PosixStoredName(const char* path, char* name, size_t capacity)
{
    char p[kNativePath];
    if (!NativePath(path, p)) return 0;
    char* slash = strrchr(p, '/');
    const char* last = slash ? slash + 1 : p;
    if (*last == 0 || strcmp(last, ".") == 0 || strcmp(last, "..") == 0) return 0;
    char folder[kNativePath];
    if (!slash)
        strcpy(folder, ".");
    else if (slash == p)
        strcpy(folder, "/");
    else {
        memcpy(folder, p, (size_t)(slash - p));
        folder[slash - p] = 0;
    }
    DIR* d = opendir(folder);
    if (!d) return 0;
    char found[256] = "";
    bool exact = false;
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, last) == 0) {
            exact = true;
            break;
        }
        if (!found[0] && strcasecmp(e->d_name, last) == 0 && strlen(e->d_name) < sizeof found) strcpy(found, e->d_name);
    }
    closedir(d);
    const char* result = exact ? last : found;
    if (!*result || strlen(result) >= capacity) return 0;
    strcpy(name, result);
    return 1;
}

// No 8.3 aliases here: an existing path is its own short name.
int PosixShortName(const char* path, char* out, size_t capacity)
{
    char p[kNativePath];
    struct stat st;
    if (!NativePath(path, p) || stat(p, &st) != 0 || strlen(path) >= capacity) return 0;
    strcpy(out, path);
    return 1;
}

int PosixGetCurrentDir(char* buffer, size_t capacity) { return capacity > 0 && getcwd(buffer, capacity) != nullptr; }

int PosixSetCurrentDir(const char* path)
{
    char p[kNativePath];
    return NativePath(path, p) && chdir(p) == 0;
}

uint32_t PosixTicks()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

int DiskFileSystem(const char* type)
{
    static const char* const kDisk[] = {"ext2",  "ext3", "ext4",    "xfs",     "btrfs", "vfat",     "msdos",
                                        "exfat", "ntfs", "ntfs3",   "fuseblk", "jfs",   "reiserfs", "f2fs",
                                        "zfs",   "hfs",  "hfsplus", "ufs",     "nilfs2"};
    for (const char* k : kDisk)
        if (strcmp(type, k) == 0) return true;
    return false;
}

// /proc/self/mounts writes blanks and the like as \ooo.
void Unescape(char* s)
{
    char* w = s;
    for (char* r = s; *r; ++w) {
        if (r[0] == '\\' && r[1] >= '0' && r[1] <= '3' && r[2] >= '0' && r[2] <= '7' && r[3] >= '0' && r[3] <= '7') {
            *w = (char)(((r[1] - '0') << 6) | ((r[2] - '0') << 3) | (r[3] - '0'));
            r += 4;
        } else {
            *w = *r++;
        }
    }
    *w = 0;
}

const int kMaxRoots = 26;

// The folders that stand for drive letters, sorted by path ("/" sorts first); returns the count.
int DiskRoots(char roots[kMaxRoots][kNativePath])
{
    FILE* f = fopen("/proc/self/mounts", "re");
    if (!f) return 0;
    int count = 0;
    char line[3 * kNativePath];
    while (fgets(line, sizeof line, f)) {
        char* save = nullptr;
        char* device = strtok_r(line, " \t\n", &save);
        char* dir = device ? strtok_r(nullptr, " \t\n", &save) : nullptr;
        char* type = dir ? strtok_r(nullptr, " \t\n", &save) : nullptr;
        if (!type || !DiskFileSystem(type)) continue;
        Unescape(dir);
        struct stat st;
        // Files bind-mounted from a disk (containers do that) are not roots.
        if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || strlen(dir) + 2 > kNativePath) continue;
        bool seen = false;
        for (int i = 0; i < count && !seen; ++i) seen = strcmp(roots[i], dir) == 0;
        if (seen || count == kMaxRoots) continue;
        int at = count++;
        while (at > 0 && strcmp(roots[at - 1], dir) > 0) {
            strcpy(roots[at], roots[at - 1]);
            --at;
        }
        strcpy(roots[at], dir);
    }
    fclose(f);
    return count;
}

int PosixDriveRoot(int index, char* root, size_t capacity)
{
    if (index < 0 || index >= kMaxRoots) return kDriveNoRoot;
    static char roots[kMaxRoots][kNativePath];
    int count = DiskRoots(roots);
    if (index >= count) return kDriveNoRoot;
    size_t n = strlen(roots[index]);
    bool slash = n > 0 && roots[index][n - 1] == '/';
    if (n + (slash ? 0 : 1) + 1 > capacity) return kDriveNoRoot;
    strcpy(root, roots[index]);
    if (!slash) strcat(root, "/");
    return kDriveFixed;
}

// Every entry of folder; with foldersOnly, the entries that are no folder or are a link are
// passed over without a look at them when the listing already tells their type, as it mostly
// does, so that a walk of a whole disk costs no call per file.
int ListEntries(const char* folder, int foldersOnly, void (*add)(void* context, const OsFolderEntry* entry),
                void* context)
{
    char p[kNativePath];
    if (!NativePath(folder, p)) return 0;
    DIR* d = opendir(p);
    if (!d) return 0;
    int fd = dirfd(d);
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        if (foldersOnly && e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) continue;
        OsFolderEntry entry = {e->d_name, kEntryOther, 0, 0};
        struct stat st;
        if (e->d_type == DT_DIR) {
            entry.kind = kEntryFolder;
        } else {
            entry.link = fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
            // A link is told by what it leads to; one that leads nowhere is neither file nor folder.
            if (fstatat(fd, e->d_name, &st, 0) == 0) {
                if (S_ISDIR(st.st_mode)) entry.kind = kEntryFolder;
                if (S_ISREG(st.st_mode)) {
                    entry.kind = kEntryFile;
                    entry.size = (uint64_t)st.st_size;
                }
            }
        }
        add(context, &entry);
    }
    closedir(d);
    return 1;
}

int PosixListEntries(const char* folder, void (*add)(void* context, const OsFolderEntry* entry), void* context)
{
    return ListEntries(folder, 0, add, context);
}

int ListFoldersOnly(const char* folder, void (*add)(void* context, const OsFolderEntry* entry), void* context)
{
    return ListEntries(folder, 1, add, context);
}

// Symbolic links are not followed: a link back up the tree would make a walk endless.
int PosixListFolders(const char* folder, void (*add)(void* context, const char* name), void* context)
{
    return ListPlainFolders(ListFoldersOnly, folder, add, context);
}

int PosixFullPath(const char* path, char* out, size_t capacity)
{
    char p[kNativePath];
    if (!NativePath(path, p)) return 0;
    // What does not exist yet (a file about to be written) keeps its name below its folder.
    char* slash = strrchr(p, '/');
    const char* rest = "";
    char resolved[PATH_MAX];
    if (!realpath(p, resolved)) {
        if (slash == p) {
            strcpy(resolved, "/");
            rest = p + 1;
        } else {
            if (slash) *slash = 0;
            if (!realpath(slash ? p : ".", resolved)) return 0;
            rest = slash ? slash + 1 : p;
        }
    }
    size_t n = strlen(resolved);
    int separator = *rest && resolved[n - 1] != '/';
    if (n + separator + strlen(rest) + 1 > capacity) return 0;
    strcpy(out, resolved);
    if (separator) strcat(out, "/");
    strcat(out, rest);
    return 1;
}

int PosixFindResource(void*, const char* name, const void** data, uint32_t* size)
{
    return FindRegisteredResource(name, data, size);
}

int PosixFlushFile(OsHandle h)
{
    int fd = Fd(h);
    if (fd < 0) return 0;
    int r;
    do r = fsync(fd);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

// A rename or a new name reaches the disk with its folder, not with the file.
int PosixFlushFolder(const char* path)
{
    char p[kNativePath];
    if (!NativePath(path, p)) return 0;
    int fd = ::open(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int r;
    do r = fsync(fd);
    while (r != 0 && errno == EINTR);
    ::close(fd);
    return r == 0;
}

// One syncfs costs what a single fsync does, where thousands of files each cost their own.
int PosixFlushVolume(const char* path)
{
#if defined(__linux__)
    char p[kNativePath];
    if (!NativePath(path, p)) return 0;
    int fd = ::open(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    int r = syncfs(fd);
    ::close(fd);
    return r == 0;
#else
    (void)path;
    return 0;
#endif
}

// errno is per thread and left alone by the calls that succeed after a failure here; an emulated
// sharing refusal leaves the EWOULDBLOCK of its flock.
int PosixLastFailure() { return errno == EBUSY || errno == ETXTBSY || errno == EWOULDBLOCK ? kFailBusy : kFailOther; }

void PosixPause(uint32_t ms)
{
    struct timespec t = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {}
}

// Programs do not lock one another's files on POSIX: nothing stands in a rename's way.
int PosixProbeFile(const char*, char* holder, size_t capacity)
{
    if (holder && capacity) holder[0] = 0;
    return kFileFree;
}

int PosixFolderWritable(const char* path)
{
    char p[kNativePath];
    if (!NativePath(path, p)) return 1;
    return access(p, W_OK | X_OK) == 0 || (errno != EACCES && errno != EPERM && errno != EROFS);
}

// Where this thread's guarded copy resumes when a page of a view cannot be read: a file cut
// short beneath its mapping raises SIGBUS on the access.
thread_local sigjmp_buf* volatile viewFault = nullptr;
struct sigaction previousBusAction;

void OnBusError(int, siginfo_t*, void*)
{
    if (viewFault) siglongjmp(*viewFault, 1);
    // Not a copy out of a view: the handler that was there before takes the fault, which
    // happens again as soon as this returns.
    sigaction(SIGBUS, &previousBusAction, nullptr);
}

int InstallBusHandler()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnBusError;
    // Not blocked while handled: the jump out does not restore the mask, and a second fault
    // with the signal blocked would end the process.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    return sigaction(SIGBUS, &action, &previousBusAction) == 0;
}

int PosixMapFile(OsHandle h, uint64_t size, const void** view)
{
    // Only with the handler in place may a view be read without risking the process.
    static const int guarded = InstallBusHandler();
    int fd = Fd(h);
    if (!guarded || fd < 0 || size == 0 || size > (uint64_t)SIZE_MAX) return 0;
    // Populated at once: one call maps every page the page cache holds, instead of a fault per
    // few pages as the copies wander over the file.
    void* p = mmap(nullptr, (size_t)size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
    if (p == MAP_FAILED) return 0;
    *view = p;
    return 1;
}

void PosixUnmapFile(const void* view, uint64_t size)
{
    if (view) munmap(const_cast<void*>(view), (size_t)size);
}

int PosixUseView(const void* from, size_t n, void (*use)(void* context, const void* bytes, size_t n), void* context)
{
    sigjmp_buf jump;
    // Without the mask: saving it would cost a system call per copy.
    if (sigsetjmp(jump, 0)) {
        viewFault = nullptr;
        return 0;
    }
    // The fences keep the use between the two stores: to the compiler the handler is no reader.
    viewFault = &jump;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    use(context, from, n);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    viewFault = nullptr;
    return 1;
}

void CopyOut(void* to, const void* bytes, size_t n) { memcpy(to, bytes, n); }

int PosixCopyFromView(void* to, const void* from, size_t n) { return PosixUseView(from, n, CopyOut, to); }

// Filled member by member: neighbours share a type, so a list by position would take a swap
// without a word.
constexpr OsLayer PosixTable()
{
    OsLayer t{};
    t.open = PosixOpen;
    t.close = PosixClose;
    t.read = PosixRead;
    t.write = PosixWrite;
    t.seek = PosixSeek;
    t.tell = PosixTell;
    t.size = PosixSize;
    t.getWriteTime = PosixGetWriteTime;
    t.setTimes = PosixSetTimes;
    t.utcToLocal = PosixUtcToLocal;
    t.localToUtc = PosixLocalToUtc;
    t.attributes = PosixAttributes;
    t.makeFolder = PosixMakeFolder;
    t.removeFolder = PosixRemoveFolder;
    t.removeFile = PosixRemoveFile;
    t.moveReplace = PosixMoveReplace;
    t.storedName = PosixStoredName;
    t.shortName = PosixShortName;
    t.getCurrentDir = PosixGetCurrentDir;
    t.setCurrentDir = PosixSetCurrentDir;
    t.ticks = PosixTicks;
    t.driveRoot = PosixDriveRoot;
    t.listFolders = PosixListFolders;
    t.listEntries = PosixListEntries;
    t.fullPath = PosixFullPath;
    t.findResource = PosixFindResource;
    t.flushFile = PosixFlushFile;
    t.flushFolder = PosixFlushFolder;
    t.flushVolume = PosixFlushVolume;
    t.startWriteback = PosixStartWriteback;
    t.lastFailure = PosixLastFailure;
    t.pause = PosixPause;
    t.probeFile = PosixProbeFile;
    t.folderWritable = PosixFolderWritable;
    t.mapFile = PosixMapFile;
    t.unmapFile = PosixUnmapFile;
    t.copyFromView = PosixCopyFromView;
    t.useView = PosixUseView;
    t.runBehind = PosixRunBehind;
    return t;
}

}   // namespace

extern const OsLayer kPlatformOs = PosixTable();

int ProgramPath(char* out, size_t capacity)
{
    if (!out || capacity == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", out, capacity);
    if (n <= 0 || (size_t)n >= capacity) return 0;
    out[n] = 0;
    return 1;
}

int CurrentTime(OsFileTime* utc)
{
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
    *utc = (OsFileTime)((int64_t)now.tv_sec + kEpochDelta) * kTicksPerSecond + (OsFileTime)now.tv_nsec / 100;
    return 1;
}

unsigned SystemCodePage() { return 0; }

int SystemTextToUtf8(unsigned, const char*, std::string*) { return 0; }

const char kLineEnd[] = "\n";
