// The recovery controllers over a stamped image, with fake searchers that
// write every call into one shared log.
#include "engine/controller/RecoveryControllers.h"

#include "engine/include/DeviceRecords.h"
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "engine/include/RestoreScanSink.h"
#include "engine/writer/DataRecovery.h"
#include "tests/engine/tree/TreeFakes.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>

using namespace salvor::test;

namespace {

using Strings = std::vector<std::string>;
const int kAllDeep[] = {SEARCHER_HFSPLUS, SEARCHER_EXFAT, SEARCHER_FAT, SEARCHER_RAW, SEARCHER_NTFS, SEARCHER_APFS};

struct CallLog {
    Strings calls;
    std::mutex lock; // the deep searchers analyse side by side
    void Add(std::string call) {
        std::lock_guard<std::mutex> l(lock);
        calls.push_back(std::move(call));
    }
    // The calls naming what (e.g. ":block(0,"), cut to their first n characters.
    Strings With(const std::string& what, std::size_t n = std::string::npos) const {
        Strings out;
        for (const auto& c : calls)
            if (c.find(what) != std::string::npos) out.push_back(c.substr(0, n));
        return out;
    }
    bool Has(const std::string& c) const { return std::find(calls.begin(), calls.end(), c) != calls.end(); }
};

// What one fake deep searcher was given.
struct DeepSeen {
    IStorageDevice* device = nullptr;
    int blockSize = 0;
    IDirecotryTreeBuilder* builder = nullptr;
    TBitmap* bitmap = nullptr;
    std::map<long long, unsigned>* sectorMap = nullptr;
    IProgress* progress = nullptr;
    bool active = false;
    int stampFailures = 0; // first sectors of blocks that did not read back right
};

class FakeDeepSearcher : public ICompleteFileSystemSearchController {
public:
    FakeDeepSearcher(int type, CallLog& log, DeepSeen& seen, int partitions)
        : type_(type), log_(log), seen_(seen), partitions_(partitions) {
        Log("create");
    }
    ~FakeDeepSearcher() override {
        if (seen_.device) seen_.device->GetTotalSectors(); // the device must outlive its searchers
        Log("delete");
    }
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* b) override { seen_.builder = b; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override {
        for (int i = 0; array && i < partitions_ && i < n; ++i) {
            array[i] = new CSearchedPartitionInfo(512);
            array[i]->m_sectorsPerCluster = 8;
            array[i]->m_partitionIndex = static_cast<std::uint16_t>(i);
        }
        return partitions_;
    }
    void SetDevice(IStorageDevice* d) override { seen_.device = d; }
    void SetBlockSize(int s) override { seen_.blockSize = s; }
    int PreparetoSearch() override { return Log("prepare"), 1; }
    void EndSearch(int build) override { Log("end(" + std::to_string(build) + ")"); }
    int AnalyzeBlock(long long first, long long count) override {
        Log("block(" + std::to_string(first) + "," + std::to_string(count) + ")");
        std::vector<unsigned char> sector(seen_.device->GetSectorSize());
        if (!seen_.device->ReadSector(sector.data(), first, 1) ||
            !HasStamp(sector.data(), static_cast<unsigned>(sector.size()), static_cast<unsigned long long>(first)))
            ++seen_.stampFailures;
        return 1;
    }
    void SetIProgressSink(IProgress* p) override { seen_.progress = p; }
    void SetBitmap(TBitmap* b) override { seen_.bitmap = b; }
    void SetFileSectorMap(std::map<long long, unsigned>* m) override { seen_.sectorMap = m; }
    void SetActivePartition(bool a) override { seen_.active = a; }

private:
    void Log(const std::string& what) { log_.Add(std::to_string(type_) + ":" + what); }
    int type_;
    CallLog& log_;
    DeepSeen& seen_;
    int partitions_;
};

class FakeQuickSearcher : public IQuickFileSystemSearchController {
public:
    FakeQuickSearcher(std::string name, CallLog& log, ResultCode answer)
        : name_(std::move(name)), log_(log), answer_(answer) {}
    ~FakeQuickSearcher() override { log_.calls.push_back(name_ + ":delete"); }
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override { log_.calls.push_back(name_ + ":builder"); }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override {
        if (array && n > 0) array[0] = new CSearchedPartitionInfo(512);
        return 1;
    }
    ResultCode QuickSearchFiles(IStorageDevice*, IProgress* sink) override {
        log_.calls.push_back(name_ + ":search");
        _PROGRESS_INFO done = MakeProgress(PROGRESS_FINISHED, 7, 7, answer_);
        sink->UpdateProgress(&done);
        return answer_;
    }

private:
    std::string name_;
    CallLog& log_;
    ResultCode answer_;
};

// Replays one small saved tree: a FAT root with one file.
class FakeRestoreSink : public RestoreScanSink {
public:
    int SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress*, IStorageDevice* device) override {
        ++replays;
        seenDevice = device;
        builder->AddSearcherInfo(SEARCHER_FAT, 2);
        auto* node = new TestFileNode(10, 2, "saved.jpg", false, 1234);
        if (!builder->AddNode(node, SEARCHER_FAT)) node->Release();
        builder->FlashBuild(SEARCHER_FAT);
        if (during) during();
        return 1;
    }
    std::vector<CSearchedPartitionInfo*>& GetSearchedPartition(int type) override {
        auto& list = lists_[type];
        if (type == SEARCHER_FAT && list.empty()) list.push_back(&record_);
        // The carver's record, saved with the only carved root: that of files carved by label.
        if (type == SEARCHER_RAW_LABEL && list.empty()) list.push_back(&carved_);
        return list;
    }
    int replays = 0;
    IStorageDevice* seenDevice = nullptr;
    std::function<void()> during; // run inside the replay

private:
    std::map<int, std::vector<CSearchedPartitionInfo*>> lists_;
    CSearchedPartitionInfo record_{512};
    CSearchedPartitionInfo carved_{512};
};

