#!/bin/sh
# Configures and builds the libFuzzer targets with clang in build/fuzz (tests and benchmarks
# off: the fuzz build needs neither GoogleTest nor the benchmark code).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=${CPD_FUZZ_BUILD_DIR:-$root/build/fuzz}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCPD_BUILD_FUZZ=ON -DCPD_BUILD_TESTS=OFF -DCPD_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target driver_fuzzer driver_fuzzer_ubsan packet_fuzzer \
    telnet_fuzzer frame_fuzzer
