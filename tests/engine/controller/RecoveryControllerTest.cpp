#include "engine/controller/RecoveryControllers.h"

#include "engine/include/DeviceRecords.h"
#include "tests/engine/controller/ControllerFakes.h"
#include "tests/engine/tree/TreeFakes.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace salvor::test;

namespace {

const int kAllDeep[] = {SEARCHER_HFSPLUS, SEARCHER_EXFAT, SEARCHER_FAT, SEARCHER_RAW, SEARCHER_NTFS, SEARCHER_APFS};

struct ControllerRelease {
    void operator()(IRecoveryController* c) const {
        if (c) c->Release();
    }
};
using ControllerPtr = std::unique_ptr<IRecoveryController, ControllerRelease>;

struct WriterRelease {
    void operator()(IDataRecovery* w) const {
        if (w) w->Release();
    }
};
using WriterPtr = std::unique_ptr<IDataRecovery, WriterRelease>;

// Forwards to a real builder and logs its release.
class LoggingBuilder : public IDirecotryTreeBuilder {
public:
    LoggingBuilder(IDirecotryTreeBuilder* inner, CallLog& log) : inner_(inner), log_(log) {}
    int Initialize(const char* v, IDrirectoryTree* s, IRecoveryFilter* f) override {
        volumeName = v;
        return inner_->Initialize(v, s, f);
    }
    int AddNode(IFileNode* n, _tagSearcherType t) override { return inner_->AddNode(n, t); }
    int AddSearcherInfo(_tagSearcherType t, long long r) override { return inner_->AddSearcherInfo(t, r); }
    int FlashBuild(_tagSearcherType t) override { return inner_->FlashBuild(t); }
    void Release() override {
        log_.Add("builder:release");
        inner_->Release();
        delete this;
    }
    void SetPartitonDevice(CSearchedPartitionInfo* p, IStorageDevice* d) override { inner_->SetPartitonDevice(p, d); }
    std::string volumeName;

private:
    IDirecotryTreeBuilder* inner_;
    CallLog& log_;
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFactories(); }
    void TearDown() override {
        ResetFactories();
        for (const auto& p : images_) std::remove(p.c_str());
    }

    std::unique_ptr<ImageDevice> Image(unsigned long long sectors, int type = DEVICE_DISK) {
        const std::string path = ::testing::TempDir() + "ctl_" + std::to_string(::getpid()) + "_" +
                                 std::to_string(images_.size()) + ".img";
        EXPECT_TRUE(WriteStampedImage(path, sectors));
        images_.push_back(path);
        auto dev = std::make_unique<ImageDevice>(path);
        dev->SetType(type);
        return dev;
    }

    // A volume record of a given kind on the device (which owns it).
    static void GiveVolumeRecord(ImageDevice& dev, unsigned kind, const char* name = "Vol", int leading = 0) {
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        info->kind = leading;
        info->fileSystemType = kind;
        CopyRecordText(info->volumeName, name);
        dev.SetPrivateData(CreateVolumeDeviceData(info));
    }

    void RegisterDeep(std::initializer_list<int> types, int partitions = 1) {
        for (int t : types) {
            auto make = [this, t, partitions]() -> ICompleteFileSystemSearchController* {
                return new FakeDeepSearcher(t, log, seen[t], partitions);
            };
            switch (t) {
            case SEARCHER_HFSPLUS: Factories().hfsPlusSearcher = make; break;
            case SEARCHER_EXFAT: Factories().exFatSearcher = make; break;
            case SEARCHER_FAT: Factories().fatSearcher = make; break;
            case SEARCHER_RAW: Factories().rawSearcher = make; break;
            case SEARCHER_NTFS: Factories().ntfsSearcher = make; break;
            case SEARCHER_APFS: Factories().apfsSearcher = make; break;
            }
        }
    }
    void RegisterAllDeep() { RegisterDeep({31, 32, 33, 34, 35, 37}); }

