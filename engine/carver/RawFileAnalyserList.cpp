#include "engine/carver/RawFileAnalyserList.h"

#include "engine/carver/analysers/DxfAnalyser.h"
#include "engine/carver/analysers/EpsAnalyser.h"
#include "engine/carver/analysers/JpegAnalyzer.h"
#include "engine/carver/analysers/TiffAnalyzer.h"
#include "engine/carver/analysers/PdfAnalyzer.h"
#include "engine/carver/analysers/ZipAnalyser.h"
#include "engine/carver/analysers/GifAnalyser.h"
#include "engine/carver/analysers/InddAnalyser.h"
#include "engine/carver/analysers/MetafileFontAnalysers.h"
#include "engine/carver/analysers/PngAnalyser.h"
#include "engine/carver/analysers/PsdAnalyser.h"
#include "engine/carver/analysers/PspAnalyser.h"
#include "engine/carver/analysers/SmallPictureAnalysers.h"
#include "engine/carver/analysers/WpgAnalyser.h"
#include "engine/carver/analysers/X3fAnalyser.h"
#include "engine/carver/analysers/CrwAnalyser.h"
#include "engine/carver/analysers/SvgAnalyser.h"
#include "engine/carver/analysers/ThreeDsAnalyser.h"
#include "engine/carver/analysers/DwgAnalyser.h"
#include "engine/carver/analysers/ArchiveAnalysers.h"
#include "engine/carver/analysers/TextAnalysers.h"
#include "engine/carver/analysers/SmallFormatAnalysers.h"
#include "engine/carver/analysers/ContainerAnalysers.h"
#include "engine/carver/analysers/OfficeMoreAnalysers.h"
#include "engine/carver/analysers/Mp3Analyzer.h"
#include "engine/carver/analysers/RiffAnalysers.h"
#include "engine/carver/analysers/ChainAnalysers.h"
#include "engine/carver/analysers/ApeAdtsAsfAnalysers.h"
#include "engine/carver/analysers/MovAnalyzer.h"
#include "engine/carver/analysers/MovieContainerAnalysers.h"
#include "engine/carver/analysers/MpegStreamAnalysers.h"
#include "engine/carver/analysers/RealMediaAnalyser.h"
#include "engine/carver/analysers/SqliteAnalyser.h"
#include "engine/carver/analysers/OleAnalyser.h"

#include <utility>

