// The volume analysis asks the registered recognisers in a fixed order and
// answers the first that knows the volume.
#include "engine/include/FactoryRegistry.h"
#include "engine/volume/VolumeAnalyzeController.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Log {
    std::vector<std::string> made;
    int destroyed = 0;
    unsigned long long start = 0;
};

class FakeRecogniser : public IVolumeAnalyze {
public:
    FakeRecogniser(Log& log, enumFILE_SYSTEM_TYPE kind, const char* label) : m_log(log), m_kind(kind), m_label(label) {}
    ~FakeRecogniser() override { ++m_log.destroyed; }
    enumFILE_SYSTEM_TYPE GetFileSystemType() override { return m_kind; }
    unsigned long long GetTotalSector() override { return 1000; }
    void GetLabel(char* buffer, int size) override { std::strncpy(buffer, m_label, static_cast<std::size_t>(size)); }

private:
    Log& m_log;
    enumFILE_SYSTEM_TYPE m_kind;
    const char* m_label;
};

EngineFactories::Recogniser Make(Log& log, const char* name, enumFILE_SYSTEM_TYPE kind, bool made = true) {
    return [&log, name, kind, made](IStorageDevice*, unsigned long long start) -> IVolumeAnalyze* {
        log.made.push_back(name);
        log.start = start;
        return made ? new FakeRecogniser(log, kind, name) : nullptr;
    };
}

class VolumeAnalysis : public ::testing::Test {
protected:
    void TearDown() override { ResetFactories(); }
    Log log;
};

} // namespace

TEST_F(VolumeAnalysis, AsksEveryRecogniserInOrderAndTheFirstThatKnowsWins) {
    auto& f = Factories();
    f.apfsVolume = Make(log, "apfs", FS_APFS);
    f.hfsPlusVolume = Make(log, "hfs", FS_UNKNOWN);
    f.ntfsVolume = Make(log, "ntfs", FS_NTFS);
    f.exFatVolume = Make(log, "exfat", FS_UNKNOWN, false);
    f.fatVolume = Make(log, "fat", FS_FAT32);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 63));
    EXPECT_EQ(log.made, (std::vector<std::string>{"fat", "exfat", "ntfs", "hfs", "apfs"}));
    EXPECT_EQ(log.start, 63u);
    IVolumeAnalyze* a = c->GetVolumeAnzlyzer();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), FS_FAT32) << "a volume FAT and NTFS both accept is FAT";

    f.fatVolume = Make(log, "fat", FS_UNKNOWN);
    c.reset(CreateVolumeAnalyzeController(nullptr, 0));
    a = c->GetVolumeAnzlyzer();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), FS_NTFS);
    char label[100] = {};
    a->GetLabel(label, sizeof label);
    EXPECT_STREQ(label, "ntfs");
}

TEST_F(VolumeAnalysis, NothingKnowsAnUnformattedArea) {
    auto& f = Factories();
    f.fatVolume = Make(log, "fat", FS_UNKNOWN);
    f.ntfsVolume = Make(log, "ntfs", FS_UNKNOWN);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr);
    ResetFactories();
    c.reset(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr) << "no recogniser registered";
}

TEST_F(VolumeAnalysis, TheControllerOwnsItsRecognisers) {
    auto& f = Factories();
    f.fatVolume = Make(log, "fat", FS_UNKNOWN);
    f.exFatVolume = Make(log, "exfat", FS_EXFAT);
    f.apfsVolume = Make(log, "apfs", FS_APFS);
    {
        std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 0));
        ASSERT_NE(c->GetVolumeAnzlyzer(), nullptr);
        EXPECT_EQ(c->GetVolumeAnzlyzer(), c->GetVolumeAnzlyzer());
        EXPECT_EQ(log.destroyed, 0);
    }
    EXPECT_EQ(log.destroyed, 3);
}
