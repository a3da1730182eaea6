#include "engine/all/AllLibraries.h"

#include "engine/apfs/ApfsRegistration.h"
#include "engine/carver/CarverRegistration.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatRegistration.h"
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "engine/ntfs/NtfsRegistration.h"

void RegisterAllLibraries() {
    RegisterFatLibrary();
    RegisterExfatLibrary();
    RegisterNtfsLibrary();
    RegisterHfsPlusLibrary();
    RegisterApfsLibrary();
    RegisterCarverLibrary();
}
