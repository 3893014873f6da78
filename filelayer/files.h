// File-system primitives and the current-directory guard; each returns 1 for yes or success.
//
// How this layer reports failure, everywhere in it:
// - a function answers with an int, 1 for yes or success and 0 for no or failure, and says in
//   its contract what an output holds after a 0 (a path buffer is left empty, never cut);
// - a stream keeps a sticky error flag instead: the first failure raises it, later calls go on
//   without effect, and the caller asks HasError once after a run of calls (Reset clears it);
// - the platform seam (os.h) hands on what the system has when there are more than two answers:
//   kAttrInvalid, the kDrive* and kFile* codes;
// - nothing throws but memory that runs out (std::bad_alloc), which each program catches at
//   its edge.
#pragma once
#include <stddef.h>
#include <string>
#include <vector>

const size_t kPathMax = 260;   // bytes of a path buffer, terminator included

int FileExists(const char* path);   // a regular file; never a folder
int IsReadOnly(const char* path);   // the platform's read-only mark (POSIX: no owner write bit)
int IsDirectory(const char* path);
int MakeFolder(const char* path);     // 0 also when it exists already
int RemoveFolder(const char* path);   // the folder must be empty
int RemoveFile(const char* path);
// 0 without touching anything when the names are equal ignoring ASCII case; otherwise a
// rename that replaces the destination and keeps it when the rename fails.
int MoveFileOver(const char* from, const char* to);
// out = path with its last component spelled as the file system stores it; unchanged when
// the lookup fails. out holds kPathMax bytes. A path that does not fit is refused: out is
// left empty and the result is 0 (a cut path would name some other file).
int ExpandLongName(const char* path, char* out);
void ShortName(const char* path, char* out);
// Forces a file's bytes and times onto the disk; the file must be writable.
int FlushFileToDisk(const char* path);
// Makes the names created, removed or renamed in a folder durable.
int FlushFolderToDisk(const char* path);
// Forces everything written on the volume of path onto the disk in one call; 0 where the
// platform cannot, and the caller flushes file by file instead.
int FlushVolumeToDisk(const char* path);
// Calls add(context, name) for every file (no folders) in folder; 0 when it cannot be listed.
int ListFiles(const char* folder, void (*add)(void* context, const char* name), void* context);
// out (kPathMax bytes) = a followed by b; 0, leaving out empty, when that would not fit.
int JoinPath(char* out, const char* a, const char* b);
// folder and name with the platform's separator between them, unless folder already ends in one.
std::string JoinPathText(const std::string& folder, const std::string& name);
// ASCII letters compared without regard to case; nothing else is folded.
int SameNameIgnoringCase(const char* a, const char* b);
// The one case folding of the code, as Windows matches names: A-Z to a-z, nothing else.
inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

// How long a rename or delete that another program blocks for a moment (a virus scanner that
// opens a file just written, an indexer) is tried again before it counts as failed.
const unsigned kBusyRetryMs = 1500;
// MoveFileOver and RemoveFile, tried again while they fail because another program holds the
// file, for kBusyRetryMs at most; a read-only file or any other failure is not tried again.
int MoveFileOverPatiently(const char* from, const char* to);
int RemoveFilePatiently(const char* path);
// Whether the file at path could be renamed or deleted now (kFileFree, kFileInUse or
// kFileDenied of os.h); holder (kPathMax bytes) gets the holding program's name where known.
int ProbeFile(const char* path, char* holder);
// Whether this user may create files and folders in folder; 1 where that cannot be told.
int FolderWritable(const char* path);

// Captures the current directory and puts it back when the scope ends.
class CurrentDirectoryGuard {
public:
    CurrentDirectoryGuard();
    ~CurrentDirectoryGuard();

private:
    CurrentDirectoryGuard(const CurrentDirectoryGuard&) = delete;
    CurrentDirectoryGuard& operator=(const CurrentDirectoryGuard&) = delete;
    std::vector<char> saved;
};
