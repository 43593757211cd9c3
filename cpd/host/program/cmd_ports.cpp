#include <cstdio>
#include <vector>

#include "cpd/host/program/commands.h"
#include "cpd/host/program/port_lookup.h"

namespace cpd::host {

namespace {

std::string Hex4(int value) {
    char buf[8];
    std::snprintf(buf, sizeof(buf), "%04x", value & 0xffff);
    return buf;
}

std::string JsonText(const std::optional<std::string>& text) {
    return text ? JsonString(*text) : "null";
}

std::string JsonNumber(const std::optional<int>& value) {
    return value ? std::to_string(*value) : "null";
}

void PrintJson(const std::vector<PortInfo>& ports) {
    std::printf("[");
    for (size_t i = 0; i < ports.size(); ++i) {
        const PortInfo& p = ports[i];
        std::printf(
            "%s\n  {\"description\": %s, \"port\": %s, \"transport\": %s, \"vid\": %s, "
            "\"pid\": %s, \"manufacturer\": %s, \"serial\": %s}",
            i == 0 ? "" : ",", JsonText(p.description).c_str(), JsonString(p.name).c_str(),
            JsonString(p.transport).c_str(), JsonNumber(p.vid).c_str(), JsonNumber(p.pid).c_str(),
            JsonText(p.manufacturer).c_str(), JsonText(p.serial).c_str());
    }
    std::printf("%s]\n", ports.empty() ? "" : "\n");
}

void PrintText(const std::vector<PortInfo>& ports) {
    for (const PortInfo& p : ports) {
        std::printf("%s\n", p.description ? Quote(*p.description).c_str()
                                          : "(no description: the plug-in cannot select it)");
        std::string details = "    port: " + p.name + "   transport: " + p.transport;
        if (p.vid && p.pid) {
            details += "   vid:pid: " + Hex4(*p.vid) + ":" + Hex4(*p.pid);
        }
        if (p.manufacturer) {
            details += "   manufacturer: " + Quote(*p.manufacturer);
        }
        if (p.serial) {
            details += "   serial: " + Quote(*p.serial);
        }
        std::printf("%s\n", details.c_str());
    }
}

}  // namespace

int RunPorts(const Options& options) {
    std::vector<PortInfo> ports;
    std::string error;
    if (!ListPorts(&ports, &error)) {
        Say(error);
        return kExitFailure;
    }
    if (options.json) {
        PrintJson(ports);
    } else if (ports.empty()) {
        Say("no serial ports found");
    } else {
        PrintText(ports);
    }
    return kExitOk;
}

}  // namespace cpd::host
