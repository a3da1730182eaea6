// The partition-table reader against images made by sfdisk, sgdisk, fdisk and
// xorriso and public samples, with sfdisk, fdisk and mmls as oracles.
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/partition/PartitionTable.h"
#include "tests/support/Fixture.h"
#include "engine/all/AllLibraries.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ByteWriter.h"
#include "engine/include/FactoryRegistry.h"

#include <gtest/gtest.h>

#include <tuple>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <vector>

using namespace salvor::test;
using namespace partition_codes;

namespace {

constexpr const char* kEsp = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
// The HFS+ volume xorriso makes of part_damage's 4 files: 25 blocks of 2 KiB.
constexpr std::uint64_t kHfsSectors = 100;

struct Part {
    int number;
    unsigned long long start, count;
    std::string type = "", uuid = ""; // MBR type, GPT type GUID or APM type name; GPT partition GUID
    bool operator==(const Part& o) const { return number == o.number && start == o.start && count == o.count; }
};
std::ostream& operator<<(std::ostream& os, const Part& p) {
    return os << "#" << p.number << " " << p.start << "+" << p.count << " " << p.type;
}
using Parts = std::vector<Part>;

// A whole-disk image with the disk record the enumeration would attach.
struct Disk {
    explicit Disk(const std::string& path, unsigned sectorSize = 512, std::uint32_t scheme = PARTITION_SCHEME_MBR)
        : device(path, sectorSize) {
        auto* rec = new CCollectDiskDeviceInfoStruct;
        rec->partitionScheme = scheme;
        rec->sectorSize = sectorSize;
        device.SetPrivateData(CreateDiskDeviceData(rec)); // the device owns it
        EXPECT_TRUE(device.Open(nullptr)) << path;
    }
    // The walk lists logical partitions where the extended entry stands;
    // sorted, they compare in number order as the tools print them.
    ResultCode Analyze(Parts& out, bool sorted = true) {
        std::unique_ptr<IPartitionTableAnalyze> a(CreatePartitionTableAnalyze());
        PartitionList list;
        const ResultCode rc = a->AnalyzePartitionTable(&device, list);
        out = ToParts(list);
        if (sorted) std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.number < b.number; });
        return rc;
    }
    static Parts ToParts(const PartitionList& list) {
        Parts parts;
        for (const auto& e : list) {
            char guid[37] = {}, uuid[37] = {};
            GUIDToStr(e.typeGuid, guid);
            GUIDToStr(e.uniqueGuid, uuid);
            std::string type = e.typeGuid == _GUID{} ? std::string(e.typeName, strnlen(e.typeName, 32)) : guid;
            parts.push_back({e.number, e.startSector, e.sectorCount, type, uuid});
        }
        return parts;
    }
    ImageDevice device;
};

// The reader's partitions of an image, which must answer rc.
Parts Table(const std::string& path, unsigned sectorSize = 512, std::uint32_t scheme = PARTITION_SCHEME_MBR,
            ResultCode rc = 0) {
    Disk disk(path, sectorSize, scheme);
    Parts parts;
    EXPECT_EQ(disk.Analyze(parts), rc) << path;
    return parts;
}

std::vector<int> Numbers(const Parts& parts) {
    std::vector<int> n;
    for (const Part& p : parts) n.push_back(p.number);
    return n;
}

std::string Img(const std::string& name) { return FixtureFile("part_tables", name); }

// sfdisk's reading of an image (512-byte sectors): every entry, extended ones included.
Parts Sfdisk(const std::string& path) {
    std::string out;
    EXPECT_EQ(RunCommand("sfdisk -d '" + path + "' 2>/dev/null", &out), 0) << "sfdisk (package fdisk)";
    Parts parts;
    static const std::regex line(R"(\D(\d+) : start=\s*(\d+), size=\s*(\d+), type=([0-9A-Fa-f-]+)(?:, uuid=([0-9A-F-]+))?)");
    std::istringstream in(out);
    std::smatch m;
    for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line))
            parts.push_back({std::stoi(m[1]), std::stoull(m[2]), std::stoull(m[3]), m[4], m[5]});
    return parts;
}

// What the reader lists of sfdisk's entries: no extended entries, GPT entries over 8 MiB.
Parts Listed(Parts parts, bool gpt) {
    std::erase_if(parts, [&](const Part& p) {
        return gpt ? p.count * 512 <= (8u << 20) : p.type == "5" || p.type == "f" || p.type == "85";
    });
    return parts;
}