    ControllerPtr Make(_RECOVERY_CONTROLLER_TYPE type, unsigned blockSectors = 100) {
        ControllerPtr c(CreateRecoveryController(type));
        auto* base = dynamic_cast<CRecoveryControllerBase*>(c.get());
        base->SetTreeBuilderFactory([this](bool replay) {
            auto* b = new LoggingBuilder(new CDirectoryTreeBuilder(replay, &clock), log);
            lastBuilder = b;
            return b;
        });
        if (auto* deep = dynamic_cast<CCompleteRecoveryController*>(c.get())) deep->SetBlockSectors(blockSectors);
        c->Initialize(&filter);
        return c;
    }

    static void ExpectRecord(const _PROGRESS_INFO& r, std::uint32_t state, std::uint64_t total,
                             std::uint64_t current) {
        EXPECT_EQ(r.state, state);
        EXPECT_EQ(r.total, total);
        EXPECT_EQ(r.current, current);
    }

    CallLog log;
    std::map<int, DeepSeen> seen;
    FakeClock clock;
    FakeFilter filter;
    RecordingProgress progress;
    RecordingTree tree;
    LoggingBuilder* lastBuilder = nullptr;
    std::vector<std::string> images_;
};

TEST_F(ControllerTest, FactoryMakesEachKind) {
    for (auto t : {RECOVERY_DELETED, RECOVERY_COMPLETE, RECOVERY_PARTITION}) {
        ControllerPtr c(CreateRecoveryController(t));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->thisType(), t);
        EXPECT_EQ(c->Initialize(nullptr), 0);
        EXPECT_EQ(c->Initialize(&filter), 1);
    }
    EXPECT_EQ(CreateRecoveryController(RECOVERY_NONE), nullptr);
    EXPECT_EQ(CreateRecoveryController(static_cast<_RECOVERY_CONTROLLER_TYPE>(-1)), nullptr);
}

TEST_F(ControllerTest, BlockSizeFollowsTheSectorSize) {
    EXPECT_EQ(CCompleteRecoveryController::BlockSizeFor(512), 8192);
    EXPECT_EQ(CCompleteRecoveryController::BlockSizeFor(4096), 1024);
    EXPECT_EQ(CCompleteRecoveryController::BlockSizeFor(0), 8192);
    EXPECT_EQ(CCompleteRecoveryController::BlockSizeFor(8u << 20), 8192);
}

TEST_F(ControllerTest, DeviceDescriptionNamesVolumesAndImages) {
    EXPECT_EQ(GetDeviceDescription(nullptr), "");
    auto vol = Image(10, DEVICE_VOLUME);
    EXPECT_EQ(GetDeviceDescription(vol.get()), "");
    GiveVolumeRecord(*vol, FS_FAT32, "Holiday");
    EXPECT_EQ(GetDeviceDescription(vol.get()), "Holiday");
    GiveVolumeRecord(*vol, FS_FAT32, "Holiday", 1);
    EXPECT_EQ(GetDeviceDescription(vol.get()), "");

    auto edi = Image(10, DEVICE_EDI);
    auto* info = new CEDIDeviceInfoStruct;
    CopyRecordText(info->path, "/images/case 7/disk.E01");
    edi->SetPrivateData(CreateEDIDeviceData(info));
    EXPECT_EQ(GetDeviceDescription(edi.get()), "disk.E01");

    auto disk = Image(10, DEVICE_DISK);
    GiveVolumeRecord(*disk, FS_FAT32, "NotAVolume");
    EXPECT_EQ(GetDeviceDescription(disk.get()), "");
}

// ---- deep scan ----

