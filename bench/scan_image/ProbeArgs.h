#pragma once
// The probe's command line.
#include <cstdio>
#include <string>

struct ProbeArgs {
    std::string mode;  // "quick" or "deep"
    std::string image; // an image file or a block device
    unsigned long long offset = 0;
    unsigned sectorSize = 0; // 0: the device's own (512 for an image file)
    std::string recoverDir;
    bool progress = false; // a line "progress P%" on standard error as the scan goes
    unsigned long long keptLimit = 0; // (deep) memory for sectors kept for the build; 0: the engine's
};

// A whole decimal number in [0, max]: no sign, no spaces, no suffix.
bool ParseDecimal(const char* text, unsigned long long max, unsigned long long& value);

// Reads argv; false with the reason in error for anything it cannot take.
bool ParseProbeArgs(int argc, char** argv, ProbeArgs& args, std::string& error);

// True when the arguments ask for the services mode (scan_image_services).
bool WantsServicesMode(int argc, char** argv);

// True when the arguments ask for the usage (--help or -h anywhere).
bool WantsHelp(int argc, char** argv);

// Prints the whole usage to out.
void PrintUsage(std::FILE* out);

// Prints the reason (when given) and the usage to standard error; answers exit code 2.
int ProbeUsage(const std::string& error);
