// The machine's serial ports through libserialport, and the message for a missing one.
#include "cpd/host/program/port_lookup.h"

#include <libserialport.h>

#include <cctype>
#include <cstdio>

namespace cpd::host {

namespace {

std::optional<std::string> Text(const char* text) {
    return text != nullptr ? std::optional<std::string>(text) : std::nullopt;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char buf[8];
                    std::snprintf(buf, sizeof(buf), "\\x%02x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return "\"" + out + "\"";
}

}  // namespace

bool ListPorts(std::vector<PortInfo>* out, std::string* error) {
    sp_port** list = nullptr;
    if (sp_list_ports(&list) != SP_OK) {
        char* message = sp_last_error_message();
        *error = std::string("cannot list serial ports: ") +
                 (message != nullptr ? message : "libserialport failed");
        sp_free_error_message(message);
        return false;
    }
    out->clear();
    for (sp_port** it = list; *it != nullptr; ++it) {
        PortInfo info;
        info.description = Text(sp_get_port_description(*it));
        info.name = sp_get_port_name(*it);
        switch (sp_get_port_transport(*it)) {
            case SP_TRANSPORT_USB: {
                info.transport = "usb";
                int vid = 0;
                int pid = 0;
                if (sp_get_port_usb_vid_pid(*it, &vid, &pid) == SP_OK) {
                    info.vid = vid;
                    info.pid = pid;
                }
                info.manufacturer = Text(sp_get_port_usb_manufacturer(*it));
                info.serial = Text(sp_get_port_usb_serial(*it));
                break;
            }
            case SP_TRANSPORT_BLUETOOTH:
                info.transport = "bluetooth";
                break;
            default:
                info.transport = "native";
                break;
        }
        out->push_back(std::move(info));
    }
    sp_free_port_list(list);
    return true;
}

std::string LooseKey(const std::string& text) {
    std::string key;
    bool blank = false;
    for (const unsigned char c : text) {
        if (std::isspace(c) != 0) {
            blank = !key.empty();
            continue;
        }
        if (blank) {
            key += ' ';
            blank = false;
        }
        key += static_cast<char>(std::tolower(c));
    }
    return key;
}

std::string ExplainMissingPort(const std::string& wanted, const std::vector<PortInfo>& ports) {
    std::string byName;
    std::string nearMiss;
    std::string known;
    for (const PortInfo& port : ports) {
        if (port.description && *port.description == wanted) {
            return "";
        }
        // A port's name is what users know from other tools; say how to reach that port.
        if (port.name == wanted) {
            byName = port.description
                         ? "\n" + port.name +
                               " is that port's name: select it by its description, " +
                               Quote(*port.description)
                         : "\n" + port.name +
                               " exists but has no description, and the plug-in selects a port "
                               "only by the exact text of its description: this port cannot be "
                               "selected";
        }
        if (!port.description) {
            known += "\n  (no description)  (" + port.name + ")";
            continue;
        }
        if (nearMiss.empty() && LooseKey(*port.description) == LooseKey(wanted)) {
            nearMiss = *port.description;
        }
        known += "\n  " + Quote(*port.description) + "  (" + port.name + ")";
    }
    std::string message = "no serial port is described as " + Quote(wanted) + byName;
    if (!nearMiss.empty()) {
        message += "\ndid you mean " + Quote(nearMiss) +
                   "? The description must match exactly: case and blanks count.";
    }
    message += ports.empty() ? "\nno serial ports found" : "\nports found:" + known;
    return message;
}

std::string Quote(const std::string& text) {
    return Escape(text);
}

}  // namespace cpd::host
