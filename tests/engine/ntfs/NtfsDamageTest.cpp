// Damaged structures: each is refused (or read) within its own bytes; the
// sanitizers check that nothing outside them is touched.
#include "engine/include/Owned.h"
#include "engine/include/ReadAround.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsIndexRecord.h"
#include "engine/ntfs/NtfsLogRecord.h"
#include "engine/ntfs/NtfsMultiRecord.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using Buf = std::vector<std::uint8_t>;

namespace {

Buf& Put(Buf& b, std::size_t off, std::uint64_t v, unsigned n) {
    if (b.size() < off + n) b.resize(off + n);
    salvor::test::PutLe(b, off, v, n);
    return b;
}

// A copy of b with n bytes at off set to v.
Buf With(Buf b, std::size_t off, std::uint64_t v, unsigned n) { return Put(b, off, v, n); }

// Writes the sequence number 7 into the last word of `sectors` sectors, their
// real words into the array after it (the on-disk form).
Buf& Seal(Buf& b, unsigned usa, unsigned sectors) {
    Put(b, usa, 7, 2);
    for (unsigned k = 0; k < sectors; ++k)
        Put(Put(b, usa + 2 + 2 * k, bytes::Le16(b, 512 * k + 510), 2), 512 * k + 510, 7, 2);
    return b;
}

// An attribute: resident (value) or non-resident (mapping pairs), 8-aligned.
Buf Attr(std::uint32_t type, const Buf& body, bool resident = true) {
    Buf a(resident ? 24 : 64);
    Put(Put(a, 0, type, 4), resident ? 16 : 32, resident ? body.size() : 64, resident ? 4 : 2);
    if (resident)
        Put(a, 20, 24, 2);
    else
        a[8] = 1;
    a.insert(a.end(), body.begin(), body.end());
    a.resize((a.size() + 7) / 8 * 8);
    return Put(a, 4, a.size(), 4);
}

Buf FileName(const std::u16string& name, long long parent = 5) {
    Buf v(66);
    Put(Put(v, 0, static_cast<std::uint64_t>(parent), 8), 64, name.size() | 1 << 8, 2);
    for (char16_t c : name)
        Put(v, v.size(), c, 2);
    return Attr(ntfs::ATTR_FILE_NAME, v);
}

// A FILE record (number 40) of `size` bytes holding `attrs`, in on-disk form.
Buf Record(const std::vector<Buf>& attrs, unsigned size = 1024) {
    const unsigned count = size / 512 + 1, first = (48 + 2 * count + 7) / 8 * 8;
    Buf r(first);
    Put(Put(Put(Put(Put(r, 0, 0x454C4946, 4), 4, 48 | count << 16, 4), 20, first | 1 << 16, 4), 28, size, 4),
        44, 40, 4);
    for (const Buf& a : attrs)
        r.insert(r.end(), a.begin(), a.end());
    Put(Put(r, r.size(), 0xFFFFFFFF, 8), 24, r.size(), 4).resize(size);
    return Seal(r, 48, count - 1);
}

TEST(NtfsDamage, FileRecords) {
    const Buf good = Record({FileName(u"name.txt"), Attr(0x80, {0x21, 0x18, 0x34, 0x56, 0}, false)});
    const Buf cutHeader = Record({Attr(0x80, {0}, false)});
    const struct {
        const char* what;
        Buf record;
        bool valid;
    } cases[] = {
        {"intact", good, true},
        {"attribute length 8", With(good, 60, 8, 4), false},
        {"attribute past the record", With(good, 60, 2000, 4), false},
        {"name length 255 in a 40-byte value", With(Record({Attr(0x30, Buf(40))}), 56 + 24 + 64, 255, 1),
         false},
        {"name length 255", With(good, 56 + 24 + 64, 255, 1), false},
        {"attribute name past the attribute", With(good, 56 + 9, 200, 1), false},
        {"update-sequence count 17", With(good, 6, 17, 2), false},
        {"update-sequence count 4 for 2 sectors", With(good, 6, 4, 2), false},
        {"pairs header 0x91", Record({Attr(0x80, {0x91, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false)}), false},
        {"non-resident header cut", With(cutHeader, 60, 48, 4), false},
        {"mismatched sector end (held without fix-up)", With(good, 1022, good[1022] ^ 1, 1), true},
        {"POSIX name with characters Windows refuses", Record({FileName(u"a\"*/:<>?\\|.txt")}), true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CNTFSFileRecord::IsValid(c.record), c.valid) << c.what;
        EXPECT_EQ(CNTFSFileRecord(c.record).IsValid(), c.valid) << c.what;
        CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(CNTFSFileRecord::FindAttibute(c.record, 0x30, 0));
        // No attribute handed out reaches past its record.
        for (std::uint32_t type : {0x30u, 0x80u}) {
            const auto found = CNTFSFileRecord::FindAttibute(c.record, type, 0);
            EXPECT_TRUE(found.empty() || (found.data() >= c.record.data() &&
                                          found.data() + found.size() <= c.record.data() + c.record.size()))
                << c.what;
        }
    }
    // The $MFT's own extension records name record 0 as their base.
    Buf ext = Record({});
    EXPECT_TRUE(CNTFSFileRecord::IsExtendFileRecord(Put(ext, 32, 1ULL << 48, 8)));
}

// A record-size byte of -128 does not shift past 31 bits: 1024 (unknown) instead.
TEST(NtfsDamage, BootSectorRecordSize) {
    Buf b(512);
    std::copy_n("NTFS    ", 8, b.begin() + 3);
    Put(Put(Put(b, 11, 512 | 8 << 16, 3), 510, 0xAA55, 2), 64, 0x80, 1);
    CNTFSDBR dbr;
    ASSERT_TRUE(dbr.InitFromBuffer(b));
    EXPECT_EQ(dbr.GetFileRecordSizeByByte(), 1024u);
    b[64] = 0xF4;
    ASSERT_TRUE(dbr.InitFromBuffer(b));
    EXPECT_EQ(dbr.GetFileRecordSizeByByte(), 4096u);
}

// 4 KiB records: all 8 sector ends are restored and attributes past byte 1016 are found.
TEST(NtfsDamage, FourKilobyteRecords) {
    const Buf r =
        Record({Attr(0x40, Buf(1000, 'p')), FileName(u"far"), Attr(0x80, {0x11, 4, 9, 0}, false)}, 4096);
    const CNTFSFileRecord held(r);
    ASSERT_TRUE(held.IsValid() && held.IsFixedUp());
    for (unsigned k = 0; k < 8; ++k)
        EXPECT_EQ(bytes::Le16(held.Data(), 512 * k + 510), bytes::Le16(r, 50 + 2 * k)) << k;
    EXPECT_GT(CNTFSFileRecord::GetAttributeOffset(held.Data(), ntfs::ATTR_DATA, 0), 1016u);
    Buf round(held.Data().begin(), held.Data().end());
    CNTFSFileRecord::FixupFileRecord(round);
    EXPECT_EQ(round, r);
}

TEST(NtfsDamage, MappingPairs) {
    const struct {
        Buf pairs;
        std::vector<std::pair<long long, long long>> runs; // empty: invalid
    } cases[] = {
        {{0x21, 0x18, 0x34, 0x56, 0}, {{22068, 24}}},
        {{0x11, 8, 100, 0x01, 8, 0x11, 4, 0xF6, 0}, {{100, 8}, {-1, 8}, {90, 4}}},
        // Runs 2^31 and 2^62 clusters away (volumes over 8 TiB).
        {{0x51, 8, 0, 0, 0, 0x80, 0, 0}, {{1LL << 31, 8}}},
        {{0x81, 1, 0, 0, 0, 0, 0, 0, 0, 0x40, 0}, {{1LL << 62, 1}}},
        {{0x91, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
        {{0x19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0}, {}}, // a length of 9 bytes
        {{0x21, 0x18, 0x34, 0x56}, {}},
        {{0x11, 0, 5, 0}, {}},
        {{0x11, 1, 0xFF, 0}, {}},
    };
    for (const auto& c : cases) {
        CNTFSDataRunList list;
        CNTFSDataRunList::FormDataRunList(c.pairs, list);
        EXPECT_EQ(CNTFSDataRunList::IsValid(c.pairs), !c.runs.empty()) << testing::PrintToString(c.pairs);
        std::vector<std::pair<long long, long long>> runs;
        for (const CDataRun& r : list.Runs())
            runs.emplace_back(r.lcn, r.length);
        if (!c.runs.empty()) {
            EXPECT_EQ(runs, c.runs);
        }
    }
    CNoneResidentNTFSDataRunList runs;
    for (DataRun r : {DataRun{100, 8}, DataRun{-1, 8}, DataRun{90, 4}})
        runs.AddDataRun(&r);
    EXPECT_EQ(CCompressedDataRunList::Compress(&runs)->GetBytes(),
              (Buf{0x11, 8, 100, 0x01, 8, 0x11, 4, 0xF6, 0}));
    // Lists for file nodes: a resident value, decoded runs.
    long long size = 0, clusters = 0;
    Owned<IDataRunList> resident(GetDataRunListfromResidentAttributeBuffer(Attr(0x80, Buf(700)), 4000, 56, &size));
    ASSERT_TRUE(resident);
    EXPECT_TRUE(size == 700 && resident->GetOffset() == 56 + 24 && resident->GetFirst()->start == 4000);
    CNTFSDataRunList decoded;
    ASSERT_TRUE(decoded.InitFromBuffer(Buf{0x11, 8, 100, 0x01, 8, 0x11, 4, 0xF6, 0}));
    std::unique_ptr<CNoneResidentNTFSDataRunList> plain(
        BuildNonResidentDataRunListfromNTFSDataRunList(decoded, &clusters));
    EXPECT_TRUE(clusters == 20 && plain->Runs().size() == 3 && plain->Runs()[1].start == -1);
    // No clusters, no cluster size.
    unsigned spc = 9;
    EXPECT_FALSE(CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(
        CNTFSFileRecord(Record({Attr(0x80, {0}, false)})), spc));
}

// An INDX record of 4096 bytes (entries at 64, 4072 allocated, count 9):
// entries of the given parents (0: the last entry) with real size `real`.
Buf Index(std::initializer_list<long long> parents, std::uint64_t real = 100, std::uint32_t fileFlags = 0) {
    Buf b(4096);
    Put(Put(Put(Put(b, 0, 0x58444E49, 4), 4, 40 | 9 << 16, 4), 24, 40, 4), 32, 4072, 4);
    std::size_t off = 64;
    for (long long parent : parents) {
        const std::size_t length = parent ? 16 + 66 + 8 : 16;
        Put(Put(b, off + 8, length, 2), off + 12, parent ? 0 : 2, 2);
        if (parent) {
            Put(Put(b, off + 16, static_cast<std::uint64_t>(parent), 8), off + 56, 4096, 8);
            Put(Put(Put(b, off + 64, real, 8), off + 72, fileFlags, 4), off + 80, 4, 1);
        }
        off += length;
    }
    return Seal(Put(b, 28, off - 24, 4), 40, 8);
}

TEST(NtfsDamage, IndexRecords) {
    const long long p = 1234 | 2LL << 48;
    const struct {
        const char* what;
        Buf record;
        long long parent; // -2: invalid
    } cases[] = {
        {"one folder", Index({p, p, 0}), 1234},
        {"only the last entry", Index({0}), -1},
        {"real size above allocated", Index({p, 0}, 9999), -2},
        {"a sparse file's real size above allocated", Index({p, 0}, 9999, 0x200), 1234},
        {"two folders", Index({p, p + 1, 0}), -2},
        {"seventh sector end", With(Index({p, 0}), 6 * 512 + 510, 7 ^ 1, 1), -2},
        {"allocated past the buffer", With(Index({p, 0}), 32, 4096, 4), -2},
        {"entry past the bytes in use", With(Index({p, 0}), 64 + 8, 4000, 2), -2},
        {"key past its entry", With(Index({p, 0}), 64 + 80, 200, 1), -2},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CIndexRecord::IsValid(c.record), c.parent != -2) << c.what;
        EXPECT_EQ(CIndexRecord::GetParentFileReference(c.record), std::max(c.parent, -1LL)) << c.what;
    }
    // Index roots: the entries' folder; the walk stays in the value.
    const Buf idx = Index({p, p, 0});
    auto root = [&](std::uint32_t inUse) {
        Buf v(32);
        Put(Put(v, 16, 16, 4), 20, inUse, 4);
        v.insert(v.end(), idx.begin() + 64, idx.begin() + 64 + 196);
        return Attr(ntfs::ATTR_INDEX_ROOT, v);
    };
    EXPECT_EQ(CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root(16 + 196)), 1234);
    EXPECT_EQ(CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root(4000)), -1);
}

// Log pages: the page test over all 8 sectors, within the bytes given.
TEST(NtfsDamage, LogPages) {
    Buf page(4096, 0x11);
    Seal(Put(Put(page, 0, 0x44524352, 4), 4, 40 | 9 << 16, 4), 40, 8);
    Buf fifth = page, count8 = page, shorter(page.begin(), page.end() - 1);
    fifth[4 * 512 + 510] = 9;
    EXPECT_FALSE(CRCRDRecord::Unfixup(Put(count8, 6, 8, 2)) || CRCRDRecord::Unfixup(fifth) ||
                 CRCRDRecord::Unfixup(shorter));
    EXPECT_TRUE(CRCRDRecord::IsValidRCRDRecordFirstSector(fifth) && CRCRDRecord::Unfixup(page));
    CLogRecordHeader h;
    EXPECT_FALSE(CRCRDRecord::GetOperationRecordHeader(bytes::Bytes(page).first(47), h));
}

// Log records going on in later pages: joined up to a page; one longer than
// a page's data only shortens what is missing there; a page that is not a
// record page drops what was carried; the last page carries into the first.
TEST(NtfsDamage, LogRecordsAcrossPages) {
    // Records {offset, client length}, each with its offset as its number;
    // the page's last number is the last record's.
    auto page = [](std::initializer_list<std::pair<unsigned, std::uint32_t>> records) {
        Buf p(4096, 0);
        Put(Put(p, 0, 0x44524352, 4), 4, 40 | 9 << 16, 4);
        for (auto [off, client] : records)
            Put(Put(Put(p, off, off, 8), off + 24, client, 4), 8, off, 8);
        return Seal(p, 40, 8);
    };
    using Seen = std::vector<std::pair<std::size_t, std::uint64_t>>;
    const Buf start = page({{64, 100}, {216, 10000}}), shorter = page({{64, 100}, {216, 4000}});
    const struct {
        std::vector<Buf> pages;
        Seen seen;
    } cases[] = {
        {{start, page({}), page({{2200, 0}})}, {{148, 148}, {4096, 10048}, {48, 48}}},
        {{start, Buf(4096, 0x55), page({{2200, 0}})}, {{148, 148}}},
        {{shorter, page({{232, 0}})}, {{148, 148}, {4048, 4048}, {48, 48}}},
    };
    for (const auto& c : cases) {
        Seen seen;
        CLogRecordWalker walker([&](bytes::Bytes r, std::uint64_t length) {
            // Zeros read as records where nothing was carried are left out.
            if (bytes::Le64(r, 0) != 0) seen.emplace_back(r.size(), length);
        });
        for (Buf p : c.pages)
            walker.TakePage(p);
        EXPECT_EQ(seen, c.seen);
    }
    // The wrap: the last page only sets up what goes on in the first.
    Seen seen;
    CLogRecordWalker walker(
        [&](bytes::Bytes r, std::uint64_t length) { seen.emplace_back(r.size(), length); });
    Buf last = shorter, first = page({{232, 0}});
    walker.TakePage(last, false);
    walker.TakePage(first);
    EXPECT_EQ(seen, (Seen{{4048, 4048}, {48, 48}}));
}

// Attribute lists: each extension once, not the base itself; an entry under
// 26 bytes, a "negative" length or one past the list ends the walk.
TEST(NtfsDamage, AttributeLists) {
    auto list = [](std::initializer_list<std::pair<unsigned, long long>> entries) {
        Buf v;
        for (auto [length, record] : entries) {
            const std::size_t at = v.size();
            Put(Put(Put(v, at, 0x80, 4), at + 4, length, 2), at + 16, static_cast<std::uint64_t>(record), 8)
                .resize(at + 32);
        }
        return Record({Attr(ntfs::ATTR_ATTRIBUTE_LIST, v), FileName(u"x")});
    };
    salvor::test::ImageDevice device("/dev/null");
    CNTFSDataRunList mft;
    mft.AddRun({500, 0, 1000});
    const struct {
        Buf record;
        std::vector<long long> numbers;
    } cases[] = {
        {list({{32, 40}, {32, 100}, {32, 100}, {32, 101}}), {40, 100, 101}},
        {list({{32, 40}, {0xFFE0, 100}, {32, 101}}), {40}},
        {list({{20, 40}, {32, 101}}), {}},
        {list({{32, 40}, {40, 101}}), {40}},
    };
    for (const auto& c : cases) {
        std::vector<long long> numbers;
        for (const auto& e : CNTFSMultiFileRecord::GetExtendFileRecordInfoList(c.record, 0, 1, device)
                                 .value_or(CExtendFileRecordInfoList{}))
            numbers.push_back(e.recordNumber);
        EXPECT_EQ(numbers, c.numbers);
    }
    const auto located =
        CNTFSMultiFileRecord::InitExtendFileRecord(cases[0].record, 999, 1, 0, device, mft, 1024).value();
    ASSERT_EQ(located.size(), 2u);
    EXPECT_EQ(located[0].recordNumber, 100);
}

// A disk that fails in places, read around its bad sectors: every sector
// that reads is its own, each bad one is zeros (whatever the buffer held,
// as a failed read leaves it untouched here) and counted; a device gone is
// not asked again, the rest zeros and counted. Each read of a bad sector
// may last seconds on a failing disk: the range is read again in 4 KiB
// pieces and only a piece that failed sector by sector, and no read that
// just failed is made again.
class PatchyDevice : public salvor::test::ImageDevice, public IDeviceGone {
public:
    using ImageDevice::ImageDevice;
    int ReadSector(void* buffer, long long first, long long count) override {
        ++reads;
        if (gone) return ++askedGone, 0;
        for (long long s = first; s < first + count; ++s)
            if (bad.count(s)) return goneAt == s ? (gone = true, 0) : 0;
        return ImageDevice::ReadSector(buffer, first, count);
    }
    bool IsGone() override { return gone; }
    std::set<long long> bad;
    long long goneAt = -1; // a read meeting it finds the device gone
    bool gone = false;
    int askedGone = 0;
    int reads = 0;
};

TEST(NtfsDamage, ReadsAroundBadSectors) {
    const salvor::test::TempDir tmp;
    const struct {
        unsigned sectorSize;
        long long first, count;
        std::set<long long> bad;
        long long goneAt;
        std::vector<long long> failed; // indexes of the sectors read as zeros
        int reads;
    } cases[] = {
        {512, 3, 20, {5, 12, 13, 22}, -1, {2, 9, 10, 19}, 1 + (1 + 8) + (1 + 8) + (1 + 4)},
        {512, 3, 20, {}, -1, {}, 1},
        {512, 3, 9, {4}, -1, {1}, 1 + (1 + 8) + 1},
        {512, 8, 2, {9}, -1, {1}, 1 + 2},
        {512, 8, 1, {8}, -1, {0}, 1},
        {4096, 1, 3, {2}, -1, {1}, 1 + 3},
        {512, 3, 20, {12}, 12, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        const std::string image = tmp.file("stamped" + std::to_string(c.sectorSize));
        ASSERT_TRUE(salvor::test::WriteStampedImage(image, 64, c.sectorSize));
        PatchyDevice device(image, c.sectorSize);
        device.bad = c.bad;
        device.goneAt = c.goneAt;
        Buf out(static_cast<std::size_t>(c.count) * c.sectorSize, 0xEE);
        std::vector<long long> failed;
        EXPECT_EQ(ReadSectorsAround(&device, out.data(), c.first, c.count, &failed),
                  static_cast<long long>(c.failed.size()));
        EXPECT_EQ(failed, c.failed);
        for (long long i = 0; i < c.count; ++i) {
            const std::uint8_t* sector = out.data() + i * c.sectorSize;
            if (std::count(c.failed.begin(), c.failed.end(), i))
                EXPECT_TRUE(salvor::test::IsZero(sector, c.sectorSize)) << i;
            else
                EXPECT_TRUE(salvor::test::HasStamp(sector, c.sectorSize, static_cast<unsigned long long>(c.first + i))) << i;
        }
        EXPECT_EQ(device.askedGone, 0);
        EXPECT_EQ(device.reads, c.reads);
    }
}

} // namespace