TEST_F(ControllerTest, DeepScanWalksEveryBlockThroughEverySearcherInOrder) {
    RegisterAllDeep();
    auto dev = Image(1000);
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);

    std::vector<std::string> expected;
    for (int b = 0; b < 10; ++b) expected.push_back("32:block(" + std::to_string(b * 100) + ",100)");
    EXPECT_EQ(log.With("32:block"), expected);
    // Within a block the searchers go in list order.
    std::vector<std::string> firstBlock;
    for (const auto& call : log.calls)
        if (call.find(":block(0,") != std::string::npos) firstBlock.push_back(call.substr(0, 2));
    EXPECT_EQ(firstBlock, (std::vector<std::string>{"31", "33", "32", "34", "35", "37"}));
    for (int t : kAllDeep) EXPECT_EQ(seen[t].stampFailures, 0) << t;

    const auto reports = progress.Reports();
    ASSERT_EQ(reports.size(), 13u);
    ExpectRecord(reports[0], 2, 1, 0);
    ExpectRecord(reports[1], 2, 11, 0);
    ExpectRecord(reports[2 + 5], 2, 11, 4); // after block 5: floor(6 x 0.8)
    ExpectRecord(reports[11], 2, 11, 8);    // after block 9: floor(10 x 0.8)
    ExpectRecord(reports[12], 3, 1, 1);
    EXPECT_EQ(reports[12].result, 0u);
    for (int t : kAllDeep) EXPECT_TRUE(log.Has(std::to_string(t) + ":end(1)")) << t;
}

TEST_F(ControllerTest, ShortLastBlockGetsTheRemainingSector) {
    RegisterDeep({SEARCHER_NTFS});
    auto dev = Image(1001);
    auto c = Make(RECOVERY_PARTITION);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    const auto blocks = log.With("35:block");
    ASSERT_EQ(blocks.size(), 11u);
    EXPECT_EQ(blocks.back(), "35:block(1000,1)");
    EXPECT_EQ(progress.Reports()[1].total, 12u);
    EXPECT_EQ(seen[SEARCHER_NTFS].stampFailures, 0);
}

TEST_F(ControllerTest, SearchersAreMadeInOrderAndWiredUp) {
    RegisterAllDeep();
    auto dev = Image(300, DEVICE_VOLUME);
    GiveVolumeRecord(*dev, FS_HFSPLUS);
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);

    std::vector<std::string> created;
    for (const auto& call : log.calls)
        if (call.find(":create") != std::string::npos) created.push_back(call);
    EXPECT_EQ(created, (std::vector<std::string>{"31:create", "33:create", "32:create", "34:create", "35:create",
                                                  "37:create"}));
    std::vector<std::string> prepared;
    for (const auto& call : log.calls)
        if (call.find(":prepare") != std::string::npos) prepared.push_back(call.substr(0, 2));
    EXPECT_EQ(prepared, (std::vector<std::string>{"31", "33", "32", "34", "35", "37"}));

    // FAT and the carver share one file-sector map; nobody else gets it.
    ASSERT_NE(seen[SEARCHER_FAT].sectorMap, nullptr);
    EXPECT_EQ(seen[SEARCHER_FAT].sectorMap, seen[SEARCHER_RAW].sectorMap);
    for (int t : {31, 33, 35, 37}) EXPECT_EQ(seen[t].sectorMap, nullptr) << t;
    // Progress goes to HFS+ and the carver only.
    EXPECT_EQ(seen[SEARCHER_HFSPLUS].progress, &progress);
    EXPECT_EQ(seen[SEARCHER_RAW].progress, &progress);
    for (int t : {32, 33, 35, 37}) EXPECT_EQ(seen[t].progress, nullptr) << t;
    EXPECT_TRUE(seen[SEARCHER_HFSPLUS].active);
    for (int t : kAllDeep) {
        ASSERT_NE(seen[t].device, nullptr);
        EXPECT_EQ(seen[t].device->GetType(), DEVICE_WRAPPER) << t; // the cached reader
        EXPECT_EQ(seen[t].blockSize, 100);
        EXPECT_NE(seen[t].bitmap, nullptr);
        EXPECT_EQ(seen[t].bitmap, seen[SEARCHER_FAT].bitmap);
        EXPECT_EQ(seen[t].builder, lastBuilder);
    }
    ASSERT_NE(lastBuilder, nullptr);
    EXPECT_EQ(lastBuilder->volumeName, "Vol");
}

