// The archive, text, small-format, container and further Office analysers
// through the shared carve driver, one per input chosen by the flag byte's
// upper bits: streaming records with their classic sizers, and the classic
// sizers alone. One choice instead feeds the rest of the input to the xar
// table-of-contents inflate and walk (first 4 bytes: the inflated length),
// and the same bytes to the walk as text.
#include "engine/carver/analysers/ArchiveAnalysers.h"
#include "engine/carver/analysers/ContainerAnalysers.h"
#include "engine/carver/analysers/OfficeMoreAnalysers.h"
#include "engine/carver/analysers/SmallFormatAnalysers.h"
#include "engine/carver/analysers/TextAnalysers.h"
#include "tests/fuzz/CarveFamily.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

std::unique_ptr<IRawFileAnalyser> Choose(unsigned index) {
    switch (index) {
    case 0: return std::make_unique<RawSpeed::GZAnalyzer>();
    case 1: return std::make_unique<FileGZAnalyser>();
    case 2: return std::make_unique<RawSpeed::RARAnalyser>();
    case 3: return std::make_unique<FileRARAnalyser>();
    case 4: return std::make_unique<Orvex::LZHAnalyser>();
    case 5: return std::make_unique<FileLZHAnalyser>();
    case 6: return std::make_unique<RawSpeed::TARAnalyser>();
    case 7: return std::make_unique<FileTARAnalyser>();
    case 8: return std::make_unique<RawSpeed::SITAnalyser>();
    case 9: return std::make_unique<FileSITAnalyser>();
    case 10: return std::make_unique<RawSpeed::RTFAnalyser>();
    case 11: return std::make_unique<FileRTFAnalyser>();
    case 12: return std::make_unique<RawSpeed::HTMLAnalyser>();
    case 13: return std::make_unique<FileUnicodeHTMAnalyser>();
    case 14: return std::make_unique<RawSpeed::MOBIAnalyser>();
    case 15: return std::make_unique<FileMboxAnalyser>();
    case 16: return std::make_unique<RawSpeed::DbxAnalyser>();
    case 17: return std::make_unique<FileHLPAnalyser>();
    case 18: return std::make_unique<FileCHMAnalyser>();
    case 19: return std::make_unique<FileITLAnalyser>();
    case 20: return std::make_unique<FileCPTAnalyser>();
    case 21: return std::make_unique<BruteForce::CFH11Analyser>();
    case 22: return std::make_unique<RawSpeed::PSAFE3Analyser>();
    case 23: return std::make_unique<RawSpeed::JKSAnalyser>();
    case 24: return std::make_unique<RawSpeed::SIBAnalyser>();
    case 25: return std::make_unique<RawSpeed::NGRRAnalyser>();
    case 26: return std::make_unique<Orvex::DMGAnalyser>();
    case 27: return std::make_unique<FilePKGAnalyser>();
    case 28: return std::make_unique<FileCABAnalyser>();
    case 29: return std::make_unique<RawSpeed::OneAnalyser>();
    case 30: return std::make_unique<RawSpeed::CMDBAnalyser>();
    case 31: return std::make_unique<FileLowDocAnalyser>();
    case 32: return std::make_unique<FileWPDAnalyser>();
    case 33: return std::make_unique<FileMNYAnalyser>();
    case 34: return std::make_unique<FilePSTAnalyser>();
    case 35: return std::make_unique<FileHTMAnalyser>();
    default: return nullptr;
    }
}

constexpr unsigned kChoices = 37;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned index = (data[0] >> 1) % kChoices;
    if (std::unique_ptr<IRawFileAnalyser> analyser = Choose(index)) {
        salvor::fuzz::DriveAnalyser(*analyser, data, size, 0xD000000);
        return 0;
    }
    if (size < 5) return 0;
    std::uint32_t unpacked;
    std::memcpy(&unpacked, data + 1, 4);
    std::string toc;
    std::uint64_t end = 0;
    if (FilePKGAnalyser::Inflate(data + 5, size - 5, unpacked, toc)) {
        if (toc.size() > unpacked + 512u) __builtin_trap();
        FilePKGAnalyser::HeapEnd(toc, end);
    }
    FilePKGAnalyser::HeapEnd(std::string(reinterpret_cast<const char*>(data + 5), size - 5), end);
    return 0;
}
