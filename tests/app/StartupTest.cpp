// The program scans with what its own start-up registered, nothing else: no
// test here registers a file system itself.
#include "app/Startup.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ScanListings.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

namespace {

using namespace salvor::test;

// The fixture listed as an attached disk image through the device-list seam,
// its one volume quick-scanned through the facade as the start window does.
TEST(ProgramStartUp, QuickScanOfAFat32VolumeThroughTheFacadeFindsEveryFileOfTheManifest) {
    ResetFactories();
    salvor::app::startUp();
    VXUIController& facade = ScanHarness::facade();
    facade.initFileType();
    facade.SetRecoveryType(FILTER_ALL);
    AttachedImages attached({FixtureFile("fat_32", "fat_32.img")});
    ASSERT_TRUE(attached.devices.listed);
    std::vector<DiskVolumeNodeRef> disks;
    facade.GetDeviceInfoToArray(disks);
    ASSERT_EQ(disks.size(), 1u);
    ASSERT_EQ(disks[0]->children().size(), 1u);

    ScanHarness harness;
    ASSERT_TRUE(facade.DoScanWithData(disks[0]->children()[0], harness.key));
    ASSERT_TRUE(harness.WaitEnd());
    OpNodeList roots;
    facade.SetViewType(0);
    facade.GetScanTreeNodeData(&roots, false);
    const auto found = PathViewFiles(roots, true);
    const std::set<FileKey> want = FlsFiles(FixtureFile("fat_32", "fat_32.istat"), true);
    ASSERT_GT(want.size(), 40u);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->second, want);
    std::uint64_t size = 0, count = 0;
    facade.GetScanFileSize(&size, &count);
    EXPECT_EQ(count, want.size());
}

// Every library the program has fills its entry: a volume of any of them is
// recognised and quick-scanned in the program.
TEST(ProgramStartUp, FillsTheSlotsOfEveryFileSystemLibrary) {
    ResetFactories();
    salvor::app::startUp();
    const FileSystemTable& t = FileSystems();
    const FileSystemEntry* fat = t.ForSearcher(SEARCHER_FAT);
    const FileSystemEntry* exFat = t.ForSearcher(SEARCHER_EXFAT);
    const FileSystemEntry* ntfs = t.ForSearcher(SEARCHER_NTFS);
    const FileSystemEntry* hfsPlus = t.ForSearcher(SEARCHER_HFSPLUS);
    ASSERT_TRUE(fat && exFat && ntfs && hfsPlus);
    EXPECT_TRUE(fat->recognise && fat->quick && fat->deep);
    EXPECT_TRUE(exFat->recognise && exFat->quick && exFat->deep);
    EXPECT_TRUE(ntfs->recognise && ntfs->quick && ntfs->readResident);
    EXPECT_TRUE(hfsPlus->recognise && hfsPlus->quick);
}

} // namespace
