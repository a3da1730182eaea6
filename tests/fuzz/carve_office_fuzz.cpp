// The document analysers through the shared carve driver: compound-file, PDF
// and ZIP acceptance, streaming, hand-over when a candidate is removed, classic
// sizing; and the PDF-information, core-properties, property-set and
// compound-directory readers alone on the raw input.
#include "engine/carver/analysers/OleAnalyser.h"
#include "engine/carver/analysers/PdfAnalyzer.h"
#include "engine/carver/analysers/ZipAnalyser.h"
#include "engine/carver/metadata/OfficeTagFromXML.h"
#include "engine/carver/metadata/SummaryInformation.h"
#include "tests/fuzz/CarveFamily.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BruteForce::PdfAnalyzer pdf;
    // The classic sizer gives up in the first sector past its limit.
    salvor::fuzz::DriveAnalyser(pdf, data, size, FilePDFAnalyser::kScanLimit + 4096);
    FileZIPAnalyser zip;
    salvor::fuzz::DriveAnalyser(zip, data, size, FileZIPAnalyser::kWalkLimit + (1u << 20));
    FileOLEAnalyser ole;
    salvor::fuzz::DriveAnalyser(ole, data, size, FileOLEAnalyser::kSizeCap + (1u << 20));
    CRawFileInfo kind;
    FileOLEAnalyser::CheckSectDirData(data, static_cast<int>(std::min<std::size_t>(size, 1024)), &kind);
    FileProperty info;
    Orvex::OfficeTagFromXML::GetOfficeTagFromXML(bytes::Bytes(data, size), info);
    Orvex::OfficeTagFromXML::AnalyzeTag(std::string(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 10240)), info);
    CSummaryInFormation().GetFileInformation(data, info, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
    BruteForce::PdfTitleAnalyzer().ObtainPerSecPDFInformation(data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)),
                                                              false, info);
    return 0;
}
