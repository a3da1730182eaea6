// The volume analysis asks the registered recognisers in a fixed order and
// answers the first that knows the volume; it owns them all.
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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

// What tells a volume from another made alike: the same volume answers the
// same after what use changes (FAT32's free count, its boot code),
// another serial answers otherwise, and two cards made alike (FAT16) differ.
// An area of one byte value has no identity; other bytes are their own.
class VolumeIdentities : public ::testing::Test {
protected:
    void SetUp() override { RegisterAllLibraries(); }
    void TearDown() override { ResetFactories(); }
    static bool Identity(const std::string& image, unsigned long long start, std::uint64_t& id) {
        salvor::test::ImageDevice device(image);
        return VolumeIdentity(&device, start, id);
    }
    // A copy of image with count bytes at offset set to value.
    std::string Changed(const std::string& image, std::size_t offset, std::size_t count, std::uint8_t value) {
        const std::string copy = dir_.file("copy.img");
        std::filesystem::copy_file(image, copy, std::filesystem::copy_options::overwrite_existing);
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset));
        for (std::size_t i = 0; i < count; ++i) f.put(static_cast<char>(value));
        return copy;
    }
    salvor::test::TempDir dir_;
};

TEST_F(VolumeIdentities, TellVolumesMadeAlikeApartAndKeepTheSameVolumeThroughUse) {
    const std::string fat32 = salvor::test::FixtureFile("fat_32", "fat_32.img");
    ASSERT_FALSE(fat32.empty());
    std::uint64_t id = 0, again = 0;
    ASSERT_TRUE(Identity(fat32, 0, id));
    ASSERT_TRUE(Identity(Changed(fat32, 512 + 488, 4, 0x17), 0, again)) << "FSInfo free count";
    EXPECT_EQ(again, id);
    ASSERT_TRUE(Identity(Changed(fat32, 67, 1, 0x5A), 0, again)) << "FAT32 serial";
    EXPECT_NE(again, id);
    ASSERT_TRUE(Identity(Changed(fat32, 200, 8, 0x90), 0, again)) << "boot code";
    EXPECT_EQ(again, id);

    const std::string one = salvor::test::FixtureFile("cards_alike", "one/card.img");
    const std::string two = salvor::test::FixtureFile("cards_alike", "two/card.img");
    ASSERT_FALSE(one.empty());
    std::uint64_t first = 0, second = 0;
    ASSERT_TRUE(Identity(one, 0, first));
    ASSERT_TRUE(Identity(two, 0, second));
    EXPECT_NE(first, second);

    // No file system: the first sector of other bytes than one value, and
    // where it lies; a zeroed or erased MiB tells nothing.
    ASSERT_TRUE(Identity(Changed(one, 0, 512, 0), 0, first));
    ASSERT_TRUE(Identity(Changed(one, 0, 512, 0xFF), 0, second));
    EXPECT_EQ(first, second) << "the first FAT either way";
    ASSERT_TRUE(Identity(Changed(two, 0, 512, 0), 0, second));
    EXPECT_NE(first, second) << "the other card's FAT";
    EXPECT_FALSE(Identity(Changed(one, 0, 1 << 20, 0), 0, again));
    std::ifstream boot(one, std::ios::binary);
    unsigned char reserved[2] = {};
    boot.seekg(14);
    boot.read(reinterpret_cast<char*>(reserved), 2);
    const unsigned fat = reserved[0] | reserved[1] << 8; // the first FAT's sector
    ASSERT_GT(fat, 0u);
    ASSERT_TRUE(Identity(one, fat, first));
    ASSERT_TRUE(Identity(Changed(one, 39, 4, 0x5A), fat, second)) << "only the boot sector changed";
    EXPECT_EQ(first, second);
    ASSERT_TRUE(Identity(Changed(one, fat * 512 + 100, 1, 0xEE), fat, second));
    EXPECT_NE(first, second);
    EXPECT_FALSE(Identity(one, 1ULL << 40, again)) << "past the device";
}

} // namespace
