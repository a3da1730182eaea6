// The records of a scan-result file: what a save writes reads back whole and
// in breadth-first order; every damaged count, marker or length is refused
// with code 8; roots match by volume name; the volume cache opens once.
#include "engine/all/AllLibraries.h"
#include "engine/common/DataRunList.h"
#include "engine/include/DataRecovery.h"
#include "engine/tree/FilesystemNode.h"
#include "savedscan/CRC.h"
#include "savedscan/IRSData.h"
#include "savedscan/KeptSave.h"
#include "savedscan/VolumeWrites.h"
#include "savedscan/SavedVolumeCheck.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "engine/writer/DataRecovery.h"
#include "tests/savedscan/SavedScanSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/TestFileNode.h"
#include "tests/support/engine_helpers.h"
#include "tests/engine/writer/WriterTestSupport.h"

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstring>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <tuple>
#include <string>
#include <vector>

namespace {

using namespace salvor::test;
using SaveRestoreResult::RestoreFileNode;

// A saved tree: root(1) { ""(8), f1(3), A(2) { f2(5), B(4) { C(6) { deep(7) } } } }.
struct SavedTree {
    SavedTree() : root(SEARCHER_FAT, "root", std::string(600, 'v'), 1) {
        auto* a = Add(&root, 2, "A", true);
        f1 = Add(&root, 3, "f1");
        Add(&root, 8, "");
        auto* b = Add(a, 4, "B", true);
        f2 = Add(a, 5, "");
        Add(Add(b, 6, "C", true), 7, "deep");
        // Three adjacent runs, and more runs than a 16-bit count holds.
        auto* runs = new CDataRunList;
        for (long long s : {0, 2, 4}) {
            DataRun r{s, 2};
            runs->AddDataRun(&r);
        }
        f1->SetDataRunList(runs);
        f1->m_created = _FILETIME::From(0x01D0000012345678);
        f1->SetBelongedPartition(3);
        f1->SetMetaDataSector(777);
        f1->ShowNode(0); // hidden when saved
        runs = new CDataRunList;
        for (long long i = 0; i < 70000; ++i) {
            DataRun r{i * 10, 1};
            runs->AddDataRun(&r);
        }
        f2->SetDataRunList(runs);
        for (int i = 0; i < 35000; ++i) f2->m_name += "\xC3\xA9"; // 70,000 bytes of "é"
        partition.m_partitionIndex = 3;
        partition.m_sectorsPerCluster = 8;
        partition.m_startSector = 2048;
        partition.m_totalSectors = 131072;
        partition.m_score = 0.75;
    }
    ~SavedTree() {
        for (std::size_t i = 0; i < owned.size(); ++i) delete owned[owned.size() - 1 - i];
    }
    TestFileNode* Add(CFileNode* parent, long long id, const char* name, bool dir = false) {
        auto* n = new TestFileNode(id, parent->GetCurrentNodeID(), name, dir, id * 100);
        parent->AddChild(n);
        owned.push_back(n);
        return n;
    }
    SaveRestoreResult::SaveSource Source() {
        SaveRestoreResult::SaveSource s;
        s.controllerType = 0;
        s.disk.name = "disk";
        s.disk.size = 1 << 20;
        s.roots = {&root};
        s.partitions = [this](IFileNode*) { return std::vector<CSearchedPartitionInfo*>{&partition}; };
        return s;
    }

    CFilesystemNode root;
    TestFileNode* f1;
    TestFileNode* f2;
    std::vector<TestFileNode*> owned;
    CSearchedPartitionInfo partition{4096};
};

// A sink that asks the save to stop (as quitting does) after calls checks;
// never for a negative count.
struct StopAt : IProgress {
    int left;
    explicit StopAt(int calls) : left(calls) {}
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return left < 0 || left-- > 0; }
    int shouldBuild() override { return 0; }
};

std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename().string());
    return names;
}

// A kept copy's head with other lengths and checksum of its bytes, and its
// checksums made again: what one who knows the format writes.
std::string Reforged(std::string head, std::uint64_t oldLength, std::uint64_t newLength, std::uint32_t keptCrc) {
    const auto put = [&](std::size_t at, std::uint64_t value, int width) {
        for (int i = 0; i < width; ++i) head[at + i] = static_cast<char>(value >> (8 * i));
    };
    const auto crc = [&](std::size_t count) {
        return CCRC::RunCRC32(reinterpret_cast<const std::uint8_t*>(head.data()), count, kRSCrc32Polynomial);
    };
    const std::size_t end = 64 + (static_cast<unsigned char>(head[8]) | static_cast<unsigned char>(head[9]) << 8);
    head.resize(8192);
    put(12, keptCrc, 4);
    put(48, oldLength, 8);
    put(56, newLength, 8);
    put(end, crc(end), 4);
    put(end + 12, crc(end + 12), 4);
    return head;
}

// Runs body in a child as uid:uid without other groups: its answer, or -1.
int AsUser(uid_t uid, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(100);
        ::_exit(body());
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t RunCount(CFileNode* node) {
    IDataRunList* list = node->GetDataRunList();
    std::size_t n = 0;
    for (DataRun* r = list ? list->GetFirst() : nullptr; r; r = list->GetNext()) ++n;
    return n;
}

TEST(SavedScanRecords, SavedTreesReadBackWholeInBreadthFirstOrder) {
    TempDir dir;
    const std::string path = dir.file("tree.rsf");
    SavedTree tree;
    CProgressSteps steps;
    ASSERT_EQ(SaveRestoreResult::WriteScanResult(path.c_str(), tree.Source(), nullptr, steps), 0u);

    auto load = LoadDirectPtr(path);
    ASSERT_EQ(load->code, 0u);
    const ReplayBuilder& b = load->builder;
    EXPECT_EQ(b.roots, (std::vector<std::pair<int, long long>>{{SEARCHER_FAT, 1}}));
    EXPECT_EQ(b.flashed, std::vector<int>{SEARCHER_FAT});
    std::vector<long long> ids;
    for (const auto& n : b.nodes) {
        ids.push_back(n->GetCurrentNodeID());
        EXPECT_EQ(n->IsNodeShow(), 1) << n->GetCurrentNodeID();
        EXPECT_EQ(n->GetFileSize(), n->GetCurrentNodeID() * 100);
    }
    // Children are linked in front, so each level reads last-added first.
    EXPECT_EQ(ids, (std::vector<long long>{8, 3, 2, 5, 4, 6, 7}));
    RestoreFileNode& f1 = *b.nodes[1];
    EXPECT_EQ(std::string(f1.GetFileName()), "f1");
    EXPECT_EQ(f1.GetParentNodeID(), 1);
    EXPECT_EQ(RunCount(&f1), 1u); // merged
    EXPECT_EQ(f1.GetCreationTime().Value(), 0x01D0000012345678u);
    EXPECT_EQ(f1.GetBelongedPartition(), 3);
    EXPECT_EQ(f1.GetMetadataStartPosition(), 777);
    EXPECT_EQ(f1.GetAttribute(), 0x20u);
    EXPECT_EQ(std::string(b.nodes[0]->GetFileName()), "");
    EXPECT_EQ(b.nodes[0]->GetDataRunList(), nullptr);
    RestoreFileNode& f2 = *b.nodes[3];
    EXPECT_EQ(RunCount(&f2), 70000u);
    EXPECT_EQ(std::strlen(f2.GetFileName()), 65534u); // cut before a split "é"
    EXPECT_TRUE(b.nodes[2]->IsDirectory());

    ASSERT_EQ(load->partitions.List(SEARCHER_FAT).size(), 1u);
    const CSearchedPartitionInfo& p = *load->partitions.List(SEARCHER_FAT)[0];
    EXPECT_EQ(std::tuple(p.m_partitionIndex, p.m_sectorsPerCluster, p.m_startSector, p.m_totalSectors,
                         p.GetSectorSize(), p.m_score, p.m_privateData),
              std::tuple(std::uint16_t{3}, 8u, std::int64_t{2048}, std::uint64_t{131072}, 4096u, 0.75,
                         static_cast<IPrivateData*>(nullptr)));

    // Roots match the device's volume name (cut to 511 bytes when saved).
    EXPECT_EQ(LoadDirectPtr(path, {false, std::string(511, 'v'), nullptr})->builder.nodes.size(), 7u);
    auto other = LoadDirectPtr(path, {false, "OTHER", nullptr});
    EXPECT_EQ(other->code, 0u);
    EXPECT_TRUE(other->builder.nodes.empty() && other->builder.roots.empty());
    EXPECT_EQ(other->partitions.Count(), 0u);

    // A frame added after the checksums is not the save's: refused.
    const auto append = [](const std::string& to) {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(to.c_str(), 0));
        rs.OpenFrame(_frFileSystemNode);
        const std::uint64_t none = 0;
        rs.WriteCurFrame(&none, 8);
        rs.CloseFrame();
    };
    append(path);
    EXPECT_EQ(LoadDirect(path), SAVED_DAMAGED);
}

// A root of more volumes than a block's 512 records: written as blocks of the
// same root, those ahead holding 512 records and no nodes, so every reader
// gets all of them in order and builds the tree once, after its nodes. A
// root of 512 is one block, as saves always wrote it.
TEST(SavedScanRecords, EveryVolumeOfARootIsSavedAndLoadedInOrder) {
    TempDir dir;
    SavedTree tree;
    tree.f1->SetBelongedPartition(1099);
    for (std::size_t count : {std::size_t{512}, std::size_t{513}, std::size_t{1024}, std::size_t{1100}}) {
        SCOPED_TRACE(count);
        std::vector<std::unique_ptr<CSearchedPartitionInfo>> records;
        std::vector<CSearchedPartitionInfo*> borrowed;
        for (std::size_t i = 0; i < count; ++i) {
            records.push_back(std::make_unique<CSearchedPartitionInfo>(512));
            records.back()->m_partitionIndex = static_cast<std::uint16_t>(i);
            records.back()->m_startSector = static_cast<std::int64_t>(1000 + i);
            borrowed.push_back(records.back().get());
        }
        auto source = tree.Source();
        source.partitions = [&](IFileNode*) { return borrowed; };
        const std::string path = dir.file("many.rsf");
        CProgressSteps steps;
        ASSERT_EQ(SaveRestoreResult::WriteScanResult(path.c_str(), source, nullptr, steps), 0u);
        auto load = LoadDirectPtr(path);
        ASSERT_EQ(load->code, 0u);
        const std::size_t blocks = (count + 511) / 512;
        EXPECT_EQ(load->builder.roots, (std::vector<std::pair<int, long long>>(blocks, {SEARCHER_FAT, 1})));
        EXPECT_EQ(load->builder.flashed, std::vector<int>{SEARCHER_FAT});
        EXPECT_EQ(load->builder.nodes.size(), 7u);
        const auto& list = load->partitions.List(SEARCHER_FAT);
        ASSERT_EQ(list.size(), count);
        for (std::size_t i = 0; i < count; ++i)
            ASSERT_EQ(std::pair(list[i]->m_partitionIndex, list[i]->m_startSector),
                      std::pair(static_cast<std::uint16_t>(i), static_cast<std::int64_t>(1000 + i)));
        // f1 names partition 1099: held where the save has it, else it
        // keeps nothing to be read from.
        RestoreFileNode& f1 = *load->builder.nodes.at(1);
        ASSERT_EQ(std::string(f1.GetFileName()), "f1");
        EXPECT_EQ(f1.GetDataRunList() != nullptr, count > 1099);
    }
}