// mmls's entries of an Apple partition map, numbered from 1, in 512-byte units.
Parts MmlsApm(const std::string& path, unsigned blockSize) {
    std::string out;
    EXPECT_EQ(RunCommand("mmls -b " + std::to_string(blockSize) + " '" + path + "'", &out), 0)
        << "mmls (package sleuthkit)";
    unsigned unit = 512;
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"(Units are in (\d+)-byte)"))) unit = std::stoul(m[1]);
    Parts parts;
    static const std::regex line(R"(^\d+:\s+(\d{3})\s+(\d+)\s+(\d+)\s+(\d+)\s+(\S+))");
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line))
            parts.push_back({std::stoi(m[1]) + 1, std::stoull(m[2]) * unit / 512, std::stoull(m[4]) * unit / 512, m[5]});
    return parts;
}

void Patch(const std::string& path, unsigned long long offset, const std::vector<unsigned char>& bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
std::vector<unsigned char> Le32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}

class Tables : public ::testing::Test {
protected:
    // A copy of a fixture image cut (or grown) to a length in bytes.
    std::string Cut(const std::string& name, unsigned long long bytes) {
        const std::string dst = dir.file(name);
        std::filesystem::copy_file(Img(name), dst, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(dst, bytes);
        return dst;
    }
    TempDir dir;
};

TEST_F(Tables, MbrPrimariesAndExtendedChainAsSfdiskListsThem) {
    const std::string path = Img("mbr.img");
    const Parts parts = Table(path);
    EXPECT_EQ(parts, Listed(Sfdisk(path), false));
    EXPECT_EQ(Numbers(parts), (std::vector<int>{1, 3, 5, 6}));
    // In table order the logical partitions stand where their extended entry does.
    Disk disk(path);
    Parts inOrder;
    ASSERT_EQ(disk.Analyze(inOrder, false), 0u);
    EXPECT_EQ(Numbers(inOrder), (std::vector<int>{1, 5, 6, 3}));
}

TEST_F(Tables, MbrPublicSamplesAsSfdiskAndMmlsListThem) {
    for (const char* name : {"mbr-512-p1e2.bin", "mbr-512-p1e2_2.bin", "mbr-win-512.raw", "tsk_volume_system.raw"}) {
        SCOPED_TRACE(name);
        const std::string path = Img(name);
        const auto total = std::filesystem::file_size(path) / 512;
        // Entries past the end of a 1 MiB sample are cut at its end.
        Parts expected;
        for (Part p : Listed(Sfdisk(path), false)) {
            if (p.start >= total) continue;
            p.count = std::min(p.count, total - p.start);
            expected.push_back(p);
        }
        EXPECT_FALSE(expected.empty());
        EXPECT_EQ(Table(path), expected);
    }
    // mmls -b 4096 lists p1e1 as a primary at 3 (2 sectors) and a logical at 9 (2 sectors).
    std::string out;
    ASSERT_EQ(RunCommand("mmls -b 4096 '" + Img("mbr-4096-p1e1.bin") + "'", &out), 0);
    EXPECT_NE(out.find("0000000009   0000000010   0000000002"), std::string::npos) << out;
    EXPECT_EQ(Table(Img("mbr-4096-p1e1.bin"), 4096), (Parts{{1, 3, 2}, {5, 9, 2}}));
    const Parts p1e0 = Table(Img("mbr-4096-p1e0.bin"), 4096);
    ASSERT_FALSE(p1e0.empty());
    EXPECT_EQ(p1e0[0], (Part{1, 1, 125}));
}

TEST_F(Tables, MbrEntriesPastATruncatedDiskAreCutOrLeftOutAndACountOf0TakesTheRest) {
    // Partition 3 (83968 + 20480) is cut at sector 90000.
    Parts parts = Table(Cut("mbr.img", 90000ULL * 512));
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[1], (Part{3, 83968, 90000 - 83968}));
    // At 80000 sectors it starts past the end: not listed, no wrapped count.
    parts = Table(Cut("mbr.img", 80000ULL * 512));
    EXPECT_EQ(Numbers(parts), (std::vector<int>{1, 5, 6}));
    for (const Part& p : parts) EXPECT_LE(p.start + p.count, 80000u);

    const std::string path = Cut("mbr.img", 110000ULL * 512);
    Patch(path, 446 + 2 * 16 + 12, Le32(0)); // slot 3's count
    EXPECT_EQ(Table(path)[1], (Part{3, 83968, 110000 - 83968}));

