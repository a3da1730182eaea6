#include "app/Startup.h"

#include "engine/all/AllLibraries.h"

namespace salvor::app {

void startUp() {
    RegisterAllLibraries();
}

} // namespace salvor::app
