#!/usr/bin/env bash
# The Debian package as a user installs it, unpacked into a scratch root (dpkg-deb -x: the
# machine's own packages stay untouched): the files are where they belong, and its cpd-host
# runs the demo and lists a virtual port from there, finding its libraries and the plug-in
# without LD_LIBRARY_PATH.
# Usage: deb_install_test.sh PACKAGE.deb
set -u
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

depends=$(dpkg-deb -f "$deb" Depends)
grep -qw libserialport0 <<<"$depends" || fail "Depends lacks libserialport0: $depends"
dpkg-deb -x "$deb" "$root" || exit 1
libdir=$root/usr/bin/../lib/local-serial-redir  # as cpd-host finds it
for file in usr/bin/cpd-host usr/lib/local-serial-redir/liblocal_serial_redir.so \
    usr/lib/local-serial-redir/libcpd_utils.so usr/lib/local-serial-redir/libcpd_log.so \
    usr/lib/local-serial-redir/libvserial_preload.so \
    usr/share/doc/local-serial-redir/README.md usr/share/doc/local-serial-redir/LICENSE; do
    [ -f "$root/$file" ] || fail "missing /$file"
done

# From / and without LD_LIBRARY_PATH: nothing of the build tree is in reach by a relative path.
cd /
env -u LD_LIBRARY_PATH "$root/usr/bin/cpd-host" demo >"$root/demo.out" 2>&1 ||
    fail "cpd-host demo exited $?: $(cat "$root/demo.out")"
grep -qF "demo: plug-in $libdir/liblocal_serial_redir.so" "$root/demo.out" ||
    fail "demo did not load the packaged plug-in: $(head -1 "$root/demo.out")"
grep -q "^demo: PASS" "$root/demo.out" || fail "demo did not pass"
# The virtual adapter hides the machine's real ports, which are never listed here.
env -u LD_LIBRARY_PATH "$root/usr/bin/cpd-host" --virtual 'product=Packaged UART,serial=PK01' \
    ports --json >"$root/ports.json" 2>&1 || fail "cpd-host ports --json exited $?"
grep -qF '"description": "Packaged UART - PK01"' "$root/ports.json" ||
    fail "ports --json: $(cat "$root/ports.json")"
ldd "$root/usr/bin/cpd-host" | grep -q "libcpd_utils.so => $libdir/" ||
    fail "cpd-host does not link the packaged libcpd_utils.so"

[ $failures = 0 ] && echo "deb: installs into a scratch root; demo and ports --json pass there"
exit $((failures > 0))