// What a partition record's first 16 bytes say of its volume reads back as
// written; older saves (zeros, or pointers there) say nothing. The files that
// vouch for a volume are the first four live ones of its record, in save
// order, deleted ones filling in; no folder, empty, resident or compressed one.
TEST(SavedScanRecords, VolumeMarksReadBackAndSampleTheFilesOfTheirRecord) {
    using SaveRestoreResult::VolumeMark;
    CSearchedPartitionInfo p(512);
    const auto roundTrip = [&](const VolumeMark* mark) {
        std::string bytes;
        CRecordWriter w(bytes);
        SaveRestoreResult::WritePartition(p, w, mark);
        return SaveRestoreResult::ReadPartitionMark(reinterpret_cast<const std::uint8_t*>(bytes.data()));
    };
    VolumeMark identity{VolumeMark::Kind::Identity, 0x1122334455667788ULL, {}};
    VolumeMark files{VolumeMark::Kind::Files, SaveRestoreResult::FoldIdentity(0x1122334455667788ULL), {7, 0, 9, 65535}};
    VolumeMark samples{VolumeMark::Kind::Samples, SaveRestoreResult::FoldIdentity16(0x1122334455667788ULL), {},
                       {7, 0, 9, 255, 1, 2, 3, 4, 5, 6}};
    for (const VolumeMark& mark : {identity, files, samples}) {
        const VolumeMark back = roundTrip(&mark);
        EXPECT_EQ(std::tuple(back.kind, back.identity, back.files, back.samples),
                  std::tuple(mark.kind, mark.identity, mark.files, mark.samples));
    }
    // Half of the files that vouched must read as saved; those that read
    // otherwise are named.
    std::vector<bool> differ;
    EXPECT_EQ(JudgeMarks(samples, {7, 1, 9, 255, 1, 2, 0, 0, 0}, &differ), VolumeCheck::Same);
    EXPECT_EQ(differ, (std::vector<bool>{false, false, false, false, false, false, true, true, true, true}));
    EXPECT_EQ(JudgeMarks(samples, {7, 1, 9, 255, 0, 0, 0, 0, 0, 0}, nullptr), VolumeCheck::Other);
    EXPECT_EQ(JudgeMarks(files, {7, 0, 8, 65535}, nullptr), VolumeCheck::Same);
    EXPECT_EQ(JudgeMarks(files, {7, 0, 8, 1}, nullptr), VolumeCheck::Other);
    EXPECT_EQ(JudgeMarks(VolumeMark{VolumeMark::Kind::Samples, 0, {}, {}}, {}, nullptr), VolumeCheck::Unchecked);
    EXPECT_EQ(roundTrip(nullptr).kind, VolumeMark::Kind::None);
    std::uint8_t older[kPartitionRecordSize] = {};
    for (int i = 0; i < 6; ++i) older[i] = older[8 + i] = static_cast<std::uint8_t>(0x40 + i); // two pointers
    EXPECT_EQ(SaveRestoreResult::ReadPartitionMark(older).kind, VolumeMark::Kind::None);
    EXPECT_NE(SaveRestoreResult::FoldIdentity(0x0000000100000001ULL), 0u);

    std::vector<std::unique_ptr<RestoreFileNode>> nodes;
    const auto add = [&](std::uint16_t partition, bool deleted, bool resident = false, std::uint64_t size = 100) {
        auto node = std::make_unique<RestoreFileNode>();
        node->m_size = size;
        node->m_isDeleted = deleted;
        auto* runs = new CDataRunList;
        runs->SetResident(resident);
        DataRun r{static_cast<long long>(nodes.size()), 1};
        runs->AddDataRun(&r);
        node->SetDataRunList(runs);
        node->SetBelongedPartition(partition);
        nodes.push_back(std::move(node));
        return nodes.back().get();
    };
    IFileNode* d0 = add(1, true);
    add(1, false, true);  // resident
    add(1, false, false, 0); // empty
    IFileNode* l1 = add(1, false);
    IFileNode* other = add(2, false);
    IFileNode* l2 = add(1, false);
    IFileNode* l3 = add(1, false);
    IFileNode* l4 = add(1, false);
    add(1, false); // a fifth live one
    CMarkSampler byRecord(false), one(true);
    for (const auto& node : nodes) byRecord.Offer(node.get()), one.Offer(node.get());
    EXPECT_EQ(byRecord.Files(1), (std::vector<IFileNode*>{l1, l2, l3, l4}));
    EXPECT_EQ(byRecord.Files(2), (std::vector<IFileNode*>{other}));
    EXPECT_EQ(byRecord.Files(3), std::vector<IFileNode*>{});
    EXPECT_EQ(one.Files(2), (std::vector<IFileNode*>{l1, other, l2, l3}));
    EXPECT_EQ(one.Files(2, kMarkSamples), (std::vector<IFileNode*>{l1, other, l2, l3, l4, nodes.back().get(), d0}));
    CMarkSampler few(false);
    few.Offer(d0), few.Offer(other);
    EXPECT_EQ(few.Files(1), (std::vector<IFileNode*>{d0}));
}

// Hand-made files, one field wrong at a time.
struct Trees {
    std::uint64_t roots = 1;
    std::uint32_t rootMarker = kRootMarker, type = SEARCHER_EXFAT, volumeLength = 3;
    std::uint32_t partitions = 1, kind = 4, sectorSize = 512;
    std::uint32_t nodeMarker = kNodeMarker, runs = 1, nameLength = 4;
    std::int64_t runLength = 5;
    std::uint64_t parent = 1;
    std::uint32_t resident = 0;
    bool trailing = false;
    std::string nodeData; // payload of a NodeData frame, none when empty

    std::string Bytes() const {
        std::string s;
        CRecordWriter w(s);
        auto file = [&](std::uint64_t id, std::uint64_t parentId, std::uint32_t runCount, std::uint32_t nameLen,
                        const char* name) {
            w.U64(id), w.U64(parentId), w.U64(3);
            w.U16(0x20);
            for (int i = 0; i < 3; ++i) w.U64(0);
            w.U32(0), w.U32(0), w.U32(runCount), w.U32(id == 1 ? 0 : resident);
            for (std::uint32_t i = 0; i < std::min(runCount, 4u); ++i) w.U64(100 * i), w.U64(static_cast<std::uint64_t>(runLength));
            w.U32(nameLen);
            w.Bytes(name, std::min<std::size_t>(nameLen, std::strlen(name)));
            w.U32(1), w.U16(0), w.U64(0), w.U32(0);
        };
        w.U64(roots);
        w.U32(rootMarker);
        file(1, 0, 0, 4, "root");
        w.U32(type);
        w.U32(volumeLength);
        w.Bytes("VOL", std::min<std::uint32_t>(volumeLength, 3));
        w.U32(partitions);
        for (std::uint32_t i = 0; i < std::min(partitions, 2u); ++i) {
            w.U32(kind);
            CSearchedPartitionInfo p;
            p.m_sectorSize = sectorSize;
            SaveRestoreResult::WritePartition(p, w);
        }
        w.U32(nodeMarker);
        file(2, parent, runs, nameLength, "file");
        w.U32(kEndMarker);
        if (trailing) w.U32(0);
        return s;
    }
};

// A file as saves before the node-data and checksum frames wrote it (and
// a NodeData frame when given).
std::string WriteHandMade(const TempDir& dir, const std::string& trees, std::uint32_t count = 8,
                          std::uint32_t nameLength = 0, FileStatus status = FILE_STATUS_SAVED, bool withTrees = true,
                          const std::string& nodeData = {}, std::pair<std::uint32_t, std::uint32_t> controller = {}) {
    const std::string path = dir.file("hand.rsf");
    CRSData rs(RS_MODE_WRITE);
    EXPECT_TRUE(rs.StartRS(path.c_str(), 1));
    FILEHEADER h;
    h.status = static_cast<std::uint32_t>(status);
    rs.WriteFileHeader(h);
    std::string c, d;
    CRecordWriter cw(c), dw(d);
    cw.U32(count), cw.U32(controller.first), cw.U32(controller.second);
    dw.U64(1 << 20), dw.U32(0), dw.U32(0), dw.U32(7), dw.U32(nameLength);
    for (auto [guid, bytes] : {std::pair{&_frFileSystemSearchControllerList, &c}, std::pair{&_frDiskDevice, &d},
                               std::pair{&_frFileSystemNode, const_cast<std::string*>(&trees)}}) {
        if (guid == &_frFileSystemNode && !withTrees) break;
        rs.OpenFrame(*guid);
        rs.WriteCurFrame(bytes->data(), static_cast<unsigned>(bytes->size()));
        rs.CloseFrame();
    }
    if (!nodeData.empty()) {
        rs.OpenFrame(_frNodeData);
        rs.WriteCurFrame(nodeData.data(), static_cast<unsigned>(nodeData.size()));
        rs.CloseFrame();
    }
    rs.EndRS();
    return path;
}

