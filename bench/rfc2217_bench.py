#!/usr/bin/python3
"""`cpd-host serve --rfc2217` against socat as a plain TCP-to-pty bridge, both with an echo
device on the line's far end, measured in one run.

  bench/rfc2217_bench.py [--short] CPD_HOST

Paths (client -> bridge -> serial line -> echo -> back):
  rfc2217  pyserial rfc2217:// -> cpd-host serve --rfc2217 -> plug-in -> virtual adapter whose
           far end echoes (in cpd-host)
  socat    pyserial socket://  -> socat TCP-LISTEN <-> PTY -> a small echo process on the pty
Rows: 1 MiB written while its echo is read (MB/s of payload, median of 3), one-byte echo
latency p50/p99, and the bridge's CPU share while a client is connected and idle. pyserial's
RFC 2217 client decodes Telnet one byte at a time in Python, which caps its rate well below
the bridges'; a raw Telnet client (IAC doubling with bytes.replace) shows the server's own rate.
Needs /usr/bin/python3 with pyserial (Debian python3-serial) and socat.
"""
import glob
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

try:
    import serial
except ImportError:
    print("(pyserial missing for /usr/bin/python3: no RFC 2217 figures)")
    sys.exit(0)

MIB = bytes(range(256)) * 4096

# The socat path's echo device: never stops reading while it has bytes to give back, so a
# full-duplex flood cannot lock socat's blocking writes against the pty's small buffers.
ECHO = """
import os, select, sys, termios, tty
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
tty.setraw(fd, termios.TCSANOW)
print("ready", flush=True)
pending = bytearray()
while True:
    r, w, _ = select.select([fd], [fd] if pending else [], [])
    if r:
        try:
            data = os.read(fd, 65536)
        except OSError:
            break
        if not data:
            break
        pending += data
    if w and pending:
        try:
            del pending[:os.write(fd, pending)]
        except BlockingIOError:
            pass
"""


