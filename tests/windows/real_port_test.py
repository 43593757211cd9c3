#!/usr/bin/env python3
"""The Windows ZIP as a user unzips it, under Wine, with the real libserialport.dll, on a pty
that Wine maps as COM5. Each part says which libserialport.dll it runs on:

  bundle       the ZIP's files, libserialport.dll's imports, its corresponding source
  shipped DLL  `ports` and `ports --json` list COM5 (Wine gives ports no description), and
               `term "COM5"` says the port exists but cannot be selected (exit 4)
  test build   the same sources with the friendly-name lookup answered from the registry
               (registry_names.c), so that a port can be selected under Wine: `ports --json`
               shows the description, a `term` session echoes 64 KiB of random bytes at
               115200 baud, the settings reach the pty, and a device that stops reading ends
               `term` with exit 7 and the count of bytes not sent

The test makes a Wine prefix of its own and removes it at the end. Wine maps every
/dev/ttyS* (possibly the machine's console) as a COM port at each start: those mappings are
removed before any program runs, so only the test's pty is ever opened. Wine fails a read
that gets no byte with ERROR_TIMEOUT, which the plug-in logs as "Read failed": those log lines
are expected; any other Error line fails the test.
"""
import argparse
import fcntl
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tarfile
import termios
import threading
import time
import zipfile

DESCRIPTION = "Test UART (COM5)"
ECHO_BYTES = 64 * 1024
IMPORTS = {"setupapi.dll", "advapi32.dll", "ucrtbase.dll", "kernel32.dll"}
# Wine's ERROR_TIMEOUT on reads that got nothing; a genuine read failure looks the same on
# Windows, where empty reads succeed.
WINE_EMPTY_READ = "Read failed: System error"

failures = []


