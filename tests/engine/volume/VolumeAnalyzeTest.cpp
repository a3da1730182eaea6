// The volume analysis asks the registered recognisers in a fixed order and
// answers the first that knows the volume; it owns them all.
#include "engine/include/FactoryRegistry.h"
#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

class VolumeAnalysis : public ::testing::Test {
protected:
    class Fake : public IVolumeAnalyze {
    public:
        Fake(VolumeAnalysis& t, enumFILE_SYSTEM_TYPE kind) : t_(t), kind_(kind) {}
        ~Fake() override { ++t_.destroyed; }
        enumFILE_SYSTEM_TYPE GetFileSystemType() override { return kind_; }
        unsigned long long GetTotalSector() override { return 1000; }
        void GetLabel(char*, int) override {}

    private:
        VolumeAnalysis& t_;
        enumFILE_SYSTEM_TYPE kind_;
    };
    // A recogniser registered in slot that knows volumes of the kind (FS_UNKNOWN: none; -1: makes no analyser).
    void Register(EngineFactories::Recogniser EngineFactories::*slot, const char* name, int kind) {
        Factories().*slot = [this, name, kind](IStorageDevice*, unsigned long long start) -> IVolumeAnalyze* {
            made.push_back(name);
            this->start = start;
            return kind < 0 ? nullptr : new Fake(*this, static_cast<enumFILE_SYSTEM_TYPE>(kind));
        };
    }
    void TearDown() override { ResetFactories(); }
    std::vector<std::string> made;
    unsigned long long start = 0;
    int destroyed = 0;
};

TEST_F(VolumeAnalysis, AsksEveryRecogniserInOrderAndTheFirstThatKnowsWins) {
    Register(&EngineFactories::apfsVolume, "apfs", FS_APFS);
    Register(&EngineFactories::hfsPlusVolume, "hfs", FS_UNKNOWN);
    Register(&EngineFactories::ntfsVolume, "ntfs", FS_NTFS);
    Register(&EngineFactories::exFatVolume, "exfat", -1);
    Register(&EngineFactories::fatVolume, "fat", FS_FAT32);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 63));
    EXPECT_EQ(made, (std::vector<std::string>{"fat", "exfat", "ntfs", "hfs", "apfs"}));
    EXPECT_EQ(start, 63u);
    ASSERT_NE(c->GetVolumeAnzlyzer(), nullptr);
    EXPECT_EQ(c->GetVolumeAnzlyzer()->GetFileSystemType(), FS_FAT32) << "a volume FAT and NTFS both accept is FAT";

    Register(&EngineFactories::fatVolume, "fat", FS_UNKNOWN);
    c.reset(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(destroyed, 4) << "the first controller's recognisers";
    IVolumeAnalyze* a = c->GetVolumeAnzlyzer();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, c->GetVolumeAnzlyzer());
    EXPECT_EQ(a->GetFileSystemType(), FS_NTFS);
    c.reset();
    EXPECT_EQ(destroyed, 8);
}

// The recognition order is the rule for a volume two file systems claim: the
// earlier wins, every later claimant is logged once, however often asked.
TEST_F(VolumeAnalysis, WhenTwoKnowTheVolumeTheFirstInTheOrderWinsAndTheOtherIsLogged) {
    const std::string log = std::string(CatchExeception::GetWorkPath()) + "/recovery.log";
    CatchExeception::WriteLog("recognition order test\n");
    const long long before = GetFileSize(log.c_str());
    Register(&EngineFactories::exFatVolume, "exfat", FS_EXFAT);
    Register(&EngineFactories::hfsPlusVolume, "hfs", FS_HFSPLUS);
    Register(&EngineFactories::apfsVolume, "apfs", FS_APFS);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 2048));
    ASSERT_NE(c->GetVolumeAnzlyzer(), nullptr);
    EXPECT_EQ(c->GetVolumeAnzlyzer()->GetFileSystemType(), FS_EXFAT);
    EXPECT_EQ(c->GetVolumeAnzlyzer(), c->GetVolumeAnzlyzer());
    const std::string text = salvor::test::ReadWholeFile(log).substr(static_cast<std::size_t>(before));
    EXPECT_NE(text.find("volume at sector 2048: file system 8 also claims it; 7 comes first and wins\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("volume at sector 2048: file system 9 also claims it; 7 comes first and wins\n"),
              std::string::npos);
    std::size_t lines = 0;
    for (std::size_t at = text.find("also claims"); at != std::string::npos; at = text.find("also claims", at + 1))
        ++lines;
    EXPECT_EQ(lines, 2u) << "once each";
}

TEST_F(VolumeAnalysis, NothingKnowsAnUnformattedArea) {
    Register(&EngineFactories::fatVolume, "fat", FS_UNKNOWN);
    Register(&EngineFactories::ntfsVolume, "ntfs", FS_UNKNOWN);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr);
    ResetFactories();
    c.reset(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr) << "no recogniser registered";
}

} // namespace