TEST_F(ControllerTest, HfsSearcherIsNotActiveOnADisk) {
    RegisterDeep({SEARCHER_HFSPLUS});
    auto dev = Image(100);
    GiveVolumeRecord(*dev, FS_HFSPLUS);
    auto c = Make(RECOVERY_PARTITION);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    EXPECT_FALSE(seen[SEARCHER_HFSPLUS].active);
}

TEST_F(ControllerTest, StopEndsTheLoopAndSkipsTheCarver) {
    RegisterAllDeep();
    auto dev = Image(1000);
    progress.StopAfter(8); // start, loop start and six blocks (0-5)
    progress.SetShouldBuild(0);
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    const auto blocks = log.With("32:block");
    ASSERT_EQ(blocks.size(), 6u);
    EXPECT_EQ(blocks.back(), "32:block(500,100)");
    EXPECT_TRUE(log.With("34:end").empty());
    for (int t : {31, 32, 33, 35, 37}) EXPECT_TRUE(log.Has(std::to_string(t) + ":end(0)")) << t;
    ExpectRecord(progress.Last(), 3, 1, 1);
    EXPECT_EQ(progress.Last().result, 0u);
}

TEST_F(ControllerTest, DeepScanWithoutSearchersFails) {
    auto dev = Image(100);
    auto c = Make(RECOVERY_COMPLETE);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), ControllerResult::DeepNoSearcher);
    EXPECT_EQ(ControllerResult::DeepNoSearcher, 0x104008E00000402ULL);
    ASSERT_EQ(progress.Count(), 1u);
    ExpectRecord(progress.Reports()[0], 2, 1, 0);
}

TEST_F(ControllerTest, DeepScanRefusesMissingPieces) {
    RegisterAllDeep();
    auto dev = Image(100);
    auto c = Make(RECOVERY_COMPLETE);
    EXPECT_EQ(c->StartDataRecovery(nullptr, &progress, &tree), 0x104004500000403ULL);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), nullptr, &tree), 0x104004500000403ULL);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, nullptr), 0x104004500000403ULL);

    ControllerPtr noFilter(CreateRecoveryController(RECOVERY_COMPLETE));
    EXPECT_EQ(noFilter->StartDataRecovery(dev.get(), &progress, &tree), 0x104005800000001ULL);

    auto* base = dynamic_cast<CRecoveryControllerBase*>(c.get());
    base->SetTreeBuilderFactory([](bool) { return nullptr; });
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0x104005500000004ULL);

    auto* deep = dynamic_cast<CCompleteRecoveryController*>(c.get());
    EXPECT_EQ(deep->SearchData(0, 10, &progress), 0x10400F800000005ULL);
}

TEST_F(ControllerTest, EmptyDeviceEndsWithTheLoopsCode) {
    RegisterDeep({SEARCHER_FAT});
    auto dev = Image(0);
    auto c = Make(RECOVERY_COMPLETE);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0x10400FB00000403ULL);
    ExpectRecord(progress.Last(), 3, 1, 1);
    EXPECT_EQ(progress.Last().result, 0x10400FB00000403ULL);
    EXPECT_TRUE(log.Has("32:end(1)"));
}

TEST_F(ControllerTest, DestructorEndsSearchersBeforeTheBuilder) {
    RegisterAllDeep();
    auto dev = Image(200);
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    c.reset();
    const auto& calls = log.calls;
    const auto builderGone = std::find(calls.begin(), calls.end(), "builder:release");
    ASSERT_NE(builderGone, calls.end());
    for (int t : kAllDeep) {
        const auto gone = std::find(calls.begin(), calls.end(), std::to_string(t) + ":delete");
        ASSERT_NE(gone, calls.end()) << t;
        EXPECT_LT(gone, builderGone) << t;
    }
}

