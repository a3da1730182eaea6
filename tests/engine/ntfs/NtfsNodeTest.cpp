// NTFS nodes built from every named base record of the fixtures and samples
// and written through the file writer: the bytes equal the manifests taken
// when the fixtures were made and icat's bytes of the samples; properties
// equal istat. Then the compressed reader's units and LZNT1 chunks, reads at
// any offset, failing sectors and damaged input.
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "engine/ntfs/CompressFileReader.h"
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsRegistration.h"
#include "engine/ntfs/NtfsSearchRecords.h"
#include "engine/tree/FileReaderEx.h"
#include "engine/writer/DataRecovery.h"
#include "tests/engine/ntfs/NtfsTestVolume.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/engine_helpers.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <regex>
#include <set>

namespace {
using namespace ntfstest;

using NodePtr = Owned<CNTFSFileNode>;

// The node of a record as a search would make it; null without a name.
NodePtr BuildNode(Volume& v, long long number, long long* parent = nullptr,
                  std::vector<std::uint8_t>* patched = nullptr) {
    long long sector = -1;
    const auto rec = patched ? *patched : v.ReadRecord(number, &sector);
    if (patched) v.ReadRecord(number, &sector);
    if (rec.empty()) return nullptr;
    const CExtendFileRecordInfoList ext = v.Extensions(rec, sector);
    CNTFSMultiFileRecord multi(rec, sector, v.device.get(), &ext, v.recordSize);
    std::list<CNTFSFileProperties*> made;
    CNTFSFilePropertiesBuilder builder(made);
    CNTFSFileProperties* props = builder.BuildFileProperties(sector, multi, v.clusterBytes, parent);
    if (!props) return nullptr;
    props->SetExtendFileRecordInfoList(ext);
    NodePtr node(new CNTFSFileNode);
    node->SetFileProperties(props);
    return node;
}

// The volume's writer, with the volume as its one partition.
struct Writer {
    explicit Writer(Volume& v) : part(v.info.sectorSize) {
        part.m_sectorsPerCluster = v.spc;
        part.SetTotalSectors(v.device->GetTotalSectors());
        std::vector<CSearchedPartitionInfo*> parts{&part};
        writer.Initialize(parts, v.device.get());
        writer.SetWriteRetryDelayMs(1);
    }
    // The sha256 of the written file, with the writer's answer.
    std::string Write(CNTFSFileNode& node, ResultCode* code = nullptr) {
        if (IFileReader* r = writer.SetRecoverNode(&node)) r->Release();
        const std::string path = dir.file("out");
        std::remove(path.c_str());
        const ResultCode c = writer.RecoverTo(path.c_str(), nullptr, 0);
        if (code) *code = c;
        return salvor::test::Sha256File(path);
    }
    std::string Bytes(CNTFSFileNode& node) {
        Write(node);
        return salvor::test::ReadWholeFile(dir.file("out"));
    }
    CSearchedNTFSPartitionInfo part;
    CDataRecovery writer;
    salvor::test::TempDir dir;
};

// fls lines "r/r 398-128-2:<TAB>path" ("-/r * N-..." deleted).
struct FlsEntry {
    long long number;
    bool deleted;
    std::string path;
};
std::vector<FlsEntry> DataEntries(const std::string& fls) {
    static const std::regex line(R"(^[-r]/r (\* )?(\d+)-128-\d+:\t([^:]*)$)");
    std::vector<FlsEntry> out;
    std::istringstream in(fls);
    std::smatch m;
    for (std::string l; std::getline(in, l);)
        if (std::regex_match(l, m, line)) out.push_back({std::stoll(m[2]), m[1].matched, m[3]});
    return out;
}

// The samples' icat bytes: record, sha256.
std::vector<std::pair<long long, std::string>> IcatShas(Volume& v) {
    std::vector<std::pair<long long, std::string>> out;
    std::istringstream in(ReadText(v.Oracle("icat.txt")));
    long long n;
    for (std::string sha; in >> n >> sha;) out.emplace_back(n, sha);
    return out;
}

// The live files of a volume: fls's for the fixtures, icat's for the samples.
std::vector<long long> LiveFiles(Volume& v) {
    std::vector<long long> out;
    if (v.info.sample)
        for (const auto& [n, sha] : IcatShas(v)) out.push_back(n);
    else
        for (const FlsEntry& e : DataEntries(ReadText(v.Oracle("fls.txt"))))
            if (!e.deleted) out.push_back(e.number);
    return out;
}

class NtfsNodes : public ::testing::TestWithParam<VolumeCase> {
protected:
    void SetUp() override {
        ResetFactories();
        RegisterNtfsLibrary();
    }
};

TEST_P(NtfsNodes, EveryFileWritesItsBytes) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    Writer w(v);
    int written = 0, compressed = 0;
    if (v.info.sample) {
        for (const auto& [n, sha] : IcatShas(v)) {
            NodePtr node = BuildNode(v, n);
            ASSERT_TRUE(node) << n;
            compressed += node->IsCompressed();
            EXPECT_EQ(w.Write(*node), sha) << v.info.name << " record " << n << " " << node->GetFileName();
            ++written;
        }
    } else {
        std::map<std::string, std::string> manifest; // path -> sha256
        std::istringstream lines(ReadText(v.Oracle("sha256.txt")));
        for (std::string l; std::getline(lines, l);)
            manifest[l.substr(65)] = l.substr(0, 64);
        for (const FlsEntry& e : DataEntries(ReadText(v.Oracle("fls.txt")))) {
            const auto want = manifest.find(e.path);
            if (want == manifest.end()) continue;
            NodePtr node = BuildNode(v, e.number);
            ASSERT_TRUE(node || e.deleted) << e.path;
            // A deleted file's record may hold a newer file since.
            if (!node || (e.deleted && node->GetFileName() != e.path.substr(e.path.rfind('/') + 1) && !node->IsDeleted())) continue;
            EXPECT_EQ(node->IsDeleted() != 0, e.deleted) << e.path;
            compressed += node->IsCompressed();
            EXPECT_EQ(w.Write(*node), want->second) << v.info.name << " " << e.path;
            ++written;
        }
    }
    EXPECT_GT(written, 0);
    const std::string name = v.info.name;
    if (name == "ntfs_4k" || name == "ntfs_2k" || name == "ntfs_512" || name == "ntfs-ramslack") {
        EXPECT_GT(compressed, 0);
    }
}

