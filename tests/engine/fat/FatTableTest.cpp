// The table readers over small hand-laid tables written to an image file.
#include "engine/fat/FatTable.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <fstream>

using salvor::test::ImageDevice;

namespace {
// An image of `sectors` zero sectors with FAT entries laid at sector `at`.
class TableImage {
public:
    TableImage(enumFILE_SYSTEM_TYPE kind, unsigned sectorsPerFat, unsigned ss = 512)
        : kind_(kind), ss_(ss), bytes_(std::size_t{sectorsPerFat} * 2 * ss + ss, 0) {
        spf_ = sectorsPerFat;
        // Media and reserved entries.
        Set(0, kind == FS_FAT32 ? 0x0FFFFFF8 : kind == FS_FAT16 ? 0xFFF8 : 0xFF0);
        Set(1, kind == FS_FAT32 ? 0x0FFFFFFF : kind == FS_FAT16 ? 0xFFFF : 0xFFF);
    }
    void Set(std::uint32_t i, std::uint32_t v, int copy = 0) {
        std::size_t base = ss_ + std::size_t{spf_} * ss_ * copy;
        if (kind_ == FS_FAT32) {
            for (int b = 0; b < 4; ++b) bytes_[base + i * 4 + b] = static_cast<std::uint8_t>(v >> (8 * b));
        } else if (kind_ == FS_FAT16) {
            bytes_[base + i * 2] = static_cast<std::uint8_t>(v);
            bytes_[base + i * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
        } else {
            std::size_t off = base + i * 3 / 2;
            if (i & 1) {
                bytes_[off] = static_cast<std::uint8_t>((bytes_[off] & 0x0F) | ((v << 4) & 0xF0));
                bytes_[off + 1] = static_cast<std::uint8_t>(v >> 4);
            } else {
                bytes_[off] = static_cast<std::uint8_t>(v);
                bytes_[off + 1] = static_cast<std::uint8_t>((bytes_[off + 1] & 0xF0) | ((v >> 8) & 0x0F));
            }
        }
    }
    void SetBoth(std::uint32_t i, std::uint32_t v) {
        Set(i, v, 0);
        Set(i, v, 1);
    }
    // Both copies identical.
    void Mirror() {
        std::copy_n(bytes_.begin() + ss_, std::size_t{spf_} * ss_, bytes_.begin() + ss_ + std::size_t{spf_} * ss_);
    }
    std::unique_ptr<ImageDevice> Device() {
        const std::string path = tmp_.file("t.img");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()),
                                                    static_cast<std::streamsize>(bytes_.size()));
        return std::make_unique<ImageDevice>(path, ss_);
    }

private:
    salvor::test::TempDir tmp_;
    enumFILE_SYSTEM_TYPE kind_;
    unsigned ss_;
    unsigned spf_;
    std::vector<std::uint8_t> bytes_;
};
} // namespace

TEST(FatTable, Fat12EntriesAndMarks) {
    TableImage t(FS_FAT12, 2);
    t.Set(2, 3);
    t.Set(3, 0xFFF);
    t.Set(4, 0xFF8);
    t.Set(5, 0xFF7);
    auto dev = t.Device();
    CFAT12Table table(dev.get(), 1, 2);
    ASSERT_TRUE(table.IsValidFATTable());
    EXPECT_EQ(table.GetNextCluster(2), 3u);
    EXPECT_EQ(table.GetNextCluster(3), fat::kFat12EndOfChain);
    EXPECT_EQ(table.GetNextCluster(4), fat::kEndOfChain);
    EXPECT_EQ(table.GetNextCluster(5), fat::kBadCluster);
    EXPECT_EQ(table.GetNextCluster(100000), 0u);
    EXPECT_EQ(CFAT12Table(dev.get(), 1, 13).IsLoaded(), false);
}

