// The platform seam: every operating-system call of the portable core goes through this table.
#pragma once
#include <stdint.h>
#include <stddef.h>
#include <string>
#include <vector>

typedef intptr_t OsHandle;
const OsHandle kNoHandle = -1;

// Attribute bits as the Win32 attribute word has them; the POSIX layer maps onto these.
enum { kAttrReadOnly = 0x01, kAttrDirectory = 0x10, kAttrNormal = 0x80, kAttrInvalid = 0xFFFFFFFFu };

// Open flags, as the file stream takes them. NoReadAhead is the stream's own: it keeps a
// stream at one platform call per operation (for comparisons and for files that others change
// while we read). OwnerOnly creates a file that only its owner may read, where the platform has
// such a mode (private keys).
enum { ReadAccess = 1, WriteAccess = 2, ShareRead = 4, ShareWrite = 8, NoReadAhead = 16, OwnerOnly = 32 };

// Drive types as driveRoot reports them, the values the Win32 drive-type query has.
enum { kDriveNoRoot = 1, kDriveFixed = 3 };

// One entry of a folder listing. A symbolic link or reparse point is reported as what it leads
// to, marked as a link: a walk that descended into it could loop back up the tree.
enum { kEntryFile = 1, kEntryFolder = 2, kEntryOther = 3 };
struct OsFolderEntry {
    const char* name;
    int kind;
    int link;
    uint64_t size;   // of a file
};

// Why a call failed, as lastFailure tells it: kFailBusy when another program held the file at
// that moment (worth trying again shortly), kFailOther for everything else.
enum { kFailOther = 0, kFailBusy = 1 };

// How a file stands for a rename or delete, as probeFile reports it.
enum { kFileFree = 0, kFileInUse = 1, kFileDenied = 2 };

// Platform file times: 100-nanosecond ticks since 1601-01-01, as Win32 counts them.
typedef uint64_t OsFileTime;

