// The file-system table: one entry per library, refused a second time; the
// program's order decides a contested volume; the deep team takes its turns.
#include "engine/all/AllLibraries.h"
#include "engine/fat/FatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsRegistration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

class FileSystemTableTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFactories(); }
    void TearDown() override { ResetFactories(); }
    static FileSystemEntry Entry(const char* name, _tagSearcherType type, int turn = 0) {
        FileSystemEntry e;
        e.name = name;
        e.searcherType = type;
        e.deepTurn = turn;
        e.deep = [] { return nullptr; };
        return e;
    }
};

TEST_F(FileSystemTableTest, ARepeatedRegistrationIsRefusedAndTheFirstEntryStays) {
    EXPECT_TRUE(RegisterFatLibrary());
    EXPECT_FALSE(RegisterFatLibrary());
    EXPECT_TRUE(RegisterNtfsLibrary());
    EXPECT_FALSE(RegisterNtfsLibrary());
    ASSERT_EQ(FileSystems().Entries().size(), 2u);

    // The program's list called twice still has one entry per library.
    RegisterAllLibraries();
    RegisterAllLibraries();
    Names names;
    for (const FileSystemEntry& e : FileSystems().Entries()) names.push_back(e.name);
    EXPECT_EQ(names, (Names{"FAT", "NTFS", "exFAT", "HFS+", "APFS", "carver"}));
}

TEST_F(FileSystemTableTest, RefusesAnEntryWithoutANameOrWithAnotherEntrysNameOrSearcherType) {
    FileSystemTable& t = FileSystems();
    EXPECT_FALSE(t.Add(Entry("", SEARCHER_FAT)));
    EXPECT_TRUE(t.Add(Entry("one", SEARCHER_FAT)));
    EXPECT_FALSE(t.Add(Entry("two", SEARCHER_FAT))) << "a searcher type is one library's";
    EXPECT_FALSE(t.Add(Entry("one", SEARCHER_NTFS))) << "a name is one library's";
    EXPECT_TRUE(t.Add(Entry("two", SEARCHER_NTFS)));
    ASSERT_EQ(t.Entries().size(), 2u);
    EXPECT_EQ(t.ForSearcher(SEARCHER_FAT)->name, "one");
    EXPECT_EQ(t.Named("two")->searcherType, SEARCHER_NTFS);
    EXPECT_EQ(t.ForSearcher(SEARCHER_HFSPLUS), nullptr);
}

// The rule for a volume two recognisers know: the library registered first
// wins, and the program registers FAT, exFAT, NTFS, HFS+ and APFS in that
// order (a FAT boot sector that NTFS would also accept is FAT's).
TEST_F(FileSystemTableTest, AContestedVolumeGoesToTheLibraryTheProgramRegistersFirst) {
    RegisterAllLibraries();
    Names recognisers;
    for (const FileSystemEntry& e : FileSystems().Entries())
        if (e.recognise) recognisers.push_back(e.name);
    EXPECT_EQ(recognisers, (Names{"FAT", "exFAT", "NTFS", "HFS+", "APFS"}));
}

TEST_F(FileSystemTableTest, TheDeepTeamTakesItsTurnsAndEqualTurnsKeepTheTablesOrder) {
    RegisterAllLibraries();
    std::vector<int> types;
    for (const FileSystemEntry* e : FileSystems().DeepTeam()) types.push_back(e->searcherType);
    EXPECT_EQ(types, (std::vector<int>{SEARCHER_HFSPLUS, SEARCHER_EXFAT, SEARCHER_FAT, SEARCHER_RAW, SEARCHER_NTFS,
                                       SEARCHER_APFS}));

    ResetFactories();
    FileSystems().Add(Entry("late", SEARCHER_NTFS, 1));
    FileSystems().Add(Entry("b", SEARCHER_FAT));
    FileSystems().Add(Entry("a", SEARCHER_EXFAT));
    FileSystemEntry noDeep = Entry("none", SEARCHER_APFS);
    noDeep.deep = nullptr;
    FileSystems().Add(noDeep);
    Names team;
    for (const FileSystemEntry* e : FileSystems().DeepTeam()) team.push_back(e->name);
    EXPECT_EQ(team, (Names{"b", "a", "late"}));
}

TEST_F(FileSystemTableTest, EveryVolumeKindFindsTheEntryOfItsQuickSearcher) {
    RegisterAllLibraries();
    Names found;
    for (unsigned kind : {FS_FAT12, FS_FAT16, FS_FAT32, FS_NTFS, FS_EXFAT, FS_HFSPLUS, FS_APFS, FS_EXT2, FS_UNKNOWN}) {
        const FileSystemEntry* e = FileSystems().ForVolumeKind(kind);
        found.push_back(e ? e->name : "-");
    }
    EXPECT_EQ(found, (Names{"FAT", "FAT", "FAT", "NTFS", "exFAT", "HFS+", "APFS", "-", "-"}));
    EXPECT_TRUE(HasResidentReader());
    EXPECT_NE(FileSystems().ForSearcher(SEARCHER_HFSPLUS)->openSaved, nullptr);
    EXPECT_NE(FileSystems().ForSearcher(SEARCHER_NTFS)->openSaved, nullptr);
}

} // namespace
