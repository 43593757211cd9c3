#!/usr/bin/python3
"""pyserial's RFC 2217 client against `cpd-host serve --rfc2217` with a virtual echo adapter.

Usage: rfc2217_pyserial_test.py CPD_HOST. Exit 0 on success.
The adapter's line settings are read from the server's --trace lines ("virtual ...: 9600 baud
7E1, DTR on, ..."), printed after every settings request the plug-in served.
"""
import os
import re
import socket
import subprocess
import sys
import threading
import time

import serial

DESCRIPTION = "RFC Test - RT1"
MIB = bytes(range(256)) * 4096  # every byte value, 0xff (IAC), 0x11 and 0x13 (XON/XOFF) too


class Server:
    """The cpd-host process; its standard error is collected line by line."""

    def __init__(self, binary):
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(
            [binary, "--virtual", "product=RFC Test,serial=RT1,peer=echo", "--log", os.devnull,
             "--trace", "serve", "--rfc2217", "--listen", "127.0.0.1:0", DESCRIPTION],
            stderr=subprocess.PIPE, text=True)
        threading.Thread(target=self._collect, daemon=True).start()
        self.port = int(self.wait(r"serving .* on 127\.0\.0\.1:(\d+)").group(1))

    def _collect(self):
        for line in self.proc.stderr:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()

    def wait(self, pattern, start=0, timeout=20):
        """The first line from index `start` on that matches `pattern`."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines[start:]:
                    match = regex.search(line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0 or self.proc.poll() is not None:
                    sys.exit("FAIL: no line matching %r; server said:\n%s" %
                             (pattern, "\n".join(self.lines[-30:])))
                self.cond.wait(left)

    def mark(self):
        with self.cond:
            return len(self.lines)

    def line_settings(self, start, expected):
        """Waits for the virtual line to report `expected` (e.g. "9600 baud 7E1")."""
        return self.wait(r"virtual \S+: " + re.escape(expected), start)

    def connect(self, **settings):
        return serial.serial_for_url("rfc2217://127.0.0.1:%d" % self.port, **settings)


def check(condition, what):
    if not condition:
        sys.exit("FAIL: " + what)


def telnet_data(stream):
    """The data bytes of a server's Telnet stream, its commands and subnegotiations dropped."""
    data, i = bytearray(), 0
    while i < len(stream):
        if stream[i] != 0xFF:
            data.append(stream[i])
            i += 1
        elif i + 1 == len(stream):
            break
        elif stream[i + 1] == 0xFF:
            data.append(0xFF)
            i += 2
        elif stream[i + 1] == 0xFA:
            end = stream.find(b"\xff\xf0", i)
            if end < 0:
                break
            i = end + 2
        else:
            i += 3 if stream[i + 1] >= 0xFB else 2
    return bytes(data)


def binary_only_echo(port, data):
    """What comes back for `data` to a client that agrees to BINARY and nothing else (so it never
    sets flow control), as plain Telnet clients do."""
    with socket.create_connection(("127.0.0.1", port)) as raw:
        raw.sendall(b"\xff\xfd\x00\xff\xfb\x00"  # DO BINARY, WILL BINARY
                    b"\xff\xfe\x03\xff\xfc\x03\xff\xfc\x2c")  # no SUPPRESS-GO-AHEAD, no COM-PORT
        raw.sendall(data.replace(b"\xff", b"\xff\xff"))
        raw.settimeout(10)
        stream = b""
        try:
            while len(telnet_data(stream)) < len(data):
                chunk = raw.recv(4096)
                if not chunk:
                    break
                stream += chunk
        except socket.timeout:
            pass
    return telnet_data(stream)


def round_trip(ser, data):
    """Writes `data` from a second thread while reading the echo; the bytes read."""
    writer = threading.Thread(target=ser.write, args=(data,))
    writer.start()
    got = bytearray()
    deadline = time.monotonic() + 120
    while len(got) < len(data) and time.monotonic() < deadline:
        got += ser.read(len(data) - len(got))
    writer.join()
    return bytes(got)


