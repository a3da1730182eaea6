// The scan operation through the facade with a scripted controller on the
// real node model and a device list of fake devices.
#include "engine/controller/RecoveryControllers.h"
#include "engine/include/RecoveryFilter.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/UIFilter.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ServicesFakes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace salvor::test;

class ScanOperation : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(devices.devices.listed);
        RegisterAllLibraries(); // a writer is asked for each file system of the table
        VXUIScan::instance().SetControllerFactory(
            [this](_RECOVERY_CONTROLLER_TYPE type) { return new FakeController(type, shared); });
    }
    void TearDown() override {
        ScanHarness::facade().StopScan(1);
        harness.WaitEnd();
    }
    // A root with one file under it.
    std::pair<CFilesystemNode*, std::vector<IFileNode*>> Tree(const std::string& name, _tagSearcherType type = SEARCHER_FAT) {
        CFilesystemNode* root = forest.Root(type, name);
        return {root, {forest.Add(root, name + ".jpg", false, 100)}};
    }

    FakeDevice disk{DEVICE_DISK};
    std::vector<std::unique_ptr<FakeDevice>> volumes = [] {
        std::vector<std::unique_ptr<FakeDevice>> v;
        v.push_back(std::make_unique<FakeDevice>(DEVICE_VOLUME, FS_FAT32, true, "one"));
        v.push_back(std::make_unique<FakeDevice>(DEVICE_VOLUME, FS_FAT32, false, "refused"));
        v.push_back(std::make_unique<FakeDevice>(DEVICE_VOLUME, FS_EXFAT, true, "two"));
        v.push_back(std::make_unique<FakeDevice>(DEVICE_VOLUME, FS_UNKNOWN, true, "three"));
        return v;
    }();
    FakeController::Shared shared;
    NodeForest forest;
    ScanHarness harness;
    FakeDeviceList devices{&disk, {volumes[0].get(), volumes[1].get(), volumes[2].get(), volumes[3].get()}};
};

TEST_F(ScanOperation, WholeDiskQuickScanVisitsPermittedVolumesInOrderWithOneWriterPerRoot) {
    // The searcher types of every file system and of the carver's two trees.
    shared.scripts[volumes[0].get()].trees = {Tree("ntfs", SEARCHER_NTFS), Tree("hfs", SEARCHER_HFSPLUS)};
    shared.scripts[volumes[2].get()].trees = {Tree("apfs", SEARCHER_APFS), Tree("raw", SEARCHER_RAW),
                                              Tree("label", SEARCHER_RAW_LABEL)};
    ASSERT_TRUE(harness.Scan(0, -1));
    EXPECT_EQ(shared.visited,
              (std::vector<IStorageDevice*>{volumes[0].get(), volumes[2].get(), volumes[3].get()}));
    EXPECT_EQ(harness.posts.load(), 1); // the run was short: only the end post
    std::vector<int> types;
    for (IFileNode* root : VXUIScan::instance().GetFileSystemNode())
        types.push_back(VXCPPPublic::instance().GetNodeSearcheType(root));
    EXPECT_EQ(types, (std::vector<int>{35, 31, 37, 34, 36}));
    EXPECT_EQ(VXUIScan::instance().GetScanFileCnt(), 5u);
    EXPECT_EQ(VXUIScan::instance().GetScanFileSize(), 500u);
    // The session's one writer table: after a quick scan one writer per
    // root and nothing more; after a deep scan one per searcher type and a
    // second for carved files by label.
    constexpr int kTypeTable = 7;
    EXPECT_EQ(FakeWriter::Live().load(), 5);
    EXPECT_EQ(shared.live.load(), 3); // each volume's controller keeps its nodes
    EXPECT_NE(VXUIScan::instance().GetFileNodeDataRecover(VXUIScan::instance().GetFileSystemNode()[0]), nullptr);

    // A deep scan of the same disk whose device goes: what it kept and the
    // quick scan's listing are both listed, each file read by its own scan's
    // writer, and counted as listed.
    VXUIScan& scan = VXUIScan::instance();
    const std::vector<IFileNode*> quickRoots = scan.GetFileSystemNode();
    shared.scripts[&disk].trees = {Tree("kept")};
    shared.scripts[&disk].result = ControllerResult::DeviceGone;
    ASSERT_TRUE(harness.Scan(0, -1, true));
    EXPECT_TRUE(scan.EndedByDeviceGone());
    std::vector<IFileNode*> listed = scan.GetFileSystemNode();
    ASSERT_EQ(listed.size(), 6u);
    EXPECT_EQ(std::vector<IFileNode*>(listed.begin() + 1, listed.end()), quickRoots);
    std::size_t typed = 0;
    for (const auto& [category, files] : scan.GetTypeMap()) typed += files.size();
    EXPECT_EQ(typed, 6u);
    EXPECT_EQ(scan.GetScanFileCnt(), 6u);
    EXPECT_EQ(scan.GetScanFileSize(), 600u);
    EXPECT_EQ(shared.live.load(), 4);
    EXPECT_EQ(FakeWriter::Live().load(), 5 + kTypeTable);
    IDataRecovery* first = scan.GetFileNodeDataRecover(quickRoots[0]->GetFirstChild());
    EXPECT_NE(first, nullptr);
    EXPECT_NE(first, scan.GetFileNodeDataRecover(quickRoots[1]->GetFirstChild()));
    EXPECT_NE(first, scan.Session()->WriterForType(SEARCHER_NTFS));
    EXPECT_TRUE(scan.Session()->FromKeptQuick(quickRoots[4]->GetFirstChild()));
    EXPECT_FALSE(scan.Session()->FromKeptQuick(listed[0]->GetFirstChild()));

    // A deep scan of the same disk the user stops: the files found so far,
    // by either scan, stay listed and counted.
    shared.scripts[&disk] = Script{};
    ASSERT_TRUE(harness.Scan(0, -1));
    shared.scripts[&disk].trees = {Tree("stopped")};
    shared.scripts[&disk].during = [](IProgress*) { ScanHarness::facade().StopScan(0); };
    ASSERT_TRUE(harness.Scan(0, -1, true));
    EXPECT_FALSE(scan.EndedByDeviceGone());
    EXPECT_EQ(scan.GetFileSystemNode().size(), 6u);
    EXPECT_EQ(std::pair(scan.GetScanFileCnt(), scan.GetScanFileSize()), std::pair(std::uint64_t{6}, std::uint64_t{600}));

    // A deep scan of the same disk that reads to its end: the quick scan's
    // writers and controllers go; a deep scan stores no writer per root.
    shared.scripts[&disk] = Script{};
    ASSERT_TRUE(harness.Scan(0, -1));
    EXPECT_EQ(scan.GetFileSystemNode().size(), 5u);
    shared.scripts[&disk].trees = {Tree("deep")};
    ASSERT_TRUE(harness.Scan(0, -1, true));
    EXPECT_EQ(shared.types.back(), RECOVERY_PARTITION);
    EXPECT_EQ(FakeWriter::Live().load(), kTypeTable);
    EXPECT_EQ(shared.live.load(), 1);
    EXPECT_EQ(VXUIScan::instance().GetFileSystemNode().size(), 1u);
}