    // At the edges of a disk of 1000 sectors: first sector, count, base -> listed count (0: left out).
    const struct {
        std::uint32_t first, count;
        std::uint64_t base, listed;
    } edges[] = {{998, 2, 0, 2},   {998, 3, 0, 2},    {999, 1, 0, 1},   {1000, 1, 0, 0},
                 {900, 0, 0, 100}, {90, 10, 900, 10}, {100, 1, 900, 0}, {0xFFFFFFFF, 1, 1000, 0}};
    for (const auto& e : edges) {
        std::vector<std::uint8_t> sector(16, 0);
        sector[4] = 0x83;
        std::copy_n(Le32(e.first).begin(), 4, sector.begin() + 8);
        std::copy_n(Le32(e.count).begin(), 4, sector.begin() + 12);
        CPartitionTableEntry entry;
        entry.InitFromBuffer(sector, 0);
        PartitionList out;
        InsertMbrEntry(1000, entry, e.base, 1, out);
        const std::uint64_t listed = out.empty() ? 0 : out.front().sectorCount;
        EXPECT_EQ(std::pair(out.size(), listed), std::pair(std::size_t{e.listed != 0}, e.listed))
            << e.base << "+" << e.first << "+" << e.count;
    }
}

// A table sector shorter than 512 bytes has no signature, and a device of
// sectors under 512 bytes holds no MBR.
TEST_F(Tables, MbrNeedsSectorsOf512BytesOrMore) {
    std::vector<std::uint8_t> sector(512, 0);
    sector[510] = 0x55, sector[511] = 0xAA;
    EXPECT_TRUE(HasBootSignature(sector));
    EXPECT_FALSE(HasBootSignature(bytes::Bytes(sector).first(511)));
    EXPECT_TRUE(Table(Img("mbr.img"), 256, PARTITION_SCHEME_MBR, kSmallSector).empty());
    // Each scheme test refuses such a device on its own, whatever sector 0 holds.
    sector[450] = 0xEE; // a protective MBR
    ImageDevice small(Img("mbr.img"), 256);
    for (auto test : {&CPartitionTableAnalyze::IsMbrDisk, &CPartitionTableAnalyze::IsGptDisk}) {
        int yes = 1;
        EXPECT_EQ(std::pair(test(&small, sector, yes), yes), std::pair(kSmallSector, 0));
    }
}

TEST_F(Tables, MbrLoopingEbrChainEndsWithoutRepeating) {
    const std::string path = Cut("mbr.img", 110000ULL * 512);
    const std::uint64_t extStart = 22528;
    // The first EBR's link names the second EBR relative to the extended start.
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(extStart * 512 + 446 + 16 + 8));
    std::uint32_t link = 0;
    f.read(reinterpret_cast<char*>(&link), 4);
    const std::uint64_t second = extStart + link;
    ASSERT_GT(second, extStart);
    // Make the second EBR link back to the first.
    Patch(path, second * 512 + 446 + 16, {0x00, 0, 0, 0, 0x05, 0, 0, 0});
    Patch(path, second * 512 + 446 + 16 + 8, Le32(0));
    Patch(path, second * 512 + 446 + 16 + 12, Le32(2048));
    EXPECT_EQ(Table(path), Listed(Sfdisk(Img("mbr.img")), false));
    // A link to itself ends too.
    Patch(path, second * 512 + 446 + 16 + 8, Le32(static_cast<std::uint32_t>(second - extStart)));
    EXPECT_EQ(Table(path).size(), 4u);
    // Two EBRs of links only, each naming the other: no partition repeats to
    // stop the walk, the links met do.
    Patch(path, second * 512 + 446 + 16 + 8, Le32(0));
    Patch(path, extStart * 512 + 446, std::vector<std::uint8_t>(16, 0));
    Patch(path, second * 512 + 446, std::vector<std::uint8_t>(16, 0));
    EXPECT_EQ(Table(path).size(), 2u) << "the primaries";
}

