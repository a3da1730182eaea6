// The document analysers through the shared carve driver: PDF acceptance,
// streaming, hand-over when a candidate is removed, classic sizing; and the
// document-information reader alone on the raw input.
#include "engine/carver/analysers/PdfAnalyzer.h"
#include "tests/fuzz/CarveFamily.h"

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BruteForce::PdfAnalyzer pdf;
    // The classic sizer gives up in the first sector past its limit.
    salvor::fuzz::DriveAnalyser(pdf, data, size, FilePDFAnalyser::kScanLimit + 4096);
    FileProperty info;
    BruteForce::PdfTitleAnalyzer().ObtainPerSecPDFInformation(data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)),
                                                              false, info);
    return 0;
}
