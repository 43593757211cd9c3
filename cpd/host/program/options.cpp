#include "cpd/host/program/options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace cpd::host {

namespace {

bool ParseNumber(const std::string& text, unsigned long long min, unsigned long long max,
                 unsigned long long* out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

// A byte count with an optional K, M or G (binary multiples): "1M" is 1048576.
bool ParseSize(const std::string& text, unsigned long long* out) {
    static const std::string kUnits = "KMG";
    const size_t unit = text.empty() ? std::string::npos : kUnits.find(text.back());
    const std::string digits = unit == std::string::npos ? text : text.substr(0, text.size() - 1);
    unsigned long long value = 0;
    const unsigned shift = unit == std::string::npos ? 0 : 10 * static_cast<unsigned>(unit + 1);
    if (!ParseNumber(digits, 0, 1ull << 40, &value) || value > (1ull << 40) >> shift) {
        return false;
    }
    *out = value << shift;
    return true;
}

struct Parser {
    Options* options;
    std::string* error;

    // Reads a whole number into `apply`, or explains the accepted range.
    bool Number(const std::string& name, const std::string& value, unsigned long long min,
                unsigned long long max, const std::function<void(unsigned long long)>& apply) {
        unsigned long long number = 0;
        if (!ParseNumber(value, min, max, &number)) {
            *error = name + ": expected a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", got \"" + value + "\"";
            return false;
        }
        apply(number);
        return true;
    }

    bool Valued(const std::string& name, const std::string& value) {
        Options& o = *options;
        PortSettings& s = o.settings;
        if (name == "--plugin") {
            o.plugin = value;
        } else if (name == "--virtual") {
            o.virtualSpecs.push_back(value);
        } else if (name == "--log") {
            o.logPath = value;
        } else if (name == "--log-max-size") {
            if (!ParseSize(value, &o.logMaxBytes)) {
                *error = name +
                         ": expected a size in bytes with an optional K, M or G (0: no "
                         "limit, at most 1024G), got \"" +
                         value + "\"";
                return false;
            }
        } else if (name == "--log-keep") {
            return Number(name, value, 0, 100,
                          [&](auto v) { o.logKeep = static_cast<unsigned>(v); });
        } else if (name == "--dev-id") {
            return Number(name, value, 1, 255, [&](auto v) { o.devId = static_cast<int>(v); });
        } else if (name == "--connect") {
            o.connect = value;
        } else if (name == "--listen") {
            o.listen = value;
        } else if (name == "--baud") {
            return Number(name, value, 1, 0x7fffffff,
                          [&](auto v) { s.baud = static_cast<uint32_t>(v); });
        } else if (name == "--data-bits") {
            return Number(name, value, 5, 8, [&](auto v) { s.dataBits = static_cast<uint8_t>(v); });
        } else if (name == "--stop-bits") {
            return Number(name, value, 1, 2, [&](auto v) { s.stopBits = static_cast<uint8_t>(v); });
        } else if (name == "--read-timeout") {
            // The plug-in takes 1 to 4094 ms and silently keeps its old timeout otherwise.
            return Number(name, value, 1, 4094,
                          [&](auto v) { s.readTimeoutMs = static_cast<uint32_t>(v); });
        } else if (name == "--read-length") {
            // The plug-in's read buffer holds 4096 bytes; it caps longer reads there.
            return Number(name, value, 1, 4096, [&](auto v) { s.readLength = v; });
        } else if (name == "--linger") {
            return Number(name, value, 0, 600000,
                          [&](auto v) { o.lingerMs = static_cast<unsigned>(v); });
        } else if (name == "--parity") {
            static const std::map<std::string, ParitySetting> kParities = {
                {"none", ParitySetting::kNone},
                {"odd", ParitySetting::kOdd},
                {"even", ParitySetting::kEven},
                {"mark", ParitySetting::kMark},
                {"space", ParitySetting::kSpace}};
            const auto it = kParities.find(value);
            if (it == kParities.end()) {
                *error = "--parity: expected none, odd, even, mark or space, got \"" + value + "\"";
                return false;
            }
            s.parity = it->second;
        }
        return true;
    }

    bool Flag(const std::string& name) {
        if (name == "--trace") {
            options->trace = true;
        } else if (name == "--json") {
            options->json = true;
        } else if (name == "--dtr-pulse") {
            options->settings.dtrPulse = true;
        } else if (name == "--flow-off") {
            options->settings.flowOff = true;
        } else if (name == "--help" || name == "-h") {
            options->command = Command::kHelp;
        } else if (name == "--version") {
            options->command = Command::kVersion;
        } else {
            return false;
        }
        return true;
    }

    bool Positional(const std::string& word) {
        Options& o = *options;
        if (o.command == Command::kHelp || o.command == Command::kVersion) {
            return true;
        }
        if (o.command == Command::kNone) {
            static const std::map<std::string, Command> kCommands = {{"ports", Command::kPorts},
                                                                     {"term", Command::kTerm},
                                                                     {"serve", Command::kServe},
                                                                     {"demo", Command::kDemo},
                                                                     {"help", Command::kHelp}};
            const auto it = kCommands.find(word);
            if (it == kCommands.end()) {
                *error = "unknown command \"" + word + "\" (ports, term, serve, demo, help)";
                return false;
            }
            o.command = it->second;
            return true;
        }
        if ((o.command == Command::kTerm || o.command == Command::kServe) && !o.description) {
            o.description = word;
            return true;
        }
        *error = "unexpected argument \"" + word + "\"";
        return false;
    }
};

const char* const kValued[] = {"--plugin",    "--virtual",      "--log",         "--dev-id",
                               "--connect",   "--listen",       "--baud",        "--data-bits",
                               "--stop-bits", "--read-timeout", "--read-length", "--linger",
                               "--parity",    "--log-max-size", "--log-keep"};

bool IsValued(const std::string& name) {
    for (const char* known : kValued) {
        if (name == known) {
            return true;
        }
    }
    return false;
}

// Which command may use each command-specific option.
bool Allowed(const std::string& name, Command command) {
    static const std::map<std::string, std::vector<Command>> kOwners = {
        {"--json", {Command::kPorts}},        {"--connect", {Command::kTerm}},
        {"--listen", {Command::kServe}},      {"--dev-id", {Command::kTerm, Command::kServe}},
        {"--baud", {Command::kTerm}},         {"--data-bits", {Command::kTerm}},
        {"--parity", {Command::kTerm}},       {"--stop-bits", {Command::kTerm}},
        {"--read-timeout", {Command::kTerm}}, {"--read-length", {Command::kTerm}},
        {"--dtr-pulse", {Command::kTerm}},    {"--flow-off", {Command::kTerm}},
        {"--linger", {Command::kTerm}}};
    const auto it = kOwners.find(name);
    if (it == kOwners.end()) {
        return true;
    }
    for (Command owner : it->second) {
        if (owner == command) {
            return true;
        }
    }
    return false;
}

}  // namespace

int ParseOptions(int argc, const char* const* argv, Options* out, std::string* error) {
    Options options;
    Parser parser{&options, error};
    std::vector<std::string> used;
    bool positionalOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (positionalOnly || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!parser.Positional(arg)) {
                return kExitUsage;
            }
            continue;
        }
        if (arg == "--") {
            positionalOnly = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (IsValued(name)) {
            if (!value) {
                if (i + 1 >= argc) {
                    *error = name + " needs a value";
                    return kExitUsage;
                }
                value = argv[++i];
            }
            if (!parser.Valued(name, *value)) {
                return kExitUsage;
            }
        } else if (value || !parser.Flag(name)) {
            *error = "unknown option " + arg + " (see cpd-host --help)";
            return kExitUsage;
        }
        used.push_back(name);
    }
    if (options.command == Command::kHelp || options.command == Command::kVersion) {
        *out = options;
        return kExitOk;
    }
    if (options.command == Command::kNone) {
        *error = "no command given (ports, term, serve, demo; see cpd-host --help)";
        return kExitUsage;
    }
    for (const std::string& name : used) {
        if (!Allowed(name, options.command)) {
            *error = name + " does not apply to this command";
            return kExitUsage;
        }
    }
    if (options.command == Command::kTerm) {
        if (options.connect.has_value() == options.description.has_value()) {
            *error = "term needs either a port description or --connect HOST:PORT";
            return kExitUsage;
        }
        if (options.connect && options.devId != 1) {
            *error = "--dev-id does not apply with --connect: the server's report sets it";
            return kExitUsage;
        }
    }
    if (options.command == Command::kServe && (!options.description || !options.listen)) {
        *error = "serve needs --listen HOST:PORT and a port description";
        return kExitUsage;
    }
    *out = options;
    return kExitOk;
}

