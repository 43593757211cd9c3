// Steps the commands share: Say, loading the plug-in, checking that the port exists.
#include <cstdio>
#include <vector>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/port_lookup.h"

namespace cpd::host {

void Say(const std::string& text) {
    std::fprintf(stderr, "cpd-host: %s\n", text.c_str());
}

int LoadPlugin(const Options& options, std::unique_ptr<Plugin>* plugin) {
    const std::string path = options.plugin.empty() ? DefaultPluginPath() : options.plugin;
    std::string error;
    *plugin = Plugin::Load(path, &error);
    if (*plugin == nullptr) {
        Say(error);
        return kExitPlugin;
    }
    return kExitOk;
}

int CheckPortExists(const std::string& description) {
    std::vector<PortInfo> ports;
    std::string error;
    if (!ListPorts(&ports, &error)) {
        Say(error);
        return kExitFailure;
    }
    const std::string problem = ExplainMissingPort(description, ports);
    if (!problem.empty()) {
        Say(problem);
        return kExitPortNotFound;
    }
    return kExitOk;
}

}  // namespace cpd::host