TEST(SavedScanRecords, DamagedRecordsAreRefused) {
    TempDir dir;
    auto code = [&](const Trees& t) {
        return LoadDirect(WriteHandMade(dir, t.Bytes(), 8, 0, FILE_STATUS_SAVED, true, t.nodeData));
    };
    ASSERT_EQ(code(Trees{}), 0u);
    // NodeData entries: ordinal, kind, length, value.
    auto entry = [](std::uint64_t ordinal, std::uint32_t kind, const std::string& value) {
        std::string s;
        CRecordWriter w(s);
        w.U64(ordinal), w.U32(kind), w.U32(static_cast<std::uint32_t>(value.size())), w.Bytes(value.data(), value.size());
        return s;
    };
    const std::string initialized2 = entry(0, kNodeDataInitialized, std::string("\2\0\0\0\0\0\0\0", 8));
    {
        // The held values reach the node; a later kind is passed over.
        Trees t;
        t.resident = 1, t.runs = 0;
        t.nodeData = initialized2 + entry(0, kNodeDataResident, "abc") +
                     entry(0, kNodeDataContent, std::string("\7\0\0\0", 4)) + entry(0, 99, "later");
        auto load = LoadDirectPtr(WriteHandMade(dir, t.Bytes(), 8, 0, FILE_STATUS_SAVED, true, t.nodeData));
        ASSERT_EQ(load->code, 0u);
        RestoreFileNode& n = *load->builder.nodes.at(0);
        char held[8] = {};
        unsigned got = 0;
        EXPECT_TRUE(n.ReadHeldData(1, held, sizeof held, got));
        EXPECT_EQ(std::string(held, got), "bc");
        EXPECT_EQ(n.GetInitializedSize(), 2);
        EXPECT_EQ(n.m_content, 7u);
    }
    {
        // A file whose partition index names none of two saved records (a
        // save that left records out) loads with nothing to read from; with
        // one record the writers take it whatever the file names.
        for (std::uint32_t partitions : {1u, 2u}) {
            Trees t;
            t.partitions = partitions;
            auto load = LoadDirectPtr(WriteHandMade(dir, t.Bytes()));
            ASSERT_EQ(load->code, 0u);
            EXPECT_EQ(load->builder.nodes.at(0)->GetDataRunList() != nullptr, partitions == 1) << partitions;
        }
    }
    const std::vector<std::pair<const char*, Trees>> damaged = {
        {"a root count past the end", [] { Trees t; t.roots = 2; return t; }()},
        {"a root count of 2^63", [] { Trees t; t.roots = 1ULL << 63; return t; }()},
        {"a root marker 2", [] { Trees t; t.rootMarker = 2; return t; }()},
        {"searcher type 30", [] { Trees t; t.type = 30; return t; }()},
        {"searcher type 38", [] { Trees t; t.type = 38; return t; }()},
        {"a volume name of 600 bytes", [] { Trees t; t.volumeLength = 600; return t; }()},
        {"513 partitions", [] { Trees t; t.partitions = 513; return t; }()},
        {"partition kind 5", [] { Trees t; t.kind = 5; return t; }()},
        {"sector size 0", [] { Trees t; t.sectorSize = 0; return t; }()},
        {"node marker 7", [] { Trees t; t.nodeMarker = 7; return t; }()},
        {"more runs than bytes", [] { Trees t; t.runs = 0xFFFFFFFF; return t; }()},
        {"a negative run length", [] { Trees t; t.runLength = -1; return t; }()},
        {"a name of 70,000 bytes", [] { Trees t; t.nameLength = 70000; return t; }()},
        {"bytes after the last root", [] { Trees t; t.trailing = true; return t; }()},
        {"a parent not saved", [] { Trees t; t.parent = 9; return t; }()},
        {"resident bytes of a node with runs", [&] { Trees t; t.nodeData = entry(0, kNodeDataResident, "abc"); return t; }()},
        {"resident bytes of another size", [&] { Trees t; t.resident = 1, t.runs = 0; t.nodeData = entry(0, kNodeDataResident, "ab"); return t; }()},
        {"an initialized size past the end", [&] { Trees t; t.nodeData = entry(0, kNodeDataInitialized, std::string("\4\0\0\0\0\0\0\0", 8)); return t; }()},
        {"node data of no node", [&] { Trees t; t.nodeData = entry(1, kNodeDataInitialized, std::string(8, '\0')); return t; }()},
        {"node data out of order", [&] { Trees t; t.nodeData = entry(1, 99, "") + initialized2; return t; }()},
        {"a cut node-data entry", [&] { Trees t; t.nodeData = initialized2.substr(0, 20); return t; }()},
        {"a content mark of 3 bytes", [&] { Trees t; t.nodeData = entry(0, kNodeDataContent, "abc"); return t; }()},
        {"a content mark 0", [&] { Trees t; t.nodeData = entry(0, kNodeDataContent, std::string(4, '\0')); return t; }()},
    };
    for (const auto& [what, t] : damaged) EXPECT_EQ(code(t), SAVED_DAMAGED) << what;

    const std::string good = Trees{}.Bytes();
    EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 9)), SAVED_BAD_CONTROLLERS);
    // A quick scan's type with the deep flag, a deep one's without it.
    for (const auto& types : {std::pair{0u, 1u}, std::pair{1u, 0u}, std::pair{2u, 0u}})
        EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 8, 0, FILE_STATUS_SAVED, true, {}, types)), SAVED_BAD_CONTROLLERS)
            << types.first << " " << types.second;
    EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 8, 0, FILE_STATUS_SAVED, true, {}, {2, 1})), 0u);
    EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 8, 5000)), SAVED_BAD_DISK_DEVICE);
    EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 8, 0, FILE_STATUS_NONE)), SAVED_BAD_HEADER);
    EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 8, 0, static_cast<FileStatus>(5))), SAVED_BAD_HEADER);
    EXPECT_EQ(LoadDirect(WriteHandMade(dir, good, 8, 0, FILE_STATUS_SAVED, false)), SAVED_DAMAGED);
    EXPECT_EQ(LoadDirect(dir.file("none.rsf")), SAVED_CANNOT_OPEN);

    // An older save (no checksums) with a second trees frame: the first is read.
    const std::string older = WriteHandMade(dir, good);
    {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(older.c_str(), 0));
        rs.OpenFrame(_frFileSystemNode);
        const std::uint64_t none = 0;
        rs.WriteCurFrame(&none, 8);
        rs.CloseFrame();
    }
    EXPECT_EQ(LoadDirectPtr(older)->builder.nodes.size(), 1u);

    // The files of the builder's lost-files folder (id -1) keep the ids of
    // parents never found: not damage.
    SavedTree lost;
    lost.Add(lost.Add(&lost.root, -1, "Other lost files", true), 99, "orphan")->SetParentNodeID(98);
    CProgressSteps steps;
    const std::string lostPath = dir.file("lost.rsf");
    ASSERT_EQ(SaveRestoreResult::WriteScanResult(lostPath.c_str(), lost.Source(), nullptr, steps), 0u);
    EXPECT_EQ(LoadDirect(lostPath), 0u);

    // Where the scanned disk's volumes were reads back as saved; counts past
    // the frame's end, a start before the disk's, a volume past 2^63 sectors
    // or bytes after the last root block are damage.
    auto laidFrom = [&](const std::string& path) {
        CRSData rs(RS_MODE_READ);
        EXPECT_TRUE(rs.StartRS(path.c_str(), 0));
        return ReadLaidVolumes(rs);
    };
    {
        SaveRestoreResult::SaveSource source = lost.Source();
        source.volumes = {{2048, 4096}, {6144, 100}};
        source.rootStart = [](IFileNode*) { return 2048LL; };
        const std::string laidPath = dir.file("laid.rsf");
        ASSERT_EQ(SaveRestoreResult::WriteScanResult(laidPath.c_str(), source, nullptr, steps), 0u);
        const LaidVolumes laid = laidFrom(laidPath);
        EXPECT_TRUE(laid.present);
        EXPECT_EQ(laid.volumes, source.volumes);
        EXPECT_EQ(laid.blocks, std::vector<long long>{2048});
        EXPECT_FALSE(laidFrom(WriteHandMade(dir, good)).present);
    }
    auto laidOf = [](const std::function<void(CRecordWriter&)>& fields) {
        std::string s;
        CRecordWriter w(s);
        fields(w);
        return s;
    };
    for (const auto& [what, payload] : std::vector<std::pair<const char*, std::string>>{
             {"a volume count past the end", laidOf([](CRecordWriter& w) { w.U32(1); })},
             {"a negative volume start", laidOf([](CRecordWriter& w) { w.U32(1), w.U64(1ULL << 63), w.U64(8), w.U32(0); })},
             {"a volume past 2^63 sectors", laidOf([](CRecordWriter& w) { w.U32(1), w.U64(4), w.U64(~0ULL), w.U32(0); })},
             {"a root block before the disk", laidOf([](CRecordWriter& w) { w.U32(0), w.U32(1), w.U64(~1ULL); })},
             {"bytes after the last root block", laidOf([](CRecordWriter& w) { w.U32(0), w.U32(0), w.U32(0); })}}) {
        const std::string path = dir.file("laid-damaged.rsf");
        {
            CRSData rs(RS_MODE_WRITE);
            ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
            FILEHEADER h;
            h.status = FILE_STATUS_SAVED;
            rs.WriteFileHeader(h);
            rs.OpenFrame(_frVolumes);
            rs.WriteCurFrame(payload.data(), static_cast<unsigned>(payload.size()));
            rs.CloseFrame();
            rs.EndRS();
        }
        EXPECT_THROW(laidFrom(path), CSavedScanDamage) << what;
    }

    // A new save says it has checksums: without them, or with one more valid
    // frame than they list, it is damaged.
    std::string bytes;
    {
        std::ifstream in(lostPath, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string sign(reinterpret_cast<const char*>(_frSignPub.bytes), 16);
    const std::size_t sumsAt = bytes.rfind(sign + std::string(reinterpret_cast<const char*>(_frChecksums.bytes), 16));
    ASSERT_NE(sumsAt, std::string::npos);
    const std::string other = "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10";
    const std::string extra = sign + other + std::string("\x04\0\0\0", 4) + "abcd";
    for (const std::string& damaged : {bytes.substr(0, sumsAt), std::string(bytes).insert(sumsAt, extra)}) {
        std::ofstream(dir.file("edited.rsf"), std::ios::binary | std::ios::trunc) << damaged;
        EXPECT_EQ(LoadDirect(dir.file("edited.rsf")), SAVED_DAMAGED) << damaged.size();
    }
}

// A save whose last sync or close fails (the system refuses it, as a full or
// vanished disk does) is reported failed and leaves no file. Run in a child
// whose fsync or close a seccomp filter answers with EIO.
TEST(SavedScanRecords, AFailedLastSyncOrCloseFailsTheSave) {
    for (const int call : {SYS_fsync, SYS_close}) {
        TempDir dir;
        const std::string path = dir.file("synced.rsf");
        SavedTree tree;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            sock_filter filter[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
                ::_exit(2);
            CProgressSteps steps;
            const std::uint32_t code = SaveRestoreResult::WriteScanResult(path.c_str(), tree.Source(), nullptr, steps);
            ::_exit(code == SAVED_WRITE_FAILED && ::access(path.c_str(), F_OK) != 0 ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "call " << call << " status " << status;
    }
}

// A save asked to stop before its end (the program quits) leaves no file: a
// cut save would load as a smaller scan. Unstopped, the same save is whole.
TEST(SavedScanRecords, AStoppedSaveLeavesNoFile) {
    for (const int calls : {0, 1, 3, -1}) {
        TempDir dir;
        const std::string path = dir.file("stopped.rsf");
        SavedTree tree;
        CProgressSteps steps;
        StopAt sink(calls);
        const std::uint32_t code = SaveRestoreResult::WriteScanResult(path.c_str(), tree.Source(), &sink, steps);
        EXPECT_EQ(code, calls < 0 ? SAVED_OK : SAVED_WRITE_FAILED) << calls;
        EXPECT_EQ(::access(path.c_str(), F_OK) == 0, calls < 0) << calls;
    }
}

// A save's progress counts the bytes written, not the time spent: beside the
// old save, each report is within a tenth of what its file holds of the
// whole; in place (a second name), the copy over the old save is the last
// part of the bar. Reports never go back and stay below the whole until the
// end.
TEST(SavedScanRecords, ASavesProgressCountsTheBytesWritten) {
    SavedTree older, newer;
    for (int i = 0; i < 20000; ++i)
        newer.Add(&newer.root, 100 + i, ("a file found later, number " + std::to_string(i)).c_str());
    for (const bool linked : {false, true}) {
        SCOPED_TRACE(linked ? "over a save with a second name" : "beside the old save");
        TempDir dir;
        const std::string path = dir.file("scan.rsf");
        CProgressSteps steps;
        ASSERT_EQ(SaveRestoreResult::WriteScanResult(path.c_str(), older.Source(), nullptr, steps), 0u);
        if (linked) {
            ASSERT_EQ(::link(path.c_str(), dir.file("second.rsf").c_str()), 0);
        }
        const std::string old = ReadWholeFile(path);
        struct Sink : StopAt {
            Sink() : StopAt(-1) {}
            std::string folder, path, old;
            // The fraction reported and the bytes then in the new file (beside
            // the old one), or whether the copy over it had begun.
            std::vector<std::pair<double, off_t>> reports;
            std::vector<bool> copying;
            void UpdateProgress(_PROGRESS_INFO* info) override {
                off_t size = -1;
                for (const auto& e : std::filesystem::directory_iterator(folder))
                    if (e.path().extension() == ".part") size = static_cast<off_t>(e.file_size());
                reports.emplace_back(double(info->current) / double(info->total ? info->total : 1), size);
                copying.push_back(ReadWholeFile(path) != old);
            }
        } sink;
        sink.folder = dir.path(), sink.path = path, sink.old = old;
        ASSERT_EQ(SaveRestoreResult::WriteScanResult(path.c_str(), newer.Source(), &sink, steps), 0u);
        const auto whole = static_cast<double>(ReadWholeFile(path).size());
        ASSERT_GE(sink.reports.size(), 8u);
        double last = 0;
        bool copied = false;
        for (std::size_t i = 0; i < sink.reports.size(); ++i) {
            const auto [fraction, size] = sink.reports[i];
            EXPECT_GE(fraction, last) << i;
            EXPECT_LT(fraction, 1.0) << i;
            last = fraction;
            if (!linked && size >= 0) {
                EXPECT_NEAR(fraction, double(size) / whole, 0.1) << i;
            }
            if (linked && sink.copying[i]) {
                copied = true;
                EXPECT_GT(fraction, 0.4) << i;
            }
        }
        EXPECT_EQ(copied, linked);
        EXPECT_GT(last, 0.9);
    }
}

// A save over a save is written beside it and put in place only once whole:
// one that fails (no room left, a file-size limit) or is stopped (as quitting
// or a signal stops it) leaves the old save byte for byte and nothing beside
// it. A whole one replaces it with the old one's permissions; a linked folder
// or a link to the file stays a link. So too where the new save cannot take
// the old one's name (a second name, a folder the saver may not add to, an
// owner it cannot give, a mount on the file) and is copied over it: no room,
// a stop or a kill leaves the old save under every name, and so does a stop
// while the new bytes go over the old ones (those overwritten are put back).
// It is built where there is room for it: beside the old save only when the
// old one can also grow there, else in TMPDIR, /tmp or memory, past a TMPDIR
// without room. A kill or a power cut while the new bytes go over the old
// ones (or past their end) leaves a kept copy of the old save by which the
// next load, or the program's start, makes it whole again under every name;
// a kept copy gone stale, of another file or damaged overwrites nothing,
// and neither does one another user made, could change or left a hole in:
// it is left as it is and the owner's own copy still puts the old save
// back, also on its volume attached again under another device number.
TEST(SavedScanRecords, ASaveNeverCostsTheSaveItReplaces) {
    enum class Where {
        Folder,
        Nothing,
        LinkedFolder,
        LinkedFile,
        SmallTmpfs,
        // Root only, as the rows above that mount: saves over other users'
        // files, some made by another user (a child process of other ids).
        OtherOwner,
        HardLinked,
        UnwritableFolder,
        StickyOtherOwner,
        // The owner's own save in a sticky folder, beside what another user
        // put at the name of its kept copy; or in a folder it may not add
        // to on an ext4 volume on a loop device.
        StickyOwn,
        Replugged,
        // In a folder its owner may not add to, its state folder closed to
        // it: what it keeps aside goes to its own folder in TMPDIR.
        NoStateFolder,
        // Its owner's save, mounted on, in a folder anyone may change.
        OpenFolder,
    };
    enum class How {
        Whole,
        Stop0,
        StopMidway,
        SizeLimit,
        KillMidway,
        // On a small tmpfs, with a mount on the old save (its name may not
        // be replaced) or without.
        NoRoom,
        // No room beside it, nor in the state or the temporary folder, to
        // keep the old save aside while it is overwritten.
        NoPlaceToKeep,
        Bound,
        BoundNoRoom,
        // No room, where the room taken before copying is not kept (as on a
        // copy-on-write file system) or cannot be taken at all.
        UnkeptRoom,
        NoReserving,
        // Room on the small tmpfs for what the new save adds to the old but
        // not for a second copy of it; or TMPDIR a tmpfs of 256 KiB.
        RoomToGrow,
        SmallTmpdir,
        // Another user's fifo where the kept copy would be.
        FifoBeside,
        // Stopped (as Stop or SIGTERM stop it) once the copy over the old
        // save has begun.
        StopInCopy,
        // A load while the copy over the old save runs.
        LoadInCopy,
        // SIGKILL while the old bytes are kept aside, before any is
        // overwritten.
        KillInKeeping,
        // SIGKILL once the old save has changed: in the copy, or in the tail
        // written past its end where fallocate is unsupported; or a power cut
        // there (some pages of the copy lost); then a load or a start. Or
        // such a kept copy put back beside the whole save that followed, and
        // beside another file, whole and damaged.
        KillInCopy,
        KillInTail,
        CutInCopy,
        StaleKeptCopy,
        // Killed while copied, then the kept copy changed in each way that
        // makes it another user's to write before it is loaded, each undone
        // in turn; or another user's forged copy beside the save.
        KeptAltered,
        KeptForged,
        // Killed while a smaller save is copied over the old one.
        KillInShrinking,
        // Killed while copied over a save of mode 0644, its kept copy then
        // held (flock -s) by another user where it could read it; or over a
        // save of mode 0664 by a saver of umask 002, its kept copy then
        // group-writable (as older programs made both).
        KeptHeld,
        GroupUmask,
        // Killed while copied by one of the save's group over its owner's
        // group-writable save; then the owner's load.
        OwnerLoads,
    };
    const struct {
        const char* what;
        Where where;
        How how;
    } cases[] = {
        {"stopped before its first node", Where::Folder, How::Stop0},
        {"stopped midway", Where::Folder, How::StopMidway},
        {"over a file-size limit", Where::Folder, How::SizeLimit},
        {"whole, over a save of mode 0640", Where::Folder, How::Whole},
        {"whole, where no save was", Where::Nothing, How::Whole},
        {"whole, into a linked folder", Where::LinkedFolder, How::Whole},
        {"whole, through a link to the save", Where::LinkedFile, How::Whole},
        {"stopped, through a link to the save", Where::LinkedFile, How::StopMidway},
        {"no room left on a small tmpfs", Where::SmallTmpfs, How::Whole},
        {"whole, by root over another user's save of mode 0600", Where::OtherOwner, How::Whole},
        {"stopped, by root over another user's save", Where::OtherOwner, How::StopMidway},
        {"whole, over a save with a second name", Where::HardLinked, How::Whole},
        {"whole, by its owner in a folder it may not add to", Where::UnwritableFolder, How::Whole},
        {"whole, over another user's group-writable save in a sticky folder", Where::StickyOtherOwner, How::Whole},
        {"whole, over a save whose name may not be replaced", Where::Folder, How::Bound},
        {"no room to copy over a save whose name may not be replaced", Where::Folder, How::BoundNoRoom},
        {"no room, over a save with a second name", Where::HardLinked, How::NoRoom},
        {"no place to keep the old bytes, over a save with a second name", Where::HardLinked, How::NoPlaceToKeep},
        {"no room, over a mounted save with a second name", Where::HardLinked, How::BoundNoRoom},
        {"whole, over a mounted save with a second name", Where::HardLinked, How::Bound},
        {"stopped, over a save with a second name", Where::HardLinked, How::StopMidway},
        {"killed, over a save with a second name", Where::HardLinked, How::KillMidway},
        {"no room kept, over a save with a second name", Where::HardLinked, How::UnkeptRoom},
        {"no room to be taken, over a save with a second name", Where::HardLinked, How::NoReserving},
        {"no room, by its owner in a folder it may not add to", Where::UnwritableFolder, How::NoRoom},
        {"no room, by its owner over a mounted save in a folder it may not add to", Where::UnwritableFolder,
         How::BoundNoRoom},
        {"whole, by its owner over a mounted save in a folder it may not add to", Where::UnwritableFolder, How::Bound},
        {"stopped, by its owner in a folder it may not add to", Where::UnwritableFolder, How::StopMidway},
        {"killed, by its owner in a folder it may not add to", Where::UnwritableFolder, How::KillMidway},
        {"no room, over another user's save in a sticky folder", Where::StickyOtherOwner, How::NoRoom},
        {"no room, over another user's mounted save in a sticky folder", Where::StickyOtherOwner, How::BoundNoRoom},
        {"whole, over another user's mounted save in a sticky folder", Where::StickyOtherOwner, How::Bound},
        {"stopped, over another user's save in a sticky folder", Where::StickyOtherOwner, How::StopMidway},
        {"killed, over another user's save in a sticky folder", Where::StickyOtherOwner, How::KillMidway},
        {"whole, over a save with a second name, with room only to grow it", Where::HardLinked, How::RoomToGrow},
        {"whole, over another user's save in a sticky folder, with room only to grow it", Where::StickyOtherOwner,
         How::RoomToGrow},
        {"whole, by its owner in a folder it may not add to, TMPDIR without room", Where::UnwritableFolder,
         How::SmallTmpdir},
        {"whole, over a save with a second name, TMPDIR without room", Where::HardLinked, How::SmallTmpdir},
        {"stopped while copied over a save with a second name", Where::HardLinked, How::StopInCopy},
        {"stopped while copied, by its owner in a folder it may not add to", Where::UnwritableFolder, How::StopInCopy},
        {"stopped while copied over another user's save in a sticky folder", Where::StickyOtherOwner, How::StopInCopy},
        {"stopped while copied over a save whose name may not be replaced", Where::Folder, How::StopInCopy},
        {"killed while copied over a save with a second name", Where::HardLinked, How::KillInCopy},
        {"killed while copied, by its owner in a folder it may not add to", Where::UnwritableFolder, How::KillInCopy},
        {"killed while copied over another user's save in a sticky folder", Where::StickyOtherOwner, How::KillInCopy},
        {"killed while copied over a save whose name may not be replaced", Where::Folder, How::KillInCopy},
        {"killed in the tail past a save with a second name", Where::HardLinked, How::KillInTail},
        {"killed in the tail, by its owner in a folder it may not add to", Where::UnwritableFolder, How::KillInTail},
        {"cut off while copied over a save with a second name", Where::HardLinked, How::CutInCopy},
        {"cut off while copied, by its owner in a folder it may not add to", Where::UnwritableFolder, How::CutInCopy},
        {"a stale kept copy, over a save with a second name", Where::HardLinked, How::StaleKeptCopy},
        {"whole, by its owner in a sticky folder beside another user's fifo", Where::StickyOwn, How::FifoBeside},
        {"killed while copied over a save with a second name, its kept copy altered", Where::HardLinked,
         How::KeptAltered},
        {"killed while copied, by its owner in a folder it may not add to, its kept copy altered",
         Where::UnwritableFolder, How::KeptAltered},
        {"killed while copied, by its owner in a sticky folder beside another user's forged copy", Where::StickyOwn,
         How::KeptForged},
        {"killed while copied, by its owner in a folder it may not add to, its volume attached again",
         Where::Replugged, How::KillInCopy},
        {"killed while copied, by its owner in a folder it may not add to, its state folder closed",
         Where::NoStateFolder, How::KillInCopy},
        {"killed while kept aside, by its owner in a folder it may not add to", Where::UnwritableFolder,
         How::KillInKeeping},
        {"whole, over a save with a second name, loaded while copied", Where::HardLinked, How::LoadInCopy},
        {"killed while a smaller save is copied over a save with a second name", Where::HardLinked,
         How::KillInShrinking},
        {"killed while copied over its owner's save in a folder anyone may change", Where::OpenFolder,
         How::KillInCopy},
        {"killed while copied, by its owner in a folder it may not add to, its kept copy held by another user",
         Where::UnwritableFolder, How::KeptHeld},
        {"killed while copied over a save of mode 0664 by its owner of umask 002, its kept copy group-writable",
         Where::UnwritableFolder, How::GroupUmask},
        {"killed while copied by one of its group over another user's save in a sticky folder, loaded by its owner",
         Where::StickyOtherOwner, How::OwnerLoads},
    };
    // nobody:nogroup owns the old saves; the sticky folder's saver is another
    // user of that group.
    constexpr uid_t kOwner = 65534, kSaver = 65533, kOther = 65532;
    constexpr gid_t kGroup = 65534;
    // The new scan holds more than the old one: on the tmpfs it fits neither
    // beside the old save nor in its place.
    SavedTree older, newer;
    for (int i = 0; i < 8000; ++i)
        newer.Add(&newer.root, 100 + i, ("a file found later, number " + std::to_string(i)).c_str());
    // Their sizes, for the room left on the tmpfs.
    off_t oldSize = 0, newSize = 0;
    {
        TempDir sized;
        CProgressSteps steps;
        for (auto [tree, size] : {std::pair{&older, &oldSize}, std::pair{&newer, &newSize}}) {
            ASSERT_EQ(SaveRestoreResult::WriteScanResult(sized.file("s.rsf").c_str(), tree->Source(), nullptr, steps), 0u);
            struct stat st {};
            ASSERT_EQ(::stat(sized.file("s.rsf").c_str(), &st), 0);
            *size = st.st_size;
        }
        ASSERT_GT(newSize - oldSize, 256 << 10);
    }
    const mode_t umasked = [] {
        const mode_t mask = ::umask(022);
        ::umask(mask);
        return 0666 & ~mask;
    }();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        std::string folder = dir.path(), path = dir.file("scan.rsf");
        std::optional<LoopAttachment> loop, again;
        struct Unmount {
            std::vector<std::string> at;
            ~Unmount() {
                for (auto m = at.rbegin(); m != at.rend(); ++m) ::umount2(m->c_str(), MNT_DETACH);
            }
        } unmount;
        const bool tmpfs = c.where == Where::SmallTmpfs || (c.how >= How::NoRoom && c.how <= How::RoomToGrow);
        const bool killed = c.how >= How::KillInCopy;
        const bool bound = c.how == How::Bound || c.how == How::BoundNoRoom ||
                           ((c.how == How::StopInCopy || killed) && (c.where == Where::Folder || c.where == Where::StickyOwn || c.where == Where::OpenFolder));
        if ((c.where >= Where::SmallTmpfs || tmpfs || bound || c.how == How::SmallTmpdir) && ::geteuid() != 0)
            GTEST_SKIP() << "a small tmpfs and other users' files need root";
        if (tmpfs) {
            ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=8m"), 0) << std::strerror(errno);
            unmount.at.push_back(folder);
        }
        // The saver's own state folder, where a folder it may not add to
        // sends what it keeps aside.
        const bool otherUser = c.where >= Where::UnwritableFolder;
        const uid_t saver = c.where == Where::StickyOtherOwner ? kSaver : kOwner;
        TempDir stateHome;
        const std::string states = stateHome.file("salvor");
        ASSERT_EQ(::chmod(stateHome.path().c_str(), 0755), 0);
        std::filesystem::create_directory(states);
        if (otherUser && c.where != Where::NoStateFolder) {
            ASSERT_EQ(::chown(states.c_str(), saver, kGroup), 0);
        }
        const std::string keptStateHome = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
        ::setenv("XDG_STATE_HOME", c.how == How::NoPlaceToKeep ? "/dev/null/state" : stateHome.path().c_str(), 1);
        struct PutBackEnv {
            std::string was;
            ~PutBackEnv() { was.empty() ? ::unsetenv("XDG_STATE_HOME") : ::setenv("XDG_STATE_HOME", was.c_str(), 1); }
        } putBackEnv{keptStateHome};
        // A TMPDIR of this case's own, for the whole case.
        const std::string ownTmp = dir.file("tmp"), tmpKept = ownTmp + "/salvor-kept-" + std::to_string(kOwner);
        struct TmpdirEnv {
            std::optional<std::string> was;
            ~TmpdirEnv() {
                if (was) was->empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", was->c_str(), 1);
            }
        } tmpdirEnv;
        if (c.where == Where::NoStateFolder) {
            std::filesystem::create_directory(ownTmp);
            ASSERT_EQ(::chmod(ownTmp.c_str(), 01777), 0);
            tmpdirEnv.was = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
            ::setenv("TMPDIR", ownTmp.c_str(), 1);
        }
        if (otherUser) {
            ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
            folder = dir.file("shared");
            std::filesystem::create_directory(folder);
            if (c.where == Where::Replugged) {
                // ext4 keeps inode numbers from one mount to the next.
                ASSERT_EQ(RunCommand("command -v mkfs.ext4 >/dev/null && command -v tune2fs >/dev/null"), 0)
                    << "mkfs.ext4 or tune2fs missing: install the Debian package 'e2fsprogs'";
                ASSERT_EQ(RunCommand("command -v losetup >/dev/null"), 0)
                    << "losetup missing: install the Debian package 'util-linux'";
                const std::string image = dir.file("volume.img");
                ASSERT_EQ(RunCommand("truncate -s 32M '" + image + "' && mkfs.ext4 -q -F '" + image + "'"), 0);
                loop.emplace(image);
                ASSERT_FALSE(loop->path().empty()) << loop->error();
                ASSERT_EQ(::mount(loop->path().c_str(), folder.c_str(), "ext4", 0, nullptr), 0) << std::strerror(errno);
                unmount.at.push_back(folder);
            }
            const bool sticky = c.where == Where::StickyOtherOwner || c.where == Where::StickyOwn;
            ASSERT_EQ(::chmod(folder.c_str(), sticky ? 01777 : c.where == Where::OpenFolder ? 0777 : 0755), 0);
            path = folder + "/scan.rsf";
        }
        if (c.where == Where::LinkedFolder || c.where == Where::LinkedFile) {
            folder = dir.file("real");
            std::filesystem::create_directory(folder);
            if (c.where == Where::LinkedFolder) {
                std::filesystem::create_directory_symlink(folder, dir.file("link"));
                path = dir.file("link/scan.rsf");
            } else {
                std::filesystem::create_symlink("real/saved.rsf", path);
            }
        }
        const std::string file = c.where == Where::LinkedFile ? folder + "/saved.rsf" : folder + "/scan.rsf";
        CProgressSteps steps;
        std::string old;
        const mode_t oldMode = c.where == Where::OtherOwner         ? 0600
                               : c.where == Where::StickyOtherOwner ? 0660
                               : c.how == How::KeptHeld             ? 0644
                               : c.how == How::GroupUmask           ? 0664
                                                                    : 0640;
        struct stat was {};
        if (c.where != Where::Nothing) {
            ASSERT_EQ(SaveRestoreResult::WriteScanResult(
                          file.c_str(), (c.how == How::KillInShrinking ? newer : older).Source(), nullptr, steps),
                      0u);
            ASSERT_EQ(::chmod(file.c_str(), oldMode), 0);
            if (c.where >= Where::OtherOwner) {
                ASSERT_EQ(::chown(file.c_str(), kOwner, kGroup), 0);
            }
            if (c.where == Where::HardLinked) {
                ASSERT_EQ(::link(file.c_str(), (folder + "/second.rsf").c_str()), 0);
            }
            ASSERT_EQ(::stat(file.c_str(), &was), 0);
            old = ReadWholeFile(file);
        }
        if (bound) {
            // Its name can be neither replaced nor removed (EBUSY).
            ASSERT_EQ(::mount(file.c_str(), file.c_str(), nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
            unmount.at.push_back(file);
        }
        if (c.where == Where::SmallTmpfs || (tmpfs && c.how != How::Bound)) {
            // A file of the room left but 256 KiB; or but half what the new
            // save adds to the old, with room for a whole new save beside it
            // where it may be written there and cannot take the old one's name;
            // or room to grow the old save and half a new one more.
            const off_t grows = newSize - oldSize;
            const std::uint64_t left = c.where == Where::SmallTmpfs ? 256u << 10
                                       : c.how == How::RoomToGrow  ? grows + newSize / 2
                                       : c.where == Where::Folder  ? newSize + grows / 2
                                                                   : grows / 2;
            struct statvfs fs {};
            ASSERT_EQ(::statvfs(folder.c_str(), &fs), 0);
            const std::uint64_t room = std::uint64_t{fs.f_bavail} * fs.f_frsize;
            ASSERT_GT(room, left);
            std::ofstream(folder + "/other") << std::string(room - left, 'x');
        }
        std::string tmpdir = c.how == How::NoPlaceToKeep ? folder : std::string();
        if (c.how == How::SmallTmpdir) {
            tmpdir = dir.file("tmp");
            std::filesystem::create_directory(tmpdir);
            ASSERT_EQ(::mount("tmpfs", tmpdir.c_str(), "tmpfs", 0, "size=256k,mode=1777"), 0) << std::strerror(errno);
            unmount.at.push_back(tmpdir);
        }
        // What another user put where the owner's save keeps its old bytes
        // aside: the owner's copy goes to its state folder.
        const std::string theirs = folder + "/.salvor-kept." + std::to_string(was.st_ino);
        std::string theirBytes;
        if (c.where == Where::StickyOwn) {
            ASSERT_EQ(AsUser(kOther, [&] {
                          return c.how == How::FifoBeside ? ::mkfifo(theirs.c_str(), 0644)
                                                          : ::close(::open(theirs.c_str(), O_WRONLY | O_CREAT, 0600));
                      }),
                      0);
        }
        const std::set<std::string> before = Listing(folder);

        // Watches the bits of the temporary file while the save runs.
        struct Watch : StopAt {
            using StopAt::StopAt;
            std::string folder;
            mode_t widest = 0;
            bool kill = false, killInCopy = false;
            // Killed once a file is in keeping.
            std::string keeping;
            // Stops once the file at watched is no longer old.
            std::string watched, old;
            bool stopInCopy = false, stopped = false;
            // Loads the save at load once the copy has begun.
            std::string load;
            int loaded = -1;
            int Continued() override {
                if (!load.empty() && loaded < 0 && ReadWholeFile(watched) != old)
                    loaded = SaveRestoreResult::PutBackInterruptedSave(load.c_str());
                if (kill && left == 0) ::raise(SIGKILL);
                if (!keeping.empty() && !Listing(keeping).empty()) ::raise(SIGKILL);
                if (killInCopy && ReadWholeFile(watched) != old) ::raise(SIGKILL);
                if (stopInCopy && !stopped) stopped = ReadWholeFile(watched) != old;
                if (stopped) return 0;
                for (const auto& e : std::filesystem::directory_iterator(folder)) {
                    struct stat st {};
                    if (e.path().extension() == ".part" && ::lstat(e.path().c_str(), &st) == 0)
                        widest |= st.st_mode & 07777;
                }
                return StopAt::Continued();
            }
        } sink(c.how == How::Stop0 ? 0 : c.how == How::StopMidway || c.how == How::KillMidway ? 3 : -1);
        sink.folder = folder;
        sink.kill = c.how == How::KillMidway;
        sink.stopInCopy = c.how == How::StopInCopy;
        sink.killInCopy = killed;
        if (c.how == How::KillInKeeping) sink.keeping = states;
        if (c.how == How::LoadInCopy) sink.load = path;
        sink.watched = file;
        sink.old = old;
        const char* const oldTmpdir = std::getenv("TMPDIR");
        const std::string keptTmpdir = oldTmpdir ? oldTmpdir : "";
        if (!tmpdir.empty()) ::setenv("TMPDIR", tmpdir.c_str(), 1);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (c.how == How::SizeLimit) {
            rlimit small = limit;
            small.rlim_cur = old.size() + 4096;
            ::setrlimit(RLIMIT_FSIZE, &small);
        }
        std::uint32_t code = SAVED_CANNOT_OPEN;
        const bool faked = c.how == How::UnkeptRoom || c.how == How::NoReserving || c.how == How::KillInTail;
        if (otherUser || faked || c.how == How::KillMidway || killed) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                const uid_t uid = saver;
                const gid_t groups[] = {kGroup};
                if (otherUser &&
                    (::setgroups(1, groups) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
                    ::_exit(100);
                if (otherUser && ::access(folder.c_str(), X_OK) != 0) ::_exit(101);
                // A fifo read in the way holds it up.
                if (c.how == How::FifoBeside) ::alarm(60);
                // A saver of umask 0: what it keeps aside has bits of its own.
                if (c.how == How::KeptAltered) ::umask(0);
                if (c.how == How::GroupUmask) ::umask(002);
                // fallocate answers 0 without taking room, or EOPNOTSUPP.
                sock_filter filter[] = {
                    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(SYS_fallocate), 0, 1),
                    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (c.how == How::UnkeptRoom ? 0 : EOPNOTSUPP)),
                    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                };
                sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
                if (faked && (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
                              ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0))
                    ::_exit(100);
                SavedTree& next = c.how == How::KillInShrinking ? older : newer;
                ::_exit(static_cast<int>(SaveRestoreResult::WriteScanResult(path.c_str(), next.Source(), &sink, steps)));
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            if (c.how == How::KillMidway || c.how == How::KillInKeeping || killed) {
                ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
                code = SAVED_WRITE_FAILED;
            } else {
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 100);
                ASSERT_NE(WEXITSTATUS(status), 101)
                    << "another user cannot reach " << folder << ": set TMPDIR to a folder other users can reach";
                code = static_cast<std::uint32_t>(WEXITSTATUS(status));
            }
        } else {
            code = SaveRestoreResult::WriteScanResult(path.c_str(), newer.Source(), &sink, steps);
        }
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, oldHandler);
        if (!tmpdir.empty()) oldTmpdir ? ::setenv("TMPDIR", keptTmpdir.c_str(), 1) : ::unsetenv("TMPDIR");
        // (A child's sink is its own: its log says "stopped: putting back".)
        if (c.how == How::StopInCopy && !otherUser) {
            EXPECT_TRUE(sink.stopped) << "the copy over the old save was not caught";
        }
        if (c.how == How::LoadInCopy) {
            EXPECT_EQ(sink.loaded, 0) << "a load took what a running save keeps";
        }

        // Another user holding the kept copy (or, write, a save running now
        // as the save's owner), until the case ends.
        struct Holder {
            pid_t pid = -1;
            int release = -1;
            bool Hold(uid_t uid, const std::string& at, bool write = false) {
                int ready[2], hold[2];
                if (::pipe(ready) != 0 || ::pipe(hold) != 0) return false;
                pid = ::fork();
                if (pid == 0) {
                    ::close(ready[0]);
                    ::close(hold[1]);
                    char held = 0;
                    if (::setgroups(0, nullptr) == 0 && ::setresgid(uid, uid, uid) == 0 &&
                        ::setresuid(uid, uid, uid) == 0) {
                        const int fd = ::open(at.c_str(), (write ? O_RDWR : O_RDONLY) | O_NONBLOCK);
                        struct flock lock {};
                        lock.l_type = F_WRLCK;
                        held = fd >= 0 && ::flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0 &&
                               (!write || ::fcntl(fd, F_OFD_SETLK, &lock) == 0);
                    }
                    static_cast<void>(::write(ready[1], &held, 1));
                    static_cast<void>(::read(hold[0], &held, 1));
                    ::_exit(0);
                }
                ::close(ready[1]);
                ::close(hold[0]);
                release = hold[1];
                char held = 0;
                const bool told = ::read(ready[0], &held, 1) == 1;
                ::close(ready[0]);
                return told && held;
            }
            ~Holder() {
                if (release >= 0) ::close(release);
                if (pid > 0) ::waitpid(pid, nullptr, 0);
            }
        } holder;
        if (killed) {
            // Neither save is whole until a load or a start puts the old one back.
            ASSERT_EQ(LoadDirect(file), SAVED_DAMAGED);
            const std::string torn = ReadWholeFile(file);
            // The tail past the old bytes, or the copy over them.
            if (c.how == How::KillInTail) {
                EXPECT_TRUE(torn.size() > old.size() && torn.compare(0, old.size(), old) == 0);
            } else {
                EXPECT_EQ(torn.size(), old.size());
            }
            if (c.how == How::CutInCopy) {
                // Pages of the copy that never reached the device.
                const std::string lost(4096, '\0');
                std::fstream(file, std::ios::in | std::ios::out | std::ios::binary)
                    .seekp(4096)
                    .write(lost.data(), lost.size());
            }
            // A load of a torn save: refused as a save cut short whose old
            // save was not put back, with why, and where it is kept; both stay.
            const auto refusedFor = [&](const std::string& load, VXUIController::OldSaveLeft why,
                                        const std::string& record) {
                SaveRestoreResult::SetLoadPause(std::chrono::milliseconds(0));
                const std::string loadBytes = ReadWholeFile(load), recordBytes = ReadWholeFile(record);
                TransferHarness transfer;
                EXPECT_EQ(transfer.Load(load), VXUIController::kLoadOldNotBack);
                QString where;
                EXPECT_EQ(int(VXUIController::shared().GetRestoreOldSaveLeft(&where)), int(why));
                EXPECT_EQ(where.toStdString(), record);
                EXPECT_TRUE(ReadWholeFile(load) == loadBytes && ReadWholeFile(record) == recordBytes);
            };
            std::string kept;
            for (const std::string& place : {folder, states, tmpKept})
                if (std::filesystem::exists(place))
                for (const auto& e : std::filesystem::directory_iterator(place))
                    if (!before.count(e.path().filename().string()) && e.path().filename() != "second.rsf")
                        kept = e.path().string();
            ASSERT_FALSE(kept.empty()) << "no copy of the old save was kept";
            const std::string keptBytes = ReadWholeFile(kept);
            if (c.how == How::KeptHeld || c.how == How::GroupUmask) {
                // Its owner's alone, whatever the save's bits and the umask.
                struct stat ks {};
                ASSERT_EQ(::stat(kept.c_str(), &ks), 0);
                EXPECT_EQ(ks.st_mode & 077, 0u) << std::oct << ks.st_mode << ": others may open the kept copy";
                EXPECT_EQ(ks.st_uid, kOwner);
                // Made as older programs made it: then another user holds
                // it, or its group may write it as it may write the save.
                ASSERT_EQ(::chmod(kept.c_str(), c.how == How::KeptHeld ? 0644 : 0664), 0);
                if (c.how == How::KeptHeld) {
                    // While a save running now holds it, a load says so and
                    // where the old save is kept.
                    Holder saving;
                    ASSERT_TRUE(saving.Hold(kOwner, kept, true));
                    refusedFor(path, VXUIController::OldSaveLeft::Held, kept);
                }
                if (c.how == How::KeptHeld) {
                    ASSERT_TRUE(holder.Hold(kOther, kept)) << "another user could not hold it";
                }
            }
            const auto putBack = [&] {
                if (c.where == Where::UnwritableFolder || c.where == Where::Replugged)
                    SaveRestoreResult::PutBackInterruptedSaves();
                else
                    SaveRestoreResult::PutBackInterruptedSave(path.c_str());
            };
            if (c.where == Where::NoStateFolder) {
                // Only its owner's start finds its folder in TMPDIR.
                EXPECT_FALSE(std::filesystem::exists(ownTmp + "/salvor-kept-0"));
                SaveRestoreResult::PutBackInterruptedSaves();
                EXPECT_TRUE(ReadWholeFile(file) == torn);
                EXPECT_EQ(AsUser(kOwner, [] {
                              SaveRestoreResult::PutBackInterruptedSaves();
                              return 0;
                          }),
                          0);
                EXPECT_FALSE(std::filesystem::exists(tmpKept)) << "the folder of what was kept stayed";
            }
            if (c.how == How::KeptAltered) {
                struct stat ks {};
                struct stat fs {};
                const std::string keptFolder = std::filesystem::path(kept).parent_path();
                ASSERT_EQ(::stat(kept.c_str(), &ks), 0);
                ASSERT_EQ(::stat(keptFolder.c_str(), &fs), 0);
                EXPECT_EQ(ks.st_uid, was.st_uid) << "the save's owner may not put it back";
                // A record of 16 MiB of zeros, with their checksum, none of
                // them on the device.
                const std::string zeros(16 << 20, '\0');
                const std::string hole =
                    Reforged(keptBytes, zeros.size(), torn.size(), SaveRestoreResult::KeptCrc(zeros.data(), zeros.size(), 0));
                // What a load then says of the old save.
                using Left = VXUIController::OldSaveLeft;
                const struct {
                    const char* what;
                    std::function<int()> make, undo;
                    Left told = Left::NotTrusted;
                } alterations[] = {
                    {"another user's", [&] { return ::chown(kept.c_str(), kOther, kOther); },
                     [&] { return ::chown(kept.c_str(), ks.st_uid, ks.st_gid); }},
                    {"its group may write it", [&] { return ::chmod(kept.c_str(), 0620); },
                     [&] { return ::chmod(kept.c_str(), ks.st_mode & 07777); }},
                    {"anyone may write it", [&] { return ::chmod(kept.c_str(), 0602); },
                     [&] { return ::chmod(kept.c_str(), ks.st_mode & 07777); }},
                    {"a second name", [&] { return ::link(kept.c_str(), (kept + "-2").c_str()); },
                     [&] { return ::unlink((kept + "-2").c_str()); }},
                    {"its folder open to all", [&] { return ::chmod(keptFolder.c_str(), 0777); },
                     [&] { return ::chmod(keptFolder.c_str(), fs.st_mode & 07777); }},
                    {"its folder another user's", [&] { return ::chown(keptFolder.c_str(), kOther, kOther); },
                     [&] { return ::chown(keptFolder.c_str(), fs.st_uid, fs.st_gid); }},
                    {"a hole",
                     [&] {
                         WriteFile(kept, hole);
                         return ::truncate(kept.c_str(), static_cast<off_t>(hole.size() + zeros.size()));
                     },
                     [&] {
                         WriteFile(kept, keptBytes);
                         return 0;
                     },
                     Left::BytesMissing},
                };
                for (const auto& a : alterations) {
                    SCOPED_TRACE(a.what);
                    ASSERT_EQ(a.make(), 0) << std::strerror(errno);
                    const std::string made = ReadWholeFile(kept);
                    refusedFor(path, a.told, kept);
                    putBack();
                    EXPECT_TRUE(ReadWholeFile(file) == torn) << "a kept copy others could write was put back";
                    EXPECT_TRUE(ReadWholeFile(kept) == made) << "a kept copy others could write was changed";
                    ASSERT_EQ(a.undo(), 0) << std::strerror(errno);
                }
            }
            if (c.how == How::KeptForged) {
                // Another user's save under the owner's save's name, and the
                // owner's copy made stale by it: the owner loses the old save.
                TempDir other;
                ASSERT_EQ(SaveRestoreResult::WriteScanResult(other.file("s.rsf").c_str(), newer.Source(), nullptr, steps), 0u);
                const std::string payload = ReadWholeFile(other.file("s.rsf"));
                const std::string forged =
                    Reforged(keptBytes, payload.size(), torn.size(), SaveRestoreResult::KeptCrc(payload.data(), payload.size(), 0)) +
                    payload;
                theirBytes = forged;
                ASSERT_EQ(AsUser(kOther, [&] {
                              WriteFile(theirs, forged);
                              return ReadWholeFile(theirs) == forged ? 0 : 1;
                          }),
                          0);
            }
            if (c.where == Where::Replugged) {
                // A copy of the volume under another UUID on another device
                // gets nothing; the volume itself attached again under another
                // number gets its old save back.
                // A byte-identical copy where a new file took the save's inode
                // number gets nothing either.
                ASSERT_EQ(::umount2(folder.c_str(), 0), 0) << std::strerror(errno);
                unmount.at.clear();
                const std::string copy = dir.file("copy.img");
                for (const char* uuid : {"", " && tune2fs -U random '"}) {
                    SCOPED_TRACE(*uuid ? "another UUID" : "a new file");
                    ASSERT_EQ(RunCommand("cp '" + dir.file("volume.img") + "' '" + copy + "'" + (*uuid ? uuid + copy + "' >/dev/null 2>&1" : "")), 0);
                    LoopAttachment other(copy);
                    ASSERT_FALSE(other.path().empty()) << other.error();
                    ASSERT_EQ(::mount(other.path().c_str(), folder.c_str(), "ext4", 0, nullptr), 0) << std::strerror(errno);
                    if (!*uuid) {
                        ASSERT_EQ(::unlink(file.c_str()), 0);
                        WriteFile(file, torn);
                        struct stat now {};
                        ASSERT_EQ(::chown(file.c_str(), kOwner, kGroup), 0);
                        ASSERT_EQ(::stat(file.c_str(), &now), 0);
                        ASSERT_EQ(now.st_ino, was.st_ino);
                    }
                    putBack();
                    EXPECT_TRUE(ReadWholeFile(file) == torn) << "a kept copy went onto another file";
                    ASSERT_EQ(::umount2(folder.c_str(), 0), 0) << std::strerror(errno);
                }
                EXPECT_TRUE(ReadWholeFile(kept) == keptBytes);
                again.emplace(dir.file("volume.img"));
                ASSERT_FALSE(again->path().empty()) << again->error();
                loop.reset();
                ASSERT_EQ(::mount(again->path().c_str(), folder.c_str(), "ext4", 0, nullptr), 0) << std::strerror(errno);
                unmount.at.push_back(folder);
                struct stat now {};
                ASSERT_EQ(::stat(file.c_str(), &now), 0);
                ASSERT_NE(now.st_dev, was.st_dev);
                ASSERT_EQ(now.st_ino, was.st_ino);
            }
            if (c.how == How::StaleKeptCopy) {
                // Its last old byte changed: nothing is put back.
                std::string changed = keptBytes;
                changed.back() ^= 1;
                WriteFile(kept, changed);
                refusedFor(path, VXUIController::OldSaveLeft::Damaged, kept);
                EXPECT_FALSE(SaveRestoreResult::PutBackInterruptedSave(path.c_str()));
                EXPECT_TRUE(ReadWholeFile(file) == torn) << "a damaged kept copy was put back";
                WriteFile(kept, keptBytes);
            }
            if (c.where == Where::UnwritableFolder || c.where == Where::Replugged || c.where == Where::NoStateFolder) {
                SaveRestoreResult::PutBackInterruptedSaves();
            } else if (c.how == How::OwnerLoads) {
                EXPECT_EQ(AsUser(kOwner, [&] { return SaveRestoreResult::PutBackInterruptedSave(path.c_str()) ? 0 : 1; }), 0)
                    << "its owner's load did not put the old save back";
                EXPECT_TRUE(ReadWholeFile(file) == old) << "its owner's load did not put the old save back";
                // The record, stale now, is its maker's to remove in the
                // sticky folder: the next load of one who may goes.
                SaveRestoreResult::PutBackInterruptedSave(path.c_str());
            } else {
                EXPECT_TRUE(SaveRestoreResult::PutBackInterruptedSave(
                    (c.where == Where::HardLinked ? folder + "/second.rsf" : path).c_str()));
            }
            if (c.how == How::StaleKeptCopy) {
                ASSERT_TRUE(ReadWholeFile(file) == old);
                code = SaveRestoreResult::WriteScanResult(path.c_str(), newer.Source(), nullptr, steps);
                ASSERT_EQ(code, SAVED_OK);
                const std::string saved = ReadWholeFile(file);
                WriteFile(kept, keptBytes);
                EXPECT_TRUE(SaveRestoreResult::PutBackInterruptedSave(path.c_str()));
                EXPECT_TRUE(ReadWholeFile(file) == saved) << "a stale kept copy overwrote the save";
                // Beside another torn file: as it stands (another file's), with
                // a byte of its head changed, or cut.
                const std::string other = folder + "/other.rsf";
                WriteFile(other, torn);
                struct stat st {};
                ASSERT_EQ(::stat(other.c_str(), &st), 0);
                const std::string otherKept = folder + "/.salvor-kept." + std::to_string(st.st_ino);
                std::string changed = keptBytes;
                changed[20] ^= 1;
                using Left = VXUIController::OldSaveLeft;
                for (const auto& [record, told] : {std::pair{keptBytes, Left::OtherFile}, std::pair{changed, Left::Damaged},
                                                   std::pair{keptBytes.substr(0, keptBytes.size() - 1), Left::Damaged}}) {
                    WriteFile(otherKept, record);
                    refusedFor(other, told, otherKept);
                    EXPECT_FALSE(SaveRestoreResult::PutBackInterruptedSave(other.c_str()));
                    EXPECT_TRUE(ReadWholeFile(other) == torn) << "a kept copy went onto another file";
                    EXPECT_TRUE(ReadWholeFile(otherKept) == record);
                }
                std::filesystem::remove(other);
                std::filesystem::remove(otherKept);
            }
        }
        if (c.how == How::KillInKeeping) {
            ASSERT_FALSE(Listing(states).empty());
            EXPECT_TRUE(SaveRestoreResult::PutBackInterruptedSave(path.c_str()));
        }
        EXPECT_TRUE(Listing(states).empty()) << "a kept copy was left";
        if (c.where == Where::StickyOwn) {
            struct stat st {};
            EXPECT_TRUE(::lstat(theirs.c_str(), &st) == 0 && st.st_uid == kOther) << "another user's file went";
            EXPECT_TRUE(c.how != How::KeptForged || ReadWholeFile(theirs) == theirBytes);
        }

        const bool whole = (c.how == How::Whole || c.how == How::Bound || c.how == How::RoomToGrow ||
                            c.how == How::SmallTmpdir || c.how == How::StaleKeptCopy || c.how == How::FifoBeside ||
                            c.how == How::LoadInCopy) &&
                           c.where != Where::SmallTmpfs;
        EXPECT_EQ(code, whole ? SAVED_OK : c.how == How::NoPlaceToKeep ? SAVED_OLD_NOT_KEPT : SAVED_WRITE_FAILED);
        EXPECT_EQ(Listing(folder), c.where == Where::Nothing ? std::set<std::string>{"scan.rsf"} : before);
        if (!whole) {
            EXPECT_TRUE(ReadWholeFile(file) == old) << "the old save changed";
        } else {
            EXPECT_NE(ReadWholeFile(file), old);
            EXPECT_EQ(LoadDirect(file), 0u);
        }
        if (c.where == Where::HardLinked) {
            EXPECT_TRUE(ReadWholeFile(folder + "/second.rsf") == ReadWholeFile(file)) << "the names were split";
        }
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.where == Where::Nothing ? umasked : oldMode);
        if (c.where != Where::Nothing) {
            EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(was.st_uid, was.st_gid));
            EXPECT_EQ(st.st_nlink, was.st_nlink);
        }
        // Never readable by more than the save it replaces while written.
        EXPECT_EQ(sink.widest & ~(c.where == Where::Nothing ? umasked : oldMode), 0u) << std::oct << sink.widest;
        if (c.where == Where::LinkedFolder || c.where == Where::LinkedFile) {
            EXPECT_TRUE(std::filesystem::is_symlink(c.where == Where::LinkedFile ? path : dir.file("link")));
        }
    }
}

