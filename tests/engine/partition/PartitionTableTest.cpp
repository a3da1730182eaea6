// The partition-table reader against images made by sfdisk, sgdisk, fdisk and
// xorriso and public samples, with sfdisk, fdisk and mmls as oracles.
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/partition/PartitionTable.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <vector>

using salvor::test::Fixture;
using salvor::test::ImageDevice;
using salvor::test::RunCommand;
using salvor::test::TempDir;
using namespace partition_codes;

namespace {

struct Part {
    int number;
    unsigned long long start, count;
    std::string type; // MBR type, GPT type GUID or APM type name
    std::string uuid;
    bool operator==(const Part& o) const {
        return number == o.number && start == o.start && count == o.count;
    }
};

std::ostream& operator<<(std::ostream& os, const Part& p) {
    return os << "#" << p.number << " " << p.start << "+" << p.count << " " << p.type;
}

// A whole-disk image with the disk record the enumeration would attach.
struct Disk {
    explicit Disk(const std::string& path, unsigned sectorSize = 512, std::uint32_t scheme = PARTITION_SCHEME_MBR)
        : device(path, sectorSize) {
        auto* rec = new CCollectDiskDeviceInfoStruct;
        rec->partitionScheme = scheme;
        rec->sectorSize = sectorSize;
        data = CreateDiskDeviceData(rec);
        device.SetPrivateData(data); // the device owns it
        EXPECT_TRUE(device.Open(nullptr)) << path;
    }
    CCollectDiskDeviceInfoStruct* record() { return data->GetDiskInfo(); }
    ResultCode Analyze(std::vector<Part>& out) {
        std::unique_ptr<IPartitionTableAnalyze> a(CreatePartitionTableAnalyze());
        PartitionList list;
        const ResultCode rc = a->AnalyzePartitionTable(&device, list);
        out = ToParts(list);
        // The walk lists logical partitions where the extended entry stands;
        // compare in number order as the tools print them.
        std::stable_sort(out.begin(), out.end(), [](const Part& a, const Part& b) { return a.number < b.number; });
        return rc;
    }
    static std::vector<Part> ToParts(const PartitionList& list) {
        std::vector<Part> parts;
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
    IDiskDeviceData* data = nullptr;
};

std::string Img(const std::string& name) { return salvor::test::FixtureFile("part_tables", name); }

// sfdisk's reading of an image (512-byte sectors): every entry, extended ones included.
std::vector<Part> Sfdisk(const std::string& path) {
    std::string out;
    EXPECT_EQ(RunCommand("sfdisk -d '" + path + "' 2>/dev/null", &out), 0) << "sfdisk (package fdisk)";
    std::vector<Part> parts;
    static const std::regex line(R"(\D(\d+) : start=\s*(\d+), size=\s*(\d+), type=([0-9A-Fa-f-]+)(?:, uuid=([0-9A-F-]+))?)");
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line))
            parts.push_back({std::stoi(m[1]), std::stoull(m[2]), std::stoull(m[3]), m[4], m[5]});
    }
    return parts;
}

// What the reader lists of sfdisk's entries: no extended entries, GPT entries over 8 MiB.
std::vector<Part> Listed(std::vector<Part> parts, bool gpt, unsigned sectorSize = 512) {
    std::erase_if(parts, [&](const Part& p) {
        if (gpt)
            return p.count * sectorSize <= (8u << 20);
        return p.type == "5" || p.type == "f" || p.type == "85";
    });
    return parts;
}