def cpu_seconds(pid):
    """CPU time of every thread of `pid` so far, from the scheduler's nanosecond counters."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        try:
            with open(path) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect_retry(connect):
    """Calls `connect` until the bridge listens (a few seconds at most)."""
    for attempt in range(200):
        try:
            return connect()
        except (OSError, serial.SerialException):
            if attempt == 199:
                raise
            time.sleep(0.025)


class Bridge:
    """One bridge, stopped with SIGTERM; socat's serves a single connection."""

    def __init__(self, kind, host):
        self.procs = []
        self.port = free_port()
        listen = "127.0.0.1:%d" % self.port
        if kind == "rfc2217":
            self.url = "rfc2217://" + listen
            self.start([host, "--virtual", "product=Bench RFC,serial=BR1,peer=echo", "--log",
                        os.devnull, "serve", "--rfc2217", "--listen", listen, "Bench RFC - BR1"])
            return
        self.url = "socket://" + listen
        self.dir = tempfile.mkdtemp(prefix="cpd_bench_rfc_")
        link = os.path.join(self.dir, "pty")
        # The pty first, so the echo can open it before the client connects.
        self.start(["socat", "PTY,link=%s,rawer" % link,
                    "TCP-LISTEN:%d,bind=127.0.0.1,reuseaddr,nodelay" % self.port])
        for _ in range(200):
            if os.path.exists(link):
                break
            time.sleep(0.025)
        echo = subprocess.Popen([sys.executable, "-c", ECHO, link], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(echo)
        echo.stdout.readline()  # raw and reading before any client byte arrives

    def start(self, argv):
        self.procs.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def cpu(self):
        return sum(cpu_seconds(p.pid) for p in self.procs)

    def stop(self):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            p.wait(20)


def round_trip(ser, data):
    writer = threading.Thread(target=ser.write, args=(data,))
    got = bytearray()
    t0 = time.perf_counter()
    writer.start()
    while len(got) < len(data):
        chunk = ser.read(len(data) - len(got))
        if not chunk:
            sys.exit("bench: echo stalled after %d bytes" % len(got))
        got += chunk
    elapsed = time.perf_counter() - t0
    writer.join()
    if bytes(got) != data:
        sys.exit("bench: echo differs")
    return len(data) / elapsed


def latencies(ser, count):
    samples = []
    for i in range(count):
        byte = bytes([0x41 + i % 26])
        t0 = time.perf_counter()
        ser.write(byte)
        if ser.read(1) != byte:
            sys.exit("bench: one-byte echo missing")
        samples.append((time.perf_counter() - t0) * 1e3)
        time.sleep(0.002)
    samples.sort()
    return samples[len(samples) // 2], samples[int(len(samples) * 0.99) - 1]


def raw_rate(bridge, telnet):
    """1 MiB through a plain socket client; Telnet escaping done with bytes.replace."""
    with connect_retry(lambda: socket.create_connection(("127.0.0.1", bridge.port))) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pending = b""
        if telnet:
            # No flow control (the line's XON/XOFF would take 0x11 and 0x13), then wait for
            # the answer; the server's negotiation bytes come before it.
            s.sendall(b"\xff\xfa\x2c\x05\x01\xff\xf0")
            while b"\xff\xfa\x2c\x69\x01\xff\xf0" not in pending:
                pending += s.recv(4096)
            pending = pending.split(b"\xff\xfa\x2c\x69\x01\xff\xf0", 1)[1]
        wire = MIB.replace(b"\xff", b"\xff\xff") if telnet else MIB
        want = len(wire)
        got = [pending]
        have = len(pending)
        t0 = time.perf_counter()
        writer = threading.Thread(target=s.sendall, args=(wire,))
        writer.start()
        s.settimeout(10)
        while have < want:
            chunk = s.recv(262144)
            if not chunk:
                break
            got.append(chunk)
            have += len(chunk)
        elapsed = time.perf_counter() - t0
        writer.join()
        data = b"".join(got)
        if telnet:
            data = data.replace(b"\xff\xff", b"\xff")
        if data != MIB:
            sys.exit("bench: raw echo differs (%d bytes)" % len(data))
        return len(MIB) / elapsed


def measure(kind, host, short):
    row = {}
    bridge = Bridge(kind, host)
    try:
        ser = connect_retry(lambda: serial.serial_for_url(bridge.url, baudrate=115200, timeout=5))
        runs = 1 if short else 3
        row["pyserial"] = statistics.median(round_trip(ser, MIB) for _ in range(runs))
        row["p50"], row["p99"] = latencies(ser, 50 if short else 300)
        idle = 1.0 if short else 5.0
        time.sleep(0.5)
        c0, t0 = bridge.cpu(), time.perf_counter()
        time.sleep(idle)
        row["idle"] = (bridge.cpu() - c0) / (time.perf_counter() - t0) * 100
        ser.close()
        rates = []
        for _ in range(runs):
            if kind != "rfc2217":  # socat serves one connection
                bridge.stop()
                bridge = Bridge(kind, host)
            rates.append(raw_rate(bridge, kind == "rfc2217"))
        row["raw"] = statistics.median(rates)
    finally:
        bridge.stop()
    return row


def main():
    args = [a for a in sys.argv[1:] if a != "--short"]
    short = "--short" in sys.argv[1:]
    if len(args) != 1:
        sys.exit(__doc__)
    host = args[0]
    ours = measure("rfc2217", host, short)
    socat = measure("socat", host, short)
    print("### RFC 2217 bridge (pyserial client, echo on the line, loopback)\n")
    print("| path | 1 MiB echoed, pyserial | raw socket client | echo p50 | echo p99 | "
          "bridge CPU, idle client |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, row in (("cpd-host serve --rfc2217 (plug-in, virtual echo)", ours),
                      ("socat TCP-to-pty bridge (socket://, echo process)", socat)):
        print("| %s | %.2f MB/s | %.1f MB/s | %.1f ms | %.1f ms | %.2f%% |" %
              (name, row["pyserial"] / 1e6, row["raw"] / 1e6, row["p50"], row["p99"],
               row["idle"]))
    print("| ratio cpd-host / socat | %.2f | %.2f | | | |\n" %
          (ours["pyserial"] / socat["pyserial"], ours["raw"] / socat["raw"]))


if __name__ == "__main__":
    main()
