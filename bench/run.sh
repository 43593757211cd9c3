#!/usr/bin/env bash
# Builds what the benchmarks need (RelWithDebInfo, in build/bench unless BENCH_BUILD_DIR says
# otherwise) and runs them all: in-process figures, callgrind instruction counts, the TCP bridge
# against socat and the RFC 2217 front end.
#
#   bench/run.sh           full run (about two minutes on two cores)
#   bench/run.sh --short   seconds; what CI runs (no thresholds)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build/bench}
short=""
if [[ "${1:-}" == "--short" ]]; then
    short="--short"
elif [[ $# -gt 0 ]]; then
    echo "usage: $0 [--short]" >&2
    exit 2
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCPD_BUILD_BENCH=ON \
    -DCPD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target cpd_bench local_serial_redir cpd-host >/dev/null

bench="$build/bench/cpd_bench"
echo "## Benchmark run $(date -u '+%Y-%m-%d %H:%M UTC')${short:+ (short)}"
echo
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'),"\
     "$(uname -sr), libserialport $(pkg-config --modversion libserialport)"
echo
"$bench" $short

if command -v valgrind >/dev/null && command -v python3 >/dev/null; then
    packets=300
    [[ -n "$short" ]] && packets=40
    out=$(mktemp -d)
    trap 'rm -rf "$out"' EXIT
    echo "### Instructions per packet (callgrind, $packets packets, log to file)"
    echo
    for kind in read write; do
        valgrind --tool=callgrind --instr-atstart=no --separate-threads=yes \
            --callgrind-out-file="$out/$kind" "$bench" scenario "$kind" "$packets" \
            >"$out/$kind.stdout" 2>"$out/$kind.stderr"
        label="read-data packet (4095 B), read thread"
        [[ $kind == write ]] && label="64-byte SERIAL_CMD_WRITE, delivering thread"
        python3 "$root/bench/callgrind_split.py" "$label" "$packets" "$out/$kind"-*
        echo
    done
else
    echo "(valgrind or python3 missing: no instruction counts)"
fi

if ! command -v socat >/dev/null; then
    if [[ $(id -u) == 0 ]]; then
        apt-get install -y socat >/dev/null 2>&1 || true
    elif command -v sudo >/dev/null; then
        sudo apt-get install -y socat >/dev/null 2>&1 || true
    fi
fi
# Named by its place, not searched for: a stale binary elsewhere in the tree must not be
# measured instead.
host="$build/cpd/host/program/cpd-host"
"$bench" bridge "$host" $short
# pyserial (Debian python3-serial) is seen by /usr/bin/python3 only.
if [[ -x /usr/bin/python3 ]] && command -v socat >/dev/null; then
    /usr/bin/python3 "$root/bench/rfc2217_bench.py" $short "$host"
fi
