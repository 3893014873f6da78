// Internal to the file layer: what os.cpp and the platform seam files share.
#pragma once
#include "os.h"

// The real platform's table, defined by os_posix.cpp or os_win32.cpp.
extern const OsLayer kPlatformOs;

// The folder lister over an entry lister: the folders that are not links, each by name.
int ListPlainFolders(int (*listEntries)(const char* folder, void (*add)(void* context, const OsFolderEntry* entry),
                                        void* context),
                     const char* folder, void (*add)(void* context, const char* name), void* context);

// Looks a name up in the table that RegisterResource fills (ASCII case ignored).
int FindRegisteredResource(const char* name, const void** data, uint32_t* size);
