// The audio analysers through the shared carve driver, one per input chosen
// by the flag byte's upper bits: MP3 (streaming walk, tag tail and the
// classic sizer), RIFF, AIFF, AU, MIDI, Ogg, FLV, APE, ADTS and ASF; and the
// MPEG frame-header and ID3 readers alone on the input's bytes.
#include "engine/carver/analysers/ApeAdtsAsfAnalysers.h"
#include "engine/carver/analysers/ChainAnalysers.h"
#include "engine/carver/analysers/Mp3Analyzer.h"
#include "engine/carver/analysers/RiffAnalysers.h"
#include "engine/carver/RawFileAnalyserList.h"
#include "tests/fuzz/CarveFamily.h"

#include <memory>

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void Readers(const std::uint8_t* data, std::size_t size) {
    const bytes::Bytes all(data, size);
    for (std::size_t i = 0; i + 4 <= size && i < 64; ++i) {
        CMPAHeader h;
        if (h.Init(data + i)) Check(h.CalcFrameSize() > 0 && h.CalcFrameSize() < 8192);
        unsigned v = 0;
        if (classMp3Search::GetSynchsafeInteger(data + i, &v)) Check(v < (1u << 28));
    }
    std::string set;
    Check(Mp3Text::GetTagValue(all.first(std::min<std::size_t>(size, 300)), set, true).size() <= 3 * 255);
    if (size >= 128) Mp3Text::ReadId3v1(all.first(128));
    BruteForce::MP3Analyzer::MP3RawFileInfo record(nullptr);
    record.GatherTagInfo(all);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    ResetCarveGuards();
    std::unique_ptr<IRawFileAnalyser> analyser;
    unsigned long long cap = 0x82000000;
    switch ((data[0] >> 1) % 11) {
    case 0:
        analyser = std::make_unique<BruteForce::MP3Analyzer>();
        cap = FileMP3Analyser::kTagWalkLimit + 0x10000;
        break;
    case 1: analyser = std::make_unique<FileRIFFAnalyser>(); cap = 0x200000000ull; break;
    case 2: analyser = std::make_unique<CFileAIFAnalyzer>(); cap = 0x100000008ull; break;
    case 3: analyser = std::make_unique<FileAUAnalyser>(); cap = 0x200000000ull; break;
    case 4: analyser = std::make_unique<RawSpeed::MIDAnalyser>(); cap = FileMIDAnalyser::kDeviceLimit; break;
    case 5:
        analyser = std::make_unique<Orvex::OGGAnalyser>();
        cap = 10 * Orvex::OGGRawFileInfo::kLimit + 0x10000;
        break;
    case 6:
        analyser = std::make_unique<Orvex::FLVAnalyser>();
        cap = 10 * Orvex::FLVRawFileInfo::kLimit + 0x1000010;
        break;
    case 7: analyser = std::make_unique<BruteForce::CAPEAnalyser>(); break;
    case 8: analyser = std::make_unique<BruteForce::CADTSAnalyser>(); break;
    case 9: analyser = std::make_unique<BruteForce::CAsfAnalyser>(); cap = BruteForce::CAsfRawFileInfo::kLimit; break;
    default: Readers(data + 1, size - 1); return 0;
    }
    salvor::fuzz::DriveAnalyser(*analyser, data, size, cap);
    ResetCarveGuards();
    return 0;
}
