#include "engine/apfs/ApfsRegistration.h"

#include "engine/apfs/ApfsDeepScan.h"
#include "engine/apfs/ApfsRecognize.h"
#include "engine/include/FactoryRegistry.h"

void RegisterApfsLibrary() {
    EngineFactories& f = Factories();
    f.apfsVolume = apfs::CreateAPFSVolumeAnalyze;
    f.apfsSearcher = apfs::CreateAPFSDeepSearcher;
    f.apfsQuickSearcher = apfs::CreateAPFSQuickSearcher;
}
