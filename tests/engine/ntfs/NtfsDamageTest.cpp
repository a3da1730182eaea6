// Damaged and edge-case structures: each is refused (or read) within its own
// bytes; the sanitizers check that nothing outside them is touched.
#include "engine/ntfs/NtfsIndexRecord.h"
#include "engine/ntfs/NtfsLogRecord.h"
#include "tests/engine/ntfs/NtfsTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace ntfs_test;
using Buf = std::vector<std::uint8_t>;

namespace {

void Put(Buf& b, std::size_t off, std::uint64_t v, unsigned n) {
    if (b.size() < off + n) b.resize(off + n);
    for (unsigned i = 0; i < n; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Buf Resident(std::uint32_t type, const Buf& value) {
    Buf a(24);
    Put(a, 0, type, 4);
    Put(a, 16, value.size(), 4);
    Put(a, 20, 24, 2);
    a.insert(a.end(), value.begin(), value.end());
    a.resize((a.size() + 7) / 8 * 8);
    Put(a, 4, a.size(), 4);
    return a;
}

Buf NonResident(std::uint32_t type, const Buf& pairs, long long lastVcn = 0) {
    Buf a(64);
    Put(a, 0, type, 4);
    a[8] = 1;
    Put(a, 24, static_cast<std::uint64_t>(lastVcn), 8);
    Put(a, 32, 64, 2);
    a.insert(a.end(), pairs.begin(), pairs.end());
    a.resize((a.size() + 7) / 8 * 8);
    Put(a, 4, a.size(), 4);
    return a;
}

Buf FileName(long long parent, const std::u16string& name, unsigned nameSpace = 1) {
    Buf v(66);
    Put(v, 0, static_cast<std::uint64_t>(parent), 8);
    v[64] = static_cast<std::uint8_t>(name.size());
    v[65] = static_cast<std::uint8_t>(nameSpace);
    for (char16_t c : name) Put(v, v.size(), c, 2);
    return Resident(ntfs::ATTR_FILE_NAME, v);
}

// A record in its on-disk form: attributes, the end marker, and every sector
// end carrying the sequence number 7 (the real words, 0xA0+k, in the array).
Buf Record(const std::vector<Buf>& attrs, unsigned size = 1024, std::uint32_t number = 40) {
    const unsigned count = size / 512 + 1, first = (48 + 2 * count + 7) / 8 * 8;
    Buf r(first);
    Put(r, 0, 0x454C4946, 4);
    Put(r, 4, 48, 2);
    Put(r, 6, count, 2);
    Put(r, 20, first, 2);
    Put(r, 22, 1, 2);
    Put(r, 28, size, 4);
    Put(r, 44, number, 4);
    for (const Buf& a : attrs) r.insert(r.end(), a.begin(), a.end());
    Put(r, r.size(), 0xFFFFFFFF, 8);
    Put(r, 24, r.size(), 4);
    r.resize(size);
    Put(r, 48, 7, 2);
    for (unsigned k = 0; k + 1 < count; ++k) {
        Put(r, 50 + 2 * k, r[512 * k + 510] | r[512 * k + 511] << 8, 2);
        Put(r, 512 * k + 510, 7, 2);
    }
    return r;
}

// One damage of a table: what it is, how it is done, whether the result is valid.
struct DamageCase {
    const char* what;
    std::function<void(Buf&)> damage;
    bool valid;
};

Buf Named() { return Record({FileName(5, u"name.txt"), NonResident(ntfs::ATTR_DATA, {0x21, 0x18, 0x34, 0x56, 0})}); }

TEST(NtfsDamage, FileRecords) {
    const DamageCase cases[] = {
        {"intact", [](Buf&) {}, true},
        {"attribute length 8", [](Buf& r) { Put(r, 56 + 4, 8, 4); }, false},
        {"attribute past the record", [](Buf& r) { Put(r, 56 + 4, 2000, 4); }, false},
        {"name length 255 in a 40-byte value",
         [](Buf& r) { r = Record({Resident(ntfs::ATTR_FILE_NAME, Buf(40, 0))}); r[56 + 24 + 64] = 255; }, false},
        {"name length 255 in a whole value", [](Buf& r) { r[56 + 24 + 64] = 255; }, false},
        {"name past its attribute", [](Buf& r) { r[56 + 9] = 200; Put(r, 56 + 10, 24, 2); }, false},
        {"colon in the name", [](Buf& r) { r[56 + 24 + 66 + 2] = ':'; }, false},
        {"update-sequence count 17", [](Buf& r) { Put(r, 6, 17, 2); }, false},
        {"update-sequence count 0", [](Buf& r) { Put(r, 6, 0, 2); }, false},
        {"update-sequence offset 41", [](Buf& r) { Put(r, 4, 41, 2); }, false},
        {"update-sequence offset 257", [](Buf& r) { Put(r, 4, 257, 2); }, false},
        {"allocated 1536", [](Buf& r) { Put(r, 28, 1536, 4); }, false},
        {"pairs header 0x91", [](Buf& r) { r = Record({NonResident(ntfs::ATTR_DATA, {0x91, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0})}); }, false},
        {"non-resident header cut", [](Buf& r) { r = Record({NonResident(ntfs::ATTR_DATA, {0})}); Put(r, 56 + 4, 48, 4); }, false},
        {"value past its attribute", [](Buf& r) { Put(r, 56 + 16, 500, 4); }, false},
        {"first attribute at 1016", [](Buf& r) { Put(r, 20, 1016, 2); }, true},
        {"mismatched sector end (held without fix-up)", [](Buf& r) { r[1022] ^= 1; }, true},
    };
    for (const DamageCase& c : cases) {
        Buf r = Named();
        c.damage(r);
        const Buf before = r;
        EXPECT_EQ(CNTFSFileRecord::IsValid(r), c.valid) << c.what;
        EXPECT_EQ(r, before) << c.what << ": the caller's bytes come back as they were";
        const CNTFSFileRecord held(r);
        EXPECT_EQ(held.IsValid(), c.valid) << c.what;
        for (std::uint32_t type : {0x30u, 0x80u}) CNTFSFileRecord::FindAttibute(r, type, 0);
    }
    const CNTFSFileRecord intact(Named());
    const ntfs::Bytes fn = intact.FindAttibute(ntfs::ATTR_FILE_NAME, 0);
    EXPECT_EQ(CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(fn), "name.txt");
    EXPECT_EQ(CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(fn), 1u);
}

// 4 KiB records: all 8 sector ends are restored and attributes past byte 1016 are found.
TEST(NtfsDamage, FourKilobyteRecords) {
    Buf pad(1000, 'p');
    const Buf r = Record({Resident(0x40, pad), FileName(5, u"far"), NonResident(ntfs::ATTR_DATA, {0x11, 4, 9, 0})}, 4096);
    ASSERT_TRUE(CNTFSFileRecord::IsValid(r));
    const CNTFSFileRecord held(r);
    ASSERT_TRUE(held.IsFixedUp());
    for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(bytes::Le16(held.Data(), 512 * k + 510), bytes::Le16(r, 50 + 2 * k)) << k;
    EXPECT_GT(CNTFSFileRecord::GetAttributeOffset(held.Data(), ntfs::ATTR_DATA, 0), 1016u);
    EXPECT_EQ(CNTFSFileRecord::GetAttibuteCountofSpecifiedType(held.Data(), ntfs::ATTR_DATA), 1);
    Buf round(held.Data().begin(), held.Data().end());
    CNTFSFileRecord::FixupFileRecord(round);
    EXPECT_EQ(round, r);
    // The same record read as 1024 bytes (record size unknown) keeps to them.
    EXPECT_TRUE(CNTFSFileRecord::FindAttibute(CNTFSFileRecord(ntfs::Bytes(r).first(1024)).Data(), ntfs::ATTR_DATA, 0).empty());
}

std::vector<ClusterRun> Decode(const Buf& pairs) {
    CNTFSDataRunList list;
    CNTFSDataRunList::FormDataRunList(pairs, list);
    std::vector<ClusterRun> out;
    for (const CDataRun& r : list.Runs()) out.push_back({r.lcn, r.length});
    return out;
}

TEST(NtfsDamage, MappingPairs) {
    struct Case {
        Buf pairs;
        bool valid;
        std::vector<ClusterRun> runs;
    } cases[] = {
        {{0x21, 0x18, 0x34, 0x56, 0}, true, {{22068, 24}}},
        {{0x11, 0x10, 0x20, 0x11, 0x10, 0xF0, 0}, true, {{32, 16}, {16, 16}}},
        {{0x41, 1, 0, 0, 0x90, 0, 0x31, 1, 0, 0, 0x80, 0}, true, {{0x900000, 1}, {0x900000 - 8388608, 1}}},
        {{0x31, 1, 0xFF, 0xFF, 0x7F, 0}, true, {{8388607, 1}}},
        {{0x11, 8, 100, 0x01, 8, 0x11, 4, 0xF6, 0}, true, {{100, 8}, {-1, 8}, {90, 4}}},
        // A run 2^31 clusters away (volumes over 8 TiB) and an 8-byte offset.
        {{0x51, 8, 0, 0, 0, 0x80, 0, 0}, true, {{0x80000000LL, 8}}},
        {{0x81, 1, 0, 0, 0, 0, 0, 0, 0, 0x40, 0}, true, {{1LL << 62, 1}}},
        {{0x91, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, {}},
        {{0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false, {}},
        {{0x21, 0x18, 0x34, 0x56}, false, {{22068, 24}}},
        {{0x11, 0, 5, 0}, false, {{5, 0}}},
        {{0x11, 1, 0xFF, 0}, false, {{-1, 1}}},
        {{0x81, 1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0}, false, {{-1, 1}}},
        {{0}, true, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CNTFSDataRunList::IsValid(c.pairs), c.valid) << testing::PrintToString(c.pairs);
        const auto runs = Decode(c.pairs);
        if (c.valid) {
            EXPECT_EQ(runs, c.runs) << testing::PrintToString(c.pairs);
        }
        const long long total = CNTFSDataRunList::GetTotalClusters(c.pairs);
        EXPECT_EQ(total >= 0, c.valid);
    }
    CNTFSDataRunList list;
    ASSERT_TRUE(list.InitFromBuffer(Buf{0x11, 8, 100, 0x01, 8, 0x11, 4, 0xF6, 0}));
    EXPECT_EQ(list.GetLCN(3), 103);
    EXPECT_EQ(list.GetLCN(9), -1);
    EXPECT_EQ(list.GetLCN(17), 91);
    EXPECT_EQ(list.GetVCN(92), 18);
    EXPECT_EQ(list.GetTotalClusters(), 20);
}

TEST(NtfsDamage, CompactRunLists) {
    CNoneResidentNTFSDataRunList runs;
    for (DataRun r : {DataRun{100, 8}, DataRun{-1, 8}, DataRun{90, 4}, DataRun{1LL << 40, 5}}) runs.AddDataRun(&r);
    auto compact = CCompressedDataRunList::Compress(&runs);
    ASSERT_TRUE(compact);
    const Buf want = {0x11, 8, 100, 0x01, 8, 0x11, 4, 0xF6, 0x61, 5, 0xA6, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(compact->GetBytes(), want);
    EXPECT_EQ(compact->GetCompressedDataRunSize(), want.size());
    std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> back(compact->Decompress(), [](IDataRunList* l) { l->Release(); });
    ASSERT_EQ(back->GetDataRunListType(), 2);
    EXPECT_EQ(static_cast<CDataRunList*>(back.get())->Runs().size(), 4u);
    EXPECT_EQ(static_cast<CDataRunList*>(back.get())->Runs()[3].start, 1LL << 40);

    CResidentNTFSDataRunList resident(12345, 0x1A8);
    auto r = CCompressedDataRunList::Compress(&resident);
    ASSERT_TRUE(r);
    std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> res(r->Decompress(), [](IDataRunList* l) { l->Release(); });
    EXPECT_TRUE(res->IsResident());
    EXPECT_EQ(res->GetOffset(), 0x1A8);
    EXPECT_EQ(res->GetFirst()->start, 12345);
    CNoneResidentNTFSDataRunList empty;
    EXPECT_FALSE(CCompressedDataRunList::Compress(&empty));
    EXPECT_FALSE(CCompressedDataRunList::Compress(nullptr));
}

// No clusters, no cluster size; the $MFT of a fixture gives its own.
TEST(NtfsDamage, ClusterSizeNeedsClusters) {
    unsigned spc = 99;
    EXPECT_FALSE(CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(
        CNTFSFileRecord(Record({FileName(5, u"$MFT"), NonResident(ntfs::ATTR_DATA, {0}, -1)})), spc));
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    ASSERT_TRUE(CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(CNTFSFileRecord(v.ReadRecord(0)), spc));
    EXPECT_EQ(spc, v.spc);
}

// An INDX record of 4096 bytes: entries offset 40, 4072 allocated, count 9.
Buf Index(const std::vector<std::pair<long long, unsigned>>& entries) {
    Buf b(4096);
    Put(b, 0, 0x58444E49, 4);
    Put(b, 4, 40, 2);
    Put(b, 6, 9, 2);
    Put(b, 24, 40, 4);
    Put(b, 32, 4072, 4);
    std::size_t off = 64;
    for (auto [parent, flags] : entries) {
        const std::size_t length = flags & 2 ? 16 : 16 + 66 + 8;
        Put(b, off + 8, length, 2);
        Put(b, off + 12, flags, 2);
        if (!(flags & 2)) {
            Put(b, off + 16, static_cast<std::uint64_t>(parent), 8);
            Put(b, off + 16 + 40, 4096, 8);
            Put(b, off + 16 + 48, flags == 1 ? 9999 : 100, 8);
            b[off + 80] = 4;
        }
        off += length;
    }
    Put(b, 28, off - 24, 4);
    Put(b, 40, 3, 2);
    for (unsigned k = 0; k < 8; ++k) {
        Put(b, 42 + 2 * k, b[512 * k + 510] | b[512 * k + 511] << 8, 2);
        Put(b, 512 * k + 510, 3, 2);
    }
    return b;
}

TEST(NtfsDamage, IndexRecords) {
    const long long p = 1234 | 2LL << 48;
    struct Case {
        const char* what;
        Buf record;
        long long parent; // -1: invalid
    } cases[] = {
        {"two entries of one folder", Index({{p, 0}, {p, 0}, {0, 2}}), 1234},
        {"sub-node entry with real size above allocated", Index({{p, 1}, {p, 0}, {0, 2}}), 1234},
        {"two folders", Index({{p, 0}, {p + 1, 0}, {0, 2}}), -1},
        {"only the last entry", Index({{0, 2}}), -1},
        {"seventh sector end", [&] { Buf b = Index({{p, 0}, {0, 2}}); b[6 * 512 + 510] ^= 1; return b; }(), -1},
        {"allocated past the buffer", [&] { Buf b = Index({{p, 0}, {0, 2}}); Put(b, 32, 4096, 4); return b; }(), -1},
        {"in use past allocated", [&] { Buf b = Index({{p, 0}, {0, 2}}); Put(b, 28, 4073, 4); return b; }(), -1},
        {"count 8", [&] { Buf b = Index({{p, 0}, {0, 2}}); Put(b, 6, 8, 2); return b; }(), -1},
        {"entry past the bytes in use", [&] { Buf b = Index({{p, 0}, {0, 2}}); Put(b, 64 + 8, 4000, 2); return b; }(), -1},
        {"key past its entry", [&] { Buf b = Index({{p, 0}, {0, 2}}); b[64 + 80] = 200; return b; }(), -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CIndexRecord::IsValid(c.record), c.parent >= 0 || std::string(c.what) == "only the last entry") << c.what;
        EXPECT_EQ(CIndexRecord::GetParentFileReference(c.record), c.parent) << c.what;
    }
    // Index roots: the entries' folder, or -1; the walk stays in the value.
    auto root = [](const Buf& entries, std::uint32_t inUse) {
        Buf v(32);
        Put(v, 16, 16, 4);
        Put(v, 20, inUse, 4);
        v.insert(v.end(), entries.begin(), entries.end());
        return Resident(ntfs::ATTR_INDEX_ROOT, v);
    };
    const Buf idx = Index({{p, 0}, {p, 0}, {0, 2}});
    const Buf entries(idx.begin() + 64, idx.begin() + 64 + 90 * 2 + 16);
    EXPECT_EQ(CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root(entries, 16 + 196)), 1234);
    EXPECT_EQ(CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root(Buf(entries.end() - 16, entries.end()), 32)), -1);
    EXPECT_EQ(CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root(entries, 4000)), -1);
}

TEST(NtfsDamage, LogPages) {
    Buf page(4096, 0x11);
    Put(page, 0, 0x44524352, 4);
    Put(page, 4, 40, 2);
    Put(page, 6, 9, 2);
    Put(page, 40, 5, 2);
    for (unsigned k = 0; k < 8; ++k) Put(page, 512 * k + 510, 5, 2);
    const DamageCase cases[] = {
        {"intact", [](Buf&) {}, true},
        {"count 8", [](Buf& b) { Put(b, 6, 8, 2); }, false},
        {"offset 48", [](Buf& b) { Put(b, 4, 48, 2); Put(b, 48, 5, 2); }, false},
        {"fifth sector end", [](Buf& b) { b[4 * 512 + 510] = 9; }, false},
        {"short", [](Buf& b) { b.resize(4095); }, false},
    };
    for (const DamageCase& c : cases) {
        Buf b = page;
        c.damage(b);
        EXPECT_EQ(CRCRDRecord::IsValid(b), c.valid) << c.what;
        EXPECT_EQ(CRCRDRecord::Unfixup(b), c.valid) << c.what;
        EXPECT_TRUE(CRCRDRecord::IsValidRCRDRecordFirstSector(b)) << c.what;
    }
    Buf fixed = page;
    ASSERT_TRUE(CRCRDRecord::Unfixup(fixed));
    EXPECT_EQ(bytes::Le16(fixed, 3582), 0x1111);
    CLogRecordHeader h;
    EXPECT_FALSE(CRCRDRecord::GetOperationRecordHeader(ntfs::Bytes(page).first(47), h));
    EXPECT_TRUE(CRCRDRecord::GetOperationRecordHeader(ntfs::Bytes(page).first(48), h));
}

// Attribute lists: each extension once, not the base itself; an entry under
// 26 bytes, a "negative" length or one past the list ends the walk.
TEST(NtfsDamage, AttributeLists) {
    auto entry = [](std::uint32_t type, std::uint16_t length, long long record) {
        Buf e(32);
        Put(e, 0, type, 4);
        Put(e, 4, length, 2);
        Put(e, 16, static_cast<std::uint64_t>(record), 8);
        return e;
    };
    auto list = [&](std::initializer_list<Buf> entries) {
        Buf v;
        for (const Buf& e : entries) v.insert(v.end(), e.begin(), e.end());
        return Record({Resident(ntfs::ATTR_ATTRIBUTE_LIST, v), FileName(5, u"x")}, 1024, 40);
    };
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    struct Case {
        Buf record;
        std::vector<long long> numbers;
    } cases[] = {
        {list({entry(0x10, 32, 40), entry(0x30, 32, 100), entry(0x80, 32, 100), entry(0x80, 32, 101)}), {40, 100, 101}},
        {list({entry(0x10, 32, 40), entry(0x30, 0xFFE0, 100), entry(0x80, 32, 101)}), {40}},
        {list({entry(0x10, 20, 40), entry(0x80, 32, 101)}), {}},
        {list({entry(0x10, 32, 40), entry(0x80, 40, 101)}), {40}},
    };
    for (const Case& c : cases) {
        const auto got = CNTFSMultiFileRecord::GetExtendFileRecordInfoList(c.record, 0, v.spc, *v.device);
        std::vector<long long> numbers;
        for (const auto& e : got.value_or(CExtendFileRecordInfoList{})) numbers.push_back(e.recordNumber);
        EXPECT_EQ(numbers, c.numbers);
    }
    // Located through the fixture's $MFT: the base itself is dropped.
    const auto located = v.Extensions(cases[0].record, 999);
    ASSERT_EQ(located.size(), 2u);
    EXPECT_EQ(located[0].recordNumber, 100);
}

// 1 KiB records on 4096-byte sectors: located in bytes, four to a sector, and
// the 41-name file is joined across its records.
TEST(NtfsDamage, SmallRecordsOnLargeSectors) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    salvor::test::ImageDevice big(v.Prefix() + ".img", 4096);
    const unsigned spc = v.clusterBytes / 4096;
    for (long long n : {0, 1, 2, 3, 4, 69}) {
        unsigned offset = 99;
        const long long s = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(n, spc, 0, v.mft, 1024, 4096, &offset);
        long long small = -1;
        v.ReadRecord(n, &small);
        EXPECT_EQ(s * 4096 + offset, small * 512) << n;
    }
    unsigned offset = 0;
    const long long s = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(69, spc, 0, v.mft, 1024, 4096, &offset);
    Buf sector(8192);
    ASSERT_TRUE(big.ReadSector(sector.data(), s, 2));
    const Buf raw(sector.begin() + offset, sector.begin() + offset + 1024);
    const auto ext = CNTFSMultiFileRecord::InitExtendFileRecord(raw, s, spc, 0, big, v.mft, 1024);
    ASSERT_TRUE(ext && !ext->empty());
    CNTFSMultiFileRecord file(raw, s, &big, &*ext, 1024);
    int names = 0;
    while (!file.FindAttibute(ntfs::ATTR_FILE_NAME, names).empty()) ++names;
    EXPECT_EQ(names, 41);
    EXPECT_FALSE(file.FindAttibute(ntfs::ATTR_DATA, 0).empty());
    EXPECT_TRUE(NTFSPublicFunction::IsClusterNOMatch(80, 10, 0, 8));
    EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(81, 10, 0, 8));
    EXPECT_FALSE(NTFSPublicFunction::IsClusterNOMatch(81, 10, 0, 3));
}

TEST(NtfsDamage, BootSectors) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    Buf good(512);
    ASSERT_TRUE(v.device->ReadSector(good.data(), 0, 1));
    struct Case {
        std::size_t off;
        unsigned width;
        std::uint64_t value;
        bool valid;
        std::uint32_t recordSize; // 0: not checked
    } cases[] = {
        {11, 2, 4096, true, 0},  {11, 2, 768, false, 0}, {11, 2, 0, false, 0},   {13, 1, 128, true, 0},
        {13, 1, 3, false, 0},    {13, 1, 96, false, 0},  {13, 1, 0, false, 0},   {21, 1, 0x12, true, 0},
        {18, 1, 1, false, 0},    {7, 1, 'X', false, 0},  {510, 1, 0, false, 0},  {64, 1, 0xF6, true, 1024},
        {64, 1, 0xF4, true, 4096}, {64, 1, 0, true, 1024}, {64, 1, 0x02, true, 2 * 512 * 8}, {64, 1, 0x80, true, 1024},
    };
    for (const Case& c : cases) {
        Buf b = good;
        Put(b, c.off, c.value, c.width);
        CNTFSDBR dbr;
        EXPECT_EQ(dbr.InitFromBuffer(b), c.valid) << c.off << "=" << c.value;
        if (c.recordSize) {
            EXPECT_EQ(dbr.GetFileRecordSizeByByte(), c.recordSize) << c.value;
        }
    }
    EXPECT_FALSE(CNTFSDBR::IsFullValidDBR(ntfs::Bytes(good).first(511)));
}

} // namespace