// The worker answers the stop and winds down (builds what it found) for
// longer than a stop unanswered is waited for: it is not let go, and what it
// found is listed.
TEST_F(ScanOperation, StopDuringTheSecondVolumeSkipsTheRest) {
    shared.scripts[volumes[2].get()].trees = {Tree("two")};
    shared.scripts[volumes[2].get()].during = [](IProgress* sink) {
        ScanHarness::facade().StopScan(0);
        sink->Continued();
        std::this_thread::sleep_for(VXUIScan::kStopUnanswered * 2);
    };
    ASSERT_TRUE(harness.Scan(0, -1));
    EXPECT_EQ(shared.visited, (std::vector<IStorageDevice*>{volumes[0].get(), volumes[2].get()}));
    EXPECT_EQ(VXUIScan::instance().GetStatus(), OP_IDLE);
    EXPECT_EQ(VXUIScan::instance().GetScanFileCnt(), 1u);
}

// A read in flight that hangs (a device held or gone): the stop ends the scan
// at once, what was listed stays listed, and the worker, when the read
// returns, files nothing and ends nothing of the scan started after it.
TEST_F(ScanOperation, AStopItsWorkerDoesNotAnswerEndsTheScanAtOnce) {
    std::atomic<bool> readReturns{false}, secondGoes{false};
    std::atomic<int> lateGoesOn{-1}; // what Continued() answers the late worker
    shared.scripts[volumes[0].get()].trees = {Tree("first")};
    shared.scripts[volumes[2].get()].trees = {Tree("late")};
    shared.scripts[volumes[2].get()].during = [&](IProgress* sink) {
        while (!readReturns) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lateGoesOn = sink->Continued();
    };
    VXUIController& f = ScanHarness::facade();
    VXUIScan& scan = VXUIScan::instance();
    ASSERT_TRUE(f.DoScanWithDiskIndex(0, -1, harness.key));
    ASSERT_TRUE(salvor::platform::runUntil([&] { return shared.starts.load() == 2; }, std::chrono::seconds(5)));
    const auto asked = std::chrono::steady_clock::now();
    f.StopScan(0);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return !f.IsScanRunning(); }, std::chrono::seconds(10)));
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(took, VXUIScan::kStopUnanswered + std::chrono::milliseconds(600));
    EXPECT_EQ(scan.LiveWorkers(), 1); // its read is still in flight
    EXPECT_EQ(scan.GetScanFileCnt(), 1u);
    ASSERT_EQ(scan.GetFileSystemNode().size(), 1u);

    // A scan asked for meanwhile waits for it; the late worker neither files
    // its finds nor ends this one.
    shared.scripts[volumes[0].get()].during = [&](IProgress*) {
        while (!secondGoes) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    ASSERT_TRUE(f.DoScanWithDiskIndex(0, 0, harness.key));
    readReturns = true;
    ASSERT_TRUE(salvor::platform::runUntil([&] { return shared.starts.load() == 3; }, std::chrono::seconds(10)));
    ASSERT_TRUE(salvor::platform::runUntil([&] { return scan.LiveWorkers() == 1; }, std::chrono::seconds(10)));
    EXPECT_TRUE(f.IsScanRunning());
    EXPECT_EQ(lateGoesOn.load(), 0) << "the worker let go was told to go on beside the new scan";
    EXPECT_EQ(scan.GetScanFileCnt(), 0u); // the new scan's, before its finds
    secondGoes = true;
    ASSERT_TRUE(harness.WaitEnd());
    EXPECT_EQ(scan.GetScanFileCnt(), 1u);
    EXPECT_EQ(shared.visited, (std::vector<IStorageDevice*>{volumes[0].get(), volumes[2].get(), volumes[0].get()}));

    // Once a worker let go has left, what comes next (a load's first
    // reports, before its replay) is heard again.
    readReturns = false;
    shared.scripts[volumes[0].get()].during = nullptr;
    ASSERT_TRUE(f.DoScanWithDiskIndex(0, -1, harness.key));
    ASSERT_TRUE(salvor::platform::runUntil([&] { return shared.starts.load() == 5; }, std::chrono::seconds(5)));
    f.StopScan(1);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return !f.IsScanRunning(); }, std::chrono::seconds(10)));
    // With no scan after it, the late worker's finds and its last report
    // stay dropped: the listing and progress are those the windows had.
    const std::uint64_t listed = scan.GetScanFileCnt();
    const _PROGRESS_INFO atLetGo = scan.GetProgressInfo();
    readReturns = true;
    ASSERT_TRUE(harness.WaitEnd());
    ASSERT_TRUE(salvor::platform::runUntil([&] { return scan.LiveWorkers() == 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(scan.GetScanFileCnt(), listed);
    EXPECT_EQ(scan.GetProgressInfo().state, atLetGo.state);
    EXPECT_EQ(scan.GetProgressInfo().current, atLetGo.current);
    _PROGRESS_INFO report = MakeProgress(PROGRESS_RUNNING, 10, 7);
    scan.UpdateProgress(&report);
    EXPECT_EQ(scan.GetProgressInfo().current, 7u);

    // A deep scan told to build what it found is waited for: its listing
    // exists only once built, and one slow read does not drop it.
    readReturns = false;
    shared.scripts[&disk].trees = {Tree("deep")};
    shared.scripts[&disk].during = shared.scripts[volumes[2].get()].during;
    scan.SetDeepScan(0);
    const int before = shared.starts.load();
    ASSERT_TRUE(f.DoDeepScan(harness.key));
    ASSERT_TRUE(salvor::platform::runUntil([&] { return shared.starts.load() == before + 1; }, std::chrono::seconds(5)));
    f.StopScan(0);
    salvor::platform::runUntil([] { return false; }, VXUIScan::kStopUnanswered * 2);
    EXPECT_TRUE(f.IsScanRunning());
    readReturns = true;
    ASSERT_TRUE(harness.WaitEnd());
    // Stopped, it stays listed beside the quick scan's listing.
    ASSERT_EQ(scan.GetFileSystemNode().size(), 2u);
}

TEST_F(ScanOperation, EveryEndWithoutAFinishedRecordEndsOnceWithStatusZero) {
    struct Case {
        const char* name;
        bool finished;
        ResultCode result;
        bool stopBefore;
    } cases[] = {
        {"failure without finished record", false, 0x10100AA00000001ULL, false},
        {"success without finished record", false, 0, false},
        {"stop before the volume", true, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        shared.visited.clear();
        Script& s = shared.scripts[volumes[0].get()];
        s.finished = c.finished;
        s.result = c.result;
        if (c.stopBefore) VXUIScan::instance().SetControllerFactory([this](_RECOVERY_CONTROLLER_TYPE type) {
            ScanHarness::facade().StopScan(0); // requested while the worker sets up
            return new FakeController(type, shared);
        });
        ASSERT_TRUE(harness.Scan(0, 0));
        EXPECT_EQ(VXUIScan::instance().GetStatus(), OP_IDLE);
        EXPECT_EQ(harness.posts.load(), 1);
        EXPECT_EQ(shared.visited.size(), c.stopBefore ? 0u : 1u);
    }
}

TEST_F(ScanOperation, RequestsWaitForTheRunningScanAndAStopIsNotUndone) {
    std::atomic<bool> release{false};
    shared.scripts[volumes[0].get()].during = [&](IProgress*) {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    VXUIController& f = ScanHarness::facade();
    ASSERT_TRUE(f.DoScanWithDiskIndex(0, 0, harness.key));
    ASSERT_TRUE(salvor::platform::runUntil([&] { return shared.starts.load() == 1; }, std::chrono::seconds(5)));
    EXPECT_TRUE(f.IsScanRunning());
    EXPECT_FALSE(f.DoScanWithDiskIndex(0, 2, harness.key));
    f.PauseOrResumeScan();
    EXPECT_TRUE(f.IsPause());
    EXPECT_FALSE(f.DoScanWithDiskIndex(0, 2, harness.key));
    f.PauseOrResumeScan();
    // A stop while the worker still winds down stays a stop.
    f.StopScan(0);
    EXPECT_FALSE(f.DoScanWithDiskIndex(0, 2, harness.key));
    EXPECT_EQ(VXUIScan::instance().GetStatus(), OP_STOP_REQUESTED);
    release = true;
    ASSERT_TRUE(harness.WaitEnd());
    // A stop left with no worker alive is cleared by the next request.
    VXUIScan::instance().SetStatus(OP_STOP_REQUESTED);
    shared.scripts[volumes[0].get()].during = nullptr;
    EXPECT_TRUE(f.DoScanWithDiskIndex(0, 0, harness.key));
    ASSERT_TRUE(harness.WaitEnd());
    EXPECT_EQ(shared.visited.size(), 2u);
}

TEST_F(ScanOperation, AnUnrecognisedVolumeIsScannedDeepAndNoDeviceScansNothing) {
    EXPECT_EQ(VXUIScan::instance().ShowFilesystemNode(nullptr), 0); // tested before it is read
    ASSERT_TRUE(harness.Scan(0, 3));
    EXPECT_EQ(shared.types.back(), RECOVERY_COMPLETE);
    EXPECT_TRUE(ScanHarness::facade().IsDeepScan());
    EXPECT_FALSE(ScanHarness::facade().DoScanWithDiskIndex(0, 9, harness.key));
    EXPECT_FALSE(ScanHarness::facade().DoScanWithDiskIndex(-1, -1, harness.key));
}

TEST(FileTypes, TheCatalogueReachesTheFilterMadeBeforeIt) {
    IRecoveryFilter* filter = VXUIFilter::instance().GetFilter();
    NodeForest forest;
    TestFileNode* odd = forest.Add(nullptr, "x.qqq");
    EXPECT_EQ(filter->GetNodeFileType(odd), FILTER_OTHER);
    VXUIFilter::instance().InitFileTypes({{1, "jpg;qqq"}});
    EXPECT_EQ(filter->GetNodeFileType(odd), FILTER_PICTURE);
    ScanHarness::facade().initFileType(); // the shipped catalogue again
    EXPECT_EQ(filter->GetNodeFileType(odd), FILTER_OTHER);
}

TEST(ScanProgress, RemainingTime) {
    struct Case {
        long long elapsed;
        std::uint64_t total, current;
        const char* text;
    } cases[] = {
        {0, 100, 50, "-:-:-"},                  // under a second
        {10, 1000, 9, "-:-:-"},                 // under 1 %
        {10, 0, 5, "00:00:00"},                 // total 0 counts as 1: 500 %, nothing left
        {100, 100, 20, "00:03:20"},             // below a quarter: 400 s × 0.5
        {100, 100, 40, "00:01:44"},             // below a half: 150 s × 0.7, truncated
        {100, 100, 50, "00:01:40"},             // from a half: as estimated
        {3600, 100, 120, "00:00:00"},           // past the end: no wrap
        {360000, 100, 50, "100:00:00"},         // exactly 100 h
        {360000 * 2, 100, 50, "-:-:-"},         // over 100 h
        {1LL << 40, 1ULL << 62, 1ULL << 60, "-:-:-"}, // no overflow, no 32-bit cut
        {5000000, 100, 50, "-:-:-"},            // 1389 h would read as hours of a cut number
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatRemainingTime(c.elapsed, c.total, c.current), c.text) << c.elapsed << " " << c.current;
}

} // namespace