// istat's times "2026-12-07 00:49:34.211127700 (UTC)" as a file time.
std::uint64_t FileTime(const std::string& text) {
    std::tm tm{};
    const char* rest = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &tm);
    if (!rest || text.find("(UTC)") == std::string::npos) return 0;
    const long long ns = std::stoll(std::string(rest + 1, 9));
    return static_cast<std::uint64_t>((timegm(&tm) + 11644473600LL) * 10000000LL + ns / 100);
}

struct IstatFile {
    bool directory = false, extension = false;
    std::string siFlags;
    std::uint64_t times[3] = {};                  // created, modified, accessed
    std::set<std::pair<std::string, long long>> names; // name, parent
};
std::map<long long, IstatFile> ParseFiles(const std::string& text) {
    std::map<long long, IstatFile> out;
    std::istringstream in(text);
    IstatFile* e = nullptr;
    std::string name;
    int section = 0; // 1 standard information, 2 file name
    for (std::string l; std::getline(in, l);) {
        auto value = [&](const char* key) { return l.rfind(key, 0) == 0 ? l.substr(std::strlen(key)) : ""; };
        if (l.rfind("=== ", 0) == 0) e = &out[std::stoll(l.substr(4))], section = 0;
        else if (l == "Allocated Directory") e->directory = true;
        else if (l.rfind("Base File Record:", 0) == 0) e->extension = true;
        else if (l == "$STANDARD_INFORMATION Attribute Values:") section = 1;
        else if (l == "$FILE_NAME Attribute Values:") section = 2;
        else if (l.empty() || l.rfind("Attributes:", 0) == 0) section = section == 2 ? 2 : 0;
        else if (section == 1 && !value("Flags: ").empty()) e->siFlags = value("Flags: ");
        else if (section == 1 && !value("Created:\t").empty()) e->times[0] = FileTime(value("Created:\t"));
        else if (section == 1 && !value("File Modified:\t").empty()) e->times[1] = FileTime(value("File Modified:\t"));
        else if (section == 1 && !value("Accessed:\t").empty()) e->times[2] = FileTime(value("Accessed:\t"));
        else if (section == 2 && !value("Name: ").empty()) name = value("Name: ");
        else if (section == 2 && !value("Parent MFT Entry: ").empty())
            e->names.insert({name, std::stoll(value("Parent MFT Entry: "))});
    }
    return out;
}

