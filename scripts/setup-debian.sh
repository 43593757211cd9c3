#!/usr/bin/env bash
# Installs what building, running and testing the project needs on a fresh Debian 12 machine.
# Usage: scripts/setup-debian.sh [base|all]   (base: build + demo; all: every test suite too)
set -euo pipefail

want=${1:-all}

base=(cmake g++ make pkg-config python3 python3-serial libserialport-dev googletest libgtest-dev
      libcli11-dev nlohmann-json3-dev)
# The Windows DLL: clang-cl (clang-tools-14), lld-link, llvm-dlltool and llvm-objdump, MinGW-w64's
# Windows headers (mingw-w64-x86-64-dev alone: no MinGW compiler is used), and Wine to run the
# tests. The Debian package: dpkg-shlibdeps (dpkg-dev) works out its dependencies.
extra=(socat valgrind clang-14 libclang-rt-14-dev
       clang-tools-14 lld-14 llvm-14 mingw-w64-x86-64-dev wine wine64 dpkg-dev)

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
