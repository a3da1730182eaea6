#include "app/Startup.h"

#include "engine/all/AllLibraries.h"
#include "savedscan/SaveRestoreResult.h"

namespace salvor::app {

void startUp() {
    RegisterAllLibraries();
    // The facade reaches saving and loading through this registration.
    RegisterSavedScan();
}

} // namespace salvor::app
