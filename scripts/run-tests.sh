#!/usr/bin/env bash
# Every test of the project, as CI runs it: installs what is missing, then builds and runs the
# suite plainly (with the mutation tool's self-check) and under AddressSanitizer+UBSan and
# ThreadSanitizer, the Windows suites under Wine (libserialport double, real libserialport.dll)
# and the ZIP bundle, the Debian package installed into a scratch root, a short fuzz run and
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

# The Windows build compiles Microsoft's STL and libserialport: CMake takes the copies in
# ../shared beside the repository, or else downloads the pinned commits.
windows_sources() {
    { [ -f ../shared/third_party/msvc-stl/stl/inc/yvals_core.h ] &&
        [ -f ../shared/third_party/libserialport/windows.c ]; } ||
        timeout 20 git ls-remote --exit-code https://github.com/microsoft/STL.git HEAD >/dev/null 2>&1
}
if windows_sources; then
    run_preset msvc-x64
    section "msvc-x64 bundle"
    cmake --build --preset msvc-x64 --target package
else
    section "msvc-x64 skipped: neither ../shared/third_party/{msvc-stl,libserialport} nor a network to fetch them (github.com/microsoft/STL, github.com/sigrokproject/libserialport)"
fi

section "Debian package, installed into a scratch root"
cmake --preset deb >/dev/null
cmake --build --preset deb
tests/package/deb_install_test.sh "$(ls -t build/deb/local-serial-redir_*.deb | head -n 1)"

section "fuzz (smoke run on the seed corpus)"
fuzz/build.sh
fuzz/run.sh smoke

section "benchmark (short)"
bench/run.sh --short

finish
