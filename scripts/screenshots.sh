#!/bin/bash
# Regenerates docs/screenshots/ from an end-to-end run of the shipped 32-bit program: under
# 32-bit Wine, or under qemu-i386 where this machine runs no 32-bit programs.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD:-build}
source scripts/machine.sh
probe_machine "$BUILD/probe"
echo "machine: $MACHINE_NOTE"
make --no-print-directory win BUILD="$BUILD" JOBS="${JOBS:-2}" WIN_TARGETS="upgsetup upg_e2e_driver"
# The Linux upg builds the packages whose names are in other languages.
cmake -S . -B "$BUILD/native" -DUPG_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD/native" -j"${JOBS:-2}" --target upg
if [ "$WINDOWS_ARCH" = x64 ]; then
    qemu_wine "$BUILD/qemu" || { echo "$QEMU_NOTE"; exit 1; }
    echo "$QEMU_NOTE"
    export UPG_WINE32
fi
exec ./tests/e2e/run-e2e.sh "$BUILD/win" --screenshots
