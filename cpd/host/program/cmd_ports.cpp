// `cpd-host ports`: the machine's serial ports as text or JSON.
#include <nlohmann/json.hpp>

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

// One object per port; absent details are null. Bytes that are not UTF-8 (a device's strings
// can hold anything) are replaced rather than refused.
void PrintJson(const std::vector<PortInfo>& ports) {
    auto orNull = [](const auto& value) { return value ? nlohmann::json(*value) : nullptr; };
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const PortInfo& p : ports) {
        list.push_back({{"description", orNull(p.description)},
                        {"port", p.name},
                        {"transport", p.transport},
                        {"vid", orNull(p.vid)},
                        {"pid", orNull(p.pid)},
                        {"manufacturer", orNull(p.manufacturer)},
                        {"serial", orNull(p.serial)}});
    }
    const std::string text = list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
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
