// scan_image_services: the probe's services modes, run by scan_image (see
// ServicesMode.h); it takes scan_image's own arguments.
#include "bench/scan_image/ProbeArgs.h"
#include "bench/scan_image/ServicesMode.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (WantsHelp(argc, argv)) {
        PrintUsage(stdout);
        return 0;
    }
    if (!WantsServicesMode(argc, argv)) return ProbeUsage("not a services mode");
    return RunServicesMode(argc, argv);
}