TEST_F(Tables, MbrDamagedRecordsAreRefusedWithTheirCodes) {
    const std::string path = Cut("mbr.img", 110000ULL * 512);
    const unsigned long long ebr = 22528 * 512;
    const struct {
        unsigned long long offset;
        unsigned char bad, good;
        ResultCode rc;
        std::size_t listed; // entries listed before the failure stay
    } cases[] = {{ebr + 446 + 3 * 16 + 4, 0x05, 0x00, kEbrTwoExtended, 3}, // a second extended entry
                 {ebr + 510, 0x00, 0x55, kEbrNoSignature, 2}, // the primary after the chain stays
                 {ebr + 446, 0x7f, 0x00, 0, 4},               // an EBR's boot flag drops nothing
                 {446, 0x7f, 0x00, 0, 0}}; // no table at all: see SectorZero… below
    for (const auto& c : cases) {
        Patch(path, c.offset, {c.bad});
        EXPECT_EQ(Table(path, 512, PARTITION_SCHEME_MBR, c.rc).size(), c.listed) << c.offset;
        if (c.offset == 446) {
            // Once sector 0 is taken for a table, a damaged boot flag drops no entry (as mmls lists them).
            Disk disk(path);
            PartitionList list;
            EXPECT_EQ(CPartitionTableAnalyze::AnalyzeMBRPartitionTable(&disk.device, list), 0u);
            EXPECT_EQ(list.size(), 4u);
        }
        Patch(path, c.offset, {c.good});
    }
    Disk disk(path);
    disk.device.FailSector(0);
    Parts parts;
    EXPECT_EQ(ResultLibrary(disk.Analyze(parts)), ResultLib::Device) << "the device's own code";
    EXPECT_TRUE(Table(Img("mbr_dynamic.img"), 512, PARTITION_SCHEME_MBR, kDynamicMbr).empty());
}

// Sector 0 is an MBR only as Linux reads one; a card formatted without a
// table carries a boot sector whose code may parse as entries.
TEST_F(Tables, SectorZeroIsAnMbrOnlyWhenLinuxWouldReadOne) {
    RegisterAllLibraries();
    struct Unregister {
        ~Unregister() { ResetFactories(); }
    } unregister;
    // A copy of mbr.img of its own name, cut to a number of sectors.
    auto cut = [&](const char* name, std::uint64_t sectors) {
        std::filesystem::copy_file(Img("mbr.img"), dir.file(name));
        std::filesystem::resize_file(dir.file(name), sectors * 512);
        return dir.file(name);
    };
    const std::string overlapping = cut("overlapping.img", 114688);
    Patch(overlapping, 446 + 16 + 8, Le32(4096)); // slot 2 now starts inside slot 1
    const struct {
        std::string path;
        enumDiskPartitionScheme scheme;
    } cases[] = {{Img("mbr.img"), PARTITION_SCHEME_MBR},
                 {Img("mbr-win-512.raw"), PARTITION_SCHEME_MBR},
                 {Img("tsk_volume_system.raw"), PARTITION_SCHEME_MBR},
                 {cut("truncated.img", 90000), PARTITION_SCHEME_MBR}, // cut, not refused
                 {cut("tiny.img", 1000), PARTITION_SCHEME_NONE},      // every entry past the end
                 {overlapping, PARTITION_SCHEME_MBR}, // the overlapping entry is dropped, see below
                 {FixtureFile("cards", "fat_card.img"), PARTITION_SCHEME_NONE},   // boot flags 0x6f, 0x20, …
                 {FixtureFile("cards", "ntfs_card.img"), PARTITION_SCHEME_NONE},  // NTFS boot sector
                 {FixtureFile("cards", "exfat_card.img"), PARTITION_SCHEME_NONE}, // exFAT, no entries
                 {Img("superfloppy.img"), PARTITION_SCHEME_NONE}};
    for (const auto& c : cases) {
        ASSERT_FALSE(c.path.empty());
        Disk disk(c.path);
        enumDiskPartitionScheme scheme = PARTITION_SCHEME_APM;
        EXPECT_EQ(CPartitionTableAnalyze::GetDiskType(&disk.device, scheme), 0u) << c.path;
        EXPECT_EQ(scheme, c.scheme) << c.path;
        // Recorded as MBR (as libblkid may say), no table is listed for what is not one.
        Parts parts;
        EXPECT_EQ(disk.Analyze(parts), 0u) << c.path;
        if (c.scheme == PARTITION_SCHEME_NONE) {
            EXPECT_TRUE(parts.empty()) << c.path;
        }
    }
    // The extended entry starting inside slot 1 leads to no EBR: nothing of it is listed, and no error.
    EXPECT_EQ(Numbers(Table(overlapping)), (std::vector<int>{1, 3}));
}

