#include "engine/hfsplus/HfsPlusRegistration.h"

#include "engine/hfsplus/HfsPlusDeepSearch.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/FactoryRegistry.h"

void RegisterHfsPlusLibrary() {
    EngineFactories& f = Factories();
    f.hfsPlusVolume = hfsplus::CreateHFSPlusVolumeAnalyze;
    f.hfsPlusQuickSearcher = hfsplus::CreateHFSPlusQuickSearcher;
    f.hfsPlusSearcher = hfsplus::CreateHFSPlusSearcher;
}
