#!/bin/sh
# Lists product functions longer than a limit (default 80 lines), longest first; exits 1 if any.
# Usage: scripts/long-functions.sh [limit]   (run from the repository root)
limit=${1:-80}
ctags -R --languages=C++ --c++-kinds=f --fields=+ne -o - \
    filelayer package engine app console builder 2>/dev/null |
awk -F'\t' -v limit="$limit" '
{
    start = 0; end = 0
    for (i = 4; i <= NF; i++) {
        if ($i ~ /^line:/) start = substr($i, 6) + 0
        if ($i ~ /^end:/) end = substr($i, 5) + 0
    }
    if (start && end && end - start + 1 > limit) printf "%5d %s:%d %s\n", end - start + 1, $2, start, $1
}' | sort -rn > /tmp/long-functions.$$
cat /tmp/long-functions.$$
if [ -s /tmp/long-functions.$$ ]; then rm -f /tmp/long-functions.$$; exit 1; fi
rm -f /tmp/long-functions.$$