// Marks read in blocks, in the device's order, are the marks read file by
// file, at 512 and 4096-byte sectors: over a stamped image (each sector its
// own number) for files in one run, fragmented out of order, with a hole,
// initialized in part, smaller than a sector, running past the device's
// end, beside a sector that fails, and many small ones side by side, which
// cost far fewer reads. A reading stopped midway leaves the rest unmarked.
TEST(SavedScanRecords, MarksReadInBlocksAreTheMarksReadOneByOne) {
    for (const unsigned ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        TempDir tmp;
        ASSERT_TRUE(WriteStampedImage(tmp.file("img"), 2000, ss));
        ImageDevice device(tmp.file("img"), ss);
        CSearchedPartitionInfo record(ss);
        record.m_clusterOrigin = 100;
        record.m_sectorsPerCluster = 2;
        record.SetTotalSectors(1900);
        const long long c = 2LL * ss;
        std::vector<std::unique_ptr<TestFileNode>> nodes;
        nodes.push_back(MakeFileNode({{10, 3}}, 3 * c - 7));
        nodes.push_back(MakeFileNode({{300, 2}, {20, 1}, {150, 4}}, 7 * c - 100));
        nodes.push_back(MakeFileNode({{40, 1}, {-1, 2}, {41, 1}}, 4 * c));
        nodes.push_back(MakeFileNode({{50, 4}}, 4 * c));
        nodes.back()->m_initialized = c + 3;
        nodes.push_back(MakeFileNode({{60, 1}}, 100));
        nodes.push_back(MakeFileNode({{945, 10}}, 10 * c));
        nodes.push_back(MakeFileNode({{500, 2}}, 2 * c));
        device.FailSector(100 + 500 * 2 + 2);
        for (long long i = 0; i < 300; ++i) nodes.push_back(MakeFileNode({{600 + i, 1}}, 100 + i * 7 % 900));
        std::vector<IFileNode*> files;
        for (const auto& node : nodes) files.push_back(node.get());
        CDataRecovery writer;
        std::vector<CSearchedPartitionInfo*> records{&record};
        ASSERT_EQ(writer.Initialize(records, &device), 0u);
        std::vector<std::uint32_t> oneByOne;
        device.ResetCounters();
        for (IFileNode* file : files) oneByOne.push_back(ContentMark(writer, file));
        const unsigned long long reads = device.Reads();
        EXPECT_EQ(std::count(oneByOne.begin(), oneByOne.end(), 0u), 2) << "past the end, and the failing sector";
        device.ResetCounters();
        std::size_t told = 0;
        EXPECT_EQ(ReadContentMarks(writer, files, nullptr, [&](std::size_t done) { told = done; }), oneByOne);
        EXPECT_EQ(told, files.size());
        EXPECT_LT(device.Reads() * 10, reads) << device.Reads() << " of " << reads;
        int asked = 0;
        const std::vector<std::uint32_t> stopped = ReadContentMarks(writer, files, [&] { return ++asked < 3; }, nullptr);
        ASSERT_EQ(stopped.size(), files.size());
        std::size_t unmarked = 0;
        for (std::size_t i = 0; i < files.size(); ++i) {
            EXPECT_TRUE(stopped[i] == 0 || stopped[i] == oneByOne[i]) << i;
            unmarked += stopped[i] == 0 && oneByOne[i] != 0;
        }
        EXPECT_GT(unmarked, 0u);
    }
}

