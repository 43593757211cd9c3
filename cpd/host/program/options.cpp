// cpd-host's command line (CLI11) and its help text.
#include "cpd/host/program/options.h"

#include <CLI/CLI.hpp>

#include <map>

namespace cpd::host {

namespace {

// Numbers outside [min, max] are refused with the accepted range; `apply` stores the value.
template <typename T, typename Apply>
CLI::Option* Number(CLI::App* app, const std::string& name, T min, T max, Apply apply) {
    return app->add_option_function<T>(name, apply)->check(CLI::Range(min, max));
}

// A byte count with an optional K, M or G (binary multiples): "1M" is 1048576; at most 1024G.
bool ParseSize(const std::string& text, unsigned long long* out) {
    static const std::string kUnits = "KMG";
    const size_t unit = text.empty() ? std::string::npos : kUnits.find(text.back());
    const std::string digits = unit == std::string::npos ? text : text.substr(0, text.size() - 1);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 15) {
        return false;
    }
    const unsigned shift = unit == std::string::npos ? 0 : 10 * static_cast<unsigned>(unit + 1);
    const unsigned long long value = std::stoull(digits);
    if (value > (1ull << 40) >> shift) {
        return false;
    }
    *out = value << shift;
    return true;
}

// The options every command takes; --dev-id is refused later by the commands without a device.
void AddGlobal(CLI::App& app, Options& o, bool* help, bool* version) {
    app.add_flag("-h,--help", *help);
    app.add_flag("--version", *version);
    app.add_option("--plugin", o.plugin);
    // One adapter per --virtual: a SPEC is never followed by a second value.
    app.add_option("--virtual", o.virtualSpecs)->allow_extra_args(false);
    app.add_flag("--trace", o.trace);
    app.add_option_function<std::string>("--log", [&o](const std::string& v) { o.logPath = v; });
    const CLI::Validator size(
        [](std::string& text) {
            unsigned long long bytes = 0;
            if (!ParseSize(text, &bytes)) {
                return "expected a size in bytes with an optional K, M or G (0: no limit, at "
                       "most 1024G), got \"" +
                       text + "\"";
            }
            text = std::to_string(bytes);
            return std::string();
        },
        "SIZE");
    app.add_option("--log-max-size", o.logMaxBytes)->transform(size);
    Number(&app, "--log-keep", 0u, 100u, [&o](unsigned v) { o.logKeep = v; });
    Number(&app, "--dev-id", 1, 255, [&o](int v) { o.devId = v; });
}

void AddTermSettings(CLI::App& term, Options& o) {
    PortSettings& s = o.settings;
    term.add_option("description", o.description);
    term.add_option("--connect", o.connect);
    Number(&term, "--baud", 1u, 0x7fffffffu, [&s](uint32_t v) { s.baud = v; });
    Number(&term, "--data-bits", 5, 8, [&s](int v) { s.dataBits = static_cast<uint8_t>(v); });
    Number(&term, "--stop-bits", 1, 2, [&s](int v) { s.stopBits = static_cast<uint8_t>(v); });
    // The plug-in takes 1 to 4094 ms and silently keeps its old timeout otherwise.
    Number(&term, "--read-timeout", 1u, 4094u, [&s](uint32_t v) { s.readTimeoutMs = v; });
    // The plug-in's read buffer holds 4096 bytes; it caps longer reads there.
    Number(&term, "--read-length", uint64_t{1}, uint64_t{4096},
           [&s](uint64_t v) { s.readLength = v; });
    static const std::map<std::string, ParitySetting> kParities = {
        {"none", ParitySetting::kNone},
        {"odd", ParitySetting::kOdd},
        {"even", ParitySetting::kEven},
        {"mark", ParitySetting::kMark},
        {"space", ParitySetting::kSpace}};
    term.add_option_function<std::string>(
            "--parity", [&s](const std::string& v) { s.parity = kParities.at(v); })
        ->check(CLI::IsMember(kParities));
    term.add_flag("--dtr-pulse", s.dtrPulse);
    term.add_flag("--flow-off", s.flowOff);
}

// What is left over after parsing, in the words of the user's mistake.
std::string Leftover(const CLI::App& app, Command command) {
    const std::string word = app.remaining().front();
    if (!word.empty() && word[0] == '-') {
        const std::string name = word.substr(0, word.find('='));
        for (const CLI::App* other : app.get_subcommands({})) {
            if (other->get_option_no_throw(name) != nullptr) {
                return name + " does not apply to this command";
            }
        }
        return "unknown option " + word + " (see cpd-host --help)";
    }
    if (command == Command::kNone) {
        return "unknown command \"" + word + "\" (ports, term, serve, demo, help)";
    }
    return "unexpected argument \"" + word + "\"";
}

int Check(const Options& o, bool devIdGiven, std::string* error) {
    const bool hasDevice = o.command == Command::kTerm || o.command == Command::kServe;
    if (devIdGiven && !hasDevice) {
        *error = "--dev-id does not apply to this command";
    } else if (o.command == Command::kNone) {
        *error = "no command given (ports, term, serve, demo; see cpd-host --help)";
    } else if (o.command == Command::kTerm && o.connect.has_value() == o.description.has_value()) {
        *error = "term needs either a port description or --connect HOST:PORT";
    } else if (o.command == Command::kTerm && o.connect && devIdGiven) {
        *error = "--dev-id does not apply with --connect: the server's report sets it";
    } else if (o.command == Command::kTerm && o.tokenFile && !o.connect) {
        *error = "--token-file goes with --connect";
    } else if (o.command == Command::kServe && o.rfc2217 && (o.allowRemote || o.tokenFile)) {
        *error =
            "--rfc2217 serves loopback only and takes no token (RFC 2217 clients cannot send "
            "one); reach it from elsewhere through an SSH tunnel to a loopback port";
    } else if (o.command == Command::kServe && o.allowRemote && !o.tokenFile) {
        *error =
            "--allow-remote needs --token-file FILE: remotes beyond this machine must "
            "prove they know the token";
    } else if (o.command == Command::kServe && (!o.description || !o.listen)) {
        *error = "serve needs --listen HOST:PORT and a port description";
    } else {
        return kExitOk;
    }
    return kExitUsage;
}

}  // namespace

