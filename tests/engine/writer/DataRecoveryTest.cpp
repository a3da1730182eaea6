// The writer's set-up, node choice, compressed-reader hooks and destination
// handling, over a stamped image.
#include "engine/writer/DataRecovery.h"
#include "engine/include/DeviceGone.h"
#include "engine/writer/FileReader.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/support/TableEntries.h"
#include "engine/utility/CatchExeception.h"
#include "tests/engine/writer/WriterTestSupport.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <tuple>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor::test {
namespace {

constexpr ResultCode kNoReader = 0x10d010f00000d02u, kNoDestination = 0x10d01310000000fu;

class Writer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteStampedImage(tmp.file("img"), 256));
        device = std::make_unique<ImageDevice>(tmp.file("img"));
    }
    // Initialises the writer with one record of the file-system type.
    void Init(unsigned fsType = 10, IPrivateData* priv = nullptr) {
        searcher.records = {MakeRecord(0, 0, 1, 0, 256, 1.0)};
        searcher.records[0].m_fileSystemType = fsType;
        searcher.records[0].m_privateData = priv;
        ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);
    }
    std::string Recover(const std::string& name, ResultCode* rc, int byteCount = 0) {
        *rc = writer.RecoverTo(tmp.file(name).c_str(), nullptr, byteCount);
        return ReadWholeFile(tmp.file(name));
    }
    TempDir tmp;
    std::unique_ptr<ImageDevice> device;
    FakeSearcher searcher;
    CDataRecovery writer;
};

TEST_F(Writer, ThreeHundredPartitionsTakeTwoRequestsAndAllAreKeptByScore) {
    searcher.fillWhenShort = true; // the first batch is filled too, and must not leak
    for (int i = 0; i < 300; ++i)
        searcher.records.push_back(MakeRecord(static_cast<std::uint16_t>(i), 0, 1, 0, 256, (i * 37) % 300));
    ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);
    EXPECT_EQ(searcher.asked, (std::vector<int>{256, 300}));
    const auto kept = writer.GetSearchedPartition();
    ASSERT_EQ(kept.size(), 300u);
    for (size_t i = 1; i < kept.size(); ++i) EXPECT_GE(kept[i - 1]->m_score, kept[i]->m_score);
    EXPECT_EQ(kept.front()->m_score, 299.0);

    // Initialising again replaces the records (the old ones are released).
    FakeSearcher few;
    few.records = {MakeRecord(0, 0, 1, 0, 256, NAN), MakeRecord(1, 0, 1, 0, 256, 2.0)};
    ASSERT_EQ(writer.Initialize(&few, device.get()), 0u);
    ASSERT_EQ(writer.GetSearchedPartition().size(), 2u);
    EXPECT_EQ(writer.GetSearchedPartition()[0]->m_partitionIndex, 1) << "a record without a score goes last";

    // Restored records are copied, in their order.
    CSearchedPartitionInfo low = MakeRecord(4, 10, 2, 0, 256, 1.0), high = MakeRecord(5, 20, 2, 0, 256, 8.0);
    std::vector<CSearchedPartitionInfo*> given{&low, nullptr, &high};
    ASSERT_EQ(writer.Initialize(given, device.get()), 0u);
    const auto copies = writer.GetSearchedPartition();
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_NE(copies[0], &low);
    EXPECT_EQ(copies[0]->m_clusterOrigin, 10);
    EXPECT_EQ(copies[1]->m_partitionIndex, 5);
}

TEST_F(Writer, InitializeFailures) {
    EXPECT_EQ(writer.Initialize(nullptr, device.get()), 0x10d004500000005u);
    EXPECT_EQ(writer.Initialize(&searcher, nullptr), 0x10d004500000005u);
    EXPECT_EQ(writer.Initialize(&searcher, device.get()), 0x10d004b00000d01u);
    FakeSearcher many;
    many.records.assign(300, MakeRecord(0, 0, 1, 0, 256));
    many.secondAnswer = 0;
    EXPECT_EQ(writer.Initialize(&many, device.get()), 0x10d005200000d01u);
    EXPECT_EQ(many.asked, (std::vector<int>{256, 300}));
    std::vector<CSearchedPartitionInfo*> none;
    EXPECT_EQ(writer.Initialize(none, nullptr), 0x10d006e00000005u);
}

