#!/usr/bin/env bash
# The main job: installs what is missing, builds the release preset and runs `cpd-host demo`
# (a virtual serial adapter with an echo device, driven through the real plug-in).
# Extra arguments go to cpd-host, e.g. scripts/demo.sh --log demo.log
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh base
cmake --preset release >/dev/null
cmake --build --preset release --target cpd-host local_serial_redir
exec build/release/cpd/host/program/cpd-host "$@" demo