def main():
    server = Server(sys.argv[1])
    try:
        # Regression: the port kept the XON/XOFF it starts with, so 0x11 and 0x13 vanished for
        # a client that never sets flow control. The first client: nothing has set it before.
        every = bytes(range(256))
        echoed = binary_only_echo(server.port, every)
        check(echoed == every, "a BINARY-only client got %d of 256 byte values back: %r" %
              (len(echoed), echoed))

        mark = server.mark()
        ser = server.connect(baudrate=115200, timeout=1)
        # Opening sends 115200 8N1 and "no flow control": the plug-in's handshake request turns
        # the line's XON/XOFF off, so 0x11 and 0x13 pass below.
        server.wait(r"virtual \S+: 115200 baud 8N1, .*flow control none", mark)

        mark = server.mark()
        ser.apply_settings({"baudrate": 9600, "bytesize": 7, "parity": serial.PARITY_EVEN})
        server.line_settings(mark, "9600 baud 7E1")
        mark = server.mark()
        ser.apply_settings({"baudrate": 115200, "bytesize": 8, "parity": serial.PARITY_NONE})
        server.line_settings(mark, "115200 baud 8N1")

        check(round_trip(ser, MIB) == MIB, "1 MiB did not come back byte for byte")

        # Stale echo is dropped by reset_input_buffer (the server must answer the purge).
        ser.write(b"stale")
        deadline = time.monotonic() + 5
        while ser.in_waiting < 5 and time.monotonic() < deadline:
            time.sleep(0.01)
        ser.reset_input_buffer()
        check(ser.in_waiting == 0, "reset_input_buffer left bytes")
        ser.write(b"fresh")
        check(ser.read(5) == b"fresh", "no clean echo after reset_input_buffer")

        # The plug-in's one DTR request drops DTR and raises it again: the server answers "on",
        # which pyserial reports as a refused value, and the line shows one drop (the second:
        # the first client's leaving closed the port, and closing a tty drops DTR).
        mark = server.mark()
        try:
            ser.dtr = False
            check(False, "DTR off was answered as if DTR were off")
        except ValueError:
            pass
        server.wait(r"virtual \S+: .*DTR on, .*, 2 DTR drops,", mark)

        # A client that leaves in mid-transfer; the next one is served normally.
        mark = server.mark()
        ser.write(MIB[:262144])
        ser.close()
        server.wait(r"closed \"%s\" for" % re.escape(DESCRIPTION), mark)
        ser = server.connect(baudrate=9600, bytesize=7, parity=serial.PARITY_EVEN, timeout=5)
        check(round_trip(ser, b"second client\xff") == b"second client\xff",
              "the second client's echo is wrong")
        ser.close()

        # A malformed Telnet command closes only that client.
        mark = server.mark()
        with socket.create_connection(("127.0.0.1", server.port)) as raw:
            raw.sendall(b"\xff\x07")
            raw.settimeout(10)
            while raw.recv(4096):
                pass
        server.wait(r"IAC followed by 0x07.*closing the connection", mark)
        ser = server.connect(baudrate=115200, timeout=5)
        check(round_trip(ser, b"third") == b"third", "no service after a malformed client")

        # Regression: a client arriving while another was served used to be refused at once;
        # it waits for the slot as any remote of serve does.
        mark = server.mark()
        waiting = {}
        opener = threading.Thread(target=lambda: waiting.update(ser=server.connect(timeout=5)))
        opener.start()
        server.wait(r"waits for 127\.0\.0\.1:", mark)
        ser.close()
        opener.join()
        check("ser" in waiting, "the waiting client was not served")
        ser = waiting["ser"]
        check(round_trip(ser, b"fourth") == b"fourth", "the waiting client's echo is wrong")
        ser.close()
    finally:
        server.proc.terminate()
        code = server.proc.wait(20)
    check(code == 0, "cpd-host ended with %d" % code)
    print("ok")


if __name__ == "__main__":
    main()