TEST(FatTable, Fat16MarksRangesAndLoadBounds) {
    TableImage t(FS_FAT16, 16);
    t.Set(2, 0xFFFF);
    t.Set(3, 0xFFF7);
    auto dev = t.Device();
    CFAT16Table table(dev.get(), 1, 16);
    ASSERT_TRUE(table.IsValidFATTable());
    EXPECT_EQ(table.GetNextCluster(2), fat::kEndOfChain);
    EXPECT_EQ(table.GetNextCluster(3), fat::kBadCluster);
    EXPECT_EQ(table.GetNextCluster(table.GetEntryCount()), 0u);
    // 11 sectors per FAT at 512-byte sectors is not a FAT16 table.
    TableImage small(FS_FAT16, 11);
    auto sdev = small.Device();
    EXPECT_FALSE(CFAT16Table(sdev.get(), 1, 11).IsLoaded());
    std::unique_ptr<IFATTable> wrapper(IFATTableFactory::CreateFATTable(sdev.get(), 1, FS_FAT16, 11, 1, 1));
    ASSERT_NE(wrapper, nullptr);
    EXPECT_EQ(wrapper->GetNextCluster(2), 0u);
    // A cluster count cuts the entries answered.
    CFAT16Table cut(dev.get(), 1, 16, 100);
    EXPECT_EQ(cut.GetEntryCount(), 102u);
}

TEST(FatTable, Fat32EntriesAreMasked) {
    TableImage t(FS_FAT32, 4);
    t.Set(2, 0x10000003); // reserved top bits over a link to 3
    t.Set(3, 0xFFFFFFFF);
    t.Set(4, 0x0FFFFFF7);
    auto dev = t.Device();
    CFAT32Table table(dev.get(), 1, 4);
    ASSERT_TRUE(table.IsValidFATTable());
    EXPECT_EQ(table.GetNextCluster(2), 3u);
    EXPECT_EQ(table.GetNextCluster(3), 0x0FFFFFFFu);
    EXPECT_EQ(table.GetNextCluster(4), fat::kBadCluster);
}

TEST(FatTable, BodyAndChainTestsRefuseDamage) {
    auto validWith = [](auto change) {
        TableImage t(FS_FAT32, 4);
        change(t);
        auto dev = t.Device();
        return CFAT32Table(dev.get(), 1, 4).IsValidFATTable();
    };
    EXPECT_TRUE(validWith([](TableImage&) {}));
    EXPECT_FALSE(validWith([](TableImage& t) { t.Set(5, 5); }));     // links to itself
    EXPECT_FALSE(validWith([](TableImage& t) { t.Set(7, 1); }));     // 1 is never a cluster
    EXPECT_FALSE(validWith([](TableImage& t) { t.Set(7, 100000); })); // beyond the table
    EXPECT_FALSE(validWith([](TableImage& t) {                        // two chains join at 9
        t.Set(2, 9);
        t.Set(3, 9);
        t.Set(9, 0x0FFFFFFF);
    }));
    EXPECT_FALSE(validWith([](TableImage& t) { // 2 -> 3 -> 2
        t.Set(2, 3);
        t.Set(3, 2);
    }));
    EXPECT_FALSE(validWith([](TableImage& t) { t.Set(0, 0); })); // header
    EXPECT_TRUE(validWith([](TableImage& t) {
        t.Set(6, 0x0FFFFFF7);
        t.Set(2, 3);
        t.Set(3, 0x0FFFFFFF);
    }));
}

TEST(FatTable, LongReversedChainIsCheckedInLinearTime) {
    // One chain through every cluster from the last to the first: re-walking
    // tails would take count^2 steps.
    const unsigned spf = 2048; // 262144 entries
    TableImage t(FS_FAT32, spf);
    const std::uint32_t count = spf * 512 / 4;
    for (std::uint32_t i = 3; i < count; ++i) t.Set(i, i - 1);
    t.Set(2, 0x0FFFFFFF);
    auto dev = t.Device();
    CFAT32Table table(dev.get(), 1, spf);
    EXPECT_TRUE(table.IsValidFATTable());
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(fat::FollowClusterChain(table, count - 1, 0, chain), fat::ChainEnd::End);
    EXPECT_EQ(chain.size(), count - 2);
}