// mmls's entries of an Apple partition map, numbered from 1, in 512-byte units.
std::vector<Part> MmlsApm(const std::string& path, unsigned blockSize) {
    std::string out;
    EXPECT_EQ(RunCommand("mmls -b " + std::to_string(blockSize) + " '" + path + "'", &out), 0)
        << "mmls (package sleuthkit)";
    unsigned unit = 512;
    std::smatch m;
    if (std::regex_search(out, m, std::regex(R"(Units are in (\d+)-byte)")))
        unit = std::stoul(m[1]);
    std::vector<Part> parts;
    static const std::regex line(R"(^\d+:\s+(\d{3})\s+(\d+)\s+(\d+)\s+(\d+)\s+(\S+))");
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);)
        if (std::regex_search(l, m, line))
            parts.push_back({std::stoi(m[1]) + 1, std::stoull(m[2]) * unit / 512, std::stoull(m[4]) * unit / 512, m[5], ""});
    return parts;
}

std::string CopyTruncated(const TempDir& dir, const std::string& src, unsigned long long bytes) {
    const std::string dst = dir.file(std::filesystem::path(src).filename().string());
    std::ifstream in(src, std::ios::binary);
    std::ofstream out(dst, std::ios::binary);
    std::vector<char> buf(1 << 20);
    unsigned long long left = bytes;
    while (left && in.read(buf.data(), static_cast<std::streamsize>(std::min<unsigned long long>(left, buf.size())))) {
        out.write(buf.data(), in.gcount());
        left -= static_cast<unsigned long long>(in.gcount());
    }
    out.close();
    EXPECT_EQ(std::filesystem::file_size(dst), bytes);
    return dst;
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

std::uint32_t ReadLe32(const std::string& path, unsigned long long offset) {
    std::ifstream f(path, std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    unsigned char b[4] = {};
    f.read(reinterpret_cast<char*>(b), 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

} // namespace

TEST(MbrTable, PrimariesAndExtendedChainAsSfdiskListsThem) {
    const std::string path = Img("mbr.img");
    ASSERT_FALSE(path.empty());
    Disk disk(path);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_EQ(parts, Listed(Sfdisk(path), false));
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0].number, 1);
    EXPECT_EQ(parts[1].number, 3);
    EXPECT_EQ(parts[2].number, 5);
    EXPECT_EQ(parts[3].number, 6);

    // In table order the logical partitions stand where their extended entry does.
    std::unique_ptr<IPartitionTableAnalyze> a(CreatePartitionTableAnalyze());
    PartitionList list;
    ASSERT_EQ(a->AnalyzePartitionTable(&disk.device, list), 0u);
    std::vector<int> order;
    for (const auto& e : list)
        order.push_back(e.number);
    EXPECT_EQ(order, (std::vector<int>{1, 5, 6, 3}));
}

TEST(MbrTable, PublicSamplesAsSfdiskAndMmlsListThem) {
    for (const char* name : {"mbr-512-p1e2.bin", "mbr-512-p1e2_2.bin", "mbr-win-512.raw", "tsk_volume_system.raw"}) {
        SCOPED_TRACE(name);
        const std::string path = Img(name);
        Disk disk(path);
        std::vector<Part> parts;
        EXPECT_EQ(disk.Analyze(parts), 0u);
        // Entries past the end of a 1 MiB sample are cut at its end.
        std::vector<Part> expected;
        for (Part p : Listed(Sfdisk(path), false)) {
            if (p.start >= disk.device.GetTotalSectors())
                continue;
            p.count = std::min(p.count, disk.device.GetTotalSectors() - p.start);
            expected.push_back(p);
        }
        EXPECT_EQ(parts, expected);
        EXPECT_FALSE(parts.empty());
    }
}

TEST(MbrTable, FourKibSectorSamplesCountInTheirOwnSectors) {
    // mmls -b 4096 lists p1e1 as a primary at 3 (2 sectors) and a logical at 9 (2 sectors).
    Disk disk(Img("mbr-4096-p1e1.bin"), 4096);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_EQ(parts, (std::vector<Part>{{1, 3, 2, "", ""}, {5, 9, 2, "", ""}}));
    std::string out;
    ASSERT_EQ(RunCommand("mmls -b 4096 '" + Img("mbr-4096-p1e1.bin") + "'", &out), 0);
    EXPECT_NE(out.find("0000000009   0000000010   0000000002"), std::string::npos) << out;

    Disk disk0(Img("mbr-4096-p1e0.bin"), 4096);
    ASSERT_EQ(disk0.Analyze(parts), 0u);
    ASSERT_FALSE(parts.empty());
    EXPECT_EQ(parts[0], (Part{1, 1, 125, "", ""}));
}

TEST(MbrTable, EntriesPastATruncatedDiskAreCutOrLeftOut) {
    TempDir dir;
    // Partition 3 (83968 + 20480) is cut at sector 90000.
    Disk cut(CopyTruncated(dir, Img("mbr.img"), 90000ULL * 512));
    std::vector<Part> parts;
    ASSERT_EQ(cut.Analyze(parts), 0u);
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[1], (Part{3, 83968, 90000 - 83968, "", ""}));

    // At 80000 sectors it starts past the end: not listed, no wrapped count.
    TempDir dir2;
    Disk gone(CopyTruncated(dir2, Img("mbr.img"), 80000ULL * 512));
    ASSERT_EQ(gone.Analyze(parts), 0u);
    for (const Part& p : parts) {
        EXPECT_NE(p.number, 3);
        EXPECT_LE(p.start + p.count, 80000u);
    }
    EXPECT_EQ(parts.size(), 3u);
}