namespace {

constexpr unsigned K4(unsigned a, unsigned b, unsigned c, unsigned d) { return a | b << 8 | c << 16 | d << 24; }
constexpr unsigned K2(unsigned a, unsigned b) { return a | b << 8; }

constexpr RawAnalyserRow kMapRows[] = {
    {K4(0xFF, 0xD8, 0xFF, 0xE0), "BruteForce::JpegAnalyzer"},
    {K4(0xFF, 0xD8, 0xFF, 0xE1), "BruteForce::JpegAnalyzer"},
    {K4(0xFF, 0xD8, 0xFF, 0xDB), "BruteForce::JpegAnalyzer"},
    {K4(0xFF, 0xD8, 0xFF, 0xEE), "BruteForce::JpegAnalyzer"},
    {K4('%', 'P', 'D', 'F'), "BruteForce::PdfAnalyzer"},
    {K4('M', 'M', 0x00, '*'), "BruteForce::TiffAnalyzer"},
    {K4('I', 'I', '*', 0x00), "BruteForce::TiffAnalyzer"},
    {K4('I', 'I', 'U', 0x00), "BruteForce::TiffAnalyzer"},
    {K4('I', 'I', 'R', 'O'), "BruteForce::TiffAnalyzer"},
    {K4('I', 'I', 'R', 'S'), "BruteForce::TiffAnalyzer"},
    {K4('F', 'U', 'J', 'I'), "BruteForce::TiffAnalyzer"},
    {K4('M', 'M', 'O', 'R'), "BruteForce::TiffAnalyzer"},
    {K4('I', 'I', 0x1A, 0x00), "Orvex::CRWAnalyser"},
    {K4('M', 'M', 0x1A, 0x00), "Orvex::CRWAnalyser"},
    {K4('B', 'Z', 'h', '1'), "Orvex::DMGAnalyser"},
    {K4('F', 'O', 'V', 'b'), "Orvex::X3FAnalyser"},
    {K4(0x00, 0x00, 0x01, 0xB3), "Orvex::MPGAnalyser"},
    {K4(0x00, 0x00, 0x01, 0xBA), "Orvex::MPGAnalyser"},
    {K4('O', 'g', 'g', 'S'), "Orvex::OGGAnalyser"},
    {K4('.', 'R', 'M', 'F'), "Orvex::RM_RMVBAnalyser"},
    {K4('<', '?', 'x', 'm'), "Orvex::SVGAnalyser"},
    {K4(0xEF, 0xBB, 0xBF, '<'), "Orvex::SVGAnalyser"},
    {K4(0xCD, 0x01, 0x00, 0x00), "Orvex::SVGAnalyser"},
    {K4('<', 's', 'v', 'g'), "Orvex::SVGAnalyser"},
    {K4('B', 'C', 'F', 'Z'), "Orvex::SVGAnalyser"},
    {K4('0', '&', 0xB2, 'u'), "BruteForce::CAsfAnalyser"},
    {K4(' ', ' ', '0', 0x0D), "BruteForce::CDXFAnalyser"},
    {K4('M', 'A', 'C', ' '), "BruteForce::CAPEAnalyser"},
    {K4(0x1C, 0x01, 0x00, 0x00), "BruteForce::CFH11Analyser"},
    {K4(0xC5, 0xD0, 0xD3, 0xC6), "BruteForce::CEPSAnalyser"},
    {K4('A', 'C', '1', '0'), "BruteForce::CDWGAnalyser"},
    {K4('G', 'I', 'F', '8'), "BruteForce::CGifAnalyser"},
    {K4('M', 'T', 'h', 'd'), "RawSpeed::MIDAnalyser"},
    {K4(0x89, 'P', 'N', 'G'), "RawSpeed::PNGAnalyser"},
    {K4('8', 'B', 'P', 'S'), "RawSpeed::PSDAnalyser"},
    {K4('{', '\\', 'r', 't'), "RawSpeed::RTFAnalyser"},
    {K4('P', 'a', 'i', 'n'), "RawSpeed::PSPAnalyser"},
    {K4('R', 'a', 'r', '!'), "RawSpeed::RARAnalyser"},
    {K4(0xE4, 'R', '\\', '{'), "RawSpeed::OneAnalyser"},
    {K4('w', 'p', 'g', 0x00), "RawSpeed::WpgAnalyser"},
    {K4('J', 'M', 'F', '6'), "RawSpeed::DbxAnalyser"},
    {K4(0xCF, 0xAD, 0x12, 0xFE), "RawSpeed::DbxAnalyser"},
    {K4(0xF7, 0x89, '4', ','), "RawSpeed::DbxAnalyser"},
    {K4(0x0F, 'S', 'I', 'B'), "RawSpeed::SIBAnalyser"},
    {K4('W', 'E', 'B', 'B'), "RawSpeed::SITAnalyser"},
    {K4('S', 't', 'u', 'f'), "RawSpeed::SITAnalyser"},
    {K4(0xFE, 0xED, 0xFE, 0xED), "RawSpeed::JKSAnalyser"},
    {K4('P', 'W', 'S', '3'), "RawSpeed::PSAFE3Analyser"},
    {K4('-', 'i', 'n', '-'), "RawSpeed::NGRRAnalyser"},
    {K4(0x06, 0x0E, '+', '4'), "RawSpeed::MxfAnalyser"},
    {K4('R', 'I', 'F', 'X'), "RawSpeed::AEPAnalyser"},
    {K4('M', 'L', 'V', 'I'), "RawSpeed::MLvAnalyser"},
    {K4('F', 'O', 'R', 'M'), "CFileAIFAnalyzer"},
    {K4('P', 'K', 0x03, 0x04), "FileZIPAnalyser"},
    {K4(0xFF, 'W', 'P', 'C'), "FileWPDAnalyser"},
    {K4(0x01, 0x00, 0x09, 0x00), "FileWMFAnalyser"},
    {K4(0xD7, 0xCD, 0xC6, 0x9A), "FileWMFAnalyser"},
    {K4(0x00, 0x01, 0x00, 0x00), "FileTTFAnalyser"},
    {K4('R', 'I', 'F', 'F'), "FileRIFFAnalyser"},
    {K4('!', 'B', 'D', 'N'), "FilePSTAnalyser"},
    {K4(0xD0, 0xCF, 0x11, 0xE0), "FileOLEAnalyser"},
    {K4(0xDB, 0xA5, '-', 0x00), "FileLowDocAnalyser"},
    {K4(0x94, 0xA6, '.', 0x00), "FileLowDocAnalyser"},
    {K4(0x00, 0x00, 0x01, 0x00), "FileICOAnalyser"},
    {K4(0x00, 0x00, 0x02, 0x00), "FileICOAnalyser"},
    {K4('?', '_', 0x03, 0x00), "FileHLPAnalyser"},
    {K4('C', 'P', 'T', '7'), "FileCPTAnalyser"},
    {K4('C', 'P', 'T', '8'), "FileCPTAnalyser"},
    {K4('C', 'P', 'T', '9'), "FileCPTAnalyser"},
    {K4('M', 'S', 'C', 'F'), "FileCABAnalyser"},
    {K4('m', 's', 'c', 'f'), "FileCABAnalyser"},
    {K4('.', 's', 'n', 'd'), "FileAUAnalyser"},
    {K4(0x1A, 'E', 0xDF, 0xA3), "FileMKVAnalyser"},
    {K4('I', 'T', 'S', 'F'), "FileCHMAnalyser"},
    {K4(0x00, 'M', 'R', 'M'), "FileMRWAnalyser"},
    {K4('S', 'Q', 'L', 'i'), "BruteForce::CFCPEvtAnalyser"},
    {K4('h', 'd', 'f', 'm'), "FileITLAnalyser"},
    {K4('x', 'a', 'r', '!'), "FilePKGAnalyser"},
    {K4(0x7F, 'P', 'K', 'G'), "FilePKGAnalyser"},
    {K4('i', 'c', 'n', 's'), "FileICNSAnalyser"},
    {K4('F', 'r', 'o', 'm'), "RawSpeed::MboxAnalyser"},
};

constexpr RawAnalyserRow kMultimapRows[] = {
    {K2('%', '!'), "BruteForce::PdfAnalyzer"},    {K2('%', '!'), "BruteForce::CEPSAnalyser"},
    {K2('I', 'D'), "BruteForce::MP3Analyzer"},    {K2(0xFF, 0xF2), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xF3), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xF4), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xF5), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xF6), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xF7), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xFA), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xFB), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xFC), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xFD), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xFE), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xFF), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xE2), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xE3), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xE4), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xE5), "BruteForce::MP3Analyzer"},  {K2(0xFF, 0xE6), "BruteForce::MP3Analyzer"},
    {K2(0xFF, 0xE7), "BruteForce::MP3Analyzer"},  {K2('9', '9'), "BruteForce::CDXFAnalyser"},
    {K2(0x00, 0x00), "BruteForce::MovAnalyzer"},  {K2(0x00, 0x00), "BruteForce::Mp4Analyzer"},
    {K2(0x00, 0x00), "BruteForce::C3GPAnalyser"}, {K2(0xFF, 0xF1), "BruteForce::CADTSAnalyser"},
    {K2(0xFF, 0xF9), "BruteForce::CADTSAnalyser"}, {K2(0x1F, 0x8B), "RawSpeed::GZAnalyzer"},
    {K2(0x00, 0x01), "RawSpeed::CMDBAnalyser"},   {K2('F', 'L'), "Orvex::FLVAnalyser"},
    {K2('<', 'h'), "RawSpeed::HTMLAnalyser"},     {K2('<', 'H'), "RawSpeed::HTMLAnalyser"},
    {K2('<', '!'), "RawSpeed::HTMLAnalyser"},     {K2(0xFF, 0xFE), "RawSpeed::HTMLAnalyser"},
    {K2('M', 'M'), "RawSpeed::New3DSAnalyser"},   {K2('B', 'M'), "FileBMPAnalyser"},
    {K2(0xFF, 0xFE), "FileUnicodeHTMAnalyser"},   {K2('M', 'S'), "FileMNYAnalyser"},
    {K2('F', 'W'), "FileSWFAnalyser"},            {K2('C', 'W'), "FileSWFAnalyser"},
    {K2('u', 's'), "RawSpeed::TARAnalyser"},
};