using ControllerPtr = Owned<IRecoveryController>;
using WriterPtr = Owned<IDataRecovery>;

// Forwards to a real builder and logs its release.
class LoggingBuilder : public IDirecotryTreeBuilder {
public:
    LoggingBuilder(IDirecotryTreeBuilder* inner, CallLog& log) : inner_(inner), log_(log) {}
    int Initialize(const char* v, IDrirectoryTree* s, IRecoveryFilter* f) override {
        volumeName = v;
        return inner_->Initialize(v, s, f);
    }
    int AddNode(IFileNode* n, _tagSearcherType t) override { return inner_->AddNode(n, t); }
    int AddSearcherInfo(_tagSearcherType t, long long r) override {
        ++searcherInfos;
        return inner_->AddSearcherInfo(t, r);
    }
    int FlashBuild(_tagSearcherType t) override { return inner_->FlashBuild(t); }
    void Release() override {
        log_.calls.push_back("builder:release");
        inner_->Release();
        delete this;
    }
    void SetPartitonDevice(CSearchedPartitionInfo* p, IStorageDevice* d) override { inner_->SetPartitonDevice(p, d); }
    std::string volumeName;
    int searcherInfos = 0;

private:
    IDirecotryTreeBuilder* inner_;
    CallLog& log_;
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFactories(); }
    void TearDown() override { ResetFactories(); }

    // A stamped image of the device type, with a volume record of the kind when given.
    std::unique_ptr<ImageDevice> Image(unsigned long long sectors, int type = DEVICE_DISK, int kind = -1) {
        const std::string path = dir.file(std::to_string(++images) + ".img");
        EXPECT_TRUE(WriteStampedImage(path, sectors));
        auto image = std::make_unique<ImageDevice>(path);
        image->SetType(type);
        if (kind >= 0) GiveVolumeRecord(*image, static_cast<unsigned>(kind));
        return image;
    }
    static void GiveVolumeRecord(ImageDevice& dev, unsigned kind, const char* name = "Vol", int leading = 0) {
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        info->kind = leading;
        info->fileSystemType = kind;
        CopyRecordText(info->volumeName, name);
        dev.SetPrivateData(CreateVolumeDeviceData(info));
    }

    void RegisterDeep(std::initializer_list<int> types, int partitions = 1) {
        for (int t : types)
            deepFakes[t] = [this, t, partitions] { return new FakeDeepSearcher(t, log, seen[t], partitions); };
        UseFakes();
    }
    void RegisterAllDeep() { RegisterDeep({31, 32, 33, 34, 35, 37}); }
    void RegisterQuick(_tagSearcherType type, const char* name, ResultCode answer = 0) {
        quickFakes[type] = [this, name, answer] { return new FakeQuickSearcher(name, log, answer); };
        UseFakes();
    }
    // The program's table with the fakes for searchers: the controller is
    // seen to order and set up searchers as the libraries' entries say. An
    // entry without a fake makes no searcher.
    void UseFakes() {
        ResetFactories();
        RegisterAllLibraries();
        std::vector<FileSystemEntry> entries = FileSystems().Entries();
        ResetFactories();
        for (FileSystemEntry& e : entries) {
            const auto deep = deepFakes.find(e.searcherType);
            const auto quick = quickFakes.find(e.searcherType);
            e.deep = deep == deepFakes.end() ? nullptr : deep->second;
            e.quick = quick == quickFakes.end() ? nullptr : quick->second;
            e.recognise = nullptr;
            e.openSaved = nullptr;
            e.readResident = nullptr;
            FileSystems().Add(std::move(e));
        }
    }
    std::map<int, FileSystemEntry::Deep> deepFakes;
    std::map<int, FileSystemEntry::Quick> quickFakes;

    ControllerPtr Make(_RECOVERY_CONTROLLER_TYPE type) {
        ControllerPtr c(CreateRecoveryController(type));
        dynamic_cast<CRecoveryControllerBase*>(c.get())->SetTreeBuilderFactory([this](bool replay) {
            return lastBuilder = new LoggingBuilder(new CDirectoryTreeBuilder(replay, &clock), log);
        });
        if (auto* deep = dynamic_cast<CCompleteRecoveryController*>(c.get())) deep->SetBlockSectors(100);
        c->Initialize(&filter);
        return c;
    }
    ResultCode Scan(IRecoveryController& c, IStorageDevice* dev) { return c.StartDataRecovery(dev, &progress, &tree); }
    // Scans a stamped image with a new controller of the type (kept in dev and c).
    ResultCode Run(_RECOVERY_CONTROLLER_TYPE type, unsigned long long sectors, int devType = DEVICE_DISK, int kind = -1) {
        dev = Image(sectors, devType, kind);
        c = Make(type);
        return Scan(*c, dev.get());
    }

    // A progress record as "state current/total", with " result" when it is not 0.
    static std::string Rec(const _PROGRESS_INFO& r) {
        std::ostringstream s;
        s << r.state << " " << r.current << "/" << r.total << std::hex << (r.result ? " " : "");
        if (r.result) s << r.result;
        return s.str();
    }
    static Strings Recs(const RecordingProgress& p) {
        Strings out;
        for (const auto& r : p.Reports()) out.push_back(Rec(r));
        return out;
    }

    CallLog log;
    std::map<int, DeepSeen> seen;
    FakeClock clock;
    FakeFilter filter;
    RecordingProgress progress;
    RecordingTree tree;
    LoggingBuilder* lastBuilder = nullptr;
    TempDir dir;
    int images = 0;
    std::unique_ptr<ImageDevice> dev;
    ControllerPtr c;
};