TEST_F(ControllerTest, DeepWritersComeFromTheSearcherOfTheType) {
    RegisterDeep({SEARCHER_FAT}, 2);
    RegisterDeep({SEARCHER_NTFS}, 0);
    auto dev = Image(200);
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    WriterPtr fat(c->GetDataRecovery(SEARCHER_FAT));
    EXPECT_NE(fat, nullptr);
    EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_NTFS)), nullptr); // no partitions: no writer
    EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_RAW_LABEL)), nullptr);
    EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_APFS)), nullptr);
}

TEST_F(ControllerTest, DeepReplayFeedsTheBuilderInsteadOfScanning) {
    RegisterAllDeep();
    auto dev = Image(300);
    auto sink = std::make_unique<FakeRestoreSink>();
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_TRUE(SetRestoreScanSink(c.get(), sink.get()));
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    EXPECT_EQ(sink->replays, 1);
    EXPECT_EQ(sink->seenDevice, dev.get());
    EXPECT_TRUE(log.With("32:block").empty());
    for (int t : kAllDeep) {
        EXPECT_FALSE(log.Has(std::to_string(t) + ":prepare")) << t;
        EXPECT_TRUE(log.Has(std::to_string(t) + ":end(1)")) << t;
    }
    ASSERT_EQ(tree.NodeCount(), 1u);
    EXPECT_STREQ(tree.AllNodes()[0]->GetFileName(), "saved.jpg");
    ExpectRecord(progress.Last(), 3, 1, 1);

    // The load may end its sink once the scan has returned.
    sink.reset();
    EXPECT_NE(WriterPtr(c->GetDataRecovery(SEARCHER_FAT)), nullptr);
    EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_RAW_LABEL)), nullptr);
}

// ---- quick scan ----

struct QuickCase {
    unsigned kind;
    const char* searcher;
};

class QuickKindTest : public ControllerTest, public ::testing::WithParamInterface<QuickCase> {};

TEST_P(QuickKindTest, KindPicksItsQuickSearcher) {
    auto reg = [this](const char* name) {
        return [this, name]() -> IQuickFileSystemSearchController* { return new FakeQuickSearcher(name, log, 0); };
    };
    Factories().fatQuickSearcher = reg("fat");
    Factories().ntfsQuickSearcher = reg("ntfs");
    Factories().exFatQuickSearcher = reg("exfat");
    Factories().hfsPlusQuickSearcher = reg("hfs");
    auto dev = Image(50, DEVICE_VOLUME);
    GiveVolumeRecord(*dev, GetParam().kind);
    auto c = Make(RECOVERY_DELETED);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    EXPECT_EQ(log.calls, (std::vector<std::string>{std::string(GetParam().searcher) + ":builder",
                                                   std::string(GetParam().searcher) + ":search"}));
    // The searcher's own finish is the last report.
    ExpectRecord(progress.Last(), 3, 7, 7);
    EXPECT_NE(WriterPtr(c->GetDataRecovery(SEARCHER_RAW)), nullptr); // whatever the type
}

INSTANTIATE_TEST_SUITE_P(Kinds, QuickKindTest,
                         ::testing::Values(QuickCase{FS_FAT12, "fat"}, QuickCase{FS_FAT16, "fat"},
                                           QuickCase{FS_FAT32, "fat"}, QuickCase{FS_NTFS, "ntfs"},
                                           QuickCase{FS_EXFAT, "exfat"}, QuickCase{FS_HFSPLUS, "hfs"}));

TEST_F(ControllerTest, QuickScanOfAWholeDiskIsRefused) {
    Factories().fatQuickSearcher = [this]() { return new FakeQuickSearcher("fat", log, 0); };
    auto dev = Image(50, DEVICE_DISK);
    GiveVolumeRecord(*dev, FS_FAT32);
    auto c = Make(RECOVERY_DELETED);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0x104004300000404ULL);
    ASSERT_EQ(progress.Count(), 1u);
    ExpectRecord(progress.Reports()[0], 2, 1, 0);
    EXPECT_TRUE(log.calls.empty());
}

