#include "engine/ntfs/NtfsRegistration.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsBoot.h"

void RegisterNtfsLibrary() {
    Factories().ntfsVolume = ntfs::CreateNTFSVolumeAnalyze;
}
