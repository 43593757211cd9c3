#!/usr/bin/env bash
# Installs what building, running and testing the project needs on a fresh Debian 12 machine.
# Usage: scripts/setup-debian.sh [base|all]   (base: build + demo; all: every test suite too)
set -euo pipefail

want=${1:-all}

base=(cmake g++ make pkg-config python3 python3-serial libserialport-dev googletest libgtest-dev
      libcli11-dev nlohmann-json3-dev)
# The -posix MinGW compilers, never the g++-mingw-w64-x86-64 metapackage: it brings the win32
# thread model at a higher alternatives priority, without std::mutex.
extra=(socat valgrind clang-14 libclang-rt-14-dev
       g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
       wine wine64)

packages=("${base[@]}")
if [ "$want" = all ]; then
    packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
