#!/bin/sh
# Fails when <windows.h> appears outside the platform files of filelayer/ and the app/ shell,
# or when a lower layer includes a header of a higher one.
top=${1:-.}
cd "$top" || exit 2
bad=$(grep -rlE '#\s*include\s*[<"]windows\.h[>"]' filelayer package engine console builder resources 2>/dev/null \
      | grep -v -E '^filelayer/os_win32\.cpp$')
if [ -n "$bad" ]; then echo "windows.h outside the platform files: $bad"; exit 1; fi
up=$(grep -lE '#\s*include\s*"(\.\./)?(engine|builder|console|app)/' filelayer/* package/* 2>/dev/null)
up2=$(grep -lE '#\s*include\s*"(\.\./)?(builder|console|app)/' engine/* 2>/dev/null)
if [ -n "$up$up2" ]; then echo "a lower layer includes a higher one: $up $up2"; exit 1; fi
echo "layering clean"
