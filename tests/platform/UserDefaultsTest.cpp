#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/Fixture.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace salvor::platform;
using salvor::test::ScopedEnv;
using salvor::test::TempDir;

namespace {

TEST(UserDefaults, LiveUnderXdgConfigHome) {
    TempDir dir;
    ScopedEnv cfg("XDG_CONFIG_HOME", dir.path());
    EXPECT_EQ(configDir().toStdString(), dir.path() + "/salvor");
    UserDefaults::setParticipate(true);
    EXPECT_TRUE(QFile::exists(UserDefaults::settingsPath()));
    EXPECT_EQ(UserDefaults::settingsPath().toStdString(), dir.path() + "/salvor/defaults.conf");
}

TEST(UserDefaults, FallsBackToHomeWithoutXdg) {
    TempDir dir;
    ScopedEnv home("HOME", dir.path());
    ScopedEnv cfg("XDG_CONFIG_HOME", "relative/ignored");
    ScopedEnv state("XDG_STATE_HOME", "");
    EXPECT_EQ(configDir().toStdString(), dir.path() + "/.config/salvor");
    EXPECT_EQ(stateDir().toStdString(), dir.path() + "/.local/state/salvor");
}

TEST(UserDefaults, AppleLanguagesKeepsItsListShape) {
    TempDir dir;
    ScopedEnv cfg("XDG_CONFIG_HOME", dir.path());
    EXPECT_TRUE(UserDefaults::appleLanguages().isEmpty());
    UserDefaults::setAppleLanguages({QStringLiteral("de")});
    EXPECT_EQ(UserDefaults::appleLanguages(), QStringList{QStringLiteral("de")});
    UserDefaults::setAppleLanguages({QStringLiteral("fr"), QStringLiteral("en")});
    EXPECT_EQ(UserDefaults::appleLanguages(), (QStringList{QStringLiteral("fr"), QStringLiteral("en")}));
    UserDefaults::setAppleLanguages({});
    EXPECT_TRUE(UserDefaults::appleLanguages().isEmpty());
}

TEST(UserDefaults, ParticipateAndPlainValues) {
    TempDir dir;
    ScopedEnv cfg("XDG_CONFIG_HOME", dir.path());
    EXPECT_FALSE(UserDefaults::participate());
    UserDefaults::setParticipate(true);
    EXPECT_TRUE(UserDefaults::participate());
    UserDefaults::setValue(QStringLiteral("bRevise"), 3);
    EXPECT_TRUE(UserDefaults::contains(QStringLiteral("bRevise")));
    EXPECT_EQ(UserDefaults::value(QStringLiteral("bRevise")).toInt(), 3);
    UserDefaults::remove(QStringLiteral("bRevise"));
    EXPECT_FALSE(UserDefaults::contains(QStringLiteral("bRevise")));
    EXPECT_EQ(UserDefaults::value(QStringLiteral("bRevise"), 9).toInt(), 9);
}

} // namespace
