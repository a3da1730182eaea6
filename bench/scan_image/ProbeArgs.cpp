#include "bench/scan_image/ProbeArgs.h"

#include <climits>
#include <cstdio>

namespace {
// Sector sizes of real media and images: multiples of 512 up to 64 KiB.
constexpr unsigned long long kMaxSectorSize = 65536;
} // namespace

bool ParseDecimal(const char* text, unsigned long long max, unsigned long long& value) {
    if (!text || !*text) return false;
    unsigned long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

bool ParseProbeArgs(int argc, char** argv, ProbeArgs& args, std::string& error) {
    if (argc < 3) {
        error = "missing arguments";
        return false;
    }
    args.mode = argv[1];
    args.image = argv[2];
    if (args.mode != "quick" && args.mode != "deep") {
        error = "unknown mode '" + args.mode + "'";
        return false;
    }
    bool haveOffset = false;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            error = option + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        unsigned long long number = 0;
        if (option == "--offset" && args.mode == "quick") {
            if (!ParseDecimal(value, LLONG_MAX, number)) {
                error = "bad --offset '" + std::string(value) + "'";
                return false;
            }
            args.offset = number;
            haveOffset = true;
        } else if (option == "--sector-size") {
            if (!ParseDecimal(value, kMaxSectorSize, number) || number < 512 || number % 512 != 0) {
                error = "bad --sector-size '" + std::string(value) + "' (a multiple of 512 up to 65536)";
                return false;
            }
            args.sectorSize = static_cast<unsigned>(number);
        } else if (option == "--recover") {
            if (!*value) {
                error = "empty --recover folder";
                return false;
            }
            args.recoverDir = value;
        } else {
            error = "unknown option '" + option + "'";
            return false;
        }
    }
    // The offset in bytes must stay a valid file offset.
    const unsigned long long sector = args.sectorSize ? args.sectorSize : 512;
    if (haveOffset && args.offset > static_cast<unsigned long long>(LLONG_MAX) / sector) {
        error = "--offset too large";
        return false;
    }
    return true;
}

int ProbeUsage(const std::string& error) {
    if (!error.empty()) std::fprintf(stderr, "scan_image: %s\n", error.c_str());
    std::fprintf(stderr,
                 "usage: scan_image quick IMAGE|DEVICE [--offset SECTOR] [--sector-size N] [--recover DIR]\n"
                 "       scan_image deep IMAGE|DEVICE [--sector-size N] [--recover DIR]\n");
    return 2;
}
