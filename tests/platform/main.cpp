// Runs the platform and services tests inside a QCoreApplication, as the
// program runs, so that posts to the main thread are delivered by its loop;
// HOME, the XDG folders and the engine's work folder point at a temporary
// folder so that no test touches the developer's settings or leaves files
// behind.
#include "tests/support/Fixture.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    salvor::test::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home.path() + "/config").c_str(), 1);
    setenv("XDG_STATE_HOME", (home.path() + "/state").c_str(), 1);
    setenv("SALVOR_WORK_DIR", (home.path() + "/work").c_str(), 1);
    unsetenv("SALVOR_RESOURCE_DIR");
    unsetenv("SALVOR_NETWORK_PROBE_URL");
    setenv("LANG", "en_US.UTF-8", 1);
    QCoreApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
