// cpd-host: a command-line host for the serial-port redirection plug-in.
#include <cstdio>
#include <exception>
#include <vector>

#include "cpd/host/framework/velmar_log.h"
#include "cpd/host/program/commands.h"
#include "cpd/host/program/net.h"
#include "cpd/host/program/options.h"
#include "cpd/host/program/os.h"
#include "cpd/host/program/virtual_ports.h"

namespace cpd::host {
namespace {

// Where the plug-in's log lines go: --log wins; otherwise the interactive commands keep the
// terminal clean and the others use standard error.
int SetUpLog(const Options& options) {
    if (options.logPath) {
        if (*options.logPath == "-") {
            velmarLogToStderr();
        } else if (velmarLogToFile(options.logPath->c_str(),
                                   static_cast<size_t>(options.logMaxBytes),
                                   options.logKeep) != 0) {
            Say("--log: cannot open " + *options.logPath);
            return kExitUsage;
        }
    } else if (options.command == Command::kTerm || options.command == Command::kDemo) {
        velmarLogOff();
    } else {
        velmarLogToStderr();
    }
    return kExitOk;
}

int Run(int argc, const char* const* argv) {
    PrepareProcess();
    const NetStartup net;
    Options options;
    std::string error;
    if (ParseOptions(argc, argv, &options, &error) != kExitOk) {
        Say(error);
        return kExitUsage;
    }
    if (options.command == Command::kHelp) {
        std::fputs(HelpText().c_str(), stdout);
        return kExitOk;
    }
    if (options.command == Command::kVersion) {
        std::printf("cpd-host %s\n", CPD_HOST_VERSION);
        return kExitOk;
    }
    const bool demo = options.command == Command::kDemo;
    if ((demo || !options.virtualSpecs.empty()) && !VirtualAdaptersSupported()) {
        Say(std::string(demo ? "demo" : "--virtual") +
            " is Linux-only: virtual adapters are Linux pseudo terminals; on Windows use a real "
            "port (cpd-host ports lists them)");
        return kExitUsage;
    }
    std::vector<VirtualSpec> specs;
    for (const std::string& text : options.virtualSpecs) {
        VirtualSpec spec;
        if (!ParseVirtualSpec(text, &spec, &error)) {
            Say(error);
            return kExitUsage;
        }
        specs.push_back(spec);
    }
    if (demo) {
        specs.push_back(DemoAdapterSpec());
    }
    if (!specs.empty() && !LoadInterposer(argv, &error)) {
        Say(error);
        return kExitVirtual;
    }
    int code = SetUpLog(options);
    if (code != kExitOk) {
        return code;
    }
    std::unique_ptr<VirtualPorts> virtualPorts = VirtualPorts::Create(specs, &error);
    if (virtualPorts == nullptr) {
        Say(error);
        return kExitVirtual;
    }
    switch (options.command) {
        case Command::kPorts:
            code = RunPorts(options);
            break;
        case Command::kTerm:
            code = RunTerm(options, *virtualPorts);
            break;
        case Command::kServe:
            code = RunServe(options, *virtualPorts);
            break;
        case Command::kDemo:
            code = RunDemo(options, *virtualPorts);
            break;
        default:
            code = kExitUsage;
            break;
    }
    velmarLogFlush();
    return code;
}

}  // namespace
}  // namespace cpd::host

int main(int argc, char** argv) {
    try {
        return cpd::host::Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cpd-host: internal error: %s\n", e.what());
        return cpd::host::kExitFailure;
    }
}
