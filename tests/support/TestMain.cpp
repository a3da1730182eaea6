// The main of the GoogleTest programs: the engine's work folder (its log and
// UIConfig.ini) is a temporary folder of this run, removed at its end, never
// the folder of the test executables. A SALVOR_WORK_DIR already set is kept.
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    salvor::test::TempDir work;
    setenv("SALVOR_WORK_DIR", work.path().c_str(), 0);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
