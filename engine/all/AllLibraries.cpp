#include "engine/all/AllLibraries.h"

#include "engine/apfs/ApfsRegistration.h"
#include "engine/carver/CarverRegistration.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatRegistration.h"
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "engine/ntfs/NtfsRegistration.h"

void RegisterAllLibraries() {
    // A library the table has already (a second call) is refused and keeps
    // its first entry.
    RegisterFatLibrary();
    RegisterExfatLibrary();
    RegisterNtfsLibrary();
    RegisterHfsPlusLibrary();
    RegisterApfsLibrary();
    RegisterCarverLibrary();
}