int ParseOptions(int argc, const char* const* argv, Options* out, std::string* error) {
    Options o;
    bool help = false;
    bool version = false;
    CLI::App app("cpd-host");
    // --help prints the hand-written text below, and unknown words get our own messages.
    app.set_help_flag();
    app.allow_extras();
    AddGlobal(app, o, &help, &version);
    const std::map<Command, CLI::App*> commands = {{Command::kPorts, app.add_subcommand("ports")},
                                                   {Command::kTerm, app.add_subcommand("term")},
                                                   {Command::kServe, app.add_subcommand("serve")},
                                                   {Command::kDemo, app.add_subcommand("demo")},
                                                   {Command::kHelp, app.add_subcommand("help")}};
    for (const auto& [command, sub] : commands) {
        // Global options may come after the command as well.
        sub->fallthrough()->set_help_flag();
    }
    commands.at(Command::kPorts)->add_flag("--json", o.json);
    AddTermSettings(*commands.at(Command::kTerm), o);
    CLI::App& serve = *commands.at(Command::kServe);
    serve.add_option("description", o.description);
    serve.add_option("--listen", o.listen);
    serve.add_flag("--allow-remote", o.allowRemote);
    serve.add_flag("--rfc2217", o.rfc2217);
    Number(&serve, "--idle-timeout", 1u, 86400u, [&o](unsigned v) { o.idleTimeoutS = v; });
    for (CLI::App* sub : {commands.at(Command::kTerm), &serve}) {
        Number(sub, "--linger", 0u, 600000u, [&o](unsigned v) { o.lingerMs = v; });
        sub->add_option("--token-file", o.tokenFile);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        *error = e.what();
        return kExitUsage;
    }
    for (const auto& [command, sub] : commands) {
        if (sub->parsed()) {
            o.command = command;
        }
    }
    if (help || version) {
        o.command = help ? Command::kHelp : Command::kVersion;
    }
    if (o.command == Command::kHelp || o.command == Command::kVersion) {
        *out = o;
        return kExitOk;
    }
    if (!app.remaining().empty()) {
        *error = Leftover(app, o.command);
        return kExitUsage;
    }
    if (Check(o, app.get_option("--dev-id")->count() > 0, error) != kExitOk) {
        return kExitUsage;
    }
    *out = o;
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
                                 [--token-file FILE]
  cpd-host [global options] serve --listen HOST:PORT "<description>" [--dev-id N]
                                  [--linger MS] [--idle-timeout S] [--allow-remote]
                                  [--token-file FILE]
  cpd-host [global options] serve --rfc2217 --listen HOST:PORT "<description>" [--dev-id N]
                                  [--linger MS] [--idle-timeout S]
  cpd-host [global options] demo

Commands:
  ports    List the serial ports as the plug-in selects them: the exact description text
           (quoted; selection is by exact equality), port name, transport, VID:PID,
           manufacturer and serial number. --json prints a JSON array instead.
  term     Interactive terminal through the plug-in: prints the port's configuration report
           on standard error, sends the requested settings, starts reading, then copies
           standard input to the port and the port's bytes to standard output. On a terminal
           input is raw and Ctrl-] quits; with piped input, end of input waits until the line
           can have carried the last byte at its baud rate and the port has then been quiet for
           --linger MS (default 1000, or two read timeouts if longer), and closes.
           With --connect the plug-in runs in a `cpd-host serve` process and packets travel
           over TCP; the device id is taken from the server's report. --token-file FILE
           sends the token in FILE first, for a server that asks for one.
  serve    Waits for one remote side at a time on HOST:PORT, or on 127.0.0.1 for a bare PORT
           (port 0 picks a free one, printed on standard error). The plug-in's device
           is opened when a remote connects and closed when it leaves. A remote arriving
           meanwhile waits up to 3 s for the slot; later ones are refused. A malformed frame
           (bad magic, length below 16 or above 1 MiB) ends that connection; the server then
           waits for the next. Stops on SIGINT or SIGTERM.
           Once a remote has sent its last frame (it shut down its sending side, or closed),
           what the port sends still reaches it until it closes or the line has been quiet
           for --linger MS (default 1000). --idle-timeout S (default 600) closes a remote that
           has sent no frame for S seconds.
           Listening on anything but loopback needs --allow-remote and --token-file FILE; the
           addresses actually listened on are printed. With --token-file every remote's first
           frame must carry the token in FILE (term --connect ... --token-file FILE): a wrong or
           missing token closes the connection within 10 s. A FILE that does not exist is
           created, readable by its owner only, with a random token. Over an untrusted
           network prefer an SSH tunnel to a loopback port: the token is sent in the clear.
           With --rfc2217 the remote is any RFC 2217 (Telnet COM-PORT-OPTION) client, e.g.
           pyserial's rfc2217://HOST:PORT: its settings become the plug-in's requests, its
           bytes are written to the port and the port's bytes come back to it. The same slot,
           linger and idle rules apply (a client that only listens is closed after
           --idle-timeout too). RFC 2217 has no place for a token, so --rfc2217 listens on
           loopback only; from another machine use an SSH tunnel to that loopback port,
           e.g. ssh -L 7000:127.0.0.1:7000 THIS-HOST, then rfc2217://127.0.0.1:7000 there.
  demo     Self-contained check for a machine without serial hardware (Linux only): a virtual
           adapter with an echo device, the real plug-in, a short remote session with the decoded trace and
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
  --plugin PATH         plug-in to load (default: liblocal_serial_redir.so next to cpd-host,
                        local_serial_redir.dll on Windows)
  --virtual SPEC        add a virtual USB serial adapter inside this process before the command
                        runs (repeatable; Linux only). SPEC is comma-separated KEY=VALUE, all optional:
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
  7  term: the port did not take a write within the plug-in's 500 ms limit (the device stopped
     reading, or flow control held it); the message says how many bytes were not sent. Writes
     are paced for the baud rate, so a healthy line never causes this. With --connect
     only the server's log shows such a failure
)";
}

}  // namespace cpd::host
