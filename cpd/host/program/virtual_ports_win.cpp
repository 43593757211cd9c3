// Windows has no pseudo terminals to stand in for serial ports: no virtual adapters exist, and
// main refuses --virtual and demo before any of this is reached.
#include "cpd/host/program/virtual_ports.h"

namespace cpd::host {

struct VirtualPorts::Parts {};

bool VirtualAdaptersSupported() {
    return false;
}

bool LoadInterposer(const char* const*, std::string* error) {
    *error = "--virtual is Linux-only";
    return false;
}

bool ParseVirtualSpec(const std::string&, VirtualSpec*, std::string* error) {
    *error = "--virtual is Linux-only";
    return false;
}

std::unique_ptr<VirtualPorts> VirtualPorts::Create(const std::vector<VirtualSpec>& specs,
                                                   std::string* error) {
    if (!specs.empty()) {
        *error = "--virtual is Linux-only";
        return nullptr;
    }
    return std::unique_ptr<VirtualPorts>(new VirtualPorts());
}

VirtualPorts::~VirtualPorts() = default;

std::string VirtualPorts::DescribeLine(const std::string&) const {
    return "";
}

std::vector<std::pair<std::string, std::string>> VirtualPorts::Adapters() const {
    return {};
}

}  // namespace cpd::host
