// The platform seam on Windows: thin wrappers over the kernel's file, folder, time and resource calls.
#include "os_platform.h"

#include <windows.h>
#include <restartmanager.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

// Paths are UTF-8 inside the program and UTF-16 in the wide calls, which reach every name the
// file system can hold whatever the system's code page. A path that is not valid UTF-8 converts
// to an empty one, which every call refuses like a missing file.
class WidePath {
public:
    explicit WidePath(const char* utf8)
    {
        if (!utf8 || !*utf8) return;
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
        if (n <= 0) return;
        text.resize((size_t)n);
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, &text[0], n) != n)
            text.clear();
        else
            text.resize((size_t)n - 1);
    }
    operator const wchar_t*() const { return text.c_str(); }
    const std::wstring& Text() const { return text; }

private:
    std::wstring text;
};

// A name from a wide call as UTF-8 in out; 0 when it does not fit capacity.
int Utf8Name(const wchar_t* wide, char* out, size_t capacity)
{
    if (!out || capacity == 0) return 0;
    int room = capacity < 0x7FFFFFFF ? (int)capacity : 0x7FFFFFFF;
    int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, room, nullptr, nullptr);
    if (n <= 0) {
        out[0] = 0;
        return 0;
    }
    return 1;
}

HANDLE H(OsHandle h) { return (HANDLE)h; }

int Valid(OsHandle h) { return h != kNoHandle && h != 0; }

