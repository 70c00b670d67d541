// corvantis-sim: a simulated Corvantis module on real transports, for tests
// of the device library and the updater. See README.md beside this file.
#include <cstdio>
#include <string>

#include "sim/module/Config.h"
#include "sim/module/Host.h"

int main(int argc, char** argv) {
    csim::SimConfig config;
    bool help = false;
    std::string error;
    if (!csim::parseCommandLine(argc, argv, config, help, error)) {
        std::fprintf(stderr, "corvantis-sim: %s\n%s", error.c_str(), csim::kUsage);
        return 2;
    }
    if (help) {
        std::fputs(csim::kUsage, stdout);
        return 0;
    }
    csim::Host host(std::move(config));
    if (!host.start(error)) {
        std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
        return host.configError() ? 2 : 1;
    }
    return host.run();
}
