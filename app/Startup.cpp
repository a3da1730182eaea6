#include "app/Startup.h"

#include "engine/all/AllLibraries.h"
#include "savedscan/SaveRestoreResult.h"

namespace salvor::app {

void startUp() {
    RegisterAllLibraries();
    // A save cut short by a kill or a power cut gets its old bytes back.
    SaveRestoreResult::PutBackInterruptedSaves();
}

} // namespace salvor::app
