#!/bin/bash
# Builds every configuration and runs every test: native, sanitizer, fuzz replays and short
# fuzz runs, then the Windows builds and their tests under Wine (unit tests, console black-box
# tests, the end-to-end GUI suite). What the machine can execute decides the Windows path:
#   x86  32-bit Wine runs the 32-bit build's tests; the 64-bit build is built too.
#   x64  (no 32-bit programs here, or UPG_WINDOWS_ARCH=x64) the 64-bit build's tests run under
#        wine64; the shipped 32-bit upgsetup.exe is driven end to end by 32-bit Wine under a
#        private qemu-i386, or by the 64-bit build's own where that cannot be set up.
# The shipped 32-bit programs are built and checked on both. The output ends with the summary of
# the last CTest run, the Windows one.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
BUILD=${BUILD:-build}
# Per target; the default keeps a whole check on a fresh 2-core machine within 15 minutes.
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
source scripts/machine.sh

start=$(date +%s)
stage_name=""
stage_start=$start
stage_cpu=0
stages=()
# Processor seconds of the finished children: on a shared machine they say more than the clock.
cpu() {
    local st
    read -r -a st </proc/$$/stat
    echo $(((st[15] + st[16]) / $(getconf CLK_TCK)))
}
step() {
    local now used
    now=$(date +%s)
    used=$(cpu)
    [ -n "$stage_name" ] &&
        stages+=("$(printf '%5ss %6s cpu  %s' $((now - stage_start)) "$((used - stage_cpu))s" "$stage_name")")
    stage_name=$1
    stage_start=$now
    stage_cpu=$used
    [ -n "$1" ] && printf '\n== [%ss] %s\n' $((now - start)) "$1"
    return 0
}
summary() {
    step ""
    echo "== summary"
    echo "machine: $MACHINE_NOTE"
    echo "Windows path: $PATH_NOTE"
    echo "end-to-end suite: $E2E_NOTE"
    echo "fuzzing: $FUZZ_NOTE"
    echo "stage times (wall, processor):"
    printf '%s\n' "${stages[@]}"
    echo "total $(($(date +%s) - start))s wall, $(cpu)s processor; load average $(cut -d' ' -f1-3 /proc/loadavg)"
}
MACHINE_NOTE="not probed"
PATH_NOTE="not chosen"
E2E_NOTE="not run"
FUZZ_NOTE="not run"
trap 'rc=$?; if [ $rc != 0 ]; then failed=$stage_name; summary; echo "FAILED in: $failed"; fi' EXIT

export TZ=UTC WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH WINELOADER WINEPREFIX UPG_WINE32

step "probe: what this machine runs"
probe_machine "$BUILD/probe"
case "${UPG_WINDOWS_ARCH:-auto}:$WINDOWS_ARCH" in
auto:x86) PATH_NOTE="x86: the 32-bit build's tests under 32-bit Wine; the 64-bit build is built only" ;;
auto:x64) PATH_NOTE="x64, as this machine runs no 32-bit programs: the 64-bit build's tests under wine64" ;;
*:x86) PATH_NOTE="x86 (UPG_WINDOWS_ARCH=x86): the 32-bit build's tests under 32-bit Wine" ;;
*:x64) PATH_NOTE="x64 (forced by UPG_WINDOWS_ARCH=x64): the 64-bit build's tests under wine64" ;;
esac
echo "machine: $MACHINE_NOTE"
echo "Windows path: $PATH_NOTE"

step "style: formatting and function length"
./scripts/check-style.sh

step "native build"
make --no-print-directory native BUILD="$BUILD" JOBS="$JOBS"
step "native tests"
ctest --test-dir "$BUILD/native" -j"$JOBS" --output-on-failure

step "sanitizer build (ASan + UBSan)"
make --no-print-directory asan BUILD="$BUILD" JOBS="$JOBS"
step "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$BUILD/asan" -j"$JOBS" --output-on-failure

step "fuzzing (${FUZZ_SECONDS}s per target)"
if [ "$WINDOWS_ARCH" = x86 ]; then
    archs="x64 i386"
    FUZZ_NOTE="x64 and i386, ${FUZZ_SECONDS}s per target"
else
    archs="x64"
    why="this machine runs no 32-bit programs"
    [ "$MACHINE_I386" = yes ] && why="the x64 path is forced"
    FUZZ_NOTE="x64, ${FUZZ_SECONDS}s per target; i386 skipped: $why"
    echo "i386 fuzzing skipped: $why"
fi
FUZZ_SECONDS=$FUZZ_SECONDS FUZZ_ARCHS=$archs BUILD="$BUILD" JOBS="$JOBS" ./tests/fuzz/fuzz.sh

if [ "$WINDOWS_ARCH" = x86 ]; then
    step "Windows build, 32-bit"
    make --no-print-directory win BUILD="$BUILD" JOBS="$JOBS"
else
    # The shipped programs and the end-to-end driver; the tests run from the 64-bit build.
    step "Windows build, 32-bit (shipped programs, end-to-end driver)"
    make --no-print-directory win BUILD="$BUILD" JOBS="$JOBS" WIN_TARGETS="upgsetup upg upg_e2e_driver"
fi
step "shipped programs"
./scripts/check-pe.sh "$BUILD/win"
step "Windows build, 64-bit"
make --no-print-directory win64 BUILD="$BUILD" JOBS="$JOBS"

if [ "$WINDOWS_ARCH" = x86 ]; then
    tests=$BUILD/win
    export WINEARCH=win32 WINEPREFIX=$PWD/$BUILD/wineprefix
    E2E_NOTE="the shipped 32-bit upgsetup.exe under 32-bit Wine"
else
    tests=$BUILD/win64
    export WINEARCH=win64 WINEPREFIX=$PWD/$BUILD/wineprefix64 WINELOADER=/usr/lib/wine/wine64
    step "32-bit Wine under qemu-i386"
    if qemu_wine "$BUILD/qemu"; then
        # The 64-bit build's end-to-end test drives the shipped 32-bit program and its driver.
        export UPG_WINE32 UPG_E2E_BUILD=$PWD/$BUILD/win
        E2E_NOTE="the shipped 32-bit upgsetup.exe under $QEMU_NOTE"
    else
        E2E_NOTE="the 64-bit build's upgsetup.exe under wine64 ($QEMU_NOTE)"
    fi
    echo "$E2E_NOTE"
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    step "creating the Wine prefix ($WINEARCH)"
    mkdir -p "$WINEPREFIX"
    timeout 300 "${WINELOADER:-wine}" wineboot -i >/dev/null 2>&1 </dev/null || true
    timeout 120 wineserver -w || true
fi

step "release artifacts: make dist, then install, use and remove the Debian package"
BUILD="$BUILD" JOBS="$JOBS" ./scripts/dist-check.sh

# The end-to-end suite runs the bundle the installed upg made, where it drives the shipped
# 32-bit programs (the bundle's program is one of them).
case "$E2E_NOTE" in
*"shipped 32-bit"*)
    export UPG_E2E_BUNDLE=$PWD/$BUILD/dist/example-bundle
    E2E_NOTE="$E2E_NOTE; the example bundled by the installed upg" ;;
esac

step "Windows tests under Wine ($tests)"
set +e
ctest --test-dir "$tests" --output-on-failure | tee "$BUILD/windows-tests.log"
rc=${PIPESTATUS[0]}
set -e
trap - EXIT
summary
# CTest's own closing lines end the output.
sed -n '/tests passed, .* tests failed out of/,$p' "$BUILD/windows-tests.log"
exit "$rc"