// Windows refuses to write, replace or delete a read-only file; Wine run by root does not,
// because the mark is only a permission bit there. Asking first gives one answer everywhere.
int ReadOnlyFile(const char* path)
{
    DWORD a = GetFileAttributesW(WidePath(path));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

OsHandle WinOpen(const char* path, unsigned flags)
{
    if (!path) return kNoHandle;
    bool write = (flags & WriteAccess) != 0;
    bool read = (flags & ReadAccess) != 0 || !write;
    DWORD access = (read ? GENERIC_READ : 0) | (write ? GENERIC_WRITE : 0);
    DWORD creation = read ? OPEN_EXISTING : CREATE_ALWAYS;
    DWORD share = ((flags & ShareRead) ? FILE_SHARE_READ : 0) | ((flags & ShareWrite) ? FILE_SHARE_WRITE : 0);
    if (write && ReadOnlyFile(path)) return kNoHandle;
    HANDLE h = CreateFileW(WidePath(path), access, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? kNoHandle : (OsHandle)h;
}

void WinClose(OsHandle h)
{
    if (Valid(h)) CloseHandle(H(h));
}

int WinRead(OsHandle h, void* buffer, uint32_t n, uint32_t* got)
{
    *got = 0;
    DWORD done = 0;
    if (!Valid(h) || !ReadFile(H(h), buffer, n, &done, nullptr)) return 0;
    *got = done;
    return 1;
}

int WinWrite(OsHandle h, const void* buffer, uint32_t n, uint32_t* put)
{
    *put = 0;
    DWORD done = 0;
    if (!Valid(h) || !WriteFile(H(h), buffer, n, &done, nullptr)) return 0;
    *put = done;
    return done == n;
}

// No high part: positions of 2 GiB and more fail, as the stream's 32-bit positions expect.
int WinSeek(OsHandle h, uint32_t position, uint32_t* now)
{
    *now = 0xFFFFFFFFu;
    if (!Valid(h)) return 0;
    DWORD r = SetFilePointer(H(h), (LONG)position, nullptr, FILE_BEGIN);
    if (r == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return 0;
    *now = r;
    return 1;
}

uint32_t WinTell(OsHandle h)
{
    if (!Valid(h)) return 0xFFFFFFFFu;
    return SetFilePointer(H(h), 0, nullptr, FILE_CURRENT);
}

int64_t WinSize(OsHandle h)
{
    if (!Valid(h)) return -1;
    DWORD high = 0;
    DWORD low = GetFileSize(H(h), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return -1;
    return (int64_t)(((uint64_t)high << 32) | low);
}

FILETIME ToFt(OsFileTime t)
{
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)t;
    ft.dwHighDateTime = (DWORD)(t >> 32);
    return ft;
}

OsFileTime FromFt(const FILETIME& ft) { return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime; }

int WinGetWriteTime(OsHandle h, OsFileTime* utc)
{
    FILETIME ft;
    if (!Valid(h) || !GetFileTime(H(h), nullptr, nullptr, &ft)) return 0;
    *utc = FromFt(ft);
    return 1;
}

int WinSetTimes(OsHandle h, OsFileTime utc)
{
    FILETIME ft = ToFt(utc);
    return Valid(h) && SetFileTime(H(h), &ft, &ft, &ft);
}

int WinUtcToLocal(OsFileTime* t)
{
    FILETIME in = ToFt(*t), out;
    if (!FileTimeToLocalFileTime(&in, &out)) return 0;
    *t = FromFt(out);
    return 1;
}

int WinLocalToUtc(OsFileTime* t)
{
    FILETIME in = ToFt(*t), out;
    if (!LocalFileTimeToFileTime(&in, &out)) return 0;
    *t = FromFt(out);
    return 1;
}

uint32_t WinAttributes(const char* path)
{
    return path ? (uint32_t)GetFileAttributesW(WidePath(path)) : (uint32_t)kAttrInvalid;
}

int WinMakeFolder(const char* path) { return CreateDirectoryW(WidePath(path), nullptr) != 0; }

int WinRemoveFolder(const char* path) { return RemoveDirectoryW(WidePath(path)) != 0; }

int WinRemoveFile(const char* path) { return !ReadOnlyFile(path) && DeleteFileW(WidePath(path)) != 0; }

int WinMoveReplace(const char* from, const char* to)
{
    return !ReadOnlyFile(to) && MoveFileExW(WidePath(from), WidePath(to), MOVEFILE_REPLACE_EXISTING) != 0;
}

int WinStoredName(const char* path, char* name, size_t capacity)
{
    // A wildcard would make the lookup a search and answer with some other entry's name.
    if (!path || strpbrk(path, "*?")) return 0;
    WIN32_FIND_DATAW found;
    memset(&found, 0, sizeof found);
    HANDLE h = FindFirstFileW(WidePath(path), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    FindClose(h);
    return Utf8Name(found.cFileName, name, capacity);
}

int WinShortName(const char* path, char* out, size_t capacity)
{
    wchar_t wide[MAX_PATH];
    DWORD n = GetShortPathNameW(WidePath(path), wide, MAX_PATH);
    return n != 0 && n < MAX_PATH && Utf8Name(wide, out, capacity);
}

int WinGetCurrentDir(char* buffer, size_t capacity)
{
    wchar_t wide[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, wide);
    return n != 0 && n < MAX_PATH && Utf8Name(wide, buffer, capacity);
}

int WinSetCurrentDir(const char* path) { return SetCurrentDirectoryW(WidePath(path)) != 0; }

uint32_t WinTicks() { return GetTickCount(); }

int WinDriveRoot(int index, char* root, size_t capacity)
{
    if (index < 0 || index > 25 || capacity < 4) return kDriveNoRoot;
    root[0] = (char)('A' + index);
    root[1] = ':';
    root[2] = '\\';
    root[3] = 0;
    return (int)GetDriveTypeA(root);
}

int WinListEntries(const char* folder, void (*add)(void* context, const OsFolderEntry* entry), void* context)
{
    char pattern[3 * MAX_PATH + 4];
    size_t n = folder ? strlen(folder) : 0;
    if (n == 0 || n + 5 > sizeof pattern) return 0;
    memcpy(pattern, folder, n);
    if (folder[n - 1] != '\\' && folder[n - 1] != '/') pattern[n++] = '\\';
    strcpy(pattern + n, "*.*");
    WIN32_FIND_DATAW found;
    memset(&found, 0, sizeof found);
    HANDLE h = FindFirstFileW(WidePath(pattern), &found);
    if (h == INVALID_HANDLE_VALUE) return 0;
    // A name of MAX_PATH UTF-16 units takes at most three bytes for each in UTF-8.
    char name[3 * MAX_PATH];
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        if (!Utf8Name(found.cFileName, name, sizeof name)) continue;
        OsFolderEntry entry = {name, kEntryFile, 0, 0};
        entry.kind = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? kEntryFolder : kEntryFile;
        entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (entry.kind == kEntryFile) entry.size = (uint64_t)found.nFileSizeHigh << 32 | found.nFileSizeLow;
        add(context, &entry);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return 1;
}

// Junctions and other reparse points are not followed: one that leads back up the tree would
// make a walk endless.
int WinListFolders(const char* folder, void (*add)(void* context, const char* name), void* context)
{
    return ListPlainFolders(WinListEntries, folder, add, context);
}

int WinFullPath(const char* path, char* out, size_t capacity)
{
    wchar_t wide[MAX_PATH];
    DWORD n = GetFullPathNameW(WidePath(path), MAX_PATH, wide, nullptr);
    return n != 0 && n < MAX_PATH && Utf8Name(wide, out, capacity);
}

// The program's own resources first; bytes registered by the program stand in for missing ones.
int WinFindResource(void* module, const char* name, const void** data, uint32_t* size)
{
    if (!name) return 0;
    HMODULE m = module ? (HMODULE)module : GetModuleHandleA(nullptr);
    HRSRC r = FindResourceA(m, name, RT_RCDATA);
    if (r) {
        HGLOBAL g = LoadResource(m, r);
        const void* p = g ? LockResource(g) : nullptr;
        if (p) {
            *data = p;
            *size = SizeofResource(m, r);
            return 1;
        }
    }
    return FindRegisteredResource(name, data, size);
}

int WinFlushFile(OsHandle h) { return Valid(h) && FlushFileBuffers(H(h)) != 0; }

// Whether the volume that holds path keeps a log of its own metadata (NTFS, ReFS): there a
// folder's changed names survive a crash in order without a flush of the folder.
int KeepsMetadataLog(const char* path)
{
    wchar_t root[MAX_PATH + 1], system[MAX_PATH + 1];
    if (!GetVolumePathNameW(WidePath(path), root, MAX_PATH + 1) ||
        !GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1))
        return false;
    return lstrcmpiW(system, L"NTFS") == 0 || lstrcmpiW(system, L"ReFS") == 0;
}

// A folder opened with backup semantics flushes its entries like a file. Where the file system
// refuses that flush as such, its own log is all the platform offers, and that is taken as
// done; a flush that fails for any other reason fails. A folder that cannot even be opened
// fails too, unless its volume keeps a metadata log (FAT does not: its folder updates reach
// the disk in no set order).
int WinFlushFolder(const char* path)
{
    if (!path || !*path) return 0;
    HANDLE h = CreateFileW(WidePath(path), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return KeepsMetadataLog(path);
    BOOL ok = FlushFileBuffers(h);
    DWORD why = ok ? 0 : GetLastError();
    CloseHandle(h);
    return ok || why == ERROR_INVALID_FUNCTION || why == ERROR_ACCESS_DENIED || why == ERROR_NOT_SUPPORTED ||
        why == ERROR_INVALID_PARAMETER;
}

// Flushing a whole volume needs administrator rights on Windows: the files go one by one.
int WinFlushVolume(const char*) { return 0; }

// A scanner that opens a file just written, and a file pending deletion, give access denied;
// a program holding it gives a sharing or lock violation. All pass in a moment, or do not.
int WinLastFailure()
{
    DWORD e = GetLastError();
    return e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION || e == ERROR_ACCESS_DENIED ? kFailBusy
                                                                                                 : kFailOther;
}

void WinPause(uint32_t ms) { Sleep(ms); }

template <typename F>
int Entry(HMODULE m, const char* name, F* f)
{
    *f = (F)(void*)GetProcAddress(m, name);
    return *f != nullptr;
}

// The programs that hold path, as the Restart Manager names them, joined by ", ". The library
// is loaded from the system folder at run time: systems before Vista have none.
void HolderNames(const std::wstring& path, char* holder, size_t capacity)
{
    wchar_t dll[MAX_PATH];
    UINT n = GetSystemDirectoryW(dll, MAX_PATH);
    if (n == 0 || n + 14 >= MAX_PATH) return;
    wcscpy(dll + n, L"\\rstrtmgr.dll");
    HMODULE m = LoadLibraryW(dll);
    if (!m) return;
    decltype(&::RmStartSession) start;
    decltype(&::RmRegisterResources) reg;
    decltype(&::RmGetList) list;
    decltype(&::RmEndSession) end;
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {0};
    if (Entry(m, "RmStartSession", &start) && Entry(m, "RmRegisterResources", &reg) && Entry(m, "RmGetList", &list) &&
        Entry(m, "RmEndSession", &end) && start(&session, 0, key) == ERROR_SUCCESS) {
        LPCWSTR files[1] = {path.c_str()};
        RM_PROCESS_INFO info[4];
        UINT needed = 0, count = 4;
        DWORD reasons = 0;
        std::string names;
        if (reg(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
            list(session, &needed, &count, info, &reasons) == ERROR_SUCCESS) {
            for (UINT i = 0; i < count && i < 4; i++) {
                char name[3 * CCH_RM_MAX_APP_NAME + 1];
                if (!WideCharToMultiByte(CP_UTF8, 0, info[i].strAppName, -1, name, sizeof name, nullptr, nullptr) ||
                    !name[0])
                    continue;
                names += (names.empty() ? "" : ", ") + std::string(name);
            }
        }
        end(session);
        if (names.size() < capacity) strcpy(holder, names.c_str());
    }
    FreeLibrary(m);
}

int WinProbeFile(const char* path, char* holder, size_t capacity)
{
    if (holder && capacity) holder[0] = 0;
    std::wstring w = WidePath(path).Text();
    if (w.empty()) return kFileFree;
    const DWORD every = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    int result = kFileFree;
    HANDLE h = CreateFileW(w.c_str(), DELETE, every, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        if (e == ERROR_SHARING_VIOLATION || e == ERROR_LOCK_VIOLATION) result = kFileInUse;
        if (e == ERROR_ACCESS_DENIED) result = kFileDenied;
    } else {
        CloseHandle(h);
        // A running program's image, or a loaded library, lets itself be renamed but refuses
        // write access: replacing it would run new code beside the old. A read-only file
        // refuses write access for its own reason.
        DWORD a = GetFileAttributesW(w.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))) {
            h = CreateFileW(w.c_str(), FILE_WRITE_DATA, every, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
            else if (GetLastError() == ERROR_SHARING_VIOLATION)
                result = kFileInUse;
        }
    }
    if (result == kFileInUse && holder && capacity) HolderNames(w, holder, capacity);
    return result;
}

// The folder's own rights checked against this process's token: nothing is created to find out.
int WinFolderWritable(const char* path)
{
    std::wstring w = WidePath(path).Text();
    if (w.empty()) return 1;
    const SECURITY_INFORMATION what =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    DWORD need = 0;
    GetFileSecurityW(w.c_str(), what, nullptr, 0, &need);
    if (need == 0) return 1;
    std::vector<BYTE> sd(need);
    if (!GetFileSecurityW(w.c_str(), what, sd.data(), need, &need)) return 1;
    HANDLE token = nullptr, check = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token)) return 1;
    int writable = 1;
    if (DuplicateToken(token, SecurityImpersonation, &check)) {
        GENERIC_MAPPING map = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        DWORD want = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
        PRIVILEGE_SET privileges;
        DWORD privilegesSize = sizeof privileges, granted = 0;
        BOOL allowed = TRUE;
        if (AccessCheck(sd.data(), check, want, &map, &privileges, &privilegesSize, &granted, &allowed))
            writable = allowed != 0;
        CloseHandle(check);
    }
    CloseHandle(token);
    return writable;
}

// The system's lazy writer starts on its own; a flush waits for the rest.
void WinStartWriteback(OsHandle) {}

void WinRunBehind() { SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

int WinMapFile(OsHandle h, uint64_t size, const void** view)
{
    if (size == 0 || size > (uint64_t)SIZE_MAX) return 0;
    HANDLE mapping = CreateFileMappingW((HANDLE)h, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!mapping) return 0;
    void* p = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, (SIZE_T)size);
    // The view keeps the mapping alive on its own.
    CloseHandle(mapping);
    if (!p) return 0;
    *view = p;
    return 1;
}

void WinUnmapFile(const void* view, uint64_t)
{
    if (view) UnmapViewOfFile(view);
}

int WinCopyFromView(void* to, const void* from, size_t n)
{
    memcpy(to, from, n);
    return 1;
}

int WinUseView(const void* from, size_t n, void (*use)(void* context, const void* bytes, size_t n), void* context)
{
    use(context, from, n);
    return 1;
}

// Filled member by member: neighbours share a type, so a list by position would take a swap
// without a word.
constexpr OsLayer WinTable()
{
    OsLayer t{};
    t.open = WinOpen;
    t.close = WinClose;
    t.read = WinRead;
    t.write = WinWrite;
    t.seek = WinSeek;
    t.tell = WinTell;
    t.size = WinSize;
    t.getWriteTime = WinGetWriteTime;
    t.setTimes = WinSetTimes;
    t.utcToLocal = WinUtcToLocal;
    t.localToUtc = WinLocalToUtc;
    t.attributes = WinAttributes;
    t.makeFolder = WinMakeFolder;
    t.removeFolder = WinRemoveFolder;
    t.removeFile = WinRemoveFile;
    t.moveReplace = WinMoveReplace;
    t.storedName = WinStoredName;
    t.shortName = WinShortName;
    t.getCurrentDir = WinGetCurrentDir;
    t.setCurrentDir = WinSetCurrentDir;
    t.ticks = WinTicks;
    t.driveRoot = WinDriveRoot;
    t.listFolders = WinListFolders;
    t.listEntries = WinListEntries;
    t.fullPath = WinFullPath;
    t.findResource = WinFindResource;
    t.flushFile = WinFlushFile;
    t.flushFolder = WinFlushFolder;
    t.flushVolume = WinFlushVolume;
    t.startWriteback = WinStartWriteback;
    t.lastFailure = WinLastFailure;
    t.pause = WinPause;
    t.probeFile = WinProbeFile;
    t.folderWritable = WinFolderWritable;
    t.mapFile = WinMapFile;
    t.unmapFile = WinUnmapFile;
    t.copyFromView = WinCopyFromView;
    t.useView = WinUseView;
    t.runBehind = WinRunBehind;
    return t;
}

}   // namespace

extern const OsLayer kPlatformOs = WinTable();

int ProgramPath(char* out, size_t capacity)
{
    if (!out || capacity == 0) return 0;
    wchar_t wide[MAX_PATH];
    // A name that fills the buffer was cut: the call gives no other sign of it.
    DWORD n = GetModuleFileNameW(nullptr, wide, MAX_PATH);
    return n > 0 && n < MAX_PATH && Utf8Name(wide, out, capacity);
}

int CurrentTime(OsFileTime* utc)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    *utc = (OsFileTime)now.dwHighDateTime << 32 | now.dwLowDateTime;
    return 1;
}

unsigned SystemCodePage() { return GetACP(); }

int SystemTextToUtf8(unsigned codePage, const char* text, std::string* out)
{
    int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (n <= 0) return 0;
    std::wstring wide((size_t)n, L'\0');
    if (MultiByteToWideChar(codePage, 0, text, -1, &wide[0], n) != n) return 0;
    int m = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (m <= 0) return 0;
    out->assign((size_t)m, '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &(*out)[0], m, nullptr, nullptr) != m) return 0;
    out->resize((size_t)m - 1);
    return 1;
}

const char kLineEnd[] = "\r\n";
