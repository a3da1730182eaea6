#include "engine/carver/CarverRegistration.h"

#include "engine/carver/RAWSearchController.h"
#include "engine/include/FactoryRegistry.h"

ICompleteFileSystemSearchController* CreateCarver() { return new CRAWSearchController(); }

void RegisterCarverLibrary() { Factories().rawSearcher = CreateCarver; }