TEST(MbrTable, ZeroCountEntryTakesTheRestOfTheDisk) {
    TempDir dir;
    const std::string path = CopyTruncated(dir, Img("mbr.img"), 110000ULL * 512);
    Patch(path, 446 + 2 * 16 + 12, Le32(0)); // slot 3's count
    Disk disk(path);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_EQ(parts[1], (Part{3, 83968, 110000 - 83968, "", ""}));
}

TEST(MbrTable, LoopingEbrChainEndsWithoutRepeating) {
    TempDir dir;
    const std::string path = CopyTruncated(dir, Img("mbr.img"), 110000ULL * 512);
    const std::uint64_t extStart = 22528;
    // The first EBR's link names the second EBR relative to the extended start.
    const std::uint64_t second = extStart + ReadLe32(path, extStart * 512 + 446 + 16 + 8);
    ASSERT_GT(second, extStart);
    // Make the second EBR link back to the first.
    Patch(path, second * 512 + 446 + 16, {0x00, 0, 0, 0, 0x05, 0, 0, 0});
    Patch(path, second * 512 + 446 + 16 + 8, Le32(0));
    Patch(path, second * 512 + 446 + 16 + 12, Le32(2048));
    Disk disk(path);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_EQ(parts, Listed(Sfdisk(Img("mbr.img")), false));

    // A link to itself ends too.
    Patch(path, second * 512 + 446 + 16 + 8, Le32(static_cast<std::uint32_t>(second - extStart)));
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_EQ(parts.size(), 4u);
}

TEST(MbrTable, DamagedRecordsAreRefusedWithTheirCodes) {
    TempDir dir;
    const std::string path = CopyTruncated(dir, Img("mbr.img"), 110000ULL * 512);
    Disk disk(path);
    std::vector<Part> parts;

    Patch(path, 22528 * 512 + 446 + 3 * 16 + 4, {0x05}); // a second extended entry in the first EBR
    EXPECT_EQ(disk.Analyze(parts), kEbrTwoExtended);
    EXPECT_EQ(parts.size(), 2u) << "the entries listed before the failure stay (1 and 5)";
    Patch(path, 22528 * 512 + 446 + 3 * 16 + 4, {0x00});

    Patch(path, 22528 * 512 + 510, {0x00});
    EXPECT_EQ(disk.Analyze(parts), kEbrNoSignature);
    Patch(path, 22528 * 512 + 510, {0x55});

    Patch(path, 446, {0x7f});
    EXPECT_EQ(disk.Analyze(parts), kMbrBadBoot);
    Patch(path, 446, {0x00});

    disk.device.FailSector(0);
    const ResultCode rc = disk.Analyze(parts);
    EXPECT_TRUE(IsFailure(rc));
    EXPECT_EQ(ResultLibrary(rc), ResultLib::Device) << "the device's own code";
}

