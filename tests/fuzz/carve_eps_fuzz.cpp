// The EPS analyser through the shared carve driver: text EPS followed to its
// zero tail, binary EPS sized from its section table.
#include "engine/carver/analysers/EpsAnalyser.h"
#include "tests/fuzz/CarveFamily.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BruteForce::CEPSAnalyser eps;
    salvor::fuzz::DriveAnalyser(eps, data, size, BruteForce::CEPSAnalyser::kTextCap);
    return 0;
}
