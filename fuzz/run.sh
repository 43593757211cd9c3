#!/bin/sh
# Runs the fuzzers built by fuzz/build.sh (it builds them first when they are missing).
#   fuzz/run.sh smoke        about 75 s: the ASan builds on the committed seeds (for CI)
#   fuzz/run.sh long [N]     N executions of each fuzzer (default 10 million), growing the
#                            working corpus in build/fuzz/corpus/, then replays it under ASan
#   fuzz/run.sh replay       every input of the working corpus and the seeds, once, under ASan
# A crash leaves its input in build/fuzz/ (crash-*, leak-*, timeout-*); re-run one with
#   build/fuzz/fuzz/driver_fuzzer <file>
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CPD_FUZZ_BUILD_DIR:-$root/build/fuzz}
bin=$build/fuzz
seeds=$root/fuzz/corpus
work=$build/corpus
for target in driver_fuzzer driver_fuzzer_ubsan packet_fuzzer telnet_fuzzer frame_fuzzer; do
    [ -x "$bin/$target" ] || { "$root/fuzz/build.sh"; break; }
done
mkdir -p "$work/driver" "$work/packet" "$work/telnet" "$work/frame"
cd "$build"
# stdout is closed: the packet record prints its two refusals there with printf.
common="-close_fd_mask=1 -print_final_stats=1 -timeout=10 -rss_limit_mb=4096"
# cpd-host's targets: Telnet and frame pieces as dictionaries; inputs up to 1 KiB (a
# subnegotiation may hold 256 bytes, a frame's checks need a few hundred).
telnet="$common -max_len=1024 -dict=$root/fuzz/telnet.dict"
frame="$common -max_len=1024 -dict=$root/fuzz/frame.dict"

replay() {
    "$bin/driver_fuzzer" $common -runs=0 "$work/driver" "$seeds/driver"
    "$bin/packet_fuzzer" $common -runs=0 "$work/packet" "$seeds/packet"
    "$bin/telnet_fuzzer" $telnet -runs=0 "$work/telnet" "$seeds/telnet"
    "$bin/frame_fuzzer" $frame -runs=0 "$work/frame" "$seeds/frame"
}

case "${1:-smoke}" in
smoke)
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    mkdir "$tmp/driver" "$tmp/packet" "$tmp/telnet" "$tmp/frame"
    "$bin/driver_fuzzer" $common -max_total_time=40 "$tmp/driver" "$seeds/driver"
    "$bin/packet_fuzzer" $common -max_total_time=15 "$tmp/packet" "$seeds/packet"
    "$bin/telnet_fuzzer" $telnet -max_total_time=10 "$tmp/telnet" "$seeds/telnet"
    "$bin/frame_fuzzer" $frame -max_total_time=10 "$tmp/frame" "$seeds/frame"
    ;;
long)
    runs=${2:-10000000}
    "$bin/packet_fuzzer" $common -runs="$runs" "$work/packet" "$seeds/packet"
    "$bin/driver_fuzzer_ubsan" $common -runs="$runs" "$work/driver" "$seeds/driver"
    "$bin/telnet_fuzzer" $telnet -runs="$runs" "$work/telnet" "$seeds/telnet"
    "$bin/frame_fuzzer" $frame -runs="$runs" "$work/frame" "$seeds/frame"
    replay
    ;;
replay)
    replay
    ;;
*)
    echo "usage: $0 [smoke | long [runs] | replay]" >&2
    exit 2
    ;;
esac
