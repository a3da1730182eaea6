// The table readers over small hand-laid tables written to an image file.
#include "engine/fat/FatTable.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

using salvor::test::ImageDevice;

namespace {
// An image of one zero sector and two FAT copies of sectorsPerFat sectors,
// with the media and reserved entries set.
class TableImage {
public:
    TableImage(enumFILE_SYSTEM_TYPE kind, unsigned sectorsPerFat)
        : kind_(kind), spf_(sectorsPerFat), bytes_(std::size_t{sectorsPerFat} * 1024 + 512, 0) {
        Set(0, kind == FS_FAT32 ? 0x0FFFFFF8 : kind == FS_FAT16 ? 0xFFF8 : 0xFF0);
        Set(1, kind == FS_FAT32 ? 0x0FFFFFFF : kind == FS_FAT16 ? 0xFFFF : 0xFFF);
    }
    TableImage& Set(std::uint32_t i, std::uint32_t v, int copy = 0) {
        const std::size_t base = 512 + std::size_t{spf_} * 512 * copy;
        const unsigned width = kind_ == FS_FAT32 ? 4 : kind_ == FS_FAT16 ? 2 : 0;
        for (unsigned b = 0; b < width; ++b) bytes_[base + i * width + b] = static_cast<std::uint8_t>(v >> (8 * b));
        if (width) return *this;
        const std::size_t off = base + i * 3 / 2;
        const unsigned word = (bytes_[off] | bytes_[off + 1] << 8) & (i & 1 ? 0x000F : 0xF000);
        const unsigned both = word | (i & 1 ? (v & 0xFFF) << 4 : v & 0xFFF);
        bytes_[off] = static_cast<std::uint8_t>(both), bytes_[off + 1] = static_cast<std::uint8_t>(both >> 8);
        return *this;
    }
    // The second copy the same as the first.
    TableImage& Mirror() {
        std::copy_n(bytes_.begin() + 512, std::size_t{spf_} * 512, bytes_.begin() + 512 + std::size_t{spf_} * 512);
        return *this;
    }
    std::unique_ptr<ImageDevice> Device() {
        std::ofstream(tmp_.file("t.img"), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
        return std::make_unique<ImageDevice>(tmp_.file("t.img"), 512);
    }

private:
    salvor::test::TempDir tmp_;
    enumFILE_SYSTEM_TYPE kind_;
    unsigned spf_;
    std::vector<std::uint8_t> bytes_;
};

std::unique_ptr<CDoubleFATTable> Double(ImageDevice* dev, unsigned spf, int first, int second) {
    return std::unique_ptr<CDoubleFATTable>(
        static_cast<CDoubleFATTable*>(IFATTableFactory::CreateFATTable(dev, 1, FS_FAT16, spf, first, second)));
}
} // namespace

TEST(FatTable, EntriesMarksAndRanges) {
    auto t12 = TableImage(FS_FAT12, 2).Set(2, 3).Set(3, 0xFFF).Set(4, 0xFF8).Set(5, 0xFF7).Device();
    auto t16 = TableImage(FS_FAT16, 16).Set(2, 0xFFFF).Set(3, 0xFFF7).Device();
    // Reserved top bits over a link to 3.
    auto t32 = TableImage(FS_FAT32, 4).Set(2, 0x10000003).Set(3, 0xFFFFFFFF).Set(4, 0x0FFFFFF7).Device();
    CFAT12Table f12(t12.get(), 1, 2);
    CFAT16Table f16(t16.get(), 1, 16);
    CFAT32Table f32(t32.get(), 1, 4);
    const struct {
        IFATTable& table;
        std::uint32_t cluster, next;
    } rows[] = {{f12, 2, 3},         {f12, 3, fat::kFat12EndOfChain}, {f12, 4, fat::kEndOfChain},
                {f12, 5, fat::kBadCluster}, {f12, 100000, 0},            {f16, 2, fat::kEndOfChain},
                {f16, 3, fat::kBadCluster}, {f16, f16.GetEntryCount(), 0}, {f32, 2, 3},
                {f32, 3, 0x0FFFFFFF},       {f32, 4, fat::kBadCluster}};
    for (const auto& r : rows) EXPECT_EQ(r.table.GetNextCluster(r.cluster), r.next) << r.cluster;
    EXPECT_TRUE(f12.IsValidFATTable() && f16.IsValidFATTable() && f32.IsValidFATTable());
    EXPECT_FALSE(CFAT12Table(t12.get(), 1, 13).IsLoaded());
    // A cluster count cuts the entries answered.
    EXPECT_EQ(CFAT16Table(t16.get(), 1, 16, 100).GetEntryCount(), 102u);
    // 11 sectors per FAT at 512-byte sectors is not a FAT16 table.
    auto small = TableImage(FS_FAT16, 11).Device();
    EXPECT_FALSE(CFAT16Table(small.get(), 1, 11).IsLoaded());
    EXPECT_EQ(Double(small.get(), 11, 1, 1)->GetNextCluster(2), 0u);
}

TEST(FatTable, BodyAndChainTestsRefuseDamage) {
    const struct {
        std::function<void(TableImage&)> change;
        bool valid;
    } rows[] = {
        {[](TableImage&) {}, true},
        {[](TableImage& t) { t.Set(5, 5); }, false},      // links to itself
        {[](TableImage& t) { t.Set(7, 1); }, false},      // 1 is never a cluster
        {[](TableImage& t) { t.Set(7, 100000); }, false}, // beyond the table
        {[](TableImage& t) { t.Set(2, 9).Set(3, 9).Set(9, 0x0FFFFFFF); }, false}, // two chains join at 9
        {[](TableImage& t) { t.Set(2, 3).Set(3, 2); }, false},
        {[](TableImage& t) { t.Set(0, 0); }, false}, // header
        {[](TableImage& t) { t.Set(6, 0x0FFFFFF7).Set(2, 3).Set(3, 0x0FFFFFFF); }, true},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        TableImage t(FS_FAT32, 4);
        rows[i].change(t);
        auto dev = t.Device();
        EXPECT_EQ(CFAT32Table(dev.get(), 1, 4).IsValidFATTable(), rows[i].valid) << "row " << i;
    }
}

TEST(FatTable, LongReversedChainIsCheckedInLinearTime) {
    // One chain through every cluster from the last to the first: re-walking
    // tails would take count^2 steps.
    const unsigned spf = 2048; // 262144 entries
    TableImage t(FS_FAT32, spf);
    const std::uint32_t count = spf * 512 / 4;
    for (std::uint32_t i = 3; i < count; ++i) t.Set(i, i - 1);
    auto dev = t.Set(2, 0x0FFFFFFF).Device();
    CFAT32Table table(dev.get(), 1, spf);
    EXPECT_TRUE(table.IsValidFATTable());
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(fat::FollowClusterChain(table, count - 1, 0, chain), fat::ChainEnd::End);
    EXPECT_EQ(chain.size(), count - 2);
}

TEST(FatTable, FactoryPicksCopies) {
    auto dev = TableImage(FS_FAT16, 16).Set(2, 0xFFFF).Mirror().Set(3, 3, 0).Device(); // the first copy is damaged
    auto both = Double(dev.get(), 16, 1, 1);
    EXPECT_EQ(both->First(), nullptr);
    ASSERT_NE(both->Second(), nullptr);
    EXPECT_EQ(both->GetNextCluster(2), fat::kEndOfChain);
    auto onlyFirst = Double(dev.get(), 16, 1, 0);
    EXPECT_EQ(onlyFirst->First(), nullptr);
    EXPECT_EQ(onlyFirst->Second(), nullptr);
    EXPECT_EQ(onlyFirst->GetNextCluster(2), 0u);
    EXPECT_NE(Double(dev.get(), 16, 0, 1)->Second(), nullptr);

    auto good = TableImage(FS_FAT16, 16).Mirror().Device();
    auto w = Double(good.get(), 16, 1, 1);
    EXPECT_NE(w->First(), nullptr);
    EXPECT_EQ(w->Second(), nullptr);
    EXPECT_EQ(IFATTableFactory::CreateRealFATTable(good.get(), FS_NTFS, 1, 16), nullptr);
    good->FailSector(5); // an unreadable first copy is refused
    auto failed = Double(good.get(), 16, 1, 1);
    EXPECT_EQ(failed->First(), nullptr);
    EXPECT_NE(failed->Second(), nullptr);
}

TEST(FatTable, LargeFat32IsReadInPages) {
    // A FAT beyond the whole-read size (128000 sectors) over a sparse file.
    const unsigned spf = 130000;
    salvor::test::TempDir tmp;
    const std::string path = tmp.file("big.img");
    ASSERT_EQ(salvor::test::RunCommand("truncate -s " + std::to_string((1ull + spf) * 512) + " '" + path + "'"), 0);
    ASSERT_TRUE(fattest::WriteBytes(path, 512, {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F}));
    // A chain crossing a page boundary (1 MiB of entries): 262143 -> 262144 -> end.
    const std::uint32_t c = 262143;
    ASSERT_TRUE(fattest::WriteBytes(path, 512 + c * 4ull, {0x00, 0x00, 0x04, 0x00, 0xFF, 0xFF, 0xFF, 0x0F}));
    ImageDevice dev(path, 512);
    CFAT32Table table(&dev, 1, spf);
    EXPECT_TRUE(table.IsPaged());
    ASSERT_TRUE(table.IsValidFATTable());
    EXPECT_EQ(table.GetNextCluster(2), 3u);
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(fat::FollowClusterChain(table, c, 0, chain), fat::ChainEnd::End);
    EXPECT_EQ(chain, (std::vector<std::uint32_t>{c, c + 1}));
}

TEST(FatTable, ChainWalkStops) {
    auto dev = TableImage(FS_FAT16, 16).Set(2, 3).Set(3, 0xFFF7).Set(4, 5).Set(5, 4000).Device();
    auto loopDev = TableImage(FS_FAT16, 16).Set(2, 3).Set(3, 4).Set(4, 2).Device();
    CFAT16Table table(dev.get(), 1, 16), looped(loopDev.get(), 1, 16);
    EXPECT_FALSE(looped.IsValidFATTable());
    const struct {
        IFATTable& table;
        std::uint32_t first, count;
        fat::ChainEnd end;
        std::vector<std::uint32_t> chain;
    } rows[] = {{table, 2, 0, fat::ChainEnd::Bad, {2, 3}},
                {table, 4, 100, fat::ChainEnd::OutOfRange, {4, 5}},
                {table, 1, 0, fat::ChainEnd::OutOfRange, {}},
                {looped, 2, 0, fat::ChainEnd::Loop, {2, 3, 4}}};
    for (const auto& r : rows) {
        std::vector<std::uint32_t> chain;
        EXPECT_EQ(fat::FollowClusterChain(r.table, r.first, r.count, chain), r.end) << r.first;
        EXPECT_EQ(chain, r.chain) << r.first;
    }
}