TEST_F(Writer, RefusedNodesLeaveNoReaderBehind) {
    Init();
    auto good = MakeFileNode({{3, 2}}, 1024);
    IFileReader* r = writer.SetRecoverNode(good.get());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetDataSize(), 1024);
    r->Release();

    // The refused node does not get the previous file's bytes, nor an empty
    // file that would pass for it: no file and the no-reader failure. A
    // 0-byte file has no reader either; its empty file is its whole copy.
    TestFileNode folder(3, 1, "dir", true), noRuns(4, 1, "x", false, 100);
    auto empty = MakeFileNode({{3, 1}}, 0);
    const struct {
        IFileNode* node;
        bool emptyFile;
    } refused[] = {{&folder, false}, {empty.get(), true}, {&noRuns, false}, {nullptr, false}};
    for (const auto& r : refused) {
        ASSERT_TRUE(Prepare(writer, good.get()));
        EXPECT_EQ(writer.SetRecoverNode(r.node), nullptr);
        ResultCode rc = 0;
        std::filesystem::remove(tmp.file("after"));
        EXPECT_EQ(Recover("after", &rc), "");
        EXPECT_EQ(rc, r.emptyFile ? kNoReader : WriterResult::NoReaderAtCopy);
        EXPECT_EQ(std::filesystem::exists(tmp.file("after")), r.emptyFile);
    }
    CDataRecovery fresh; // no partitions at all
    EXPECT_EQ(fresh.SetRecoverNode(good.get()), nullptr);
    // Nor any: a file of bytes is not written, a file of none is.
    for (const auto& r : {refused[1], refused[2]}) {
        EXPECT_EQ(fresh.SetRecoverNode(r.node), nullptr);
        std::filesystem::remove(tmp.file("unread"));
        EXPECT_EQ(fresh.RecoverTo(tmp.file("unread").c_str(), nullptr, 0),
                  r.emptyFile ? kNoReader : WriterResult::NoReaderAtCopy);
        EXPECT_EQ(std::filesystem::exists(tmp.file("unread")), r.emptyFile);
    }
}

TEST_F(Writer, RunsEndingEarlyLeaveZerosNotStaleBytes) {
    Init();
    // Fill the copy buffer with one file's bytes first.
    auto full = MakeFileNode({{10, 8}}, 4096);
    ASSERT_TRUE(Prepare(writer, full.get()));
    ResultCode rc = 1;
    ASSERT_EQ(Recover("full", &rc).size(), 4096u);
    // Runs covering one sector of a 2048-byte file: the rest is zeros, and the
    // file is told to be damaged.
    auto shortRuns = MakeFileNode({{3, 1}}, 2048);
    ASSERT_TRUE(Prepare(writer, shortRuns.get()));
    const std::string got = Recover("short", &rc);
    EXPECT_EQ(rc, WriterResult::Unreadable);
    ASSERT_EQ(got.size(), 2048u);
    EXPECT_TRUE(HasStamp(got.data(), 512, 3));
    EXPECT_TRUE(IsZero(got.data() + 512, 1536));

    // A read that comes back short inside data (a resident value shorter than
    // its file): zeros again, though no span is missing.
    ASSERT_TRUE(Prepare(writer, full.get()));
    ASSERT_EQ(Recover("full again", &rc).size(), 4096u);
    auto resident = MakeFileNode({}, 2048);
    static_cast<CDataRunList*>(resident->GetDataRunList())->SetResident(1);
    salvor::test::SetResidentReader([](IStorageDevice*, IFileNode*, long long offset, char* out, unsigned size) {
        return CopyOut("tiny!", offset, out, size);
    });
    ASSERT_TRUE(Prepare(writer, resident.get()));
    const std::string shortRead = Recover("short read", &rc);
    ResetFactories();
    EXPECT_EQ(rc, WriterResult::Unreadable);
    ASSERT_EQ(shortRead.size(), 2048u);
    EXPECT_EQ(shortRead.substr(0, 5), "tiny!");
    EXPECT_TRUE(IsZero(shortRead.data() + 5, 2043));
}