constexpr RawAnalyserRow kListRows[] = {
    {0, "Orvex::LZHAnalyser"},      {0, "FileEMFAnalyser"},        {0, "BruteForce::MovAnalyzer"},
    {0, "RawSpeed::InddAnalyser"},  {0, "RawSpeed::New3DSAnalyser"}, {0, "RawSpeed::TARAnalyser"},
    {0, "BruteForce::CM2TSAnalyser"}, {0, "RawSpeed::MOBIAnalyser"}, {0, "RawSpeed::PSAFE3Analyser"},
};

static_assert(std::size(kMapRows) == 81 && std::size(kMultimapRows) == 41 && std::size(kListRows) == 9);

// The analysers built so far, by class. A later analyser adds its line here.
struct Built {
    std::string_view name;
    IRawFileAnalyser* (*make)();
};
constexpr Built kBuilt[] = {
    {"BruteForce::CEPSAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CEPSAnalyser()); }},
    {"BruteForce::JpegAnalyzer", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::JpegAnalyzer()); }},
    {"BruteForce::TiffAnalyzer", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::TiffAnalyzer()); }},
    {"BruteForce::PdfAnalyzer", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::PdfAnalyzer()); }},
    {"FileZIPAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileZIPAnalyser()); }},
    {"RawSpeed::PNGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::PNGAnalyser()); }},
    {"RawSpeed::PSDAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::PSDAnalyser()); }},
    {"RawSpeed::PSPAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::PSPAnalyser()); }},
    {"RawSpeed::WpgAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::WpgAnalyser()); }},
    {"Orvex::X3FAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::X3FAnalyser()); }},
    {"BruteForce::CGifAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CGifAnalyser()); }},
    {"FileBMPAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileBMPAnalyser()); }},
    {"FileICOAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileICOAnalyser()); }},
    {"FileICNSAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileICNSAnalyser()); }},
    {"FileEMFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileEMFAnalyser()); }},
    {"FileWMFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileWMFAnalyser()); }},
    {"FileTTFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileTTFAnalyser()); }},
    {"RawSpeed::InddAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::InddAnalyser()); }},
    {"BruteForce::CDXFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CDXFAnalyser()); }},
    {"FileMRWAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileMRWAnalyser()); }},
    {"Orvex::CRWAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::CRWAnalyser()); }},
    {"Orvex::SVGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::SVGAnalyser()); }},
    {"RawSpeed::New3DSAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::New3DSAnalyser()); }},
    {"BruteForce::CDWGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CDWGAnalyser()); }},
    {"RawSpeed::GZAnalyzer", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::GZAnalyzer()); }},
    {"RawSpeed::RARAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::RARAnalyser()); }},
    {"Orvex::LZHAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::LZHAnalyser()); }},
    {"RawSpeed::TARAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::TARAnalyser()); }},
    {"RawSpeed::SITAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::SITAnalyser()); }},
    {"RawSpeed::RTFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::RTFAnalyser()); }},
    {"RawSpeed::HTMLAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::HTMLAnalyser()); }},
    {"FileUnicodeHTMAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileUnicodeHTMAnalyser()); }},
    {"RawSpeed::MOBIAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::MOBIAnalyser()); }},
    {"FileMboxAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileMboxAnalyser()); }},
    {"RawSpeed::MboxAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::MboxAnalyser()); }},
    {"RawSpeed::DbxAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::DbxAnalyser()); }},
    {"FileHLPAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileHLPAnalyser()); }},
    {"FileCHMAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileCHMAnalyser()); }},
    {"FileITLAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileITLAnalyser()); }},
    {"FileCPTAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileCPTAnalyser()); }},
    {"BruteForce::CFH11Analyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CFH11Analyser()); }},
    {"RawSpeed::PSAFE3Analyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::PSAFE3Analyser()); }},
    {"RawSpeed::JKSAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::JKSAnalyser()); }},
    {"RawSpeed::SIBAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::SIBAnalyser()); }},
    {"RawSpeed::NGRRAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::NGRRAnalyser()); }},
    {"Orvex::DMGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::DMGAnalyser()); }},
    {"FilePKGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FilePKGAnalyser()); }},
    {"FileCABAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileCABAnalyser()); }},
    {"RawSpeed::OneAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::OneAnalyser()); }},
    {"RawSpeed::CMDBAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::CMDBAnalyser()); }},
    {"FileLowDocAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileLowDocAnalyser()); }},
    {"FileWPDAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileWPDAnalyser()); }},
    {"FileMNYAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileMNYAnalyser()); }},
    {"FilePSTAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FilePSTAnalyser()); }},
    {"BruteForce::MP3Analyzer", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::MP3Analyzer()); }},
    {"FileRIFFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileRIFFAnalyser()); }},
    {"CFileAIFAnalyzer", [] { return static_cast<IRawFileAnalyser*>(new CFileAIFAnalyzer()); }},
    {"FileAUAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileAUAnalyser()); }},
    {"RawSpeed::MIDAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::MIDAnalyser()); }},
    {"Orvex::OGGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::OGGAnalyser()); }},
    {"Orvex::FLVAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::FLVAnalyser()); }},
    {"BruteForce::CAPEAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CAPEAnalyser()); }},
    {"BruteForce::CADTSAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CADTSAnalyser()); }},
    {"BruteForce::CAsfAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CAsfAnalyser()); }},
    {"BruteForce::MovAnalyzer", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::MovAnalyzer()); }},
    {"BruteForce::Mp4Analyzer", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::Mp4Analyzer()); }},
    {"BruteForce::C3GPAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::C3GPAnalyser()); }},
    {"BruteForce::CM2TSAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CM2TSAnalyser()); }},
    {"Orvex::MPGAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::MPGAnalyser()); }},
    {"Orvex::RM_RMVBAnalyser", [] { return static_cast<IRawFileAnalyser*>(new Orvex::RM_RMVBAnalyser()); }},
    {"FileMKVAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileMKVAnalyser()); }},
    {"FileSWFAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileSWFAnalyser()); }},
    {"RawSpeed::MxfAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::MxfAnalyser()); }},
    {"RawSpeed::MLvAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::MLvAnalyser()); }},
    {"RawSpeed::AEPAnalyser", [] { return static_cast<IRawFileAnalyser*>(new RawSpeed::AEPAnalyser()); }},
    {"BruteForce::CFCPEvtAnalyser", [] { return static_cast<IRawFileAnalyser*>(new BruteForce::CFCPEvtAnalyser()); }},
    {"FileOLEAnalyser", [] { return static_cast<IRawFileAnalyser*>(new FileOLEAnalyser()); }},
};

CRawFileAnalyserListSingle::RowFactory& RowFactorySlot() {
    static CRawFileAnalyserListSingle::RowFactory factory;
    return factory;
}

// Set 1 always takes the real analysers; only the carver's set may be faked.
IRawFileAnalyser* MakeRow(bool carve, RawAnalyserTable table, std::size_t index, const RawAnalyserRow& row) {
    const auto& custom = RowFactorySlot();
    return carve && custom ? custom(table, index, row) : CreateRawAnalyser(row.analyser);
}

} // namespace

std::span<const RawAnalyserRow> RawAnalyserRows(RawAnalyserTable table) {
    switch (table) {
    case RawAnalyserTable::Map: return kMapRows;
    case RawAnalyserTable::Multimap: return kMultimapRows;
    case RawAnalyserTable::List: return kListRows;
    }
    return {};
}

IRawFileAnalyser* CreateRawAnalyser(std::string_view analyserClass) {
    for (const Built& b : kBuilt)
        if (b.name == analyserClass) return b.make();
    return nullptr;
}

void ResetCarveGuards() {
    // Streams followed by an earlier carve (stopped or dropped) hold nothing now.
    BruteForce::MP3Analyzer::MP3RawFileInfo::ResetGuard();
    Orvex::OGGRawFileInfo::ResetGuard();
    BruteForce::CADTSRawFileInfo::ResetGuard();
    FileZIPAnalyser::ForgetSearched();
    FileMboxAnalyser::ForgetWalked();
}

CRawFileAnalyserListSingle::CRawFileAnalyserListSingle() { Build(m_sets[1], false); }

CRawFileAnalyserListSingle::~CRawFileAnalyserListSingle() {
    for (Set& s : m_sets) Clear(s);
}

CRawFileAnalyserListSingle* CRawFileAnalyserListSingle::CreateInstance() {
    static CRawFileAnalyserListSingle instance;
    return &instance;
}

void CRawFileAnalyserListSingle::SetRowFactory(RowFactory factory) { RowFactorySlot() = std::move(factory); }

void CRawFileAnalyserListSingle::Build(Set& set, bool carve) {
    // One object per row, even for a class serving several keys.
    for (std::size_t i = 0; i < std::size(kMapRows); ++i)
        if (IRawFileAnalyser* a = MakeRow(carve, RawAnalyserTable::Map, i, kMapRows[i])) {
            IRawFileAnalyser*& slot = set.map[kMapRows[i].key];
            delete slot; // keys are distinct; a repeated one keeps the later row
            slot = a;
        }
    for (std::size_t i = 0; i < std::size(kMultimapRows); ++i)
        if (IRawFileAnalyser* a = MakeRow(carve, RawAnalyserTable::Multimap, i, kMultimapRows[i]))
            set.multimap.emplace(static_cast<unsigned short>(kMultimapRows[i].key), a);
    for (std::size_t i = 0; i < std::size(kListRows); ++i)
        if (IRawFileAnalyser* a = MakeRow(carve, RawAnalyserTable::List, i, kListRows[i])) set.list.push_back(a);
}

void CRawFileAnalyserListSingle::Clear(Set& set) {
    for (auto& [key, a] : set.map) delete a;
    for (auto& [key, a] : set.multimap) delete a;
    for (IRawFileAnalyser* a : set.list) delete a;
    set = Set{};
}

void CRawFileAnalyserListSingle::ReinitAnalyzeList(void*) {
    Clear(m_sets[0]);
    Build(m_sets[0], true);
}

std::map<unsigned, IRawFileAnalyser*>& CRawFileAnalyserListSingle::GetAnalyserMap(int set) { return At(set).map; }

std::multimap<unsigned short, IRawFileAnalyser*>& CRawFileAnalyserListSingle::GetAnalyserMultimap(int set) {
    return At(set).multimap;
}

std::list<IRawFileAnalyser*>& CRawFileAnalyserListSingle::GetAnalyserList(int set) { return At(set).list; }

bool CRawFileAnalyserListSingle::StartsFile(unsigned char* sector, std::size_t bytes) {
    if (!sector || bytes < 4) return false;
    Set& set = At(1);
    const unsigned k4 = bytes::Le32(bytes::Bytes(sector, 4), 0);
    if (k4 != 0) {
        if (const auto it = set.map.find(k4); it != set.map.end() && it->second) {
            CRawFileInfo blank;
            if (it->second->AnalyseBuffer(sector, blank) == 1) return true;
        }
        const auto range = set.multimap.equal_range(static_cast<unsigned short>(k4 & 0xFFFF));
        for (auto it = range.first; it != range.second; ++it) {
            CRawFileInfo blank;
            if (it->second && it->second->AnalyseBuffer(sector, blank) == 1) return true;
        }
    }
    for (IRawFileAnalyser* a : set.list) {
        CRawFileInfo blank;
        if (a && a->CouldStart(sector, bytes) && a->AnalyseBuffer(sector, blank) != 0) return true;
    }
    return false;
}