def check(ok, what, detail=""):
    print(("PASS " if ok else "FAIL ") + what + (f"\n    {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)
    return ok


class Device:
    """The far end of the pty: echoes what it reads, or stops reading; records the line
    settings the first time bytes arrive (the plug-in applies them before it writes)."""

    def __init__(self, master):
        self.master = master
        self.echo = True
        self.settings = None
        self._stop = False
        self._thread = threading.Thread(target=self._run)
        self._thread.start()

    def _run(self):
        while not self._stop:
            if not self.echo:
                time.sleep(0.02)
                continue
            if not select.select([self.master], [], [], 0.05)[0]:
                continue
            data = os.read(self.master, 65536)
            if self.settings is None:
                self.settings = termios.tcgetattr(self.master)
            os.write(self.master, data)

    def stop(self):
        self._stop = True
        self._thread.join()


class Wine:
    def __init__(self, args, prefix):
        self.args = args
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winedbg.exe=d")
        self.env.pop("DISPLAY", None)
        self.prefix = prefix

    def quiet(self, *command):
        subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    def server(self, *options):
        self.quiet(self.args.wineserver, *options)

    def run(self, *command, data=b"", timeout=120):
        return subprocess.run([self.args.wine, *command], env=self.env, input=data,
                              capture_output=True, timeout=timeout)

    def unmap_other_ports(self):
        """Leaves COM5 the only COM port the prefix knows: the DOS device links Wine made for
        /dev/ttyS* go, and so do their entries in the registry's port list (COMn's is
        \\Device\\Serial<n-1>; the list's key is volatile, so values go one by one)."""
        dosdevices = os.path.join(self.prefix, "dosdevices")
        entries = ""
        for name in os.listdir(dosdevices):
            number = re.fullmatch(r"com(\d+)", name)
            if number and name != "com5":
                os.unlink(os.path.join(dosdevices, name))
                entries += f"\"\\\\Device\\\\Serial{int(number[1]) - 1}\"=-\n"
        reg = os.path.join(self.prefix, "serialcomm.reg")
        with open(reg, "w") as f:
            f.write("Windows Registry Editor Version 5.00\n\n"
                    f"[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n{entries}")
        self.quiet(self.args.wine, "regedit", "/S", reg)


def make_prefix(wine, link):
    """A new prefix where COM5 is `link` and a device registered for COM5 has the friendly
    name the test build of the library reads."""
    started = time.monotonic()
    wine.quiet(wine.args.wine, "wineboot", "--init")
    reg = os.path.join(wine.prefix, "setup.reg")
    device = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\CPDTEST\\UART\\0"
    with open(reg, "w") as f:
        f.write("Windows Registry Editor Version 5.00\n\n"
                "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"
                f"\"COM5\"=\"{link}\"\n\n"
                f"[{device}]\n\"FriendlyName\"=\"{DESCRIPTION}\"\n"
                "\"ClassGUID\"=\"{4d36e978-e325-11ce-bfc1-08002be10318}\"\n\n"
                f"[{device}\\Device Parameters]\n\"PortName\"=\"COM5\"\n")
    wine.quiet(wine.args.wine, "regedit", "/S", reg)
    # Wine maps COM ports when a session starts: a new one for the new mapping.
    wine.server("-k")
    wine.server("-w")
    wine.server("-p", "120")
    wine.quiet(wine.args.wine, "wineboot")
    wine.unmap_other_ports()
    print(f"Wine prefix made and started in {time.monotonic() - started:.1f} s")


def unzip_bundle(args, work):
    subprocess.run([args.cpack, "--config", os.path.join(args.build, "CPackConfig.cmake"),
                    "-B", os.path.join(work, "package")], check=True,
                   stdout=subprocess.DEVNULL, timeout=300)
    [archive] = [f for f in os.listdir(os.path.join(work, "package")) if f.endswith(".zip")]
    with zipfile.ZipFile(os.path.join(work, "package", archive)) as z:
        z.extractall(os.path.join(work, "unzipped"))
    [top] = os.listdir(os.path.join(work, "unzipped"))
    return os.path.join(work, "unzipped", top)


def check_bundle(args, bundle):
    print("-- bundle")
    files = {os.path.relpath(os.path.join(d, f), bundle) for d, _, fs in os.walk(bundle)
             for f in fs}
    wanted = {"cpd-host.exe", "local_serial_redir.dll", "cpd_utils.dll", "cpd_log.dll",
              "libserialport.dll", "README-windows.txt", "LICENSE",
              "licences/libserialport/COPYING", "licences/libserialport/GPL-3.txt",
              "licences/libserialport/NOTICE.txt", "licences/libserialport/AUTHORS"}
    check(wanted <= files, "the ZIP holds the binaries, LICENSE and libserialport's licences",
          f"missing: {sorted(wanted - files)}")
    dump = subprocess.run([args.objdump, "-p", os.path.join(bundle, "libserialport.dll")],
                          capture_output=True, text=True, check=True).stdout
    imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump)}
    check(imports == IMPORTS, "libserialport.dll imports only " + ", ".join(sorted(IMPORTS)),
          f"imports: {sorted(imports)}")
    [tarball] = [f for f in files if f.endswith("-source.tar.gz")] or [None]
    if not check(tarball is not None, "the ZIP holds libserialport's source tarball"):
        return
    differing = []
    with tarfile.open(os.path.join(bundle, tarball)) as tar:
        members = [m for m in tar.getmembers() if m.isfile()]
        for member in members:
            name = member.name.split("/", 1)[1]
            if name == "BUILDING-windows.txt":
                continue
            with open(os.path.join(args.sources, name), "rb") as f:
                if tar.extractfile(member).read() != f.read():
                    differing.append(name)
        names = {m.name.split("/", 1)[1] for m in members}
    check(not differing and {"serialport.c", "windows.c", "timing.c", "libserialport.h",
                             "BUILDING-windows.txt"} <= names,
          "the source tarball is the folder the DLL was built from, with the build note",
          f"differing: {differing}; files: {sorted(names)}")


def port_list(wine, host):
    run = wine.run(host, "ports", "--json")
    try:
        return {p["port"]: p["description"] for p in json.loads(run.stdout)}
    except ValueError:
        return {"unreadable output": run.stdout.decode(errors="replace") + run.stderr.decode()}


def check_shipped_dll(wine, host):
    print("-- shipped libserialport.dll")
    ports = port_list(wine, host)
    check(ports == {"COM5": None}, "ports --json lists COM5, without a description (Wine)",
          f"ports: {ports}")
    text = wine.run(host, "ports").stdout.decode()
    check("port: COM5" in text, "ports lists COM5", text)
    run = wine.run(host, "term", "COM5")
    message = run.stderr.decode()
    check(run.returncode == 4 and "COM5 exists but has no description" in message,
          'term "COM5" says the port exists but has no description (exit 4)',
          f"exit {run.returncode}: {message}")