// One table of operations, swappable so that tests can inject faults (fail the Nth call,
// report a full disk, a locked file) beneath the very primitives the engine uses.
// Paths are NUL-terminated and may use '\' as separator on every platform.
// Every operation returns non-zero for success unless stated otherwise.
struct OsLayer {
    // Opens with the open flags (ReadAccess, WriteAccess, ShareRead, ShareWrite, OwnerOnly):
    // read access opens an existing file, write-only access creates or truncates. Without a
    // share bit the file is held exclusively: a second open of it fails while this one lives.
    OsHandle (*open)(const char* path, unsigned flags);
    void (*close)(OsHandle h);
    // Reads up to n bytes; *got receives the count (0 at end of file).
    int (*read)(OsHandle h, void* buffer, uint32_t n, uint32_t* got);
    // Writes n bytes; *put receives the count written.
    int (*write)(OsHandle h, const void* buffer, uint32_t n, uint32_t* put);
    // Moves to an absolute position; *now receives the position afterwards.
    int (*seek)(OsHandle h, uint32_t position, uint32_t* now);
    // Current position, 0xFFFFFFFF on failure.
    uint32_t (*tell)(OsHandle h);
    // Length of the file; -1 on failure.
    int64_t (*size)(OsHandle h);
    int (*getWriteTime)(OsHandle h, OsFileTime* utc);
    // Sets creation (where the platform keeps it), last-access and last-write time.
    int (*setTimes)(OsHandle h, OsFileTime utc);
    // The platform's current offset between UTC and local time, applied in both directions.
    int (*utcToLocal)(OsFileTime* t);
    int (*localToUtc)(OsFileTime* t);
    // Attribute word, kAttrInvalid when the query fails.
    uint32_t (*attributes)(const char* path);
    int (*makeFolder)(const char* path);
    int (*removeFolder)(const char* path);
    int (*removeFile)(const char* path);
    // Renames, replacing an existing destination atomically where the platform can; the
    // destination stays as it was when the rename fails.
    int (*moveReplace)(const char* from, const char* to);
    // The name of the last component as the file system stores it (case-insensitive match).
    int (*storedName)(const char* path, char* name, size_t capacity);
    int (*shortName)(const char* path, char* out, size_t capacity);
    int (*getCurrentDir)(char* buffer, size_t capacity);
    int (*setCurrentDir)(const char* path);
    // Milliseconds since some fixed point, wrapping at 32 bits.
    uint32_t (*ticks)();
    // Root of drive index 0..25 ("C:\\" for 2 on Windows; on POSIX the mount points of real
    // disk file systems, in a stable order, stand for the letters). Returns the drive type:
    // kDriveFixed for a fixed disk, kDriveNoRoot when there is no such root, other values as
    // the platform has them.
    int (*driveRoot)(int index, char* root, size_t capacity);
    // Calls add(context, name) for every subfolder of folder that is not a link (symbolic link,
    // junction or other reparse point), in the platform's listing order, without "." and "..";
    // returns 0 when the folder cannot be listed.
    int (*listFolders)(const char* folder, void (*add)(void* context, const char* name), void* context);
    // Calls add(context, entry) for every entry of folder, files and links included, in the
    // platform's listing order, without "." and ".."; returns 0 when the folder cannot be listed.
    int (*listEntries)(const char* folder, void (*add)(void* context, const OsFolderEntry* entry), void* context);
    // out = the absolute form of path with links resolved as far as it exists (the rest
    // appended as given); 0 when that fails or does not fit capacity.
    int (*fullPath)(const char* path, char* out, size_t capacity);
    // A read-only resource of the program: its bytes stay valid for the life of the process.
    int (*findResource)(void* module, const char* name, const void** data, uint32_t* size);
    // Forces what was written through the handle, data and times, onto the disk.
    int (*flushFile)(OsHandle h);
    // Makes the names created, removed or renamed in a folder durable where the file system
    // does not do so on its own (POSIX); succeeds at once where it does.
    int (*flushFolder)(const char* path);
    // Starts writing what was written through the handle so far onto the disk, without waiting
    // for it, where the platform can (Linux); the flush that follows has that much less to
    // wait for. Nothing elsewhere; no result, as nothing depends on it.
    void (*startWriteback)(OsHandle h);
    // Forces everything written to the volume that holds path onto the disk, in one call where
    // the platform has one (Linux); 0 where it has none or the call fails, and the caller then
    // flushes file by file.
    int (*flushVolume)(const char* path);
    // Why the last call of this table that failed on this thread failed: kFailBusy for a
    // sharing or lock violation and for access denied (what a virus scanner holding a new file,
    // or a file pending deletion, gives on Windows), kFailOther otherwise. On POSIX, EBUSY,
    // ETXTBSY and the refusal of a file that another open of this layer holds (its emulated
    // sharing) are busy. Only meaningful right after the failing call.
    int (*lastFailure)();
    // Waits about ms milliseconds.
    void (*pause)(uint32_t ms);
    // Whether path could be renamed or deleted now, opening it as the rename would (delete
    // access, every sharing mode) and then for writing, which a running program's image refuses:
    // kFileInUse when another program holds it without delete sharing, or without write
    // sharing as a running program or a loaded library is held, kFileDenied when this user may
    // not delete it, kFileFree otherwise (also for a file that does not exist). holder (capacity bytes, may be null) receives the name
    // of a program holding it where the platform can tell (Windows: the Restart Manager, when
    // the system has one), else "". Nothing is changed. POSIX has no such locking between
    // programs: every file is free there.
    int (*probeFile)(const char* path, char* holder, size_t capacity);
    // Whether this user may create files and folders in folder; nothing is created. Where the
    // rights cannot be read, 1: the change itself then fails honestly.
    int (*folderWritable)(const char* path);
    // Maps the first size bytes of a file opened for reading alone into memory, read-only;
    // *view receives the first. 0 where the platform cannot (no room in the address space, a
    // device): the caller reads instead. unmapFile before the handle is closed.
    int (*mapFile)(OsHandle h, uint64_t size, const void** view);
    void (*unmapFile)(const void* view, uint64_t size);
    // Copies n bytes out of a view; 0 when the file beneath cannot give them (another program
    // cut it short, a read error on POSIX), where a plain access would end the process. On
    // Windows the sharing mode of the open keeps the file whole, and a copy is a copy.
    int (*copyFromView)(void* to, const void* from, size_t n);
    // Hands n bytes of a view to use in place, guarded as copyFromView is: 0 when the file
    // beneath cannot give them, use then cut short and its work to be thrown away. A use may
    // be left anywhere, so it takes no lock and allocates nothing.
    int (*useView)(const void* from, size_t n, void (*use)(void* context, const void* bytes, size_t n), void* context);
    // Puts the calling thread behind the others: a helper that hashes beside the program's main
    // work then waits for a processor instead of taking turns with that work, which the helper
    // only has to keep up with.
    void (*runBehind)();
};

// The table in force; the real platform's unless a test has put another in place.
const OsLayer& Os();
// The real platform's table.
const OsLayer& NativeOs();
// Puts a table in force (null restores the native one); returns the one it replaces.
const OsLayer* SetOs(const OsLayer* layer);

// Makes bytes linked into the program findable as a resource of the given name where the
// platform has no resources of its own (POSIX); Windows programs carry real resources.
void RegisterResource(const char* name, const void* data, uint32_t size);

// The running program's own file as an absolute path, links resolved; 0 when the platform
// cannot tell or it does not fit capacity. Outside the table: no test swaps what it reports.
int ProgramPath(char* out, size_t capacity);
// The wall clock as UTC platform file time; 0 when the platform cannot tell. Outside the table
// as well: only logs read it, and nothing a test checks depends on the hour it runs.
int CurrentTime(OsFileTime* utc);
// The system's ANSI code page, in which Windows programs read text that names no code page; 0
// where the platform has none (POSIX).
unsigned SystemCodePage();
// Decodes text in a code page that only the platform knows (multi-byte ones on Windows) into
// UTF-8; 0 where it cannot.
int SystemTextToUtf8(unsigned codePage, const char* text, std::string* out);
// The console program's arguments in UTF-8 into *out, and its output set to UTF-8 where the
// platform asks for that (Windows hands over arguments in the ANSI code page, which cannot
// hold every name). 0 when the arguments had to be kept as given.
int Utf8Arguments(int argc, char** argv, std::vector<std::string>* out);
// The end of a line in the platform's own text files: "\r\n" on Windows, "\n" elsewhere.
extern const char kLineEnd[];
