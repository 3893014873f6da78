#!/bin/bash
# Builds every configuration and runs every test: native, sanitizer, fuzz replays and short
# fuzz runs, then the Windows build under Wine (unit tests and the end-to-end GUI suite).
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-2}
BUILD=${BUILD:-build}
start=$(date +%s)
step() { echo; echo "== [$(( $(date +%s) - start ))s] $*"; }

export TZ=UTC
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=${WINEPREFIX:-$PWD/$BUILD/wineprefix}

step "native build"
make --no-print-directory native BUILD="$BUILD" JOBS="$JOBS"
step "native tests"
ctest --test-dir "$BUILD/native" -j"$JOBS" --output-on-failure

step "sanitizer build (ASan + UBSan)"
make --no-print-directory asan BUILD="$BUILD" JOBS="$JOBS"
step "sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$BUILD/asan" -j"$JOBS" --output-on-failure

if [ -x tests/fuzz/fuzz.sh ]; then
  step "fuzzing"
  FUZZ_SECONDS=${FUZZ_SECONDS:-60} BUILD="$BUILD" ./tests/fuzz/fuzz.sh
fi

step "Windows build"
make --no-print-directory win BUILD="$BUILD" JOBS="$JOBS"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "creating the Wine prefix"
  mkdir -p "$WINEPREFIX"
  timeout 300 wineboot -i >/dev/null 2>&1 </dev/null || true
  timeout 120 wineserver -w || true
fi
step "Windows tests under Wine"
ctest --test-dir "$BUILD/win" --output-on-failure
