// The picture analysers through the shared carve driver, one per input
// chosen by the flag byte's upper bits: PNG and PSD streaming records with
// their classic sizers, GIF's block walk, and the first-sector sizers of BMP,
// icons, Apple icons, Minolta raws, metafiles and fonts; DXF and InDesign
// walks; Paint Shop Pro blocks; WordPerfect graphics; Sigma and Canon raws;
// the XML family; 3D Studio meshes and ROM images; AutoCAD drawings.
#include "engine/carver/analysers/CrwAnalyser.h"
#include "engine/carver/analysers/DwgAnalyser.h"
#include "engine/carver/analysers/DxfAnalyser.h"
#include "engine/carver/analysers/GifAnalyser.h"
#include "engine/carver/analysers/InddAnalyser.h"
#include "engine/carver/analysers/MetafileFontAnalysers.h"
#include "engine/carver/analysers/PngAnalyser.h"
#include "engine/carver/analysers/PsdAnalyser.h"
#include "engine/carver/analysers/PspAnalyser.h"
#include "engine/carver/analysers/SmallPictureAnalysers.h"
#include "engine/carver/analysers/SvgAnalyser.h"
#include "engine/carver/analysers/ThreeDsAnalyser.h"
#include "engine/carver/analysers/WpgAnalyser.h"
#include "engine/carver/analysers/X3fAnalyser.h"
#include "tests/fuzz/CarveFamily.h"

#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::unique_ptr<IRawFileAnalyser> analyser;
    unsigned long long cap = 0xD000000;
    switch ((data[0] >> 1) % 19) {
    case 0: analyser = std::make_unique<RawSpeed::PNGAnalyser>(); break;
    case 1:
        analyser = std::make_unique<RawSpeed::PSDAnalyser>();
        cap = 5 * RawSpeed::PSDRawFileInfo::kLimit;
        break;
    case 2: analyser = std::make_unique<BruteForce::CGifAnalyser>(); break;
    case 3: analyser = std::make_unique<FileBMPAnalyser>(); break;
    case 4: analyser = std::make_unique<FileICOAnalyser>(); break;
    case 5: analyser = std::make_unique<FileICNSAnalyser>(); break;
    case 6: analyser = std::make_unique<FileMRWAnalyser>(); break;
    case 7: analyser = std::make_unique<FileEMFAnalyser>(); break;
    case 8: analyser = std::make_unique<FileWMFAnalyser>(); break;
    case 9: analyser = std::make_unique<FileTTFAnalyser>(); break;
    case 10:
        analyser = std::make_unique<RawSpeed::InddAnalyser>();
        cap = RawSpeed::InddRawFileInfo::kLimit + 2 * RawSpeed::InddRawFileInfo::kPage;
        break;
    case 11: analyser = std::make_unique<BruteForce::CDXFAnalyser>(); break;
    case 12: analyser = std::make_unique<RawSpeed::PSPAnalyser>(); break;
    case 13: analyser = std::make_unique<RawSpeed::WpgAnalyser>(); break;
    case 14:
        analyser = std::make_unique<Orvex::X3FAnalyser>();
        cap = Orvex::X3FRawFileInfo::kLimit + 2 * 4096;
        break;
    case 15: analyser = std::make_unique<Orvex::CRWAnalyser>(); break;
    case 16:
        analyser = std::make_unique<Orvex::SVGAnalyser>();
        cap = Orvex::SVGRawFileInfo::kLimit + 2 * 4096 + 3;
        break;
    case 17:
        analyser = std::make_unique<RawSpeed::New3DSAnalyser>();
        cap = 5 * RawSpeed::New3DSRawFileInfo::kLimit;
        break;
    default:
        analyser = std::make_unique<BruteForce::CDWGAnalyser>();
        cap = BruteForce::CDWGRawInfo::kCap;
        break;
    }
    salvor::fuzz::DriveAnalyser(*analyser, data, size, cap);
    return 0;
}