TEST(FatTable, FactoryPicksCopies) {
    TableImage t(FS_FAT16, 16);
    t.Set(2, 0xFFFF);
    t.Mirror();
    t.Set(3, 3, 0); // the first copy is damaged
    auto dev = t.Device();
    auto make = [&](int first, int second) {
        return std::unique_ptr<CDoubleFATTable>(
            static_cast<CDoubleFATTable*>(IFATTableFactory::CreateFATTable(dev.get(), 1, FS_FAT16, 16, first, second)));
    };
    auto both = make(1, 1);
    EXPECT_EQ(both->First(), nullptr);
    ASSERT_NE(both->Second(), nullptr);
    EXPECT_EQ(both->GetNextCluster(2), fat::kEndOfChain);
    auto onlyFirst = make(1, 0);
    EXPECT_EQ(onlyFirst->First(), nullptr);
    EXPECT_EQ(onlyFirst->Second(), nullptr);
    EXPECT_EQ(onlyFirst->GetNextCluster(2), 0u);
    EXPECT_NE(make(0, 1)->Second(), nullptr);

    TableImage good(FS_FAT16, 16);
    good.Mirror();
    auto gdev = good.Device();
    std::unique_ptr<CDoubleFATTable> w(
        static_cast<CDoubleFATTable*>(IFATTableFactory::CreateFATTable(gdev.get(), 1, FS_FAT16, 16, 1, 1)));
    EXPECT_NE(w->First(), nullptr);
    EXPECT_EQ(w->Second(), nullptr);
    EXPECT_EQ(IFATTableFactory::CreateRealFATTable(gdev.get(), FS_NTFS, 1, 16), nullptr);
    IFATTableFactory::DestroyFATTable(nullptr);
}

TEST(FatTable, UnreadableCopyIsRefused) {
    TableImage t(FS_FAT16, 16);
    t.Mirror();
    auto dev = t.Device();
    dev->FailSector(5);
    std::unique_ptr<CDoubleFATTable> w(
        static_cast<CDoubleFATTable*>(IFATTableFactory::CreateFATTable(dev.get(), 1, FS_FAT16, 16, 1, 1)));
    EXPECT_EQ(w->First(), nullptr);
    EXPECT_NE(w->Second(), nullptr);
}

TEST(FatTable, LargeFat32IsReadInPages) {
    // A FAT beyond the whole-read size (128000 sectors) over a sparse file.
    const unsigned spf = 130000;
    salvor::test::TempDir tmp;
    const std::string path = tmp.file("big.img");
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("truncate -s " + std::to_string((1ull + spf) * 512) + " '" + path + "'", &out), 0);
    std::vector<std::uint8_t> head = {0xF8, 0xFF, 0xFF, 0x0F, 0xFF, 0xFF, 0xFF, 0x0F, 3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F};
    ASSERT_TRUE(fattest::WriteBytes(path, 512, head));
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
    TableImage t(FS_FAT16, 16);
    t.Set(2, 3);
    t.Set(3, 0xFFF7);
    t.Set(4, 5);
    t.Set(5, 4000);
    auto dev = t.Device();
    CFAT16Table raw(dev.get(), 1, 16);
    std::vector<std::uint32_t> chain;
    EXPECT_EQ(fat::FollowClusterChain(raw, 2, 0, chain), fat::ChainEnd::Bad);
    chain.clear();
    EXPECT_EQ(fat::FollowClusterChain(raw, 4, 100, chain), fat::ChainEnd::OutOfRange);
    EXPECT_EQ(chain, (std::vector<std::uint32_t>{4, 5}));
    chain.clear();
    EXPECT_EQ(fat::FollowClusterChain(raw, 1, 0, chain), fat::ChainEnd::OutOfRange);
    EXPECT_TRUE(chain.empty());

    TableImage loop(FS_FAT16, 16);
    loop.Set(2, 3);
    loop.Set(3, 4);
    loop.Set(4, 2);
    auto ldev = loop.Device();
    CFAT16Table looped(ldev.get(), 1, 16);
    EXPECT_FALSE(looped.IsValidFATTable());
    chain.clear();
    EXPECT_EQ(fat::FollowClusterChain(looped, 2, 0, chain), fat::ChainEnd::Loop);
    EXPECT_EQ(chain.size(), 3u);
}