TEST_P(NtfsNodes, PropertiesEqualIstat) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    int checked = 0;
    for (const auto& [n, f] : ParseFiles(ReadText(v.Oracle("istat.txt")))) {
        if (n < 16 || f.extension) continue;
        long long parent = -1;
        NodePtr node = BuildNode(v, n, &parent);
        ASSERT_TRUE(node) << n;
        // The name shown lies in the folder reported (hard links included).
        EXPECT_TRUE(f.names.count({node->GetFileName(), parent})) << v.info.name << " " << n << " "
                                                                 << node->GetFileName() << " in " << parent;
        EXPECT_EQ(node->IsDirectory() != 0, f.directory) << n;
        EXPECT_FALSE(node->IsDeleted());
        if (f.times[0] != 0) {
            EXPECT_EQ(node->GetCreationTime().Value(), f.times[0]) << n;
            EXPECT_EQ(node->GetModificationTime().Value(), f.times[1]) << n;
            EXPECT_EQ(node->GetLastAccessTime().Value(), f.times[2]) << n;
        }
        const unsigned a = node->GetAttribute();
        auto has = [&](const char* w) { return f.siFlags.find(w) != std::string::npos; };
        EXPECT_EQ(bool(a & 0x01), has("Read Only")) << n;
        EXPECT_EQ(bool(a & 0x02), has("Hidden")) << n;
        EXPECT_EQ(bool(a & 0x04), has("System")) << n;
        EXPECT_EQ(bool(a & 0x20), has("Archive")) << n;
        EXPECT_EQ(bool(a & 0x40), has("Encrypted")) << n;
        if (!f.directory) {
            EXPECT_EQ(bool(a & 0x800), has("Compressed") && !has("Encrypted")) << n;
        }
        // A Win32 name is shown over its DOS twin.
        if (f.names.count({"ALONGF~1.TXT", 5})) {
            EXPECT_STREQ(node->GetFileName(), "A Long File Name.txt");
        }
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

// Reads at any offset of a compressed file give the bytes written whole;
// the slot reads any window of resident data.
TEST_P(NtfsNodes, ReadsAtAnyOffset) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    Writer w(v);
    int compressed = 0, resident = 0;
    for (const long long number : LiveFiles(v)) {
        NodePtr node = BuildNode(v, number);
        if (!node || node->GetFileSize() == 0) continue;
        const long long size = node->GetFileSize();
        const bool isResident = node->GetDataRunList()->IsResident();
        if (!node->IsCompressed() && !(isResident && resident < 3)) continue;
        // Sparse units (2 KiB clusters: a whole unit of mixed.bin's zeros) are
        // the file's zeros: it is whole.
        ResultCode code = 1;
        w.Write(*node, &code);
        EXPECT_EQ(code, 0u) << number;
        const std::string whole = salvor::test::ReadWholeFile(w.dir.file("out"));
        ASSERT_EQ(static_cast<long long>(whole.size()), size);
        IFileReader* reader = w.writer.SetRecoverNode(node.get());
        ASSERT_TRUE(reader);
        for (long long at : {0LL, 1LL, 4095LL, 65535LL, 65536LL + 17, size / 2, size - 1}) {
            if (at < 0 || at >= size) continue;
            std::string got(5000, 'x');
            const unsigned n = reader->ReadData(at, got.data(), 5000, nullptr);
            ASSERT_EQ(n, static_cast<unsigned>(std::min<long long>(5000, size - at))) << number << " at " << at;
            EXPECT_EQ(got.substr(0, n), whole.substr(static_cast<std::size_t>(at), n)) << number << " at " << at;
        }
        reader->Release();
        if (isResident) {
            ++resident;
            // The recycle-bin reader reads through the same slot.
            CFileReaderEx ex;
            ASSERT_TRUE(ex.Open(v.device.get(), node.get(), 0, v.spc));
            std::vector<std::uint8_t> out(size);
            unsigned got = 0;
            ASSERT_TRUE(ex.Read(size / 2, out.data(), static_cast<unsigned>(size), got));
            EXPECT_EQ(std::string(out.begin(), out.begin() + got), whole.substr(static_cast<std::size_t>(size / 2)));
        } else {
            ++compressed;
        }
    }
    if (std::string(v.info.name) == "ntfs_4k") {
        EXPECT_GE(compressed, 2);
    }
    if (!v.info.sample) {
        EXPECT_GT(resident, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(All, NtfsNodes, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return std::regex_replace(info.param.name, std::regex("-"), "_"); });

// A record on the 4 KiB fixture by its path.
long long RecordOf(Volume& v, const std::string& path) {
    for (const FlsEntry& e : DataEntries(ReadText(v.Oracle("fls.txt"))))
        if (e.path == path) return e.number;
    return -1;
}

// Past $DATA's initialized size a file holds zeros, as icat gives them, not
// what its clusters hold.
TEST(NtfsData, BytesPastTheInitializedSizeAreZerosAsIcatGivesThem) {
    ResetFactories();
    RegisterNtfsLibrary();
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    const long long n = RecordOf(v, "Links/target.bin");
    long long sector = -1;
    const auto original = v.ReadRecord(n, &sector);
    auto rec = original;
    ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(rec));
    const auto at = CNTFSFileRecord::GetAttributeOffset(rec, ntfs::ATTR_DATA, 0);
    ASSERT_EQ(rec[at + 8], 1) << "a non-resident $DATA";
    const std::uint64_t size = bytes::Le64(rec, at + 48);
    ASSERT_GT(size, 5000u);
    const std::uint64_t initialized = size / 2 + 3;
    salvor::test::PutLe64(rec, at + 56, initialized);
    CNTFSFileRecord::FixupFileRecord(rec);
    NodePtr node = BuildNode(v, n, nullptr, &rec);
    ASSERT_TRUE(node);
    Writer w(v);
    ResultCode code = 1;
    w.Write(*node, &code);
    EXPECT_EQ(code, 0u);
    const std::string got = salvor::test::ReadWholeFile(w.dir.file("out"));

    // The same edit on a copy of the image, read back by icat.
    salvor::test::TempDir dir;
    const std::string image = salvor::test::CopyOf(v.Oracle("img"), dir, "edited.img");
    const std::uint64_t offset = static_cast<std::uint64_t>(sector) * v.info.sectorSize;
    ASSERT_EQ(salvor::test::ReadBytes(image, offset, original.size()), original);
    ASSERT_TRUE(salvor::test::WriteBytes(image, offset, rec));
    std::string icat;
    ASSERT_EQ(salvor::test::RunCommand("icat '" + image + "' " + std::to_string(n), &icat), 0);
    ASSERT_EQ(icat.size(), size);
    EXPECT_EQ(got, icat);
    EXPECT_EQ(got.find_first_not_of('\0', initialized), std::string::npos);
}

TEST(NtfsCompressed, FailingUnitAndWindowedReads) {
    ResetFactories();
    RegisterNtfsLibrary();
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    Writer w(v);
    NodePtr node = BuildNode(v, RecordOf(v, "Compressed/mixed.bin"));
    ASSERT_TRUE(node && node->IsCompressed());
    const std::string whole = w.Bytes(*node);
    std::vector<tagCompressDataRun> pieces;
    CCompressFileReader::ReGroupCompressDataRunList(node->GetDataRunList(), pieces);
    // The first compressed unit's stored clusters fail.
    long long start = 0, clusters = 0;
    for (const auto& p : pieces) {
        if (p.type == COMPRESSED_UNIT && p.lcn >= 0) {
            v.device->FailSectors(p.lcn * v.spc, p.length * v.spc);
            break;
        }
        clusters += p.length;
    }
    start = clusters / 16 * 16 * v.clusterBytes;
    // The file keeps its length, zeros where the unit was, and is told damaged.
    ResultCode code = 0;
    w.Write(*node, &code);
    EXPECT_EQ(code, WriterResult::Unreadable);
    const std::string broken = salvor::test::ReadWholeFile(w.dir.file("out"));
    ASSERT_EQ(broken.size(), whole.size());
    const std::size_t unit = 16 * v.clusterBytes, end = std::min<std::size_t>(start + unit, whole.size());
    EXPECT_EQ(broken.substr(0, start), whole.substr(0, start));
    EXPECT_EQ(broken.substr(start, end - start), std::string(end - start, '\0'));
    EXPECT_EQ(broken.substr(end), whole.substr(end));

    // A read near the end expands only the unit that holds it.
    IFileReader* reader = w.writer.SetRecoverNode(node.get());
    ASSERT_TRUE(reader);
    v.device->ResetCounters();
    char tail[100];
    ASSERT_EQ(reader->ReadData(static_cast<long long>(whole.size()) - 100, tail, 100, nullptr), 100u);
    EXPECT_EQ(std::string(tail, 100), whole.substr(whole.size() - 100));
    EXPECT_LE(v.device->SectorsRead(), 16ull * v.spc);
    reader->Release();
}

// DeCompressFile expands other runs the way the last Recovery call did.
TEST(NtfsCompressed, DecompressingOtherRunsRepeatsTheLastMode) {
    ResetFactories();
    RegisterNtfsLibrary();
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    Writer w(v);
    NodePtr mixed = BuildNode(v, RecordOf(v, "Compressed/mixed.bin"));
    NodePtr text = BuildNode(v, RecordOf(v, "Compressed/text.txt"));
    ASSERT_TRUE(mixed && text);
    const std::string textBytes = w.Bytes(*text);
    IFileReader* base = w.writer.SetRecoverNode(mixed.get());
    auto* reader = dynamic_cast<CCompressFileReader*>(base);
    ASSERT_TRUE(reader);
    const long long textSize = text->GetFileSize();
    EXPECT_FALSE(reader->DeCompressFile(text->GetDataRunList(), textSize)) << "no mode before a Recovery";

    std::vector<char> buffer(textBytes.size() + 10, 'x');
    ASSERT_TRUE(reader->Recovery(buffer.data(), static_cast<int>(buffer.size()), nullptr));
    ASSERT_TRUE(reader->DeCompressFile(text->GetDataRunList(), textSize));
    EXPECT_EQ(std::string(buffer.data(), textBytes.size()), textBytes);
    EXPECT_EQ(reader->GetDataSize(), textSize);
    EXPECT_FALSE(reader->DeCompressFile(nullptr, textSize));
    EXPECT_FALSE(reader->DeCompressFile(text->GetDataRunList(), -1));

    salvor::test::TempDir dir;
    const std::string out = dir.file("again.bin");
    bool resident = true;
    ASSERT_TRUE(reader->Recovery(out.c_str(), nullptr, resident));
    ASSERT_TRUE(reader->DeCompressFile(mixed->GetDataRunList(), mixed->GetFileSize()));
    EXPECT_EQ(ReadText(out), w.Bytes(*mixed)) << "the file mode writes the given runs' bytes";
    base->Release();
}

TEST(NtfsCompressed, DamagedRunsAndClustersAreRefused) {
    ResetFactories();
    RegisterNtfsLibrary();
    // A compressed flag on a 64 KiB-cluster volume: the writer's failure code.
    Volume big(kVolumes[3]);
    ASSERT_TRUE(big.device);
    Writer w(big);
    const long long n = RecordOf(big, "bulk.bin");
    NodePtr node = BuildNode(big, n);
    ASSERT_TRUE(node);
    auto* props = static_cast<CNTFSFileProperties*>(node->GetFileProperties());
    props->SetAttribute(props->GetAttribute() | 0x800);
    ResultCode code = 0;
    w.Write(*node, &code);
    EXPECT_EQ(code, WriterResult::CompressedFailed);

    // Runs past the device read as zeros, at the file's size.
    Volume v(kVolumes[0]);
    Writer w4(v);
    node = BuildNode(v, RecordOf(v, "Compressed/text.txt"));
    ASSERT_TRUE(node);
    CNoneResidentNTFSDataRunList far;
    const DataRun runs[] = {{1LL << 40, 5}, {-1, 11}, {1LL << 50, 16}};
    for (const DataRun& r : runs) far.AddDataRun(&r);
    node->SetDataRunList(far.Clone());
    code = 0;
    w4.Write(*node, &code);
    EXPECT_EQ(code, WriterResult::Unreadable) << "zeros never pass for the file";
    EXPECT_EQ(salvor::test::ReadWholeFile(w4.dir.file("out")),
              std::string(static_cast<std::size_t>(node->GetFileSize()), '\0'));
    // Runs that end before the file's size: the rest is zeros, and damaged too.
    CNoneResidentNTFSDataRunList early;
    const DataRun first{1, 16};
    early.AddDataRun(&first);
    node->SetDataRunList(early.Clone());
    code = 0;
    w4.Write(*node, &code);
    EXPECT_EQ(code, WriterResult::Unreadable);
}

TEST(NtfsNames, SurrogatesAndHardLinkFolders) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    const long long n = RecordOf(v, "A Long File Name.txt");
    auto rec = v.ReadRecord(n);
    ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(rec));
    // Every name's first unit becomes a lone high surrogate.
    for (int i = 0; i < 2; ++i) {
        const auto at = CNTFSFileRecord::GetAttributeOffset(rec, ntfs::ATTR_FILE_NAME, i);
        const std::size_t name = at + bytes::Le16(rec, at + 20) + 66;
        rec[name] = 0x00;
        rec[name + 1] = 0xD8;
    }
    CNTFSFileRecord::FixupFileRecord(rec);
    NodePtr node = BuildNode(v, n, nullptr, &rec);
    ASSERT_TRUE(node);
    EXPECT_STREQ(node->GetFileName(), "\xEF\xBF\xBD Long File Name.txt");

    CCommonFileRecordInfo info;
    ASSERT_TRUE(info.InitFromBuffer(v.ReadRecord(n), 0));
    EXPECT_EQ(info.GetFileRecordNumberofParentDirectory(), 5);

    // A hard link whose first (shown, POSIX) name lies in another folder
    // than its second: the shown name keeps its own folder.
    const long long linked = RecordOf(v, "Links/target.bin");
    ASSERT_GT(linked, 0);
    rec = v.ReadRecord(linked);
    ASSERT_TRUE(CNTFSFileRecord::UnfixupFileRecord(rec));
    const auto at = CNTFSFileRecord::GetAttributeOffset(rec, ntfs::ATTR_FILE_NAME, 0);
    rec[at + bytes::Le16(rec, at + 20)] = 64;
    const std::string first = CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(
        CNTFSFileRecord::FindAttibute(rec, ntfs::ATTR_FILE_NAME, 0));
    CNTFSFileRecord::FixupFileRecord(rec);
    long long parent = -1;
    node = BuildNode(v, linked, &parent, &rec);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->GetFileName(), first);
    EXPECT_EQ(parent, 64);
    ASSERT_TRUE(info.InitFromBuffer(rec, 0));
    EXPECT_EQ(info.GetFileRecordNumberofParentDirectory(), 64);
    CCommonFileRecordPositionInfo pos(1000);
    EXPECT_TRUE(pos.Merge(1002));
    EXPECT_TRUE(pos.Merge(1004));
    EXPECT_FALSE(pos.Merge(1005));
}