TEST_F(ControllerTest, QuickScanWithoutASearcherFinishesAtOnce) {
    Factories().fatQuickSearcher = [this]() { return new FakeQuickSearcher("fat", log, 0); };
    for (unsigned kind : {unsigned{FS_EXT2}, unsigned{FS_APFS}, unsigned{FS_UNKNOWN}}) {
        RecordingProgress p;
        auto dev = Image(50, DEVICE_VOLUME);
        GiveVolumeRecord(*dev, kind);
        auto c = Make(RECOVERY_DELETED);
        EXPECT_EQ(c->StartDataRecovery(dev.get(), &p, &tree), 0x104005700000401ULL) << kind;
        ASSERT_EQ(p.Count(), 2u);
        ExpectRecord(p.Reports()[0], 2, 1, 0);
        ExpectRecord(p.Reports()[1], 3, 1, 1);
        EXPECT_EQ(p.Reports()[1].result, 0x104005700000401ULL);
        EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_FAT)), nullptr);
    }
    // A volume without a record has no kind either.
    auto bare = Image(50, DEVICE_VOLUME);
    auto c = Make(RECOVERY_DELETED);
    EXPECT_EQ(c->StartDataRecovery(bare.get(), &progress, &tree), 0x104005700000401ULL);
    EXPECT_TRUE(log.With("fat").empty());
}

TEST_F(ControllerTest, QuickScanRefusesMissingPiecesAndPassesTheSearchersFailureOn) {
    auto dev = Image(50, DEVICE_VOLUME);
    GiveVolumeRecord(*dev, FS_NTFS);
    auto c = Make(RECOVERY_DELETED);
    EXPECT_EQ(c->StartDataRecovery(nullptr, &progress, &tree), 0x104003800000001ULL);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), nullptr, &tree), 0x104003800000001ULL);
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, nullptr), 0x104003800000001ULL);
    EXPECT_EQ(progress.Count(), 0u);

    ControllerPtr noFilter(CreateRecoveryController(RECOVERY_DELETED));
    EXPECT_EQ(noFilter->StartDataRecovery(dev.get(), &progress, &tree), 0x104004B00000001ULL);
    dynamic_cast<CRecoveryControllerBase*>(c.get())->SetTreeBuilderFactory([](bool) { return nullptr; });
    EXPECT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0x104004800000004ULL);

    const ResultCode failure = MakeResult(ResultLib::NtfsSearch, 0x99, 5);
    Factories().ntfsQuickSearcher = [this, failure]() { return new FakeQuickSearcher("ntfs", log, failure); };
    auto again = Make(RECOVERY_DELETED);
    EXPECT_EQ(again->StartDataRecovery(dev.get(), &progress, &tree), failure);
}

TEST_F(ControllerTest, QuickReplayUsesTheSinkNotTheSearcher) {
    Factories().fatQuickSearcher = [this]() { return new FakeQuickSearcher("fat", log, 0); };
    auto dev = Image(50, DEVICE_VOLUME);
    GiveVolumeRecord(*dev, FS_FAT16);
    auto sink = std::make_unique<FakeRestoreSink>();
    auto c = Make(RECOVERY_DELETED);
    ASSERT_TRUE(SetRestoreScanSink(c.get(), sink.get()));
    // While the replay runs, the writer is made from the sink's records.
    bool writerDuringReplay = false;
    sink->during = [&] { writerDuringReplay = WriterPtr(c->GetDataRecovery(SEARCHER_FAT)) != nullptr; };
    ASSERT_EQ(c->StartDataRecovery(dev.get(), &progress, &tree), 0u);
    EXPECT_EQ(sink->replays, 1);
    EXPECT_TRUE(writerDuringReplay);
    EXPECT_FALSE(log.Has("fat:search"));
    EXPECT_EQ(tree.NodeCount(), 1u);
    sink.reset();
    EXPECT_NE(WriterPtr(c->GetDataRecovery(SEARCHER_FAT)), nullptr);
}

} // namespace
