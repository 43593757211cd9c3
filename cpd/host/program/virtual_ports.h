// Virtual USB serial adapters inside the cpd-host process (--virtual SPEC), for machines without
// serial hardware and for tests. Each adapter is a pty-backed port that libserialport (and so
// the plug-in) lists and opens like a real one; its far end is left alone, echoes, or is served
// on a unix socket for another process to play the device. Created and destroyed on the main
// thread; each unix-socket peer runs one bridge thread, joined on destruction. Non-copyable.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "vserial/vserial.h"

namespace cpd::host {

struct VirtualSpec {
    enum class Peer { kNone, kEcho, kUnix };
    vserial::UsbIdentity identity;
    Peer peer = Peer::kEcho;
    std::string socketPath;  // kUnix only
    vserial::Pacing pacing = vserial::Pacing::kNone;
};

// False where this build has none: on Windows, which has no pseudo terminals.
bool VirtualAdaptersSupported();

// SPEC: comma-separated key=value pairs, all optional: product=TEXT manufacturer=TEXT
// serial=TEXT vid=HEX pid=HEX peer=echo|none|unix:PATH pace=line|none. Defaults: product
// "Virtual UART", manufacturer "cpd-host", vid 0403, pid 6001, no serial number, peer echo,
// bytes at memory speed (pace=line: at the line's rate, as on a real wire).
bool ParseVirtualSpec(const std::string& text, VirtualSpec* out, std::string* error);

// Virtual adapters need the interposer of libc calls (libvserial_preload.so) ahead of the C
// library, which only a fresh start of the program can give, so the product itself carries no
// test machinery. When no interposer is loaded yet, starts the running program again with it
// preloaded and the same arguments, and does not return; returns false with a reason when it
// cannot. Call it only for --virtual and demo, before anything else has started.
bool LoadInterposer(const char* const* argv, std::string* error);

class VirtualPorts {
  public:
    // Null with a reason when the emulation or an adapter cannot be set up. With no specs the
    // process's view of the machine's ports stays untouched and nothing is created.
    static std::unique_ptr<VirtualPorts> Create(const std::vector<VirtualSpec>& specs,
                                                std::string* error);
    ~VirtualPorts();
    VirtualPorts(const VirtualPorts&) = delete;
    VirtualPorts& operator=(const VirtualPorts&) = delete;

    // "virtual /dev/ttyUSB0: 115200 baud 8E1, DTR on, RTS on, 1 DTR drop" for the adapter with
    // that description; empty when no virtual adapter has it.
    std::string DescribeLine(const std::string& description) const;
    // Port names and descriptions of the adapters, in creation order.
    std::vector<std::pair<std::string, std::string>> Adapters() const;

  private:
    struct Parts;  // the adapters and what plays their devices
    VirtualPorts() = default;

    std::unique_ptr<Parts> mParts;  // null without specs
};

}  // namespace cpd::host
