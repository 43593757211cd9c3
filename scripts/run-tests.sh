#!/usr/bin/env bash
# Every test of the project, as CI runs it: installs what is missing, then builds and runs the
# suite plainly (with the mutation tool's self-check) and under AddressSanitizer+UBSan and
# ThreadSanitizer, the Windows DLL's suite under Wine and its ZIP bundle, a short fuzz run and
# the benchmark's short mode.
# Usage: scripts/run-tests.sh [--quick]   (--quick: the plain suite only)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/setup-debian.sh "$([ $quick = 1 ] && echo base || echo all)"

section() { printf '\n==== %s (at %ds) ====\n' "$*" "$SECONDS"; }

total=0
summary=""
run_preset() {
    section "$1"
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
    local log
    log=$(mktemp)
    ctest --preset "$1" 2>&1 | tee "$log"
    local status=${PIPESTATUS[0]}
    local count
    count=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    rm -f "$log"
    [ "$status" -eq 0 ] || exit "$status"
    total=$((total + ${count:-0}))
    summary="$summary $1=${count:-0}"
}

finish() {
    section "summary:$summary"
    echo "tests: $total passed, 0 failed"
}

run_preset default

section "mutation tool self-check (3 planted faults)"
/usr/bin/python3 scripts/mutate.py ci --build-dir build/default

if [ $quick = 1 ]; then
    finish
    exit 0
fi

run_preset asan
run_preset tsan

# The shipped Windows DLL needs Microsoft's STL headers beside the repository.
if [ -f ../shared/third_party/msvc-stl/stl/inc/yvals_core.h ]; then
    run_preset msvc-x64
    section "msvc-x64 bundle"
    cmake --build --preset msvc-x64 --target package
else
    section "msvc-x64 skipped: ../shared/third_party/msvc-stl is missing (Microsoft's STL, tag vs-2022-17.4, from github.com/microsoft/STL)"
fi

section "fuzz (smoke run on the seed corpus)"
fuzz/build.sh
fuzz/run.sh smoke

section "benchmark (short)"
bench/run.sh --short

finish
