#include "platform/Paths.h"
#include "platform/PropertyList.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/Fixture.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSize>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace salvor::platform;
using salvor::test::ScopedEnv;
using salvor::test::TempDir;
namespace fs = std::filesystem;

namespace {

QVariantMap sample() {
    QVariantMap inner;
    inner.insert(QStringLiteral("AboutURL"), QStringLiteral("https://example.org/a?b=1&c=<2>"));
    inner.insert(QStringLiteral("empty"), QString());
    QVariantMap m;
    m.insert(QStringLiteral("VersionCheck"), qlonglong(42));
    m.insert(QStringLiteral("negative"), qlonglong(-7));
    m.insert(QStringLiteral("big"), qlonglong(1) << 40);
    m.insert(QStringLiteral("real"), 2.5);
    m.insert(QStringLiteral("yes"), true);
    m.insert(QStringLiteral("no"), false);
    m.insert(QStringLiteral("when"), QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7), Qt::UTC));
    m.insert(QStringLiteral("bytes"), QByteArray("\x00\x01\xfe\xff plist", 11));
    m.insert(QStringLiteral("upDataTimeStr"), QStringLiteral("2024-01-02 03:04:05"));
    m.insert(QStringLiteral("text"), QStringLiteral("Grüße — 日本 \"quoted\""));
    m.insert(QStringLiteral("list"), QVariantList{qlonglong(1), QStringLiteral("two"), QVariantList{}, inner});
    m.insert(QStringLiteral("en"), inner);
    return m;
}

void expectSame(const QVariantMap& a, const QVariantMap& b) {
    ASSERT_EQ(a.keys(), b.keys());
    for (const QString& k : a.keys()) EXPECT_EQ(a.value(k), b.value(k)) << k.toStdString();
}

std::string readAll(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll().toStdString();
}

std::map<std::string, std::string> hashTree(const std::string& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out[e.path().string()] = salvor::test::Sha256File(e.path().string());
    return out;
}

void setTreeWritable(const std::string& dir, bool writable) {
    const auto w = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        fs::permissions(e.path(), w, writable ? fs::perm_options::add : fs::perm_options::remove);
    fs::permissions(dir, w, writable ? fs::perm_options::add : fs::perm_options::remove);
}

// Runs fn as an unprivileged user when the tests run as root, for whom
// permission bits do not stop a write. Answers fn's result.
template <class Fn>
bool asUnprivileged(Fn fn) {
    if (geteuid() != 0) return fn();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        _exit(fn() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 3) << "could not drop privileges";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
}

TEST(PropertyList, FileRoundTripAndTopLevelArray) {
    TempDir dir;
    const QString path = QString::fromStdString(dir.file("a.plist"));
    ASSERT_TRUE(writePropertyList(path, sample()));
    expectSame(readPropertyList(path).toMap(), sample());
    const QVariantList list{QStringLiteral("x"), 1.25};
    ASSERT_TRUE(writePropertyList(path, list, PlistFormat::Binary));
    EXPECT_EQ(readPropertyList(path).toList(), list);
    // No temporary files are left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(PropertyList, BadInputGivesAnErrorNotACrash) {
    QString error;
    EXPECT_FALSE(parsePropertyList(QByteArray(), &error).isValid());
    EXPECT_FALSE(parsePropertyList("not a plist at all", &error).isValid());
    EXPECT_FALSE(error.isEmpty());
    const QByteArray xml = serializePropertyList(sample());
    EXPECT_FALSE(parsePropertyList(xml.left(xml.size() / 2)).isValid());
    const QByteArray bin = serializePropertyList(sample(), PlistFormat::Binary);
    for (int cut : {8, 40, static_cast<int>(bin.size()) - 10}) parsePropertyList(bin.left(cut));
    EXPECT_FALSE(readPropertyList(QStringLiteral("/nonexistent/x.plist"), &error).isValid());
}