// One damaged entry of a table whose partitions hold volumes hides none of
// them, and a partition named twice is listed once; mmls reads the same images.
TEST_F(Tables, OneDamagedEntryHidesNoPartitionAndRepeatsListOnce) {
    RegisterAllLibraries();
    struct Unregister {
        ~Unregister() { ResetFactories(); }
    } unregister;
    auto img = [](const char* name) { return FixtureFile("part_damage", name); };
    // How often mmls lists a partition of these first and last sectors.
    auto mmls = [](const std::string& path, const char* extent) {
        std::string out;
        EXPECT_EQ(RunCommand("mmls '" + path + "'", &out), 0) << "mmls (package sleuthkit)";
        std::size_t n = 0;
        for (std::size_t at = out.find(extent); at != std::string::npos; at = out.find(extent, at + 1)) ++n;
        return n;
    };
    const Parts two = {{1, 2048, 65536}, {2, 67584, 65536}};
    for (const char* name : {"intact.img", "overlap.img", "bootflag.img", "fatsector.img"}) {
        ASSERT_FALSE(img(name).empty());
        Disk disk(img(name));
        enumDiskPartitionScheme scheme = PARTITION_SCHEME_NONE;
        EXPECT_EQ(CPartitionTableAnalyze::GetDiskType(&disk.device, scheme), 0u) << name;
        EXPECT_EQ(scheme, PARTITION_SCHEME_MBR) << name;
        EXPECT_EQ(Table(img(name)), two) << name;
        EXPECT_EQ(mmls(img(name), "0000002048   0000067583"), 1u) << name;
        EXPECT_EQ(mmls(img(name), "0000067584   0000133119"), 1u) << name;
    }
    // The damaged entry first: of two overlapping entries the one holding a volume stays.
    const std::string swapped = dir.file("swapped.img");
    std::filesystem::copy_file(img("overlap.img"), swapped);
    std::string table = ReadWholeFile(swapped).substr(446, 64);
    std::swap_ranges(table.begin(), table.begin() + 16, table.begin() + 32);
    Patch(swapped, 446, std::vector<unsigned char>(table.begin(), table.end()));
    EXPECT_EQ(Table(swapped), (Parts{{2, 67584, 65536}, {3, 2048, 65536}}));
    // 1,024 GPT entries naming one partition.
    EXPECT_EQ(mmls(img("gpt_repeat.img"), "0000002048   0000067583"), 1024u);
    EXPECT_EQ(Table(img("gpt_repeat.img"), 512, PARTITION_SCHEME_GPT), (Parts{{1, 2048, 65536}}));
}

