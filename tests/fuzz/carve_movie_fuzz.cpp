// The movie analysers through the shared carve driver, one per input chosen
// by the flag byte's upper bits: the box movies (QuickTime, MP4 with its
// whole-file walk, 3GP), transport and program streams, RealMedia with its
// classic partner, Matroska and Flash first-sector sizers, MXF packets, MLV
// blocks, After Effects projects and SQLite pages. Each cap is the largest
// size the format's walk may reach.
#include "engine/carver/analysers/MovAnalyzer.h"
#include "engine/carver/analysers/MovieContainerAnalysers.h"
#include "engine/carver/analysers/MpegStreamAnalysers.h"
#include "engine/carver/analysers/RealMediaAnalyser.h"
#include "engine/carver/analysers/SqliteAnalyser.h"
#include "tests/fuzz/CarveFamily.h"

#include <limits>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::unique_ptr<IRawFileAnalyser> analyser;
    // Box walks follow 64-bit sizes; the carver cuts them at the device's end.
    unsigned long long cap = std::numeric_limits<long long>::max();
    switch ((data[0] >> 1) % 13) {
    case 0:
        analyser = std::make_unique<BruteForce::MovAnalyzer>();
        break;
    case 1:
        analyser = std::make_unique<BruteForce::Mp4Analyzer>();
        break;
    case 2:
        analyser = std::make_unique<BruteForce::C3GPAnalyser>();
        break;
    case 3:
        analyser = std::make_unique<FileMP4Analyser>();
        break;
    case 4:
        analyser = std::make_unique<BruteForce::CM2TSAnalyser>();
        cap = BruteForce::CM2TSAnalyser::kSizeCap;
        break;
    case 5:
        analyser = std::make_unique<Orvex::MPGAnalyser>();
        cap = 10 * Orvex::MPGRawFileInfo::kSizeLimit + (1 << 18);
        break;
    case 6:
        // The last chunk's 32-bit size may reach past the walk's limit.
        analyser = std::make_unique<Orvex::RM_RMVBAnalyser>();
        cap = 20 * Orvex::RM_RMVBRawFileInfo::kLimit + (1ull << 33);
        break;
    case 7:
        analyser = std::make_unique<FileMKVAnalyser>();
        break;
    case 8:
        analyser = std::make_unique<FileSWFAnalyser>();
        break;
    case 9:
        analyser = std::make_unique<RawSpeed::MxfAnalyser>();
        cap = 2 * RawSpeed::MxfRawFileInfo::kLimit + 64;
        break;
    case 10:
        analyser = std::make_unique<RawSpeed::MLvAnalyser>();
        cap = RawSpeed::MLvRawFileInfo::kLimit + (1ull << 32) + 8192;
        break;
    case 11:
        analyser = std::make_unique<RawSpeed::AEPAnalyser>();
        cap = (1ull << 32) + 16;
        break;
    default:
        analyser = std::make_unique<BruteForce::CFCPEvtAnalyser>();
        cap = BruteForce::CFCPEvtFileInfo::kLimit;
        break;
    }
    salvor::fuzz::DriveAnalyser(*analyser, data, size, cap);
    return 0;
}
