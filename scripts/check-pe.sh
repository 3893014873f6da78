#!/bin/bash
# Checks the shipped Windows programs of a 32-bit build: PE32 (i386), the intended subsystem, and
# imports from system DLLs only, so that they run on a bare 32-bit Windows.
# Usage: check-pe.sh BUILD_DIR   (a build made with cmake/mingw-i686.cmake)
set -u
build=${1:?build directory}
system=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll "
status=0

check() {   # file, subsystem as objdump names it
    local f=$1 want=$2 dump fault="" imports
    if [ ! -f "$f" ]; then
        echo "FAIL $f: missing"
        status=1
        return
    fi
    dump=$(objdump -p "$f" 2>&1)
    grep -q "file format pei-i386" <<<"$dump" || fault="$fault; not pei-i386"
    grep -qE "^Magic[[:space:]]+010b[[:space:]]+\(PE32\)" <<<"$dump" || fault="$fault; not PE32"
    grep -qE "^Subsystem[[:space:]].*\($want\)" <<<"$dump" ||
        fault="$fault; subsystem $(sed -n 's/^Subsystem[[:space:]]*//p' <<<"$dump"), expected $want"
    imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr -d '\r' | tr '\n' ' ' | sed 's/ $//')
    [ -n "$imports" ] || fault="$fault; no imports found"
    for d in $imports; do
        case "$system" in
        *" $(tr '[:upper:]' '[:lower:]' <<<"$d") "*) ;;
        *) fault="$fault; imports $d" ;;
        esac
    done
    if [ -n "$fault" ]; then
        echo "FAIL ${f#"$build"/}:${fault#;}"
        status=1
    else
        echo "ok   ${f#"$build"/}: PE32, $want, imports $imports"
    fi
}

check "$build/app/upgsetup.exe" "Windows GUI"
check "$build/console/upg.exe" "Windows CUI"
exit $status