TEST(PropertyList, UnsupportedValueIsRefusedAndTheFileKept) {
    TempDir dir;
    const QString path = QString::fromStdString(dir.file("keep.plist"));
    ASSERT_TRUE(writePropertyList(path, sample()));
    const std::string before = readAll(dir.file("keep.plist"));
    QVariantMap bad = sample();
    bad.insert(QStringLiteral("object"), QVariant::fromValue(QSize(1, 2)));
    QString error;
    EXPECT_FALSE(writePropertyList(path, bad, PlistFormat::Xml, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(writePropertyList(path, QDateTime(QDate(1800, 1, 1), QTime(0, 0), Qt::UTC)));
    EXPECT_EQ(readAll(dir.file("keep.plist")), before);
}

TEST(PropertyList, FailedWriteInAReadOnlyFolderLeavesTheOldFileIntact) {
    TempDir dir;
    // The unprivileged writer must reach the folder; only the folder refuses.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    const std::string folder = dir.file("ro");
    fs::create_directory(folder);
    const QString path = QString::fromStdString(folder + "/LocalVersionMessage.plist");
    ASSERT_TRUE(writePropertyList(path, sample()));
    const std::string before = readAll(folder + "/LocalVersionMessage.plist");
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    QVariantMap changed = sample();
    changed.insert(QStringLiteral("upDataTimeStr"), QStringLiteral("changed"));
    const bool wrote = asUnprivileged([&] { return writePropertyList(path, changed); });
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add);
    EXPECT_FALSE(wrote);
    EXPECT_EQ(readAll(folder + "/LocalVersionMessage.plist"), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST(PropertyList, ShippedCopyIsNeverWrittenAndTheWritableCopyIsSeeded) {
    TempDir dir;
    const std::string shipped = dir.file("resources");
    fs::create_directory(shipped);
    ASSERT_TRUE(writePropertyList(QString::fromStdString(shipped + "/LocalVersionMessage.plist"), sample()));
    setTreeWritable(shipped, false);
    const auto hashes = hashTree(shipped);
    ScopedEnv res("SALVOR_RESOURCE_DIR", shipped);
    ScopedEnv cfg("XDG_CONFIG_HOME", dir.file("config"));

    const QString name = QStringLiteral("LocalVersionMessage.plist");
    EXPECT_EQ(propertyListPath(name).toStdString(), shipped + "/LocalVersionMessage.plist");
    EXPECT_EQ(loadPropertyList(name).value(QStringLiteral("VersionCheck")).toLongLong(), 42);

    QString error;
    ASSERT_TRUE(updatePropertyList(
        name, [](QVariantMap& m) { m.insert(QStringLiteral("upDataTimeStr"), QStringLiteral("2030-01-01 00:00:00")); },
        &error))
        << error.toStdString();
    const std::string writable = dir.file("config") + "/salvor/LocalVersionMessage.plist";
    EXPECT_EQ(writablePropertyListPath(name).toStdString(), writable);
    EXPECT_EQ(propertyListPath(name).toStdString(), writable);
    const QVariantMap now = loadPropertyList(name);
    EXPECT_EQ(now.value(QStringLiteral("upDataTimeStr")).toString(), QStringLiteral("2030-01-01 00:00:00"));
    EXPECT_EQ(now.value(QStringLiteral("VersionCheck")).toLongLong(), 42); // seeded from the shipped copy
    EXPECT_EQ(now.value(QStringLiteral("en")), sample().value(QStringLiteral("en")));

    ASSERT_TRUE(updatePropertyList(name, [](QVariantMap& m) { m.insert(QStringLiteral("SavePath"), QStringLiteral("/x")); }));
    EXPECT_EQ(loadPropertyList(name).value(QStringLiteral("upDataTimeStr")).toString(),
              QStringLiteral("2030-01-01 00:00:00"));

    EXPECT_EQ(hashTree(shipped), hashes);
    setTreeWritable(shipped, true);
}

TEST(PropertyList, ShippedResourcesOfTheBuildAreFound) {
    const QString dir = resourceDir();
    ASSERT_FALSE(dir.isEmpty()) << "no resources folder beside the test executable";
    EXPECT_TRUE(QFile::exists(dir + QStringLiteral("/en.lproj/Localizable.strings")));
    const QVariant shipped = readPropertyList(dir + QStringLiteral("/LocalVersionMessage.plist"));
    ASSERT_EQ(shipped.typeId(), QMetaType::QVariantMap);
    EXPECT_TRUE(shipped.toMap().value(QStringLiteral("en")).toMap().contains(QStringLiteral("APFS_HELP_URL")));
}

} // namespace
