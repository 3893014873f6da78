#!/bin/bash
# Builds the libFuzzer targets with clang for x86_64 and i386 (32-bit size arithmetic hides
# wrap bugs) and fuzzes each for FUZZ_SECONDS, JOBS runs at a time; a crash input is copied to
# regress/<target>/ so that the replay driver keeps it, and the script fails.
#   FUZZ_SECONDS=60 tests/fuzz/fuzz.sh            fuzz every target on both architectures
#   tests/fuzz/fuzz.sh --coverage                 line coverage of the corpus on reader and interpreter
# Environment: FUZZ_ARCHS (default "x64 i386", or "x64" where 32-bit programs do not run),
# FUZZ_TARGETS, FUZZ_BUILD (build folder prefix), JOBS.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
cd "$top"
seconds=${FUZZ_SECONDS:-60}
jobs=${JOBS:-2}
archs=${FUZZ_ARCHS:-}
if [ -z "$archs" ]; then
    # i386 only where this machine runs 32-bit programs.
    source "$top/scripts/machine.sh"
    probe_machine "${BUILD:-build}/probe"
    archs="x64"
    [ "$MACHINE_I386" = yes ] && archs="x64 i386" || echo "i386 fuzzing skipped: $MACHINE_NOTE"
fi
targets=${FUZZ_TARGETS:-"reader script uitext scan roundtrip"}
prefix=${FUZZ_BUILD:-${BUILD:-build}/fuzz}
# Every input is written to a file: on a memory file system where there is one.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm

configure() {   # folder, extra compile flags, extra link flags
    # libcrypto of the target's architecture: pkg-config would name the machine's own.
    local pc=()
    case "$2" in *-m32*) pc=(env PKG_CONFIG_LIBDIR=/usr/lib/i386-linux-gnu/pkgconfig) ;; esac
    "${pc[@]}" cmake -S "$top" -B "$1" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=None -DUPG_FUZZ_ENGINE=ON \
        -DCMAKE_C_FLAGS="$2" -DCMAKE_CXX_FLAGS="$2" -DCMAKE_EXE_LINKER_FLAGS="$3" >/dev/null
    local names=""
    for t in $targets; do names="$names --target fuzz_$t"; done
    cmake --build "$1" -j"$jobs" $names
}

build_arch() {   # arch
    local m=""
    [ "$1" = i386 ] && m="-m32"
    configure "$prefix-$1" \
        "-g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all $m" \
        "-fsanitize=address,undefined $m"
}

fuzz_one() {   # arch, target; fails on a crash
    local dir=$prefix-$1 t=$2
    local work=$dir/corpus-$t
    mkdir -p "$work" "$dir/artifacts"
    rm -f "$dir/artifacts/$t-"*
    echo "-- fuzzing $t ($1) for ${seconds}s"
    local dirs=("$work" "$here/corpus/$t")
    [ -d "$here/regress/$t" ] && dirs+=("$here/regress/$t")
    if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
        "$dir/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=70000 -print_final_stats=1 -artifact_prefix="$dir/artifacts/$t-" "${dirs[@]}" \
        >"$dir/fuzz-$t.log" 2>&1; then
        tail -n 40 "$dir/fuzz-$t.log"
        mkdir -p "$here/regress/$t"
        for a in "$dir/artifacts/$t-"*; do
            [ -f "$a" ] && cp "$a" "$here/regress/$t/$1-$(basename "$a")"
        done
        echo "fuzz target $t ($1) failed; the input is kept in tests/fuzz/regress/$t/"
        return 1
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$dir/fuzz-$t.log" | sed "s/^/   $t $1 /"
}

lane() {   # lane number: every JOBS-th run from that one on; stops at the first crash
    local i=0 a t
    for a in $archs; do
        for t in $targets; do
            if [ $((i % jobs)) = "$1" ]; then fuzz_one "$a" "$t" || return 1; fi
            i=$((i + 1))
        done
    done
}

if [ "${1:-}" = --coverage ]; then
    dir=$prefix-cov
    configure "$dir" "-g -O0 -fprofile-instr-generate -fcoverage-mapping -fsanitize=fuzzer-no-link" \
        "-fprofile-instr-generate"
    rm -f "$dir"/*.profraw
    for t in $targets; do
        dirs=("$here/corpus/$t")
        [ -d "$prefix-x64/corpus-$t" ] && dirs+=("$prefix-x64/corpus-$t")
        [ -d "$here/regress/$t" ] && dirs+=("$here/regress/$t")
        LLVM_PROFILE_FILE="$dir/$t.profraw" "$dir/tests/fuzz/fuzz_$t" -runs=0 "${dirs[@]}" >/dev/null 2>&1
    done
    llvm-profdata merge -o "$dir/all.profdata" "$dir"/*.profraw
    objects=()
    for t in $targets; do objects+=(-object "$dir/tests/fuzz/fuzz_$t"); done
    llvm-cov report "${objects[@]:1}" -instr-profile="$dir/all.profdata" \
        "$top/package/reader.cpp" "$top/package/names.cpp" "$top/package/script.cpp" "$top/engine/uitext.cpp" \
        "$top/package/scriptscan.cpp" "$top/builder/delta.cpp"
    exit 0
fi

for a in $archs; do build_arch "$a"; done
# One run per core: the targets of every architecture share the JOBS lanes.
pids=()
for ((l = 0; l < jobs; l++)); do
    lane "$l" &
    pids+=($!)
done
status=0
for p in "${pids[@]}"; do wait "$p" || status=1; done
[ $status = 0 ] && echo "fuzzing: no failures"
exit $status
