#!/usr/bin/env bash
# cpd-host.exe under Wine, on the libserialport double's echoing ports: listing, a piped term
# session, a console session, serve with term --connect and (PYSERIAL=ON) with pyserial's RFC 2217
# client, and the exit codes of bad requests.
# Usage: cpd_host_exe_test.sh WINE_RUN BIN_DIR PYSERIAL
set -u
run=$1
host=$2/cpd-host.exe
pyserial=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export SPD_PORTS="COM7=Double UART;COM8=Spare Port"
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
expect_in() {  # what file text
    grep -qF -- "$3" "$2" || { fail "$1: no \"$3\" in:"; cat "$2"; }
}

"$run" "$host" ports --json >"$tmp/ports" || fail "ports --json exited $?"
expect_in "ports --json" "$tmp/ports" '"port": "COM7"'
expect_in "ports --json" "$tmp/ports" '"description": "Spare Port"'

# Report, settings, the write, its echo and the end of input, with the trace and the log on.
printf 'hello from wine\n' |
    "$run" "$host" --trace --log "$tmp/term.log" term "Double UART" --baud 115200 --flow-off \
        >"$tmp/term.out" 2>"$tmp/term.err" || fail "term exited $?"
expect_in "term echo" "$tmp/term.out" "hello from wine"
expect_in "term trace" "$tmp/term.err" "DRIVER_SET_BAUD_RATE_TO_USER baud=115200"
expect_in "term trace" "$tmp/term.err" "closed: 16 bytes sent, 16 bytes received"
expect_in "term --log" "$tmp/term.log" "set baudrate:115200"

# On a console (Wine makes one of a terminal) keys go out raw and Ctrl-] ends the session.
/usr/bin/python3 - "$run" "$host" >"$tmp/console" 2>&1 <<'PY' || fail "console session"
import os, pty, select, sys, time
pid, fd = pty.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:] + ["term", "Double UART"])
def seen(text, seconds=20):
    out, end = b"", time.time() + seconds
    while text not in out and time.time() < end:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                out += os.read(fd, 4096)
            except OSError:
                break
    return text in out
ready = seen(b"Ctrl-] quits")
os.write(fd, b"typed\x1d")
ok = ready and seen(b"closed: 5 bytes sent")
sys.exit(0 if ok and os.waitpid(pid, 0)[1] == 0 else 1)
PY

# Starts serve with the given options and waits for its port; sets server and port.
start_server() {
    "$run" "$host" serve --listen 127.0.0.1:0 "$@" "Double UART" --log "$tmp/serve.log" \
        >/dev/null 2>"$tmp/serve.err" &
    server=$!
    port=""
    for _ in $(seq 100); do
        port=$(sed -n 's/.* on 127\.0\.0\.1:\([0-9]*\) .*/\1/p' "$tmp/serve.err")
        [ -n "$port" ] && break
        sleep 0.1
    done
}
# Ctrl-C reaches a Windows console program as a control event: serve stops cleanly.
stop_server() {
    kill -INT $(pgrep -P $server -f cpd-host.exe) 2>/dev/null
    wait $server || fail "serve $1 exited $? after Ctrl-C"
    expect_in "serve $1" "$tmp/serve.err" "stopped"
}

start_server
printf 'over the network\n' | "$run" "$host" term --connect "127.0.0.1:$port" \
    >"$tmp/connect.out" 2>"$tmp/connect.err" || fail "term --connect exited $?"
expect_in "term --connect echo" "$tmp/connect.out" "over the network"
stop_server packets

if [ "$pyserial" = ON ]; then
    start_server --rfc2217
    /usr/bin/python3 -c "import serial, sys
s = serial.serial_for_url('rfc2217://127.0.0.1:$port', baudrate=115200, timeout=5)
s.write(b'telnet side\n')
sys.stdout.write(s.readline().decode())" >"$tmp/rfc.out" 2>&1 || fail "RFC 2217 client failed"
    expect_in "serve --rfc2217 echo" "$tmp/rfc.out" "telnet side"
    stop_server --rfc2217
fi

while read -r code args; do
    eval "\"\$run\" \"\$host\" $args" >/dev/null 2>"$tmp/err"
    status=$?
    [ "$status" = "$code" ] || { fail "cpd-host $args: exit $status, expected $code"; cat "$tmp/err"; }
done <<'CASES'
2 bogus
2 demo
2 --virtual product=X ports
2 serve --listen 0.0.0.0:0 "Double UART"
3 term "Double UART" --plugin missing.dll
4 term "No Such Port"
5 term --connect 127.0.0.1:1
CASES

[ $failures = 0 ] && echo "all passed"
exit $((failures > 0))