std::vector<tagCompressDataRun> Regroup(std::initializer_list<DataRun> runs) {
    CNoneResidentNTFSDataRunList list;
    for (const DataRun& r : runs) list.AddDataRun(&r);
    std::vector<tagCompressDataRun> out;
    CCompressFileReader::ReGroupCompressDataRunList(&list, out);
    return out;
}

TEST(NtfsCompressed, UnitsOfRuns) {
    using P = std::vector<tagCompressDataRun>;
    EXPECT_EQ(Regroup({{100, 16}}), (P{{100, 16, 0}}));
    EXPECT_EQ(Regroup({{100, 5}, {-1, 11}}), (P{{100, 5, 1}, {-1, 11, 1}}));
    EXPECT_EQ(Regroup({{-1, 32}}), (P{{-1, 16, 2}, {-1, 16, 2}}));
    EXPECT_EQ(Regroup({{300, 40}, {-1, 8}}), (P{{300, 16, 0}, {316, 16, 0}, {332, 8, 1}, {-1, 8, 1}}));
    EXPECT_EQ(Regroup({{7, 3}}), (P{{7, 3, 0}}));
}

// A compressed chunk of flag groups: items are literals (one byte) or tokens.
std::vector<unsigned char> Chunk(const std::vector<std::pair<bool, unsigned>>& items) {
    std::vector<unsigned char> c{0, 0};
    for (std::size_t i = 0; i < items.size(); i += 8) {
        const std::size_t flagAt = c.size();
        c.push_back(0);
        for (std::size_t j = i; j < std::min(items.size(), i + 8); ++j) {
            if (items[j].first) {
                c[flagAt] |= static_cast<unsigned char>(1u << (j - i));
                c.push_back(items[j].second & 0xFF);
                c.push_back(items[j].second >> 8);
            } else {
                c.push_back(static_cast<unsigned char>(items[j].second));
            }
        }
    }
    const unsigned h = 0xB000 | static_cast<unsigned>(c.size() - 3);
    c[0] = h & 0xFF;
    c[1] = h >> 8;
    return c;
}

