#include "bench/bridge.h"

#include <cstdio>

namespace bench {

int RunBridge(const std::string& hostBinary, const std::string& pluginPath, bool quick) {
    (void)hostBinary;
    (void)pluginPath;
    (void)quick;
    std::printf("bridge: not yet\n");
    return 0;
}

}  // namespace bench
