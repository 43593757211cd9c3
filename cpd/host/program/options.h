// The command line of cpd-host: one command, global options and the command's own options, in
// any order. Parsing has no side effects; the commands act on the result.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cpd/host/program/port_settings.h"

namespace cpd::host {

// Process exit codes; --help lists them.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,       // the session failed at run time (connection lost, bytes missing)
    kExitUsage = 2,         // unknown command or option, bad option value
    kExitPlugin = 3,        // plug-in not found, not loadable, or without CPD_DRV_MODULE
    kExitPortNotFound = 4,  // no serial port has exactly that description
    kExitNetwork = 5,       // address in use, cannot listen, cannot connect
    kExitVirtual = 6,       // a virtual adapter could not be created
    kExitNotSent = 7,       // term: the port did not take a write in time
};

enum class Command { kNone, kHelp, kVersion, kPorts, kTerm, kServe, kDemo };

struct Options {
    Command command = Command::kNone;
    // Global.
    std::string plugin;  // empty: the default next to the binary
    std::vector<std::string> virtualSpecs;
    bool trace = false;
    std::optional<std::string> logPath;            // "-" is standard error
    unsigned long long logMaxBytes = 10ull << 20;  // a log file is rotated before it grows past
    unsigned logKeep = 3;                          // rotated files kept (FILE.1 ... FILE.N)
    int devId = 1;
    // ports
    bool json = false;
    // term and serve
    std::optional<std::string> description;
    // term
    std::optional<std::string> connect;
    PortSettings settings;
    std::optional<unsigned> lingerMs;
    // term --connect and serve
    std::optional<std::string> tokenFile;
    // serve
    std::optional<std::string> listen;
    bool rfc2217 = false;  // Telnet COM-PORT-OPTION clients instead of packet frames
    bool allowRemote = false;
    unsigned idleTimeoutS = 600;
};

// kExitOk, or kExitUsage with a message naming the offending argument.
int ParseOptions(int argc, const char* const* argv, Options* out, std::string* error);

std::string HelpText();

}  // namespace cpd::host