// Sticks formatted whole, then partitioned, list their partition and the old
// volume at sector 0 where it is sound; cards whose boot code holds entries
// list their own volume, a disk image kept on them that an entry names, and
// the partitions beyond; a stray entry in any slot (a copy of a boot sector in
// free space, a backup boot sector) hides no sound volume, and one at a disk
// image kept as a file names that image's volume.
TEST_F(Tables, EntriesAreJudgedByTheVolumesTheyPointAt) {
    RegisterAllLibraries();
    struct Unregister {
        ~Unregister() { ResetFactories(); }
    } unregister;
    auto img = [](const std::string& name) { return FixtureFile("part_damage", name + ".img"); };
    // The old volume at sector 0 beside the partition, where it is sound: a
    // GPT's entries overwrite both FATs of the FAT32 stick's and the NTFS
    // stick's boot sector.
    const std::vector<int> both{0, 1}, partition{1};
    for (const auto& [kind, gpt] : {std::pair{"fat12", both}, std::pair{"fat16", both}, std::pair{"fat32", partition},
                                    std::pair{"exfat", both}, std::pair{"ntfs", partition}}) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(Numbers(Table(img(std::string("stick_") + kind + "_mbr"))), both);
        EXPECT_EQ(Numbers(Table(img(std::string("stick_") + kind + "_gpt"), 512, PARTITION_SCHEME_GPT)), gpt);
    }
    EXPECT_EQ(Table(img("card_backup_out")), (Parts{{0, 0, 81920}, {2, 86016, 65536}}));
    // A disk image kept on a card and named by an entry is a volume too.
    EXPECT_EQ(Table(img("card_image_out")), (Parts{{0, 0, 65536}, {1, 404, 4096}, {2, 67584, 65536}}));
    EXPECT_EQ(Table(img("card_exfat_out")), (Parts{{0, 0, 131072}, {2, 133120, 65536}}));
    EXPECT_EQ(Table(img("card_small")), Parts{});
    // A volume at an extended entry's first sector (of type 0x05 or 0x85), or
    // at an EBR a link names (HFS+ there has no signature), beside the chain's
    // logical partitions; the volume at a link numbered after them. Each spans
    // its own sectors, not the entry's, which hold the partitions after it.
    const Parts atExtended{{1, 2048, 65536}, {2, 67584, 32768}, {5, 102400, 65536}};
    EXPECT_EQ(Table(img("ext_both")), atExtended);
    EXPECT_EQ(Table(img("ext_both_85")), atExtended);
    EXPECT_EQ(Table(img("ext_link")),
              (Parts{{1, 2048, 65536}, {5, 69632, 16384}, {6, 120832, 65536}, {7, 86016, 32768}}));
    EXPECT_EQ(Table(img("ext_hfs_link"), 512, PARTITION_SCHEME_MBR, kEbrNoSignature),
              (Parts{{1, 2048, 65536}, {5, 69632, 16384}, {6, 86016, kHfsSectors}}));
    EXPECT_EQ(Table(img("ext_end")), (Parts{{1, 2048, 65536}, {2, 172032, 32768}}));
    EXPECT_EQ(Table(img("ext_chain_85")), (Parts{{1, 2048, 65536}, {5, 69632, 65536}}));
    // sfdisk's sticks, the volume's boot code holding the EBR: its sectors, the
    // logical partition after it.
    const std::tuple<const char*, std::uint64_t, std::uint64_t> inside[] = {
        {"fat16", 32768, 102400},    {"fat16_0f", 32768, 102400}, {"fat16_85", 32768, 102400},
        {"fat16_del", 32768, 102400}, {"fat12", 16384, 86016},      {"fat32", 81920, 151552},
        {"exfat", 131072, 200704},   {"ntfs", 65536, 135168},     {"hfs", kHfsSectors, 71680}};
    for (const auto& [kind, sectors, logical] : inside)
        EXPECT_EQ(Table(img(std::string("ext_in_") + kind)),
                  (Parts{{1, 2048, 65536}, {2, 67584, sectors}, {5, logical, 65536}}))
            << kind;
    // A boot sector's count past the extended entry (or the disk) is cut at
    // the entry's end.
    const std::string counted = dir.file("counted.img");
    std::filesystem::copy_file(img("ext_fat12"), counted);
    Patch(counted, 67584ULL * 512 + 19, {0, 0});
    Patch(counted, 67584ULL * 512 + 32, Le32(100000));
    EXPECT_EQ(Table(counted), (Parts{{1, 2048, 65536}, {2, 67584, 65536}}));
    Patch(counted, 67584ULL * 512 + 32, Le32(0xFFFFFFF0));
    EXPECT_EQ(Table(counted), (Parts{{1, 2048, 65536}, {2, 67584, 65536}}));
    Patch(counted, 67584ULL * 512 + 32, Le32(0));
    EXPECT_EQ(Table(counted), (Parts{{1, 2048, 65536}, {2, 67584, 65536}}));
    // A partition cloned into another (one serial, both sound) is two
    // volumes, beside an entry overlapping the first.
    const std::string cloned = dir.file("cloned.img");
    std::filesystem::copy_file(img("overlap"), cloned);
    const std::string first = ReadWholeFile(cloned).substr(2048 * 512, 65536 * 512);
    Patch(cloned, 67584ULL * 512, std::vector<unsigned char>(first.begin(), first.end()));
    EXPECT_EQ(Table(cloned), (Parts{{1, 2048, 65536}, {2, 67584, 65536}}));
    // Where the two sound volumes lie, by case, and where the stray entry's
    // own volume lies when it is one (a disk image kept on the first, 0 when
    // none); the stray entry's slot is 1-3.
    const std::tuple<const char*, std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> cases[] = {
        {"copy", {2048, 67584}, 0}, {"backup", {2048, 86016}, 0}, {"image", {2048, 67584}, 2696},
        {"ntfs", {2048, 67584}, 0}};
    for (const auto& [name, starts, stray] : cases)
        for (int slot = 1; slot <= 3; ++slot)
            for (const auto& [table, scheme, first] :
                 {std::tuple{"mbr", PARTITION_SCHEME_MBR, 1}, std::tuple{"ebr", PARTITION_SCHEME_MBR, 5},
                  std::tuple{"gpt", PARTITION_SCHEME_GPT, 1}, std::tuple{"apm", PARTITION_SCHEME_APM, 2}}) {
                const std::string image = std::string("stray_") + name + "_" + table + "_" + std::to_string(slot);
                SCOPED_TRACE(image);
                Parts parts = Table(img(image), 512, scheme);
                if (scheme == PARTITION_SCHEME_APM && !parts.empty() && parts[0].start == 1)
                    parts.erase(parts.begin()); // the map itself
                std::vector<std::uint64_t> got, want{starts.first, starts.second};
                std::vector<int> numbers;
                for (const Part& p : parts) {
                    got.push_back(p.start);
                    numbers.push_back(p.number - first + 1);
                }
                // The sound volumes keep their own slots around the stray one.
                std::vector<int> slots[] = {{2, 3}, {1, 3}, {1, 2}};
                if (stray) {
                    want.insert(want.begin() + (slot - 1), stray);
                    slots[slot - 1] = {1, 2, 3};
                }
                EXPECT_EQ(got, want);
                EXPECT_EQ(numbers, slots[slot - 1]);
            }
}