TEST_F(ControllerTest, FactoryMakesEachKindAndDescribesDevices) {
    for (auto t : {RECOVERY_DELETED, RECOVERY_COMPLETE, RECOVERY_PARTITION}) {
        ControllerPtr c(CreateRecoveryController(t));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Initialize(nullptr), 0);
        EXPECT_EQ(c->Initialize(&filter), 1);
    }
    EXPECT_EQ(CreateRecoveryController(RECOVERY_NONE), nullptr);
    EXPECT_EQ(CreateRecoveryController(static_cast<_RECOVERY_CONTROLLER_TYPE>(-1)), nullptr);

    // No device, a volume without a record, with its name, led by a disk; a
    // partition of a disk by its label; an image file by its name; a whole disk.
    auto vol = Image(10, DEVICE_VOLUME), named = Image(10, DEVICE_VOLUME), led = Image(10, DEVICE_VOLUME);
    auto part = Image(10, DEVICE_VOLUME);
    GiveVolumeRecord(*named, FS_FAT32, "Holiday");
    GiveVolumeRecord(*led, FS_FAT32, "Holiday", 1);
    GiveVolumeRecord(*part, FS_NTFS, "");
    CopyRecordText(dynamic_cast<IVolumeDeviceData*>(part->GetPrivateData())->GetVolumeInfo()->label,
                   "Photos");
    auto edi = Image(10, DEVICE_EDI);
    auto* info = new CEDIDeviceInfoStruct;
    CopyRecordText(info->path, "/images/case 7/disk.E01");
    edi->SetPrivateData(CreateEDIDeviceData(info));
    auto disk = Image(10, DEVICE_DISK, FS_FAT32);
    Strings texts;
    for (IStorageDevice* d :
         {static_cast<IStorageDevice*>(nullptr), static_cast<IStorageDevice*>(vol.get()),
          static_cast<IStorageDevice*>(named.get()), static_cast<IStorageDevice*>(led.get()),
          static_cast<IStorageDevice*>(part.get()), static_cast<IStorageDevice*>(edi.get()),
          static_cast<IStorageDevice*>(disk.get())})
        texts.push_back(GetDeviceDescription(d));
    EXPECT_EQ(texts, (Strings{"", "", "Holiday", "", "Photos", "disk.E01", ""}));
}