std::string HelpText() {
    return R"(cpd-host - command-line host for the serial-port redirection plug-in

Loads the plug-in (liblocal_serial_redir.so) by path through its CPD_DRV_MODULE, gives it a
device whose selection text is a port description, and plays the remote side of the
redirection.

Usage:
  cpd-host [global options] ports [--json]
  cpd-host [global options] term "<description>" [settings] [--dev-id N] [--linger MS]
  cpd-host [global options] term --connect HOST:PORT [settings] [--linger MS]
  cpd-host [global options] serve --listen HOST:PORT "<description>" [--dev-id N]
  cpd-host [global options] demo

Commands:
  ports    List the serial ports as the plug-in selects them: the exact description text
           (quoted; selection is by exact equality), port name, transport, VID:PID,
           manufacturer and serial number. --json prints a JSON array instead.
  term     Interactive terminal through the plug-in: prints the port's configuration report
           on standard error, sends the requested settings, starts reading, then copies
           standard input to the port and the port's bytes to standard output. On a terminal
           input is raw and Ctrl-] quits; with piped input, end of input waits for the port to
           go quiet for --linger MS (default 1000, or two read timeouts if longer) and closes.
           With --connect the plug-in runs in a `cpd-host serve` process and packets travel
           over TCP; the device id is taken from the server's report.
  serve    Waits for one remote side at a time on HOST:PORT, or on 127.0.0.1 for a bare PORT
           (port 0 picks a free one, printed on standard error). The plug-in's device
           is opened when a remote connects and closed when it leaves. A malformed frame (bad
           magic, length below 16 or above 1 MiB) ends that connection; the server then waits
           for the next. Stops on SIGINT or SIGTERM.
  demo     Self-contained check for a machine without serial hardware: a virtual adapter with
           an echo device, the real plug-in, a short remote session with the decoded trace and
           a one-line verdict. Exit code 0 only if every byte came back. Never touches a real tty.

