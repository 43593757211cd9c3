// The machine's serial ports as the plug-in's selection sees them (libserialport's list and
// description texts), and the check a host makes before opening a redirection: the plug-in
// only selects by exact description and would merely log "sp_open failed" on a miss.
// Plain functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace cpd::host {

struct PortInfo {
    std::optional<std::string> description;  // absent: the port can never be selected
    std::string name;
    std::string transport;  // "native", "usb", "bluetooth"
    std::optional<int> vid;
    std::optional<int> pid;
    std::optional<std::string> manufacturer;
    std::optional<std::string> serial;
};

// False (with a reason) when libserialport cannot list the ports.
bool ListPorts(std::vector<PortInfo>* out, std::string* error);

// Lower-case, runs of blanks folded to one, no blanks at either end: two descriptions that
// differ only in case or blanks have the same key.
std::string LooseKey(const std::string& text);

// Empty when a port has exactly this description; otherwise the message a user needs: how to
// select a port whose name was given, the near miss if one differs only in case or blanks,
// and the ports that do exist.
std::string ExplainMissingPort(const std::string& wanted, const std::vector<PortInfo>& ports);

// "FT232R USB UART - A1" with quotes, backslashes and control bytes escaped as in C.
std::string Quote(const std::string& text);

}  // namespace cpd::host