// ---- deep scan ----

TEST_F(ControllerTest, DeepScanWalksEveryBlockThroughEverySearcherInOrder) {
    RegisterAllDeep();
    ASSERT_EQ(Run(RECOVERY_COMPLETE, 1000), 0u);

    // Side by side: every searcher sees every block in order, and no block
    // begins before every searcher is done with the one before it.
    Strings blocks, expected;
    for (int b = 0; b < 10; ++b) expected.push_back("block(" + std::to_string(b * 100) + ",100)");
    for (const std::string& call : log.With(":block")) blocks.push_back(call.substr(3));
    ASSERT_EQ(blocks.size(), 60u);
    for (std::size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i], expected[i / 6]) << i;
    for (int t : kAllDeep) {
        Strings own;
        for (const std::string& call : log.With(std::to_string(t) + ":block")) own.push_back(call.substr(3));
        EXPECT_EQ(own, expected) << t;
        EXPECT_EQ(seen[t].stampFailures, 0) << t;
    }

    // Start, loop start, after block k: floor((k + 1) x 0.8) of 11, finished.
    EXPECT_EQ(Recs(progress), (Strings{"2 0/1", "2 0/11", "2 0/11", "2 1/11", "2 2/11", "2 3/11", "2 4/11", "2 4/11",
                                       "2 5/11", "2 6/11", "2 7/11", "2 8/11", "3 1/1"}));
    EXPECT_EQ(log.With(":end("), (Strings{"31:end(1)", "33:end(1)", "32:end(1)", "34:end(1)", "35:end(1)", "37:end(1)"}));
    // One after another, the searchers go in list order within a block.
    {
        c.reset();
        auto one = Image(300);
        ControllerPtr inTurn = Make(RECOVERY_COMPLETE);
        dynamic_cast<CCompleteRecoveryController*>(inTurn.get())->SetSearchersSideBySide(false);
        log.calls.clear();
        RecordingProgress quiet;
        ASSERT_EQ(inTurn->StartDataRecovery(one.get(), &quiet, &tree), 0u);
        EXPECT_EQ(log.With(":block(0,", 2), (Strings{"31", "33", "32", "34", "35", "37"}));
        EXPECT_EQ(log.With(":block(200,", 2), (Strings{"31", "33", "32", "34", "35", "37"}));
    }
}

TEST_F(ControllerTest, ShortLastBlockGetsTheRemainingSectorAndHfsIsNotActiveOnADisk) {
    RegisterDeep({SEARCHER_HFSPLUS, SEARCHER_NTFS});
    ASSERT_EQ(Run(RECOVERY_PARTITION, 1001, DEVICE_DISK, FS_HFSPLUS), 0u);
    const auto blocks = log.With("35:block");
    ASSERT_EQ(blocks.size(), 11u);
    EXPECT_EQ(std::tuple(blocks.back(), progress.Reports()[1].total, seen[SEARCHER_NTFS].stampFailures,
                         seen[SEARCHER_HFSPLUS].active),
              std::tuple(std::string("35:block(1000,1)"), 12u, 0, false));
}