Settings (term), sent as SET_CONFIG requests before reading starts:
  --baud N              baud rate
  --data-bits 5..8      \
  --parity P            | one line-control request; the values not given keep the port's
  --stop-bits 1|2       / (P: none, odd, even, mark, space; stop bits as a count)
  --read-timeout MS     read timeout of the plug-in's read loop, 1 to 4094. The plug-in sends
                        what it read once a read is full (4095 bytes by default) or times out
                        (500 ms until set), so for snappy typing use e.g. --read-timeout 20
  --read-length N       bytes asked for per read, 1 to 4096
  --flow-off            switch flow control off (XON/XOFF would swallow bytes 0x11 and 0x13)
  --dtr-pulse           drop DTR briefly (it ends raised)

Global options:
  --plugin PATH         plug-in to load (default: liblocal_serial_redir.so next to cpd-host)
  --virtual SPEC        add a virtual USB serial adapter inside this process before the command
                        runs (repeatable). SPEC is comma-separated KEY=VALUE, all optional:
                          product=TEXT       (default "Virtual UART")
                          manufacturer=TEXT  (default "cpd-host")
                          serial=TEXT        (description becomes "<product> - <serial>")
                          vid=HEX, pid=HEX   (default 0403:6001)
                          peer=echo          far end sends back every byte (default)
                          peer=none          far end left silent
                          peer=unix:PATH     far end served on a unix socket: connect to PATH
                                             to play the device (one client at a time)
                        While any --virtual is given, the machine's real ports are hidden.
                        Example: --virtual 'product=Virtual UART,serial=VS01,peer=echo'
  --trace               one decoded line per packet and direction on standard error (standard
                        output for demo): "remote>plugin" packets the remote side sends,
                        "plugin>remote" packets the plug-in sends; after each SET_CONFIG a
                        virtual adapter's line settings are shown as well
  --log FILE            the plug-in's log lines go to FILE ("-": standard error). Default:
                        standard error for serve and ports; off for term and demo, so the log
                        does not mix with the terminal
  --log-max-size SIZE   rotate the log file before it grows past SIZE bytes (suffix K, M or G;
                        default 10M; 0: no limit): FILE becomes FILE.1, FILE.1 becomes
                        FILE.2, and so on
  --log-keep N          rotated log files kept, 0 to 100 (default 3); at most N + 1 files of
                        SIZE each are on disk
  --dev-id N            device id the plug-in is given, 1 to 255 (default 1)
  --help, --version

Exit codes:
  0  success (demo: every byte came back)
  1  run-time failure: connection lost, no configuration report, bytes missing
  2  usage: unknown command or option, bad option value, log file cannot be opened
  3  plug-in not found, not loadable, or without CPD_DRV_MODULE
  4  no serial port has exactly that description (the message lists the ones found and
     points out a description that differs only in case or blanks)
  5  network: address in use, cannot listen, cannot connect
  6  a virtual adapter could not be created
)";
}

}  // namespace cpd::host
