#!/bin/bash
# Checks the shipped Windows programs of a 32-bit build: PE32 (i386), the intended subsystem,
# imports from system DLLs only, so that they run on a bare 32-bit Windows, and an application
# manifest that runs them as invoked (no file virtualization) on Windows 7 to 11.
# Usage: check-pe.sh BUILD_DIR   (a build made with cmake/mingw-i686.cmake)
set -u
build=${1:?build directory}
system=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll shell32.dll user32.dll "
status=0

check() {   # file, subsystem as objdump names it
    local f=$1 want=$2 dump fault="" imports rsrc
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
    # The manifest: a resource of type 24 (RT_MANIFEST), and its text in the resource section.
    grep -qE "^[[:space:]]*Type: 24\b|Type: MANIFEST|Entry: ID: 0x0*18\b" <<<"$dump" || fault="$fault; no RT_MANIFEST resource"
    rsrc=$(objcopy -O binary --only-section=.rsrc "$f" /dev/stdout 2>/dev/null | tr -d '\0' | tr '\r\n' '  ')
    grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$rsrc" || fault="$fault; manifest without asInvoker"
    for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        grep -q "supportedOS Id=\"{$os}\"" <<<"$rsrc" || fault="$fault; manifest lacks supportedOS $os"
    done
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
        echo "ok   ${f#"$build"/}: PE32, $want, manifest asInvoker, imports $imports"
    fi
}

check "$build/app/upgsetup.exe" "Windows GUI"
check "$build/console/upg.exe" "Windows CUI"
exit $status