TEST_F(ControllerTest, SearchersAreMadeInOrderAndWiredUp) {
    RegisterAllDeep();
    ASSERT_EQ(Run(RECOVERY_COMPLETE, 300, DEVICE_VOLUME, FS_HFSPLUS), 0u);
    EXPECT_EQ(log.With(":create", 2), (Strings{"31", "33", "32", "34", "35", "37"}));
    EXPECT_EQ(log.With(":prepare", 2), log.With(":create", 2));

    // FAT and the carver share one file-sector map, nobody else gets it;
    // progress goes to HFS+ and the carver only.
    ASSERT_NE(seen[SEARCHER_FAT].sectorMap, nullptr);
    std::vector<std::pair<bool, bool>> given;
    for (int t : kAllDeep)
        given.emplace_back(seen[t].sectorMap == seen[SEARCHER_FAT].sectorMap, seen[t].progress == &progress);
    EXPECT_EQ(given, (std::vector<std::pair<bool, bool>>{
                         {false, true}, {false, false}, {true, false}, {true, true}, {false, false}, {false, false}}));
    EXPECT_TRUE(seen[SEARCHER_HFSPLUS].active);
    ASSERT_NE(seen[SEARCHER_FAT].bitmap, nullptr);
    ASSERT_NE(seen[SEARCHER_FAT].builder, nullptr);
    for (int t : kAllDeep) {
        ASSERT_NE(seen[t].device, nullptr);
        // The cached reader, one bitmap, one builder (the controller's, behind a lock).
        EXPECT_EQ(std::tuple(seen[t].device->GetType(), seen[t].blockSize, seen[t].bitmap, seen[t].builder),
                  std::tuple(int{DEVICE_WRAPPER}, 100, seen[SEARCHER_FAT].bitmap, seen[SEARCHER_FAT].builder))
            << t;
    }
    // What the searchers hand the builder reaches the controller's.
    const auto before = lastBuilder->searcherInfos;
    seen[SEARCHER_NTFS].builder->AddSearcherInfo(SEARCHER_NTFS, 5);
    EXPECT_EQ(lastBuilder->searcherInfos, before + 1);
    ASSERT_NE(lastBuilder, nullptr);
    EXPECT_EQ(lastBuilder->volumeName, "Vol");
}

// The carver is ended after a stop too, so what it sized is shown when the
// user asks for the trees.
TEST_F(ControllerTest, StopEndsTheLoopAndEndsTheCarverToo) {
    RegisterAllDeep();
    progress.StopAfter(8); // start, loop start and six blocks (0-5)
    progress.SetShouldBuild(0);
    ASSERT_EQ(Run(RECOVERY_COMPLETE, 1000), 0u);
    ASSERT_EQ(log.With("32:block").size(), 6u);
    EXPECT_EQ(log.With("32:block").back(), "32:block(500,100)");
    EXPECT_EQ(log.With(":end("),
              (Strings{"31:end(0)", "33:end(0)", "32:end(0)", "34:end(0)", "35:end(0)", "37:end(0)"}));
    EXPECT_EQ(Rec(progress.Last()), "3 1/1");
}

TEST_F(ControllerTest, DeepScanFailures) {
    auto dev = Image(100);
    auto c = Make(RECOVERY_COMPLETE);
    EXPECT_EQ(Scan(*c, dev.get()), 0x104008E00000402ULL) << "no searcher";
    EXPECT_EQ(Recs(progress), Strings{"2 0/1"});

    RegisterAllDeep();
    ControllerPtr noFilter(CreateRecoveryController(RECOVERY_COMPLETE));
    std::vector<ResultCode> codes{c->StartDataRecovery(nullptr, &progress, &tree),
                                  c->StartDataRecovery(dev.get(), nullptr, &tree),
                                  c->StartDataRecovery(dev.get(), &progress, nullptr), Scan(*noFilter, dev.get())};
    dynamic_cast<CRecoveryControllerBase*>(c.get())->SetTreeBuilderFactory([](bool) { return nullptr; });
    codes.push_back(Scan(*c, dev.get()));
    codes.push_back(dynamic_cast<CCompleteRecoveryController*>(c.get())->SearchData(0, 10, &progress));
    EXPECT_EQ(codes, (std::vector<ResultCode>{0x104004500000403ULL, 0x104004500000403ULL, 0x104004500000403ULL,
                                              0x104005800000001ULL, 0x104005500000004ULL, 0x10400F800000005ULL}));
}

TEST_F(ControllerTest, EmptyDeviceEndsWithTheLoopsCode) {
    RegisterDeep({SEARCHER_FAT});
    EXPECT_EQ(Run(RECOVERY_COMPLETE, 0), 0x10400FB00000403ULL);
    EXPECT_EQ(Rec(progress.Last()), "3 1/1 10400fb00000403");
    EXPECT_TRUE(log.Has("32:end(1)"));
}