TEST(MbrTable, DynamicDiskIsRefused) {
    Disk disk(Img("mbr_dynamic.img"));
    std::vector<Part> parts;
    EXPECT_EQ(disk.Analyze(parts), kDynamicMbr);
    EXPECT_TRUE(parts.empty());
}

TEST(GptTable, EspListedBiosBootLeftOutAsSgdiskShowsThem) {
    const std::string path = Img("gpt.img");
    Disk disk(path, 512, PARTITION_SCHEME_GPT);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    const std::vector<Part> all = Sfdisk(path);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(parts, Listed(all, true));
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0], (Part{1, 2048, 409600, "", ""}));
    EXPECT_EQ(parts[0].type, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    EXPECT_EQ(parts[0].uuid, all[0].uuid);
    EXPECT_EQ(parts[1].number, 3);
    EXPECT_EQ(parts[1].uuid, all[2].uuid);
}

TEST(GptTable, TruncatedImageCutsTheLastPartition) {
    TempDir dir;
    Disk disk(CopyTruncated(dir, Img("gpt.img"), 440000ULL * 512), 512, PARTITION_SCHEME_GPT);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    // Partition 3 (413696 + 40960) keeps 26304 sectors: still over 8 MiB.
    EXPECT_EQ(parts, (std::vector<Part>{{1, 2048, 409600, "", ""}, {3, 413696, 440000 - 413696, "", ""}}));

    TempDir dir2;
    Disk shorter(CopyTruncated(dir2, Img("gpt.img"), 400000ULL * 512), 512, PARTITION_SCHEME_GPT);
    ASSERT_EQ(shorter.Analyze(parts), 0u);
    EXPECT_EQ(parts, (std::vector<Part>{{1, 2048, 400000 - 2048, "", ""}}));
}

TEST(GptTable, FourKibSectorsMeasureTheSizeLimitInBytes) {
    const std::string path = Img("gpt4k.img");
    Disk disk(path, 4096, PARTITION_SCHEME_GPT);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    // fdisk -b 4096: 1 at 256 (3072 = 12 MiB), 2 at 3328 (1024 = 4 MiB), 3 at 4352 (2560 = 10 MiB).
    std::string out;
    ASSERT_EQ(RunCommand("fdisk -b 4096 -l '" + path + "'", &out), 0);
    EXPECT_NE(out.find("256  3327    3072"), std::string::npos) << out;
    EXPECT_NE(out.find("4352  6911    2560"), std::string::npos) << out;
    EXPECT_EQ(parts, (std::vector<Part>{{1, 256, 3072, "", ""}, {3, 4352, 2560, "", ""}}));
    EXPECT_EQ(parts[1].type, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
}

TEST(GptTable, PublicSamplesEntryForEntry) {
    const std::string path = Img("gpt-512-3p.raw");
    ImageDevice device(path);
    ASSERT_TRUE(device.Open(nullptr));
    std::vector<unsigned char> buf(32 * 512);
    ASSERT_TRUE(device.ReadSector(buf.data(), 2, 32));
    PartitionList list;
    ParseGptEntries(buf, 128, 128, device.GetTotalSectors(), 512, 0, list);
    std::vector<Part> parts = Disk::ToParts(list);
    const std::vector<Part> all = Sfdisk(path);
    ASSERT_EQ(parts, all);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].type, all[i].type);
        EXPECT_EQ(parts[i].uuid, all[i].uuid);
    }
    // All three are small helpers to the analyser.
    Disk disk(path, 512, PARTITION_SCHEME_GPT);
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_TRUE(parts.empty());
    Disk empty(Img("gpt-512-0p.raw"), 512, PARTITION_SCHEME_GPT);
    EXPECT_EQ(empty.Analyze(parts), 0u);
    EXPECT_TRUE(parts.empty());
}