TEST_F(Writer, HolesStayHolesAndWhatCannotBeReadIsZerosAtFullLength) {
    Init();
    struct stat st {};
    ResultCode rc = 1;
    // One sector of data, then a sparse run of 128 GiB: written at once, taking no room.
    const long long hole = 1LL << 28;
    auto sparse = MakeFileNode({{3, 1}, {-1, hole}}, 512 + hole * 512);
    ASSERT_TRUE(Prepare(writer, sparse.get()));
    EXPECT_EQ(writer.BytesToWrite(), 512);
    rc = writer.RecoverTo(tmp.file("sparse").c_str(), nullptr, 0);
    EXPECT_EQ(rc, 0u);
    ASSERT_EQ(::stat(tmp.file("sparse").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 512 + hole * 512);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the hole was written as zeros";
    std::string head(512, '\0');
    std::ifstream(tmp.file("sparse"), std::ios::binary).read(head.data(), 512);
    EXPECT_TRUE(HasStamp(head.data(), 512, 3));

    // A run past the device's end: the file keeps its length and is told damaged.
    auto past = MakeFileNode({{3, 1}, {1LL << 40, 3}}, 2048);
    ASSERT_TRUE(Prepare(writer, past.get()));
    EXPECT_EQ(writer.BytesToWrite(), 512);
    std::string got = Recover("past", &rc);
    EXPECT_EQ(rc, WriterResult::Unreadable);
    ASSERT_EQ(got.size(), 2048u);
    EXPECT_TRUE(HasStamp(got.data(), 512, 3));
    EXPECT_TRUE(IsZero(got.data() + 512, 1536));

    // Past the initialized size the file holds zeros, whatever the clusters hold.
    auto initialized = MakeFileNode({{3, 4}}, 2048);
    initialized->m_initialized = 700;
    ASSERT_TRUE(Prepare(writer, initialized.get()));
    EXPECT_EQ(writer.BytesToWrite(), 700);
    got = Recover("initialized", &rc);
    EXPECT_EQ(rc, 0u);
    ASSERT_EQ(got.size(), 2048u);
    EXPECT_EQ(got.substr(0, 700), ReadWholeFile(tmp.file("img")).substr(3 * 512, 700));
    EXPECT_TRUE(IsZero(got.data() + 700, 2048 - 700));
}

TEST_F(Writer, DestinationsThatAreNotPlainFilesAreRefused) {
    Init();
    EXPECT_EQ(writer.RecoverTo(nullptr, nullptr, 0), 0x10d010200000005u);
    const std::string missingDir = tmp.file("no/such/dir/f");
    auto empty = MakeFileNode({{3, 1}}, 0); // its empty file cannot be made either
    EXPECT_EQ(writer.SetRecoverNode(empty.get()), nullptr);
    EXPECT_EQ(writer.RecoverTo(missingDir.c_str(), nullptr, 0), 0x10d010b0000000fu);
    auto node = MakeFileNode({{3, 2}}, 1000);
    ASSERT_TRUE(Prepare(writer, node.get()));
    EXPECT_EQ(writer.RecoverTo(missingDir.c_str(), nullptr, 0), kNoDestination) << "folders are not created";
    EXPECT_EQ(writer.RecoverTo(tmp.path().c_str(), nullptr, 0), kNoDestination) << "a folder is no destination";

    // A regular file at the path is replaced (the caller picks unique names).
    std::ofstream(tmp.file("exists")) << std::string(5000, 'x');
    ResultCode rc = 1;
    const std::string got = Recover("exists", &rc);
    EXPECT_EQ(rc, 0u);
    ASSERT_EQ(got.size(), 1000u);
    EXPECT_TRUE(HasStamp(got.data(), 512, 3));
    // A link is never followed: the file it points to stays as it was.
    std::ofstream(tmp.file("victim")) << "keep me";
    ASSERT_EQ(symlink(tmp.file("victim").c_str(), tmp.file("link").c_str()), 0);
    EXPECT_EQ(writer.RecoverTo(tmp.file("link").c_str(), nullptr, 0), kNoDestination);
    EXPECT_EQ(ReadWholeFile(tmp.file("victim")), "keep me");
    // Nor is a pipe written to (no reader would make the open hang).
    ASSERT_EQ(mkfifo(tmp.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(writer.RecoverTo(tmp.file("fifo").c_str(), nullptr, 0), kNoDestination);
}

// The destination refusing the name of a file written whole (here a folder
// put there meanwhile) fails that file alone, told to no one as a failed
// write; the folder gone meanwhile is a failed write, told so. Neither
// leaves a name behind.
TEST_F(Writer, ARefusedNameFailsTheFileAGoneFolderIsAFailedWrite) {
    Init();
    struct Meanwhile : RecordingProgress {
        std::function<void()> act;
        void UpdateProgress(_PROGRESS_INFO* info) override {
            RecordingProgress::UpdateProgress(info);
            if (Count() == 2) act(); // the copy's first chunk is written
        }
    };
    auto node = MakeFileNode({{3, 2}}, 1000);
    ASSERT_TRUE(Prepare(writer, node.get()));
    std::filesystem::create_directories(tmp.file("to"));
    Meanwhile refusing;
    refusing.act = [&] { std::filesystem::create_directories(tmp.file("to/f/inside")); };
    EXPECT_EQ(writer.RecoverTo(tmp.file("to/f").c_str(), &refusing, 0), WriterResult::Refused);
    for (const _PROGRESS_INFO& r : refusing.Reports()) EXPECT_EQ(r.result, 0u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.file("to")), {}), 1) << "a temporary was left";
    EXPECT_TRUE(std::filesystem::is_directory(tmp.file("to/f/inside")));

    std::filesystem::remove_all(tmp.file("to/f"));
    Meanwhile going;
    going.act = [&] { std::filesystem::remove_all(tmp.file("to")); };
    EXPECT_EQ(writer.RecoverTo(tmp.file("to/f").c_str(), &going, 0), WriterResult::WriteFailed);
    EXPECT_EQ(going.Last().result, WriterResult::WriteFailed);
    EXPECT_FALSE(std::filesystem::exists(tmp.file("to")));
}

// A compressed node's own reader: records what the writer asks of it.
struct CompressedLog {
    int fileCalls = 0, memoryCalls = 0;
    bool answer = true, resident = false;
    long long unreadable = 0;
    std::string memoryBytes;
    std::function<void()> whileExpanding; // called while a file is expanded
};
class FakeCompressedReader : public CFileReader, public ICompressedRecovery {
public:
    explicit FakeCompressedReader(CompressedLog& log) : m_log(log) {}
    IFileReader* Clone() override { return new FakeCompressedReader(m_log); }
    bool Recovery(const char* path, IProgress*, bool& resident) override {
        ++m_log.fileCalls;
        resident = m_log.resident;
        if (m_log.answer && !resident) std::ofstream(path) << "expanded";
        if (m_log.whileExpanding) m_log.whileExpanding();
        return m_log.answer;
    }
    bool Recovery(char* buffer, int capacity, IProgress*) override {
        ++m_log.memoryCalls;
        std::memcpy(buffer, m_log.memoryBytes.data(), std::min<size_t>(capacity, m_log.memoryBytes.size()));
        return m_log.answer;
    }
    long long UnreadableBytes() const override { return m_log.unreadable; }

private:
    CompressedLog& m_log;
};

class CompressedNode : public TestFileNode {
public:
    CompressedNode(CompressedLog& log, long long size, IDataRunList* runs)
        : TestFileNode(7, 1, "c.bin", false, size), m_log(log) {
        SetCompressed(1);
        SetDataRunList(runs);
    }
    IFileReader* CreateCompressFileReader(void* context) override {
        lastContext = context;
        return makeReader ? new FakeCompressedReader(m_log) : nullptr;
    }
    bool makeReader = true;
    void* lastContext = nullptr;

private:
    CompressedLog& m_log;
};

TEST_F(Writer, NtfsCompressedNodesExpandThroughTheirOwnReader) {
    struct Private : IPrivateData {
        void Release() override {}
    } priv;
    Init(3, &priv);
    CompressedLog log;
    auto* runs = new CDataRunList;
    const DataRun run{1, 200};
    runs->AddDataRun(&run);
    CompressedNode node(log, 70000, runs);
    ASSERT_TRUE(Prepare(writer, &node));
    EXPECT_EQ(node.lastContext, &priv);

    ResultCode rc = 1;
    EXPECT_EQ(Recover("c", &rc), "expanded");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(log.fileCalls, 1);
    EXPECT_EQ(writer.RecoverTo(tmp.file("c2").c_str(), nullptr, 100), 0x10d01150000000fu);
    log.answer = false;
    EXPECT_EQ(writer.RecoverTo(tmp.file("c3").c_str(), nullptr, 0), 0x10d012100000001u);
    // Clusters it could not read stay zeros: the file is kept but told
    // damaged, with a line naming it.
    log.answer = true;
    log.unreadable = 4096;
    const std::string logPath = std::string(CatchExeception::GetWorkPath()) + "/recovery.log";
    EXPECT_EQ(Recover("c unreadable", &rc), "expanded");
    EXPECT_EQ(rc, WriterResult::Unreadable);
    EXPECT_NE(ReadWholeFile(logPath).find("read[" + tmp.file("c unreadable") + "] 4096 of 70000 bytes unreadable"),
              std::string::npos);
    log.unreadable = 0;

    // Thumbnails of compressed files come from the expanded head.
    log.answer = true;
    log.memoryBytes.assign(65536, '\0');
    const std::string thumb = "\xFF\xD8\xFF\xE0" + std::string(2100, 'q') + "\xFF\xD9";
    log.memoryBytes.replace(100, thumb.size(), thumb);
    std::vector<char> out(65536);
    EXPECT_EQ(std::string(out.data(), writer.ReadSmallJPG(out.data(), 65536)), thumb);
    EXPECT_EQ(log.memoryCalls, 1);

    node.makeReader = false; // without a reader of its own the node cannot be recovered
    EXPECT_EQ(writer.SetRecoverNode(&node), nullptr);
}

TEST_F(Writer, ResidentCompressedDataIsCopiedPlainly) {
    Init(3);
    CompressedLog log;
    log.resident = true;
    CompressedNode node(log, 5, new ResidentList);
    salvor::test::SetResidentReader([](IStorageDevice*, IFileNode*, long long offset, char* out, unsigned size) {
        return CopyOut("tiny!", offset, out, size);
    });
    ASSERT_TRUE(Prepare(writer, &node));
    ResultCode rc = 1;
    EXPECT_EQ(Recover("resident", &rc), "tiny!");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(log.fileCalls, 1);
    ResetFactories();
}

TEST_F(Writer, OtherCompressedReadersAreUsedAsTheyCome) {
    // An HFS+ compressed file's reader expands by itself and is not opened.
    Init(8);
    struct Expanding : IFileReader {
        unsigned ReadData(long long offset, char* buffer, unsigned size, int*) override {
            return CopyOut("decompressed", offset, buffer, size);
        }
        IFileReader* Clone() override { return new Expanding; }
        long long GetDataSize() const override { return 12; }
        int IsCompressFile() override { return 1; }
        void Release() override { delete this; }
    };
    struct HfsNode : TestFileNode {
        HfsNode() : TestFileNode(8, 1, "h", false, 12) { SetCompressed(1); }
        IFileReader* CreateCompressFileReader(void*) override { return new Expanding; }
    } node;
    ASSERT_TRUE(Prepare(writer, &node));
    ResultCode rc = 1;
    EXPECT_EQ(Recover("hfs", &rc), "decompressed");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(Recover("hfs", &rc, 4), "deco") << "an explicit count is fine for them";

    // A reader failing a read of more than 2048 bytes or one touching its bad
    // sector, reading short past its end, scribbling on the rest either way:
    // the file keeps every byte it gives, zeros elsewhere, and is told
    // damaged; halves start on sector boundaries.
    static const std::string given = [] {
        std::string bytes(3000, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
        return bytes;
    }();
    static long long flakyBad = -1, flakyEnd = 3000;
    struct Flaky : Expanding {
        unsigned ReadData(long long offset, char* buffer, unsigned size, int* error) override {
            std::memset(buffer, 'X', size);
            const long long n = std::clamp<long long>(flakyEnd - offset, 0, size);
            if (size > 2048 || (flakyBad >= 0 && offset < flakyBad + 512 && offset + size > flakyBad) || n == 0) {
                *error = 5;
                return 0;
            }
            std::memcpy(buffer, given.data() + offset, static_cast<std::size_t>(n));
            return static_cast<unsigned>(n);
        }
        IFileReader* Clone() override { return new Flaky; }
        long long GetDataSize() const override { return 3000; }
    };
    struct FlakyNode : TestFileNode {
        FlakyNode() : TestFileNode(8, 1, "flaky", false, 3000) { SetCompressed(1); }
        IFileReader* CreateCompressFileReader(void*) override { return new Flaky; }
    } flaky;
    const struct {
        long long bad, end;
        std::string want;
    } flakyRows[] = {
        {512, 2500, given.substr(0, 512) + std::string(512, '\0') + given.substr(1024, 1476) + std::string(500, '\0')},
        {-1, 2500, given.substr(0, 2500) + std::string(500, '\0')},
        // Halved down to the last 952 bytes: 512 of them read.
        {2560, 3000, given.substr(0, 2560) + std::string(440, '\0')},
    };
    for (const auto& row : flakyRows) {
        SCOPED_TRACE(row.bad);
        flakyBad = row.bad;
        flakyEnd = row.end;
        ASSERT_TRUE(Prepare(writer, &flaky));
        EXPECT_EQ(Recover("flaky", &rc), row.want);
        EXPECT_EQ(rc, WriterResult::Unreadable);
    }

    // A reader that has nothing for a file claiming 2^50 bytes: the copy ends
    // at once, with one line in the log for it, and the file is not counted whole.
    struct Empty : Expanding {
        unsigned ReadData(long long, char*, unsigned, int*) override { return 0; }
        IFileReader* Clone() override { return new Empty; }
        long long GetDataSize() const override { return 1LL << 50; }
    };
    struct Huge : TestFileNode {
        Huge() : TestFileNode(9, 1, "huge", false, 1LL << 50) { SetCompressed(1); }
        IFileReader* CreateCompressFileReader(void*) override { return new Empty; }
    } huge;
    const std::string logPath = std::string(CatchExeception::GetWorkPath()) + "/recovery.log";
    const auto logSize = [&] { return std::filesystem::exists(logPath) ? std::filesystem::file_size(logPath) : 0; };
    const auto logBefore = logSize();
    ASSERT_TRUE(Prepare(writer, &huge));
    EXPECT_TRUE(IsFailure(writer.RecoverTo(tmp.file("huge").c_str(), nullptr, 0)));
    EXPECT_LT(logSize() - logBefore, 1024u);
}

// The stamped image as a device the system finds gone once Go() is called:
// whole, nothing of it reading any more; or, as a ShrunkImage, shrunk to its
// first sectors (a cut loop device, a reader that lost part of its card),
// what lies below its new end still reading.
class GoneImage : public ImageDevice, public IDeviceGone {
public:
    GoneImage(const std::string& path, long long sectors, long long newEnd)
        : ImageDevice(path), m_sectors(sectors), m_newEnd(newEnd) {}
    void Go() {
        FailSectors(m_newEnd, m_sectors - m_newEnd);
        m_gone = true;
    }
    bool IsGone() override { return m_gone; }

protected:
    std::atomic<bool> m_gone{false};

private:
    long long m_sectors, m_newEnd;
};
class ShrunkImage final : public GoneImage {
public:
    using GoneImage::GoneImage;
    bool IsShrunk() override { return m_gone; }
};

// A device that shrank still gives what lies below its new end: a file there
// is whole, compressed or not; a file reaching past it keeps every sector
// that reads and is told damaged, as over bad sectors, its runs below the end
// after its lost ones too. A device gone whole gives nothing: no file is
// written, not even an empty one, and a file expanded while it went is taken
// back.
TEST_F(Writer, AShrunkDeviceGivesWhatLiesBelowItsNewEndAGoneOneNothing) {
    const long long sectors = 16384, newEnd = 8192; // 8 MiB cut to 4 MiB: a copy chunk on each side
    ASSERT_TRUE(WriteStampedImage(tmp.file("big"), sectors));
    struct Private : IPrivateData {
        void Release() override {}
    } priv;
    const auto initOn = [&](IStorageDevice* on) {
        searcher.records = {MakeRecord(0, 0, 1, 0, sectors, 1.0)};
        searcher.records[0].m_fileSystemType = 3; // NTFS: its compressed files expand
        searcher.records[0].m_privateData = &priv;
        return writer.Initialize(&searcher, on);
    };
    CompressedLog log;
    auto* runs = new CDataRunList;
    const DataRun compressedRun{1, 200};
    runs->AddDataRun(&compressedRun);
    CompressedNode compressed(log, 70000, runs);
    auto below = MakeFileNode({{3, 2}}, 1024);
    // Lost sectors past the new end first, then runs below it: the rest of
    // the first copy chunk and a second chunk.
    auto across = MakeFileNode({{newEnd + 100, 8}, {8, 8184}, {8, 16}}, (8 + 8184 + 16) * 512);
    auto empty = MakeFileNode({{3, 1}}, 0);
    ResultCode rc = 1;
    ShrunkImage shrunk(tmp.file("big"), sectors, newEnd);
    ASSERT_EQ(initOn(&shrunk), 0u);
    shrunk.Go();
    ASSERT_TRUE(Prepare(writer, below.get()));
    std::string got = Recover("below", &rc);
    EXPECT_EQ(rc, 0u);
    ASSERT_EQ(got.size(), 1024u);
    EXPECT_EQ(Stamps(got.data(), 2), Sectors(3, 2));
    ASSERT_TRUE(Prepare(writer, across.get()));
    got = Recover("across", &rc);
    EXPECT_EQ(rc, WriterResult::Unreadable);
    ASSERT_EQ(got.size(), (8 + 8184 + 16) * 512u);
    EXPECT_EQ(Stamps(got.data(), 8 + 8184 + 16), Join(Join(Sectors(0, 0, 8), Sectors(8, 8184)), Sectors(8, 16)));
    ASSERT_TRUE(Prepare(writer, &compressed));
    EXPECT_EQ(Recover("compressed below", &rc), "expanded");
    EXPECT_EQ(rc, 0u);

    GoneImage gone(tmp.file("big"), sectors, 0);
    ASSERT_EQ(initOn(&gone), 0u);
    // Gone while the file is expanded: its zeros are not the file.
    log.whileExpanding = [&] { gone.Go(); };
    ASSERT_TRUE(Prepare(writer, &compressed));
    EXPECT_EQ(Recover("compressed while going", &rc), "");
    EXPECT_EQ(rc, WriterResult::DeviceGone);
    log.whileExpanding = nullptr;
    ASSERT_TRUE(Prepare(writer, below.get()));
    EXPECT_EQ(Recover("gone below", &rc), "");
    EXPECT_EQ(rc, WriterResult::DeviceGone);
    EXPECT_EQ(writer.SetRecoverNode(empty.get()), nullptr);
    EXPECT_EQ(writer.RecoverTo(tmp.file("gone empty").c_str(), nullptr, 0), WriterResult::DeviceGone);
    for (const char* name : {"compressed while going", "gone below", "gone empty"})
        EXPECT_FALSE(std::filesystem::exists(tmp.file(name))) << name;

    // Gone whole once a file's first chunk was written: the rest of it is
    // not read (it would only be zeros) and the file is not kept. Gone just
    // after a file was read whole: that file is kept.
    struct GoesAt : RecordingProgress {
        std::size_t at = 0;
        std::function<void()> go;
        void UpdateProgress(_PROGRESS_INFO* info) override {
            RecordingProgress::UpdateProgress(info);
            if (Count() == at) go(); // the first report is the copy's start
        }
    };
    auto threeChunks = MakeFileNode({{8, 8184}, {8, 8184}, {8, 8184}}, 3 * 8184 * 512);
    for (const auto& [node, name, kept] :
         {std::tuple{threeChunks.get(), "gone mid-file", false}, {below.get(), "gone after the file", true}}) {
        GoneImage goes(tmp.file("big"), sectors, 0);
        ASSERT_EQ(initOn(&goes), 0u);
        GoesAt sink;
        sink.at = 2;
        sink.go = [&goes] { goes.Go(); };
        ASSERT_TRUE(Prepare(writer, node));
        EXPECT_EQ(writer.RecoverTo(tmp.file(name).c_str(), &sink, 0), kept ? 0u : WriterResult::DeviceGone) << name;
        EXPECT_EQ(std::filesystem::exists(tmp.file(name)), kept) << name;
        if (kept) {
            const std::string got = ReadWholeFile(tmp.file(name));
            ASSERT_EQ(got.size(), 1024u);
            EXPECT_EQ(Stamps(got.data(), 2), Sectors(3, 2));
        } else {
            EXPECT_EQ(sink.Last().current, 2u * CDataRecovery::kBufferSize) << "read on after the device went";
        }
    }
    ASSERT_EQ(initOn(device.get()), 0u); // the writer lets the devices go
}

// A file whose catalog gives it bytes is never told whole when none of them
// can be had, on any file system's reader: the plain reader (FAT, exFAT,
// NTFS, APFS) writes it at full length and tells it damaged, NTFS's
// expanding reader fails, and an HFS+ compressed file whose size is unknown
// is not written empty. An HFS+ compressed file that is empty stays whole.
TEST_F(Writer, FileWithBytesIsNeverWholeWhenWrittenEmpty) {
    struct Nothing : IFileReader {
        unsigned ReadData(long long, char*, unsigned, int*) override { return 0; }
        IFileReader* Clone() override { return new Nothing; }
        long long GetDataSize() const override { return 0; }
        int IsCompressFile() override { return 1; }
        void Release() override { delete this; }
    };
    struct HfsCompressed : TestFileNode {
        explicit HfsCompressed(bool unknown) : TestFileNode(8, 1, "h", false, 0), unknown(unknown) { SetCompressed(1); }
        IFileReader* CreateCompressFileReader(void*) override { return new Nothing; }
        bool IsSizeUnknown() override { return unknown; }
        bool unknown;
    };
    CompressedLog log;
    log.answer = false;
    const auto plain = [] { return MakeFileNode({{1LL << 40, 4}}, 2048); };
    struct Case {
        const char* what;
        unsigned fs;
        std::function<std::unique_ptr<TestFileNode>()> make;
        ResultCode want;
        long long length; // of the file left, -1: none
    };
    const Case cases[] = {
        {"FAT32", FS_FAT32, plain, WriterResult::Unreadable, 2048},
        {"exFAT", FS_EXFAT, plain, WriterResult::Unreadable, 2048},
        {"NTFS", FS_NTFS, plain, WriterResult::Unreadable, 2048},
        {"APFS", FS_APFS, plain, WriterResult::Unreadable, 2048},
        {"NTFS compressed", FS_NTFS,
         [&] {
             auto* runs = new CDataRunList;
             const DataRun run{1LL << 40, 4};
             runs->AddDataRun(&run);
             return std::make_unique<CompressedNode>(log, 70000, runs);
         },
         WriterResult::CompressedFailed, -1},
        {"HFS+ compressed, size unknown", FS_HFSPLUS, [] { return std::make_unique<HfsCompressed>(true); },
         WriterResult::SizeUnknown, -1},
        {"HFS+ compressed, empty", FS_HFSPLUS, [] { return std::make_unique<HfsCompressed>(false); }, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Init(c.fs);
        const auto node = c.make();
        ASSERT_TRUE(Prepare(writer, node.get()));
        const std::string path = tmp.file(std::string("out ") + c.what);
        EXPECT_EQ(writer.RecoverTo(path.c_str(), nullptr, 0), c.want);
        std::error_code ec;
        const auto length = std::filesystem::file_size(path, ec);
        EXPECT_EQ(ec ? -1LL : static_cast<long long>(length), c.length);
    }
}

TEST_F(Writer, SmallJpgScanSkipsEndMarkersWithin2000Bytes) {
    std::string head(65536, '\0');
    head.replace(0, 4, "\xFF\xD8\xFF\xE1");
    const std::string thumb =
        "\xFF\xD8\xFF\xDB" + std::string(10, 'a') + "\xFF\xD9" + std::string(2500, 'b') + "\xFF\xD9";
    head.replace(30, thumb.size(), thumb);
    std::ofstream(tmp.file("jpg"), std::ios::binary) << head << std::string(65536, 'z');
    ImageDevice jpg(tmp.file("jpg"));
    searcher.records = {MakeRecord(0, 0, 8, 0, 256)};
    ASSERT_EQ(writer.Initialize(&searcher, &jpg), 0u);
    auto node = MakeFileNode({{0, 32}}, 131072);
    ASSERT_TRUE(Prepare(writer, node.get()));
    std::vector<char> out(70000);
    EXPECT_EQ(std::string(out.data(), writer.ReadSmallJPG(out.data(), 70000)), thumb);
    EXPECT_EQ(writer.ReadSmallJPG(nullptr, 70000), 0u);
    EXPECT_EQ(writer.ReadSmallJPG(out.data(), 0), 0u);
}

} // namespace
} // namespace salvor::test