// The rsdata fuzz target's seeds: saves made by the probe load, and the
// damaged copies of them (cut, a byte changed, a count made huge) are refused.
TEST(SavedScanRecords, FuzzSeedsOfDamagedSavesAreRefused) {
    int saved = 0, damaged = 0;
    for (const auto& entry : std::filesystem::directory_iterator(TestData() + "/../fuzz/corpus/rsdata_fuzz")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("saved_", 0) == 0) {
            ++saved;
            EXPECT_EQ(LoadDirect(entry.path().string()), 0u) << name;
        } else if (name.rfind("damaged_", 0) == 0) {
            ++damaged;
            EXPECT_NE(LoadDirect(entry.path().string()), 0u) << name;
        }
    }
    EXPECT_EQ(std::pair(saved, damaged), std::pair(4, 7));
}

// A stand-in for a file system's open volume.
struct StubVolume : ISavedVolume {
    explicit StubVolume(int& alive) : alive(alive) { ++alive; }
    ~StubVolume() override { --alive; }
    IFileReader* CreateCompressedReader(CFileNode* node) override {
        last = node;
        return nullptr;
    }
    int& alive;
    CFileNode* last = nullptr;
};

TEST(SavedScanRecords, VolumeCacheOpensOncePerTypeAndServesCompressedFiles) {
    CSavedVolumeCache& cache = CSavedVolumeCache::instance();
    int opened = 0, alive = 0, made = 0;
    StubVolume* volume = nullptr;
    cache.SetOpener(SEARCHER_HFSPLUS, [&](IStorageDevice*) {
        ++opened;
        return volume = new StubVolume(alive);
    });
    cache.SetReaderMaker(SEARCHER_NTFS, [&](CFileNode*) {
        ++made;
        return static_cast<IFileReader*>(nullptr);
    });
    cache.Clear();
    for (int type : {SEARCHER_HFSPLUS, SEARCHER_HFSPLUS, SEARCHER_FAT}) cache.EnterOnce(type, nullptr);
    EXPECT_EQ(std::pair(opened, alive), std::pair(1, 1));
    EXPECT_EQ(cache.Volume(SEARCHER_FAT), nullptr);

    CFilesystemNode hfs(SEARCHER_HFSPLUS, "root", "Mac", 1), ntfs(SEARCHER_NTFS, "root", "Win", 1);
    auto* a = new RestoreFileNode;
    auto* b = new RestoreFileNode;
    hfs.AddChild(a);
    ntfs.AddChild(b);
    a->CreateCompressFileReader(nullptr);
    b->CreateCompressFileReader(nullptr);
    EXPECT_EQ(volume->last, a);
    EXPECT_EQ(made, 1);
    RestoreFileNode orphan;
    EXPECT_EQ(orphan.CreateCompressFileReader(nullptr), nullptr);

    cache.Clear(); // the next load's start
    EXPECT_EQ(alive, 0);
    cache.SetOpener(SEARCHER_HFSPLUS, nullptr);
    cache.SetReaderMaker(SEARCHER_NTFS, nullptr);
    hfs.RemoveChild(a), ntfs.RemoveChild(b);
    delete a;
    delete b;
}