def check_test_build(wine, host, device, work):
    print("-- test build of libserialport.dll (friendly name from the registry)")
    ports = port_list(wine, host)
    check(ports == {"COM5": DESCRIPTION}, f'ports --json describes COM5 as "{DESCRIPTION}"',
          f"ports: {ports}")

    data = os.urandom(ECHO_BYTES)
    log = os.path.join(work, "term.log")
    started = time.monotonic()
    run = wine.run(host, "--log", log, "term", DESCRIPTION, "--baud", "115200", "--stop-bits",
                   "2", "--flow-off", "--dtr-pulse", "--read-timeout", "20", data=data)
    seconds = time.monotonic() - started
    check(run.returncode == 0 and run.stdout == data,
          f"term echoes {ECHO_BYTES} random bytes byte-exactly at 115200 baud",
          f"exit {run.returncode}, {len(run.stdout)} bytes back: {run.stderr.decode()}")
    # 8 data bits and 2 stop bits: 11 bits a byte on the line.
    print(f"    {len(run.stdout)} bytes echoed in {seconds:.2f} s "
          f"(the line needs {ECHO_BYTES * 11 / 115200:.2f} s)")

    seen = device.settings
    if check(seen is not None, "the pty saw the session's bytes"):
        iflag, cflag, speed = seen[0], seen[2], seen[5]
        flags = {"CSTOPB": cflag & termios.CSTOPB, "CRTSCTS": cflag & termios.CRTSCTS,
                 "IXON": iflag & termios.IXON, "IXOFF": iflag & termios.IXOFF}
        shown = ("B115200" if speed == termios.B115200 else f"speed {speed}") + ", " + \
            ", ".join(f"{name} {int(bool(value))}" for name, value in flags.items())
        check(speed == termios.B115200 and flags["CSTOPB"] and not flags["CRTSCTS"] and
              not flags["IXON"] and not flags["IXOFF"],
              "the pty's termios shows 115200 baud, 2 stop bits, RTS/CTS and XON/XOFF off "
              "(it started at 38400 baud, 1 stop bit, both flow controls on)", shown)
        try:
            fcntl.ioctl(device.master, termios.TIOCMGET, b"\0\0\0\0")
            modem = "readable"
        except OSError as error:
            modem = f"not readable on a pty (TIOCMGET: {error.strerror})"
        print(f"    termios seen: {shown}; DTR {modem}")
    lines = open(log, errors="replace").read().splitlines()
    errors = [line for line in lines if " E " in line]
    others = [line for line in errors if WINE_EMPTY_READ not in line]
    check(any("set baudrate:115200" in line for line in lines) and
          any("DRIVER_CLR_DTR_TO_USER" in line for line in lines) and not others,
          "the plug-in's log shows the settings and the DTR pulse; its only errors are "
          "Wine's empty reads", "\n    ".join(others or lines[-5:]))
    print(f"    {len(errors)} \"{WINE_EMPTY_READ}\" lines (Wine's ERROR_TIMEOUT), tolerated")

    # A fast line so the pty's buffer fills quickly once the device stops reading.
    device.echo = False
    run = wine.run(host, "term", DESCRIPTION, "--baud", "921600", "--flow-off",
                   data=os.urandom(1 << 20))
    message = run.stderr.decode()
    unsent = re.search(r"\d+ bytes not sent", message)
    if check(run.returncode == 7 and unsent is not None,
             "a device that stops reading ends term with exit 7 and the bytes not sent",
             f"exit {run.returncode}: {message}"):
        print(f"    {unsent[0]}")


def main():
    parser = argparse.ArgumentParser()
    for option in ("cpack", "build", "test-dll", "objdump", "sources", "wine", "wineserver",
                   "work"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)

    master, slave = os.openpty()
    # Start from settings the plug-in must change: flow control both ways, 1 stop bit, 38400.
    attributes = termios.tcgetattr(slave)
    attributes[0] |= termios.IXON | termios.IXOFF
    attributes[2] |= termios.CRTSCTS
    termios.tcsetattr(slave, termios.TCSANOW, attributes)
    link = os.path.join(work, "com5")
    os.symlink(os.ttyname(slave), link)

    bundle = unzip_bundle(args, work)
    check_bundle(args, bundle)
    wine = Wine(args, os.path.join(work, "wineprefix"))
    device = None
    try:
        make_prefix(wine, link)
        installed = os.path.join(wine.prefix, "drive_c", "local-serial-redir")
        shutil.copytree(bundle, installed)
        check_shipped_dll(wine, os.path.join(installed, "cpd-host.exe"))
        test_build = os.path.join(wine.prefix, "drive_c", "test-build")
        shutil.copytree(bundle, test_build)
        shutil.copy(args.test_dll, os.path.join(test_build, "libserialport.dll"))
        device = Device(master)
        check_test_build(wine, os.path.join(test_build, "cpd-host.exe"), device, work)
    finally:
        if device is not None:
            device.stop()
        wine.server("-k")
        wine.server("-w")
        shutil.rmtree(wine.prefix, ignore_errors=True)
    print("all passed" if not failures else f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