std::string Expand(const std::vector<unsigned char>& chunk, int capacity = 4096) {
    std::string out(static_cast<std::size_t>(capacity), '\xAA');
    const int n = CCompressFileReader::DecompressBlock(reinterpret_cast<unsigned char*>(out.data()), capacity,
                                                       chunk.data(), chunk.size());
    return out.substr(0, static_cast<std::size_t>(n));
}

TEST(NtfsCompressed, Lznt1Chunks) {
    // An uncompressed chunk of header 0x3FFF holds 4096 bytes.
    std::vector<unsigned char> plain(4098, 'p');
    plain[0] = 0xFF;
    plain[1] = 0x3F;
    EXPECT_EQ(Expand(plain), std::string(4096, 'p'));
    // Token splits: at 1, 4 displacement and 12 length bits; at 17, 5 and
    // 11; at 2049, 12 and 4.
    struct Split {
        unsigned literals, displacementBits;
    };
    for (const Split s : {Split{1, 4}, Split{17, 5}, Split{2049, 12}}) {
        std::vector<std::pair<bool, unsigned>> items;
        for (unsigned i = 0; i < s.literals; ++i)
            items.push_back({false, 'a' + i % 26});
        const unsigned lengthBits = 16 - s.displacementBits;
        items.push_back({true, (0u << lengthBits) | 2u}); // displacement 1, length 5
        const std::string out = Expand(Chunk(items));
        ASSERT_EQ(out.size(), s.literals + 5u) << s.literals;
        EXPECT_EQ(out.substr(s.literals), std::string(5, out[s.literals - 1])) << s.literals;
        items.back().second = (1u << lengthBits) | 0u; // displacement 2, length 3
        const std::string two = Expand(Chunk(items));
        ASSERT_EQ(two.size(), s.literals + 3u);
        EXPECT_EQ(two[s.literals], s.literals >= 2 ? two[s.literals - 2] : '\0');
    }
    // An overlapping copy repeats what it writes; a reference before the
    // chunk start gives zeros; a truncated chunk stops at its bytes.
    EXPECT_EQ(Expand(Chunk({{false, 'a'}, {false, 'b'}, {true, (1u << 12) | 5u}})), "ababababab");
    EXPECT_EQ(Expand(Chunk({{false, 'z'}, {true, (3u << 12) | 0u}})), std::string("z\0\0\0", 4));
    auto cut = Chunk({{false, 'a'}, {false, 'b'}, {false, 'c'}, {true, 0x1000}});
    cut.resize(cut.size() - 1);
    EXPECT_EQ(Expand(cut), "abc");
    // Output stops at the capacity.
    EXPECT_EQ(Expand(Chunk({{false, 'q'}, {true, 0x0FFF}}), 7), "qqqqqqq");
}

TEST(NtfsCompressed, ShortChunksKeepLaterBytesInPlace) {
    // Two chunks: the first expands to 3 bytes, the second to "xyz"; a zero
    // header ends the unit; a chunk past the bytes is not read.
    auto first = Chunk({{false, 'a'}, {false, 'b'}, {false, 'c'}});
    auto second = Chunk({{false, 'x'}, {false, 'y'}, {false, 'z'}});
    std::vector<unsigned char> in = first;
    in.insert(in.end(), second.begin(), second.end());
    in.insert(in.end(), {0, 0});
    in.insert(in.end(), first.begin(), first.end());
    std::vector<unsigned char> out(3 * 4096 + 100, 0);
    CCompressFileReader::DecompressUnit(in.data(), in.size(), out.data(), out.size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + 3), "abc");
    EXPECT_EQ(std::string(out.begin() + 4096, out.begin() + 4099), "xyz");
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), static_cast<long>(out.size() - 6));
    out.assign(out.size(), 0);
    CCompressFileReader::DecompressUnit(second.data(), second.size() - 1, out.data(), out.size());
    EXPECT_EQ(std::count(out.begin(), out.end(), 0), static_cast<long>(out.size()));
}

} // namespace