// What a load judges a volume by, rule by rule, on volumes mkfs.fat made: the
// identity a save took of it, the folded identity beside sampled files
// (carved files at a disk's start whose table changed are left to their own
// marks), an older save's record by kind and size (FAT kinds alike, a cut
// image holding fewer sectors), and where its files' entries lie.
TEST(SavedScanRecords, ALoadJudgesAVolumeByWhatItHolds) {
    using SaveRestoreResult::VolumeMark;
    ASSERT_EQ(RunCommand("export PATH=$PATH:/sbin:/usr/sbin; command -v mkfs.fat && command -v mcopy && command -v sfdisk"), 0)
        << "needs dosfstools, mtools and fdisk";
    RegisterAllLibraries();
    TempDir dir;
    ASSERT_EQ(RunCommand("export PATH=$PATH:/sbin:/usr/sbin MTOOLS_SKIP_CHECK=1; cd '" + dir.path() +
                         "' && (truncate -s 16M disk.img && printf 'label: dos\\n2048,16384,6\\n' | sfdisk -q disk.img && "
                         "mkfs.fat -F 16 -s 2 -i 0E0E0020 --offset 2048 disk.img 8192 && for n in 3000 4000 5000; do "
                         "head -c $n /dev/urandom > f$n && mcopy -i disk.img@@1048576 f$n ::/f$n || exit 1; done && "
                         "truncate -s 8M bare.img && mkfs.fat -F 16 -s 2 -i 0E0E0021 bare.img && head -c 6144000 bare.img > cut.img)"
                         " >/dev/null 2>&1"),
              0);
    ImageDevice disk(dir.file("disk.img")), bare(dir.file("bare.img")), cut(dir.file("cut.img"));
    std::uint64_t id = 0, bareId = 0;
    ASSERT_TRUE(VolumeIdentity(&disk, 2048, id));
    ASSERT_TRUE(VolumeIdentity(&bare, 0, bareId));
    const std::uint16_t fold = SaveRestoreResult::FoldIdentity16(id), bareFold = SaveRestoreResult::FoldIdentity16(bareId);
    ASSERT_NE(fold, bareFold);
    ASSERT_NE(SaveRestoreResult::FoldIdentity(id), fold);
    const auto rec = [](long long start, unsigned kind, unsigned long long total = 16384) {
        CSearchedPartitionInfo r;
        r.m_startSector = start, r.m_fileSystemType = kind;
        r.SetTotalSectors(total);
        return r;
    };
    const auto mark = [](VolumeMark::Kind kind, std::uint64_t identity) {
        VolumeMark m{kind, identity, {}, {}};
        m.files[0] = 1, m.samples[0] = 1;
        return m;
    };
    using K = VolumeMark::Kind;
    using V = VolumeCheck;
    const struct {
        const char* what;
        ImageDevice* device;
        CSearchedPartitionInfo record;
        VolumeMark mark;
        V told;
    } rows[] = {
        {"its identity", &disk, rec(2048, FS_FAT16), mark(K::Identity, id), V::Same},
        {"another identity", &disk, rec(2048, FS_FAT16), mark(K::Identity, id ^ 1), V::Other},
        {"an identity where no volume is", &disk, rec(100, FS_FAT16), mark(K::Identity, id), V::Other},
        {"a start before the device's", &disk, rec(-1, FS_FAT16), mark(K::Identity, id), V::Unchecked},
        {"sampled files, no identity kept", &disk, rec(2048, FS_FAT16), mark(K::Samples, 0), V::Unchecked},
        {"sampled files, its identity", &disk, rec(2048, FS_FAT16), mark(K::Samples, fold), V::Same},
        {"sampled files, another identity", &disk, rec(2048, FS_FAT16), mark(K::Samples, bareFold), V::Other},
        {"sampled files where no volume is", &disk, rec(100, FS_FAT16), mark(K::Samples, fold), V::Other},
        {"first sectors, its identity", &disk, rec(2048, FS_FAT16), mark(K::Files, SaveRestoreResult::FoldIdentity(id)), V::Same},
        {"first sectors, 16 bits of it", &disk, rec(2048, FS_FAT16), mark(K::Files, fold), V::Other},
        {"carved at a disk's start, its table since", &disk, rec(0, FS_RAW), mark(K::Samples, bareFold), V::Unchecked},
        {"carved past a disk's start", &disk, rec(1, FS_RAW), mark(K::Samples, bareFold), V::Other},
        {"a FAT volume at a disk's start, a table since", &disk, rec(0, FS_FAT16), mark(K::Samples, bareFold), V::Other},
        {"carved at a volume's start, another volume", &bare, rec(0, FS_RAW), mark(K::Samples, fold), V::Other},
        {"an older save, FAT32 for FAT16", &disk, rec(2048, FS_FAT32), VolumeMark{}, V::Same},
        {"an older save, NTFS for FAT16", &disk, rec(2048, FS_NTFS), VolumeMark{}, V::Other},
        {"an older save, a sector more", &disk, rec(2048, FS_FAT16, 16385), VolumeMark{}, V::Other},
        {"an older save, no size", &disk, rec(2048, FS_FAT16, 0), VolumeMark{}, V::Same},
        {"an older save, carved", &disk, rec(2048, FS_RAW), VolumeMark{}, V::Unchecked},
        {"an older save where no volume is", &disk, rec(100, FS_FAT16), VolumeMark{}, V::Unchecked},
        {"an older save of a cut image, what it holds", &cut, rec(0, FS_FAT16, 12000), VolumeMark{}, V::Same},
        {"an older save of a cut image, a sector less", &cut, rec(0, FS_FAT16, 11999), VolumeMark{}, V::Other},
    };
    for (const auto& r : rows) EXPECT_EQ(CheckSavedVolume(r.device, r.record, r.mark), r.told) << r.what;

    // An older save's files by their entries in the root folder: the same
    // where at least half of those that can be told are held.
    std::vector<std::unique_ptr<TestFileNode>> nodes;
    const auto files = [&](std::initializer_list<long long> sizes, long long meta = 0) {
        std::vector<IFileNode*> out;
        for (const long long size : sizes) {
            nodes.push_back(std::make_unique<TestFileNode>(static_cast<long long>(nodes.size()) + 10, 0, "f", false, size));
            nodes.back()->SetMetaDataSector(meta);
            out.push_back(nodes.back().get());
        }
        return out;
    };
    const struct {
        const char* what;
        unsigned kind;
        std::vector<IFileNode*> files;
        V told;
    } held[] = {
        {"all held", FS_FAT16, files({3000, 4000, 5000}), V::Same},
        {"one of two", FS_FAT16, files({3000, 4001}), V::Same},
        {"one of three", FS_FAT16, files({3000, 4001, 5001}), V::Other},
        {"none", FS_FAT16, files({4001}), V::Other},
        {"small files only", FS_FAT16, files({300, 400}), V::Unchecked},
        {"no entry known", FS_FAT16, files({3000, 4000}, -1), V::Unchecked},
        {"a file system of other entries", FS_NTFS, files({3000, 4000}), V::Unchecked},
    };
    for (const auto& h : held)
        EXPECT_EQ(VolumeHoldsFiles(&disk, rec(2048, h.kind), h.files, V::Unchecked), h.told) << h.what;
}