// A GPT partition of 8 MiB or less is listed when it holds a volume.
TEST_F(Tables, GptSmallPartitionIsListedWhenItHoldsAVolume) {
    const std::string path = FixtureFile("cards", "gpt_card.img");
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(Table(path, 512, PARTITION_SCHEME_GPT).empty()) << "no recogniser registered";
    RegisterAllLibraries();
    struct Unregister {
        ~Unregister() { ResetFactories(); }
    } unregister;
    const Parts parts = Table(path, 512, PARTITION_SCHEME_GPT);
    ASSERT_EQ(parts.size(), 1u) << "the FAT volume, not the BIOS-boot partition";
    EXPECT_EQ(parts[0], (Part{1, 2048, 12288}));
}

TEST_F(Tables, GptEspListedBiosBootLeftOutAsSgdiskShowsThem) {
    const std::string path = Img("gpt.img");
    const Parts parts = Table(path, 512, PARTITION_SCHEME_GPT);
    const Parts all = Sfdisk(path);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(parts, Listed(all, true));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], (Part{1, 2048, 409600}));
    EXPECT_EQ(std::tuple(parts[0].type, parts[0].uuid, parts[1].uuid), std::tuple(kEsp, all[0].uuid, all[2].uuid));

    // Truncated: partition 3 (413696 + 40960) keeps 26304 sectors, still over 8 MiB; then only 1 is left.
    EXPECT_EQ(Table(Cut("gpt.img", 440000ULL * 512), 512, PARTITION_SCHEME_GPT),
              (Parts{{1, 2048, 409600}, {3, 413696, 440000 - 413696}}));
    EXPECT_EQ(Table(Cut("gpt.img", 400000ULL * 512), 512, PARTITION_SCHEME_GPT), (Parts{{1, 2048, 400000 - 2048}}));

    // A protective MBR wins over a driver-map signature.
    const std::string hybrid = Cut("gpt.img", 460000ULL * 512);
    Patch(hybrid, 0, {'E', 'R'});
    EXPECT_EQ(Table(hybrid, 512, PARTITION_SCHEME_APM).size(), 2u);
}

TEST_F(Tables, GptOnFourKibSectorsMeasuresTheSizeLimitInBytes) {
    const std::string path = Img("gpt4k.img");
    // fdisk -b 4096: 1 at 256 (3072 = 12 MiB), 2 at 3328 (1024 = 4 MiB), 3 at 4352 (2560 = 10 MiB).
    std::string out;
    ASSERT_EQ(RunCommand("fdisk -b 4096 -l '" + path + "'", &out), 0);
    EXPECT_NE(out.find("256  3327    3072"), std::string::npos) << out;
    EXPECT_NE(out.find("4352  6911    2560"), std::string::npos) << out;
    const Parts parts = Table(path, 4096, PARTITION_SCHEME_GPT);
    EXPECT_EQ(parts, (Parts{{1, 256, 3072}, {3, 4352, 2560}}));
    EXPECT_EQ(parts.at(1).type, kEsp);
}

// The entry count is capped, entries end exactly at the disk's last sector,
// and the size limit is exact.
TEST_F(Tables, GptBoundsHoldAtTheirEdges) {
    std::vector<std::uint8_t> h(92, 0);
    std::copy_n("EFI PART", 8, h.begin());
    const auto put = [](std::vector<std::uint8_t>& b, std::size_t off, std::uint64_t v, std::size_t n) {
        salvor::test::PutLe(b, off, v, n);
    };
    put(h, 72, 2, 8);
    put(h, 84, 128, 4);
    // A count past the cap leaves the standard layout of 128 entries.
    for (const auto& [count, kept] : {std::pair{4096u, 4096u}, std::pair{4097u, 128u}}) {
        put(h, 80, count, 4);
        EXPECT_EQ(GptLayoutFromHeader(h, 1 << 20).entryCount, kept) << count;
    }
    // Disk of 1000 sectors, limit 100 sectors: first, last -> listed sectors (0: left out).
    const struct {
        std::uint64_t first, last, listed;
    } cases[] = {{800, 999, 200}, {800, 1000, 200}, {899, 999, 101}, {900, 999, 0}, {999, 5000, 0}, {1000, 1100, 0}};
    for (const auto& c : cases) {
        std::vector<std::uint8_t> e(128, 0);
        e[0] = 1; // any type
        put(e, 32, c.first, 8);
        put(e, 40, c.last, 8);
        PartitionList out;
        ParseGptEntries(e, 1, 128, 1000, 512, 100 * 512, out);
        EXPECT_EQ(out.empty() ? 0 : out.front().sectorCount, c.listed) << c.first << "-" << c.last;
    }
}