TEST(GptTable, ProtectiveMbrWinsOverDriverMapSignature) {
    TempDir dir;
    const std::string path = CopyTruncated(dir, Img("gpt.img"), 460000ULL * 512);
    Patch(path, 0, {'E', 'R'});
    Disk disk(path, 512, PARTITION_SCHEME_APM);
    std::vector<Part> parts;
    ASSERT_EQ(disk.Analyze(parts), 0u);
    EXPECT_EQ(parts.size(), 2u);
}

TEST(ApmTable, MapBlocksOf2048And512BytesAsMmlsListsThem) {
    for (const auto& [name, block] : {std::pair{"apm2k.iso", 2048u}, std::pair{"apm512.iso", 512u}}) {
        SCOPED_TRACE(name);
        Disk disk(Img(name), 512, PARTITION_SCHEME_APM);
        std::vector<Part> parts;
        ASSERT_EQ(disk.Analyze(parts), 0u);
        const std::vector<Part> expected = MmlsApm(Img(name), block);
        ASSERT_EQ(parts, expected);
        ASSERT_EQ(parts.size(), 4u);
        for (std::size_t i = 0; i < parts.size(); ++i)
            EXPECT_EQ(parts[i].type, expected[i].type);
        EXPECT_EQ(parts[2].type, "Apple_HFS");
    }
}

TEST(ApmTable, OversizedMapAndBadBlocksAreRefused) {
    TempDir dir;
    const std::string path = CopyTruncated(dir, Img("apm2k.iso"), 393216);
    Disk disk(path, 512, PARTITION_SCHEME_APM);
    std::vector<Part> parts;
    Patch(path, 2048 + 4, {0, 0, 0, 40});
    EXPECT_EQ(disk.Analyze(parts), kApmTooManyEntries);
    Patch(path, 2048 + 4, {0, 0, 0, 4});
    Patch(path, 2048, {'X', 'X'});
    EXPECT_EQ(disk.Analyze(parts), kApmNoFirstEntry);
    Patch(path, 2048, {'P', 'M'});
    Patch(path, 2, {0x01, 0x00}); // 256-byte blocks on 512-byte sectors
    EXPECT_EQ(disk.Analyze(parts), kApmBlockTooSmall);
}

TEST(PartitionTable, RefusesWhatIsNotARecordedWholeDisk) {
    std::unique_ptr<IPartitionTableAnalyze> a(CreatePartitionTableAnalyze());
    PartitionList list;
    EXPECT_EQ(a->AnalyzePartitionTable(nullptr, list), kNullDevice);

    Disk disk(Img("mbr.img"));
    disk.device.SetType(DEVICE_VOLUME);
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kNotWholeDisk);
    disk.device.SetType(DEVICE_DISK);
    disk.record()->kind = 1;
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kBadKind);
    EXPECT_EQ(disk.device.Reads(), 0u);

    disk.device.SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kNotDiskData);
    disk.device.SetPrivateData(nullptr);
    EXPECT_EQ(a->AnalyzePartitionTable(&disk.device, list), kNoRecord);
}

TEST(PartitionTable, DiskWithoutATableIsNotReadAsAnMbr) {
    // A FAT boot sector ends in 0x55 0xAA; its boot code is no partition table.
    Disk disk(Img("superfloppy.img"), 512, PARTITION_SCHEME_NONE);
    std::vector<Part> parts;
    EXPECT_EQ(disk.Analyze(parts), 0u);
    EXPECT_TRUE(parts.empty());
}

TEST(PartitionTable, GuidTextIsUpperCaseWithoutBraces) {
    _GUID g{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
    char text[37];
    GUIDToStr(g, text);
    EXPECT_STREQ(text, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
}
