// The commands of cpd-host. Each runs on the main thread, owns everything it starts, and returns
// the process exit code after printing its own messages.
#pragma once

#include <memory>
#include <string>

#include "cpd/host/program/options.h"
#include "cpd/host/program/plugin_loader.h"
#include "cpd/host/program/virtual_ports.h"

namespace cpd::host {

int RunPorts(const Options& options);
int RunTerm(const Options& options, const VirtualPorts& virtualPorts);
int RunServe(const Options& options, const VirtualPorts& virtualPorts);
int RunDemo(const Options& options, const VirtualPorts& virtualPorts);

// The description under which the demo's own virtual adapter appears.
VirtualSpec DemoAdapterSpec();

// Shared steps; each prints its message and returns an exit code (kExitOk on success).
int LoadPlugin(const Options& options, std::unique_ptr<Plugin>* plugin);
int CheckPortExists(const std::string& description);
// "cpd-host: " + text + newline on standard error.
void Say(const std::string& text);

}  // namespace cpd::host