TEST_F(ControllerTest, DestructorEndsSearchersBeforeTheBuilder) {
    RegisterAllDeep();
    ASSERT_EQ(Run(RECOVERY_COMPLETE, 200), 0u);
    c.reset();
    const auto& calls = log.calls;
    const auto builderGone = std::find(calls.begin(), calls.end(), "builder:release");
    ASSERT_NE(builderGone, calls.end());
    for (int t : kAllDeep) EXPECT_LT(std::find(calls.begin(), calls.end(), std::to_string(t) + ":delete"), builderGone);
}

TEST_F(ControllerTest, DeepWritersComeFromTheSearcherOfTheType) {
    RegisterDeep({SEARCHER_FAT}, 2);
    RegisterDeep({SEARCHER_NTFS}, 0);
    ASSERT_EQ(Run(RECOVERY_COMPLETE, 200), 0u);
    std::vector<bool> writers; // NTFS found no partitions: no writer
    for (auto t : {SEARCHER_FAT, SEARCHER_NTFS, SEARCHER_RAW_LABEL, SEARCHER_APFS})
        writers.push_back(WriterPtr(c->GetDataRecovery(t)) != nullptr);
    EXPECT_EQ(writers, std::vector<bool>({true, false, false, false}));
}

TEST_F(ControllerTest, DeepReplayFeedsTheBuilderInsteadOfScanning) {
    RegisterAllDeep();
    auto dev = Image(300);
    auto sink = std::make_unique<FakeRestoreSink>();
    auto c = Make(RECOVERY_COMPLETE);
    ASSERT_TRUE(SetRestoreScanSink(c.get(), sink.get()));
    ASSERT_EQ(Scan(*c, dev.get()), 0u);
    EXPECT_EQ(std::pair(sink->replays, sink->seenDevice), std::pair(1, static_cast<IStorageDevice*>(dev.get())));
    EXPECT_TRUE(log.With("32:block").empty() && log.With(":prepare").empty());
    EXPECT_EQ(log.With(":end("), (Strings{"31:end(1)", "33:end(1)", "32:end(1)", "34:end(1)", "35:end(1)", "37:end(1)"}));
    ASSERT_EQ(tree.NodeCount(), 1u);
    EXPECT_STREQ(tree.AllNodes()[0]->GetFileName(), "saved.jpg");
    EXPECT_EQ(Rec(progress.Last()), "3 1/1");

    // The load may end its sink once the scan has returned.
    sink.reset();
    EXPECT_NE(WriterPtr(c->GetDataRecovery(SEARCHER_FAT)), nullptr);
    EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_RAW_LABEL)), nullptr);
    // The carver's writer, which writes files carved by label too, reads the
    // record saved with their root; another type's stays its own.
    const auto records = [&](_tagSearcherType type) {
        const WriterPtr writer(c->GetDataRecovery(type));
        auto* own = dynamic_cast<CDataRecovery*>(writer.get());
        return own ? own->GetSearchedPartition().size() : std::size_t{99};
    };
    EXPECT_EQ(std::tuple(records(SEARCHER_RAW), records(SEARCHER_FAT), records(SEARCHER_NTFS)), std::tuple(1u, 1u, 0u));
}

// ---- quick scan ----

class QuickKindTest : public ControllerTest, public ::testing::WithParamInterface<std::pair<unsigned, const char*>> {};

TEST_P(QuickKindTest, KindPicksItsQuickSearcher) {
    RegisterQuick(SEARCHER_FAT, "fat");
    RegisterQuick(SEARCHER_NTFS, "ntfs");
    RegisterQuick(SEARCHER_EXFAT, "exfat");
    RegisterQuick(SEARCHER_HFSPLUS, "hfs");
    EXPECT_EQ(Run(RECOVERY_DELETED, 50, DEVICE_VOLUME, static_cast<int>(GetParam().first)), 0u);
    const std::string name = GetParam().second;
    EXPECT_EQ(log.calls, (Strings{name + ":builder", name + ":search"}));
    EXPECT_EQ(Rec(progress.Last()), "3 7/7"); // the searcher's own finish is the last report
    EXPECT_NE(WriterPtr(c->GetDataRecovery(SEARCHER_RAW)), nullptr); // whatever the type
}

