#include "tests/support/FakeFacade.h"

#include <cstdio>
#include <cstdlib>

namespace salvor::test {

FakeFacade::FakeFacade() { VXUIController::install(this); }

FakeFacade::~FakeFacade() { VXUIController::install(nullptr); }

void FakeFacade::CloseApp() {
    std::fprintf(stderr, "FakeFacade: CloseApp called\n");
    std::abort();
}

} // namespace salvor::test
