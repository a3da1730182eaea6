// Local settings in the "LocalVersionMessage" property list: reads from the
// shipped copy until the first write, which goes atomically to the user's
// copy; the shipped file is never written.
#include "services/PublicUtilities.h"
#include "services/UIController.h"

#include "platform/PropertyList.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <filesystem>

namespace {

using salvor::test::ScopedEnv;
using salvor::test::TempDir;

TEST(LocalSettings, ShippedCopyReadUntilTheFirstWriteMakesTheUsersCopy) {
    TempDir resources, config;
    ScopedEnv resourceEnv("SALVOR_RESOURCE_DIR", resources.path()),
        configEnv("XDG_CONFIG_HOME", config.path());
    const std::string shipped = resources.file("LocalVersionMessage.plist");
    std::filesystem::copy_file(std::string(SALVOR_SOURCE_DIR) + "/resources/LocalVersionMessage.plist",
                               shipped);
    const std::string shippedHash = salvor::test::Sha256File(shipped);
    const QString copy = QString::fromStdString(config.path() + "/salvor/LocalVersionMessage.plist");

    EXPECT_EQ(VXPublicUtilities::getUpDataTimeStr(), ""); // present but empty
    EXPECT_FALSE(VXPublicUtilities::getUpDataTimeStr().isNull());
    EXPECT_FALSE(QFile::exists(copy));

    ASSERT_TRUE(VXPublicUtilities::writeUpDataTimeStr("2024-03-03 14:05:09"));
    ASSERT_TRUE(VXPublicUtilities::writeSavePath("/home/user/Scans"));
    EXPECT_EQ(VXPublicUtilities::getUpDataTimeStr(), "2024-03-03 14:05:09");
    EXPECT_EQ(VXPublicUtilities::getSavePath(), "/home/user/Scans");
    const QVariantMap written = salvor::platform::readPropertyList(copy).toMap();
    EXPECT_EQ(written.value("upDataTimeStr").toString(), "2024-03-03 14:05:09");
    EXPECT_EQ(written.value("SavePath").toString(), "/home/user/Scans");
    EXPECT_TRUE(written.value("en").toMap().contains("IniURL")); // the rest of the shipped list came along
    EXPECT_EQ(salvor::test::Sha256File(shipped), shippedHash);

    ASSERT_TRUE(salvor::platform::updatePropertyList(VXPublicUtilities::kLocalVersionMessage,
                                                     [](QVariantMap& list) { list.remove("SavePath"); }));
    EXPECT_TRUE(VXPublicUtilities::getSavePath().isNull()); // a missing entry
}

// Saved scans go to the user's data folder (made with its parents), never
// beside the program.
TEST(LocalSettings, DefaultSaveFolderUnderTheUsersDataFolder) {
    TempDir data;
    ScopedEnv dataEnv("XDG_DATA_HOME", data.path() + "/a/b");
    const QString folder = VXUIController::shared().GetDefaultSavePath();
    EXPECT_EQ(folder, QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/SaveScan");
    EXPECT_TRUE(folder.startsWith(QString::fromStdString(data.path() + "/a/b/")));
    EXPECT_TRUE(QFileInfo(folder).isDir());
}

} // namespace