INSTANTIATE_TEST_SUITE_P(Kinds, QuickKindTest,
                         ::testing::Values(std::pair{FS_FAT12, "fat"}, std::pair{FS_FAT16, "fat"},
                                           std::pair{FS_FAT32, "fat"}, std::pair{FS_NTFS, "ntfs"},
                                           std::pair{FS_EXFAT, "exfat"}, std::pair{FS_HFSPLUS, "hfs"}));

TEST_F(ControllerTest, QuickScanOfAWholeDiskIsRefused) {
    RegisterQuick(SEARCHER_FAT, "fat");
    EXPECT_EQ(Run(RECOVERY_DELETED, 50, DEVICE_DISK, FS_FAT32), 0x104004300000404ULL);
    EXPECT_EQ(Recs(progress), Strings{"2 0/1"});
    EXPECT_TRUE(log.calls.empty());
}

TEST_F(ControllerTest, QuickScanWithoutASearcherFinishesAtOnce) {
    RegisterQuick(SEARCHER_FAT, "fat");
    // A volume without a record has no kind either.
    for (int kind : {int{FS_EXT2}, int{FS_APFS}, int{FS_UNKNOWN}, -1}) {
        RecordingProgress p;
        auto dev = Image(50, DEVICE_VOLUME, kind);
        auto c = Make(RECOVERY_DELETED);
        EXPECT_EQ(c->StartDataRecovery(dev.get(), &p, &tree), 0x104005700000401ULL) << kind;
        EXPECT_EQ(Recs(p), (Strings{"2 0/1", "3 1/1 104005700000401"}));
        EXPECT_EQ(WriterPtr(c->GetDataRecovery(SEARCHER_FAT)), nullptr);
    }
    EXPECT_TRUE(log.With("fat").empty());
}

TEST_F(ControllerTest, QuickScanRefusesMissingPiecesAndPassesTheSearchersFailureOn) {
    auto dev = Image(50, DEVICE_VOLUME, FS_NTFS);
    auto c = Make(RECOVERY_DELETED);
    ControllerPtr noFilter(CreateRecoveryController(RECOVERY_DELETED));
    std::vector<ResultCode> codes{c->StartDataRecovery(nullptr, &progress, &tree),
                                  c->StartDataRecovery(dev.get(), nullptr, &tree),
                                  c->StartDataRecovery(dev.get(), &progress, nullptr)};
    EXPECT_EQ(progress.Count(), 0u);
    codes.push_back(Scan(*noFilter, dev.get()));
    dynamic_cast<CRecoveryControllerBase*>(c.get())->SetTreeBuilderFactory([](bool) { return nullptr; });
    codes.push_back(Scan(*c, dev.get()));
    EXPECT_EQ(codes, (std::vector<ResultCode>{0x104003800000001ULL, 0x104003800000001ULL, 0x104003800000001ULL,
                                              0x104004B00000001ULL, 0x104004800000004ULL}));

    const ResultCode failure = MakeResult(ResultLib::NtfsSearch, 0x99, 5);
    RegisterQuick(SEARCHER_NTFS, "ntfs", failure);
    EXPECT_EQ(Scan(*Make(RECOVERY_DELETED), dev.get()), failure);
}

TEST_F(ControllerTest, QuickReplayUsesTheSinkNotTheSearcher) {
    RegisterQuick(SEARCHER_FAT, "fat");
    auto dev = Image(50, DEVICE_VOLUME, FS_FAT16);
    auto sink = std::make_unique<FakeRestoreSink>();
    auto c = Make(RECOVERY_DELETED);
    ASSERT_TRUE(SetRestoreScanSink(c.get(), sink.get()));
    // While the replay runs, the writer is made from the sink's records.
    bool writerDuringReplay = false;
    sink->during = [&] { writerDuringReplay = WriterPtr(c->GetDataRecovery(SEARCHER_FAT)) != nullptr; };
    ASSERT_EQ(Scan(*c, dev.get()), 0u);
    EXPECT_EQ(std::tuple(sink->replays, writerDuringReplay, log.Has("fat:search"), tree.NodeCount()),
              std::tuple(1, true, false, std::size_t{1}));
    sink.reset();
    EXPECT_NE(WriterPtr(c->GetDataRecovery(SEARCHER_FAT)), nullptr);
}

} // namespace
