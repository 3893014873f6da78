// Internal to the file layer: what os.cpp and the platform seam files share.
#pragma once
#include "os.h"

// The real platform's table, defined by os_posix.cpp or os_win32.cpp.
extern const OsLayer kPlatformOs;

// Looks a name up in the table that RegisterResource fills (ASCII case ignored).
int FindRegisteredResource(const char* name, const void** data, uint32_t* size);
