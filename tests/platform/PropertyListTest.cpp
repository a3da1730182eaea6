// Property lists (every type, atomic writes, the shipped copy never written)
// and the user defaults and their folders.
#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/Fixture.h"

#include <QDateTime>
#include <QFile>
#include <QSize>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

using namespace salvor::platform;
using salvor::test::ScopedEnv;
using salvor::test::TempDir;
namespace fs = std::filesystem;

namespace {

QVariantMap sample() {
    QVariantMap inner{{"AboutURL", QStringLiteral("https://example.org/a?b=1&c=<2>")}, {"empty", QString()}};
    return {{"VersionCheck", qlonglong(42)},
            {"negative", qlonglong(-7)},
            {"big", qlonglong(1) << 40},
            {"real", 2.5},
            {"yes", true},
            {"no", false},
            {"when", QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7), Qt::UTC)},
            {"bytes", QByteArray("\x00\x01\xfe\xff plist", 11)},
            {"text", QStringLiteral("Grüße — 日本 \"quoted\"")},
            {"list", QVariantList{qlonglong(1), QStringLiteral("two"), QVariantList{}, inner}},
            {"en", inner}};
}

void expectSame(const QVariantMap& a, const QVariantMap& b) {
    ASSERT_EQ(a.keys(), b.keys());
    for (const QString& k : a.keys())
        EXPECT_EQ(a.value(k), b.value(k)) << k.toStdString();
}

std::size_t filesIn(const std::string& dir) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

TEST(PropertyList, RoundTripOfEveryTypeIsStable) {
    for (PlistFormat format : {PlistFormat::Xml, PlistFormat::Binary}) {
        QString error;
        const QByteArray first = serializePropertyList(sample(), format, &error);
        ASSERT_FALSE(first.isEmpty()) << error.toStdString();
        const QVariant parsed = parsePropertyList(first, &error);
        ASSERT_EQ(parsed.typeId(), QMetaType::QVariantMap) << error.toStdString();
        expectSame(parsed.toMap(), sample());
        EXPECT_EQ(serializePropertyList(parsed, format), first);
    }
    TempDir dir; // through a file, also with a list at the top
    const QString path = QString::fromStdString(dir.file("a.plist"));
    ASSERT_TRUE(writePropertyList(path, sample()));
    expectSame(readPropertyList(path).toMap(), sample());
    const QVariantList list{QStringLiteral("x"), 1.25};
    ASSERT_TRUE(writePropertyList(path, list, PlistFormat::Binary));
    EXPECT_EQ(readPropertyList(path).toList(), list);
    EXPECT_EQ(filesIn(dir.path()), 1u); // no temporary files left behind
}

