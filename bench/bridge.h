// Bridge benchmark: bytes per second from a serial line's device end to a TCP client, through
// `cpd-host serve` (plug-in, packets framed over TCP) and through socat (pty to TCP).
#pragma once

#include <string>

namespace bench {

// 0 on success. Spawns the two bridges one after the other and prints a Markdown table.
int RunBridge(const std::string& hostBinary, const std::string& pluginPath, bool quick);

}  // namespace bench
