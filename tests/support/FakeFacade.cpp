#include "tests/support/FakeFacade.h"

#include <cstdio>
#include <cstdlib>

void salvor::test::FakeFacade::CloseApp() {
    std::fprintf(stderr, "FakeFacade: CloseApp called\n");
    std::abort();
}
