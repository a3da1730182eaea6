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
        if (option == "--progress") {
            args.progress = true;
            continue;
        }
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
        } else if (option == "--kept-limit" && args.mode == "deep") {
            if (!ParseDecimal(value, 1ULL << 40, number) || number == 0) {
                error = "bad --kept-limit '" + std::string(value) + "'";
                return false;
            }
            args.keptLimit = number;
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

bool WantsHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") return true;
    return false;
}

void PrintUsage(std::FILE* out) {
    std::fputs(
        "usage: scan_image quick IMAGE|DEVICE [--offset SECTOR] [--sector-size N] [--recover DIR] [--progress]\n"
        "       scan_image deep IMAGE|DEVICE [--sector-size N] [--recover DIR] [--progress]\n"
        "       scan_image quick|deep IMAGE --services [--search TEXT] [--recover DIR] [--save FILE] [--progress]\n"
        "       scan_image load FILE --device IMAGE [--device IMAGE...] [--search TEXT] [--recover DIR]\n"
        "       scan_image --help\n"
        "\n"
        "Scans an image file or a block device (read only) with every file system Salvor\n"
        "knows and lists what it finds.\n"
        "\n"
        "  quick               scan one volume, the one at --offset, through the quick controller\n"
        "  deep                scan the whole image or device through the deep controller\n"
        "  --offset SECTOR     (quick) first sector of the volume, in sectors; default 0\n"
        "  --sector-size N     a multiple of 512 up to 65536; default the device's own, 512 for\n"
        "                      an image file (a block device's own size cannot be overridden)\n"
        "  --recover DIR       write every found file under DIR as the program names it: a\n"
        "                      numbered folder per file-system kind (Fat_0001, ...), then the\n"
        "                      found path; refused when DIR is on the scanned image or device\n"
        "  --services          list IMAGE as an attached disk image and scan all of it through\n"
        "                      the application's services, as the program does\n"
        "  --search TEXT       (--services, load) list only the files the name search for TEXT shows\n"
        "  --save FILE         (--services) save the scanned result into FILE\n"
        "  --no-marks          (--save) mark no file by its bytes (to weigh what marks cost)\n"
        "  load FILE           load a saved scan result instead of scanning, then list (and\n"
        "                      recover) as --services does\n"
        "  --device IMAGE      (load) the image the saved scan was made of; more are attached\n"
        "                      beside it, and the load takes the one holding the volumes scanned\n"
        "  --kept-limit BYTES  (deep) memory the sectors kept for building may take; the rest\n"
        "                      go to a private file of the user's cache folder (for checks)\n"
        "  --progress          print \"progress P%\" on standard error each time the scan gets a\n"
        "                      percent further\n"
        "  --help, -h          print this text and exit\n"
        "\n"
        "Output: one line per found node, <searcher type> TAB <L|D> TAB <size> TAB <path>\n"
        "(L live, D deleted; folders end in \"/\"), then the summary line\n"
        "nodes=N files=F deleted=D bytes=B seconds=S MBps=X peakMiB=M, with notkept=K when\n"
        "carved files past the carver's cap were not kept.\n"
        "A device that stops answering ends the scan or the recovery where it went: what was\n"
        "found before is listed, and standard error says how far the work got.\n"
        "Exit status: 0 done, 1 the scan or a recovery failed or did not finish, 2 bad arguments.\n",
        out);
}

int ProbeUsage(const std::string& error) {
    if (!error.empty()) std::fprintf(stderr, "scan_image: %s\n", error.c_str());
    PrintUsage(stderr);
    return 2;
}

bool WantsServicesMode(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "load") return true;
    for (int i = 3; i < argc; ++i)
        if (std::string(argv[i]) == "--services") return true;
    return false;
}
