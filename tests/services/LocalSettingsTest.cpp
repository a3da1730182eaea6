// Local settings in the "LocalVersionMessage" property list: reads from the
// shipped copy until the first write, which goes atomically to the user's
// copy; the shipped file is never written.
#include "services/PublicUtilities.h"

#include "platform/PropertyList.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <filesystem>

namespace {

using salvor::test::ScopedEnv;
using salvor::test::TempDir;

class LocalSettings : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(std::string(SALVOR_SOURCE_DIR) + "/resources/LocalVersionMessage.plist",
                                   m_resources.file("LocalVersionMessage.plist"));
        m_shippedHash = salvor::test::Sha256File(m_resources.file("LocalVersionMessage.plist"));
    }

    TempDir m_resources, m_config;
    ScopedEnv m_resourceEnv{"SALVOR_RESOURCE_DIR", m_resources.path()};
    ScopedEnv m_configEnv{"XDG_CONFIG_HOME", m_config.path()};
    std::string m_shippedHash;
};

TEST_F(LocalSettings, ReadsTheShippedCopyUntilWritten) {
    EXPECT_EQ(VXPublicUtilities::getUpDataTimeStr(), ""); // present but empty
    EXPECT_FALSE(VXPublicUtilities::getUpDataTimeStr().isNull());
    EXPECT_FALSE(QFile::exists(QString::fromStdString(m_config.path() + "/salvor/LocalVersionMessage.plist")));
}

TEST_F(LocalSettings, WritesGoToTheUsersCopyOnly) {
    ASSERT_TRUE(VXPublicUtilities::writeUpDataTimeStr("2024-03-03 14:05:09"));
    ASSERT_TRUE(VXPublicUtilities::writeSavePath("/home/user/Scans"));
    EXPECT_EQ(VXPublicUtilities::getUpDataTimeStr(), "2024-03-03 14:05:09");
    EXPECT_EQ(VXPublicUtilities::getSavePath(), "/home/user/Scans");

    const QString copy = QString::fromStdString(m_config.path() + "/salvor/LocalVersionMessage.plist");
    const QVariantMap written = salvor::platform::readPropertyList(copy).toMap();
    EXPECT_EQ(written.value("upDataTimeStr").toString(), "2024-03-03 14:05:09");
    EXPECT_EQ(written.value("SavePath").toString(), "/home/user/Scans");
    // The rest of the shipped list came along.
    EXPECT_EQ(written.value("VersionCheck").toLongLong(), 1);
    EXPECT_TRUE(written.value("en").toMap().contains("IniURL"));
    // No temporary file is left beside the copy.
    EXPECT_EQ(QDir(QString::fromStdString(m_config.path() + "/salvor")).entryList(QDir::Files),
              QStringList{"LocalVersionMessage.plist"});
    EXPECT_EQ(salvor::test::Sha256File(m_resources.file("LocalVersionMessage.plist")), m_shippedHash);
}

TEST_F(LocalSettings, MissingEntryIsNull) {
    ASSERT_TRUE(salvor::platform::updatePropertyList(VXPublicUtilities::kLocalVersionMessage,
                                                     [](QVariantMap& list) { list.remove("SavePath"); }));
    EXPECT_TRUE(VXPublicUtilities::getSavePath().isNull());
}

} // namespace