TEST_F(Tables, GptPublicSamplesEntryForEntry) {
    const std::string path = Img("gpt-512-3p.raw");
    ImageDevice device(path);
    ASSERT_TRUE(device.Open(nullptr));
    std::vector<unsigned char> buf(32 * 512);
    ASSERT_TRUE(device.ReadSector(buf.data(), 2, 32));
    PartitionList list;
    ParseGptEntries(buf, 128, 128, device.GetTotalSectors(), 512, 0, list);
    const Parts parts = Disk::ToParts(list), all = Sfdisk(path);
    ASSERT_EQ(parts, all);
    for (std::size_t i = 0; i < parts.size(); ++i)
        EXPECT_EQ(std::pair(parts[i].type, parts[i].uuid), std::pair(all[i].type, all[i].uuid));
    // All three are small helpers to the analyser.
    EXPECT_TRUE(Table(path, 512, PARTITION_SCHEME_GPT).empty());
    EXPECT_TRUE(Table(Img("gpt-512-0p.raw"), 512, PARTITION_SCHEME_GPT).empty());
}

TEST_F(Tables, ApmMapBlocksOf2048And512BytesAsMmlsListsThem) {
    for (const auto& [name, block] : {std::pair{"apm2k.iso", 2048u}, std::pair{"apm512.iso", 512u}}) {
        SCOPED_TRACE(name);
        const Parts parts = Table(Img(name), 512, PARTITION_SCHEME_APM), expected = MmlsApm(Img(name), block);
        ASSERT_EQ(parts, expected);
        ASSERT_EQ(parts.size(), 4u);
        for (std::size_t i = 0; i < parts.size(); ++i) EXPECT_EQ(parts[i].type, expected[i].type);
        EXPECT_EQ(parts[2].type, "Apple_HFS");
    }
}

TEST_F(Tables, ApmOversizedMapAndBadBlocksAreRefused) {
    const std::string path = Cut("apm2k.iso", 393216);
    const struct {
        unsigned long long offset;
        std::vector<unsigned char> bad, good;
        ResultCode rc;
    } cases[] = {{2048 + 4, {0, 0, 0, 40}, {0, 0, 0, 4}, kApmTooManyEntries},
                 {2048, {'X', 'X'}, {'P', 'M'}, kApmNoFirstEntry},
                 {2, {0x01, 0x00}, {0x08, 0x00}, kApmBlockTooSmall}}; // 256-byte blocks on 512-byte sectors
    for (const auto& c : cases) {
        Patch(path, c.offset, c.bad);
        Table(path, 512, PARTITION_SCHEME_APM, c.rc);
        Patch(path, c.offset, c.good);
    }
    EXPECT_EQ(Table(path, 512, PARTITION_SCHEME_APM).size(), 4u);
    // The last entry a copy of the Apple_HFS one: that partition is listed once.
    Patch(path, 4 * 2048, [&] {
        const std::string block = ReadWholeFile(path).substr(3 * 2048, 512);
        return std::vector<unsigned char>(block.begin(), block.end());
    }());
    EXPECT_EQ(Numbers(Table(path, 512, PARTITION_SCHEME_APM)), (std::vector<int>{1, 2, 3}));
}

TEST_F(Tables, RefusesWhatIsNotARecordedWholeDiskAndDoesNotReadAnMbrWithoutScheme) {
    std::unique_ptr<IPartitionTableAnalyze> a(CreatePartitionTableAnalyze());
    PartitionList list;
    EXPECT_EQ(a->AnalyzePartitionTable(nullptr, list), kNullDevice);
    Disk disk(Img("mbr.img"));
    disk.device.SetType(DEVICE_VOLUME);
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kNotWholeDisk);
    disk.device.SetType(DEVICE_DISK);
    dynamic_cast<IDiskDeviceData*>(disk.device.GetPrivateData())->GetDiskInfo()->kind = 1;
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kBadKind);
    EXPECT_EQ(disk.device.Reads(), 0u);
    disk.device.SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kNotDiskData);
    disk.device.SetPrivateData(nullptr);
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kNoRecord);

    // A FAT boot sector ends in 0x55 0xAA; its boot code is no partition table.
    EXPECT_TRUE(Table(Img("superfloppy.img"), 512, PARTITION_SCHEME_NONE).empty());
}

} // namespace