// A volume made over old data has written its own structures and the
// clusters it holds, not its free space, as the tools make them over random
// bytes: FAT12, FAT16 and FAT32 with a file copied in, exFAT, ext2, ext3 and
// ext4 (1 and 4 KiB blocks) with files in, xfs (four groups, files in),
// minix (v1 and v3), bfs and btrfs (mixed, files in; shorter than its
// device, summed by xxhash, its identity changed since); where nothing tells
// where a volume has not written (NTFS, swap, no file system) every sector
// counts.
TEST(SavedScanRecords, AVolumeMadeSinceWroteItsStructuresAndClustersAlone) {
    ASSERT_EQ(RunCommand("export PATH=$PATH:/sbin:/usr/sbin; command -v mkfs.fat && command -v mcopy && "
                         "command -v mkfs.exfat && command -v mkntfs && command -v mke2fs && command -v mkswap && "
                         "command -v mkfs.minix && command -v mkfs.bfs && command -v mkfs.xfs && "
                         "command -v mkfs.btrfs && command -v btrfstune && command -v xorriso"),
              0)
        << "needs dosfstools, mtools, exfatprogs, ntfs-3g, e2fsprogs, util-linux, xfsprogs, btrfs-progs and xorriso";
    RegisterAllLibraries(); // the recognisers of the other file systems
    TempDir dir;
    const std::string file = dir.path() + "/file.bin", tree = dir.path() + "/tree", proto = dir.path() + "/proto";
    const std::string old = dir.path() + "/old.bin";
    ASSERT_EQ(RunCommand("head -c 150000 /dev/urandom > '" + file + "' && mkdir '" + tree + "' && cp '" + file +
                         "' '" + tree + "/' && head -c 1000000 /dev/urandom > '" + tree + "/big.bin' && " +
                         "head -c 64M /dev/urandom > '" + old + "'"),
              0);
    const std::string before = ReadWholeFile(old);
    // mkfs.xfs's own list of what it puts in (its minimum size waived as
    // for its test suite).
    ASSERT_EQ(RunCommand("printf '/dev/null\\n0 0\\nd--755 0 0\\nfile.bin ---644 0 0 %s\\nbig.bin ---644 0 0 %s\\n$\\n' '" +
                         file + "' '" + tree + "/big.bin' > '" + proto + "'"),
              0);
    const std::string xfs = "TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -K -q -p '" + proto + "'";
    const std::string ext = "mke2fs -q -F -E nodiscard -d '" + tree + "' -t ";
    // Data and metadata share chunks (-M) on a volume this small; its chunk
    // tree's root lies at 1 MiB.
    const std::string btrfs = "mkfs.btrfs -f -q -M --rootdir '" + tree + "'";
    const std::string xxhash = btrfs + " --csum xxhash"; // sums not checked
    // xorriso writing an image over a partition of old data, with options,
    // then a command ($0 is the partition).
    const auto iso = [&tree](const std::string& options, const std::string& then = {}) {
        return "sh -c \"xorriso -outdev stdio:\\\"\\$0\\\" -blank as_needed " + options + " -map '" + tree +
               "' / -commit" + then + "\"";
    };
    const auto poke = [](unsigned offset, const char* bytes) {
        return std::string(" && printf '") + bytes + "' | dd of=\\\"\\$0\\\" bs=1 seek=" + std::to_string(offset) +
               " conv=notrunc status=none";
    };
    // A tool's volume with bytes at an offset then changed (the image is $0).
    const auto damaged = [](const std::string& make, unsigned offset, const char* bytes) {
        return "sh -c \"" + make + " \\\"\\$0\\\" && printf '" + bytes + "' | dd of=\\\"\\$0\\\" bs=1 seek=" +
               std::to_string(offset) + " conv=notrunc status=none\"";
    };
    struct Row {
        const char* name;
        unsigned mib;
        std::string make; // the image's path follows
        bool copy;
        bool whole; // every sector counts
    };
    for (const Row& row : {Row{"fat12", 4, "mkfs.fat -F 12 -i 0E0E0001", true, false},
                           Row{"fat16", 32, "mkfs.fat -F 16 -i 0E0E0002", true, false},
                           Row{"fat32", 40, "mkfs.fat -F 32 -s 1 -i 0E0E0003", true, false},
                           Row{"exfat", 32, "mkfs.exfat", false, false}, Row{"ntfs", 16, "mkntfs -F -Q -q", false, true},
                           Row{"ext2", 32, ext + "ext2", false, false}, Row{"ext3", 64, ext + "ext3", false, false},
                           Row{"ext4", 64, ext + "ext4", false, false},
                           Row{"ext4_4k", 64, ext + "ext4 -b 4096 -O 64bit", false, false},
                           Row{"xfs", 64, xfs + " -d agcount=4", false, false}, Row{"swap", 4, "mkswap -q", false, true},
                           Row{"minix", 4, "mkfs.minix", false, false}, Row{"minix3", 8, "mkfs.minix -3", false, false},
                           Row{"bfs", 4, "mkfs.bfs", false, false}, Row{"btrfs", 64, btrfs, false, false},
                           Row{"btrfs_short_of_device", 64, btrfs + " -b 48M", false, false},
                           Row{"btrfs_xxhash", 64, xxhash, false, false},
                           // Its nodes keep the identity it was made with.
                           Row{"btrfs_new_fsid", 64, "sh -c \"" + btrfs + " \\\"\\$0\\\" && btrfstune -m \\\"\\$0\\\"\"",
                               false, false},
                           Row{"iso", 16, iso(""), false, false}, Row{"iso_hfsplus", 16, iso("-hfsplus on"), false, false},
                           Row{"none", 4, "true", false, true},
                           // Structures that do not agree: every sector counts.
                           Row{"xfs_free_miscounted", 16, damaged(xfs, 512 + 52, "\\377"), false, true},
                           Row{"minix_data_over_inodes", 4, damaged("mkfs.minix", 1024 + 8, "\\002\\000"), false, true},
                           Row{"bfs_file_past_end", 4, damaged("mkfs.bfs", 512 + 8, "\\377\\377"), false, true},
                           Row{"btrfs_super_changed", 64, damaged(btrfs, 0x10000 + 0x200, "\\377"), false, true},
                           Row{"btrfs_chunk_root_changed", 64, damaged(btrfs, (1 << 20) + 0x800, "\\377"), false, true},
                           Row{"btrfs_node_elsewhere", 64, damaged(xxhash, (1 << 20) + 0x30, "\\001"), false, true},
                           Row{"btrfs_use_miscounted", 64, damaged(xxhash, 0x10000 + 0xD9, "\\001"), false, true},
                           // A boot sector before the image; one larger than the device.
                           Row{"iso_boot_sector", 16, iso("", poke(510, "\\125\\252")), false, true},
                           Row{"iso_past_end", 16, iso("", poke(32768 + 83, "\\001")), false, true}}) {
        SCOPED_TRACE(row.name);
        const std::string image = dir.path() + "/" + row.name + ".img";
        // Old data everywhere, then the new volume over it.
        ASSERT_EQ(RunCommand("export PATH=$PATH:/sbin:/usr/sbin; head -c " + std::to_string(row.mib << 20) + " '" +
                             old + "' > '" + image + "' && " + row.make + " '" + image + "' >/dev/null 2>&1" +
                             (row.copy ? " && MTOOLS_SKIP_CHECK=1 mcopy -i '" + image + "' '" + file + "' ::/file.bin"
                                       : std::string())),
                  0);
        ImageDevice device(image);
        ASSERT_TRUE(device.IsOpen());
        auto written = VolumeWrittenSectors(&device);
        std::sort(written.begin(), written.end());
        const std::string bytes = ReadWholeFile(image);
        ASSERT_EQ(bytes.size(), std::size_t{row.mib} << 20);
        const auto within = [&](long long sector) {
            const auto after = std::upper_bound(written.begin(), written.end(), std::pair(sector, LLONG_MAX));
            return after != written.begin() && std::prev(after)->second > sector;
        };
        const long long total = static_cast<long long>(bytes.size() / 512);
        long long changed = 0, counted = 0;
        for (long long s = 0; s < total; ++s) {
            const bool same = std::memcmp(bytes.data() + s * 512, before.data() + s * 512, 512) == 0;
            changed += same ? 0 : 1;
            counted += within(s) ? 1 : 0;
            // Every sector the tools wrote is among those the volume tells.
            if (!same) {
                ASSERT_TRUE(within(s)) << "sector " << s << " written, not told";
            }
        }
        if (row.whole) {
            EXPECT_EQ(counted, total);
        } else {
            // Its free space is not: what it holds is a small part.
            EXPECT_GT(changed, 0);
            EXPECT_LT(counted, total / 4) << changed << " sectors written";
        }
    }
}

} // namespace