TEST(PropertyList, BadInputAndUnsupportedValuesGiveAnErrorAndKeepTheFile) {
    QString error;
    EXPECT_FALSE(parsePropertyList(QByteArray(), &error).isValid());
    EXPECT_FALSE(parsePropertyList("not a plist at all", &error).isValid());
    EXPECT_FALSE(error.isEmpty());
    const QByteArray xml = serializePropertyList(sample());
    EXPECT_FALSE(parsePropertyList(xml.left(xml.size() / 2)).isValid());
    const QByteArray bin = serializePropertyList(sample(), PlistFormat::Binary);
    for (int cut : {8, 40, static_cast<int>(bin.size()) - 10})
        parsePropertyList(bin.left(cut));
    EXPECT_FALSE(readPropertyList(QStringLiteral("/nonexistent/x.plist"), &error).isValid());

    TempDir dir;
    const QString path = QString::fromStdString(dir.file("keep.plist"));
    ASSERT_TRUE(writePropertyList(path, sample()));
    const std::string before = salvor::test::ReadWholeFile(dir.file("keep.plist"));
    QVariantMap bad = sample();
    bad.insert(QStringLiteral("object"), QVariant::fromValue(QSize(1, 2)));
    error.clear();
    EXPECT_FALSE(writePropertyList(path, bad, PlistFormat::Xml, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(writePropertyList(path, QDateTime(QDate(1800, 1, 1), QTime(0, 0), Qt::UTC)));
    EXPECT_EQ(salvor::test::ReadWholeFile(dir.file("keep.plist")), before);
}

TEST(PropertyList, FailedWriteInAReadOnlyFolderLeavesTheOldFileIntact) {
    TempDir dir;
    const auto rx = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir.path(), rx | fs::perms::owner_write); // the unprivileged writer reaches the folder
    const std::string folder = dir.file("ro"), file = folder + "/LocalVersionMessage.plist";
    fs::create_directory(folder);
    ASSERT_TRUE(writePropertyList(QString::fromStdString(file), sample()));
    const std::string before = salvor::test::ReadWholeFile(file);
    fs::permissions(folder, rx); // only the folder refuses
    QVariantMap changed = sample();
    changed.insert(QStringLiteral("upDataTimeStr"), QStringLiteral("changed"));
    // As root permission bits do not stop a write: an unprivileged child tries.
    const auto write = [&] { return writePropertyList(QString::fromStdString(file), changed) ? 0 : 1; };
    const int status = geteuid() == 0 ? salvor::test::ExitStatusAsNobody(write) : write();
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(status, 1) << "0: written, 100: could not drop privileges";
    EXPECT_EQ(salvor::test::ReadWholeFile(file), before);
    EXPECT_EQ(filesIn(folder), 1u);
}

TEST(PropertyList, ShippedCopyIsNeverWrittenAndTheWritableCopyIsSeeded) {
    TempDir dir;
    const std::string shipped = dir.file("resources"), shippedFile = shipped + "/LocalVersionMessage.plist";
    fs::create_directory(shipped);
    ASSERT_TRUE(writePropertyList(QString::fromStdString(shippedFile), sample()));
    const std::string hash = salvor::test::Sha256File(shippedFile);
    const auto w = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    for (const std::string& p : {shippedFile, shipped})
        fs::permissions(p, w, fs::perm_options::remove);
    ScopedEnv res("SALVOR_RESOURCE_DIR", shipped), cfg("XDG_CONFIG_HOME", dir.file("config"));

    const QString name = QStringLiteral("LocalVersionMessage.plist");
    EXPECT_EQ(propertyListPath(name).toStdString(), shippedFile);
    EXPECT_EQ(loadPropertyList(name).value(QStringLiteral("VersionCheck")).toLongLong(), 42);
    const QString when = QStringLiteral("2030-01-01 00:00:00");
    QString error;
    ASSERT_TRUE(updatePropertyList(
        name, [&](QVariantMap& m) { m.insert("upDataTimeStr", when); }, &error))
        << error.toStdString();
    const std::string writable = dir.file("config") + "/salvor/LocalVersionMessage.plist";
    EXPECT_EQ(propertyListPath(name).toStdString(), writable);
    const QVariantMap now = loadPropertyList(name);
    EXPECT_EQ(now.value(QStringLiteral("upDataTimeStr")).toString(), when);
    EXPECT_EQ(now.value(QStringLiteral("VersionCheck")).toLongLong(), 42); // seeded from the shipped copy
    EXPECT_EQ(now.value(QStringLiteral("en")), sample().value(QStringLiteral("en")));
    ASSERT_TRUE(updatePropertyList(name, [](QVariantMap& m) { m.insert("SavePath", QStringLiteral("/x")); }));
    EXPECT_EQ(loadPropertyList(name).value(QStringLiteral("upDataTimeStr")).toString(), when);
    EXPECT_EQ(salvor::test::Sha256File(shippedFile), hash);
    for (const std::string& p : {shippedFile, shipped})
        fs::permissions(p, w, fs::perm_options::add);
}

TEST(UserDefaults, FoldersUnderXdgOrHome) {
    TempDir dir;
    {
        ScopedEnv cfg("XDG_CONFIG_HOME", dir.path());
        EXPECT_EQ(configDir().toStdString(), dir.path() + "/salvor");
        UserDefaults::setParticipate(true);
        EXPECT_EQ(UserDefaults::settingsPath().toStdString(), dir.path() + "/salvor/defaults.conf");
        EXPECT_TRUE(QFile::exists(UserDefaults::settingsPath()));
    }
    ScopedEnv home("HOME", dir.path()), cfg("XDG_CONFIG_HOME", "relative/ignored"),
        state("XDG_STATE_HOME", "");
    EXPECT_EQ(configDir().toStdString(), dir.path() + "/.config/salvor");
    EXPECT_EQ(stateDir().toStdString(), dir.path() + "/.local/state/salvor");
}

TEST(UserDefaults, AppleLanguagesKeepsItsListShape) {
    TempDir dir;
    ScopedEnv cfg("XDG_CONFIG_HOME", dir.path());
    EXPECT_TRUE(UserDefaults::appleLanguages().isEmpty());
    for (const QStringList& languages : {QStringList{"de"}, QStringList{"fr", "en"}, QStringList{}}) {
        UserDefaults::setAppleLanguages(languages);
        EXPECT_EQ(UserDefaults::appleLanguages(), languages);
    }
}

} // namespace
