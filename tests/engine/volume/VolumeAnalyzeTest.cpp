// The volume analysis asks the registered recognisers in a fixed order and
// answers the first that knows the volume; it owns them all.
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <map>
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
    // The program's table (RegisterAllLibraries, in its order), each file
    // system's recogniser a fake that knows volumes of its kind (FS_UNKNOWN:
    // none; -1: makes no analyser; no kind given: no recogniser).
    void Register(const char* name, int kind) {
        static const std::map<std::string, const char*> shortName = {
            {"FAT", "fat"}, {"exFAT", "exfat"}, {"NTFS", "ntfs"}, {"HFS+", "hfs"}, {"APFS", "apfs"}};
        kinds[name] = kind;
        ResetFactories();
        RegisterAllLibraries();
        std::vector<FileSystemEntry> entries = FileSystems().Entries();
        ResetFactories();
        for (FileSystemEntry& e : entries) {
            const auto known = shortName.find(e.name);
            const char* fs = known == shortName.end() ? nullptr : known->second;
            e.recognise = nullptr;
            if (fs && kinds.count(fs))
                e.recognise = [this, fs](IStorageDevice*, unsigned long long start) -> IVolumeAnalyze* {
                    made.push_back(fs);
                    this->start = start;
                    const int kind = kinds.at(fs);
                    return kind < 0 ? nullptr : new Fake(*this, static_cast<enumFILE_SYSTEM_TYPE>(kind));
                };
            FileSystems().Add(std::move(e));
        }
    }
    std::map<std::string, int> kinds;
    void TearDown() override { ResetFactories(); }
    std::vector<std::string> made;
    unsigned long long start = 0;
    int destroyed = 0;
};

TEST_F(VolumeAnalysis, AsksEveryRecogniserInOrderAndTheFirstThatKnowsWins) {
    Register("apfs", FS_APFS);
    Register("hfs", FS_UNKNOWN);
    Register("ntfs", FS_NTFS);
    Register("exfat", -1);
    Register("fat", FS_FAT32);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 63));
    EXPECT_EQ(made, (std::vector<std::string>{"fat", "exfat", "ntfs", "hfs", "apfs"}));
    EXPECT_EQ(start, 63u);
    ASSERT_NE(c->GetVolumeAnzlyzer(), nullptr);
    EXPECT_EQ(c->GetVolumeAnzlyzer()->GetFileSystemType(), FS_FAT32) << "a volume FAT and NTFS both accept is FAT";

    Register("fat", FS_UNKNOWN);
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
    Register("exfat", FS_EXFAT);
    Register("hfs", FS_HFSPLUS);
    Register("apfs", FS_APFS);
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
    Register("fat", FS_UNKNOWN);
    Register("ntfs", FS_UNKNOWN);
    std::unique_ptr<IVolumeAnalyzeController> c(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr);
    ResetFactories();
    c.reset(CreateVolumeAnalyzeController(nullptr, 0));
    EXPECT_EQ(c->GetVolumeAnzlyzer(), nullptr) << "no recogniser registered";
}

} // namespace
