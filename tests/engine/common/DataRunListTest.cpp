#include "engine/common/Bitmap.h"
#include "engine/common/DataRunList.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

std::vector<std::pair<long long, long long>> Collect(IDataRunList& l) {
    std::vector<std::pair<long long, long long>> out;
    for (DataRun* r = l.GetFirst(); r; r = l.GetNext()) out.emplace_back(r->start, r->length);
    return out;
}
void Add(CDataRunList& l, std::initializer_list<DataRun> runs) {
    for (const DataRun& r : runs) l.AddDataRun(&r);
}

TEST(DataRunList, MergesAdjacentRunsButNeverASparseOne) {
    CDataRunList l;
    EXPECT_EQ(l.GetFirst(), nullptr);
    EXPECT_TRUE(l.IsDone());
    Add(l, {{10, 5}, {15, 3}, {19, 2}, {-1, 4}, {3, 1}});
    l.AddDataRun(nullptr);
    using Runs = std::vector<std::pair<long long, long long>>;
    EXPECT_EQ(Collect(l), (Runs{{10, 8}, {19, 2}, {-1, 4}, {3, 1}}));
    EXPECT_TRUE(l.IsDone());
    EXPECT_EQ(l.GetNext(), nullptr);
}

TEST(DataRunList, CloneKeepsTheSourceCursorAndReadersOnTwoThreadsWalkTheirOwn) {
    CDataRunList l;
    for (long long i = 0; i < 1000; ++i) Add(l, {{i * 2, 1}});
    l.GetFirst();
    l.GetNext();
    IDataRunList* copy = l.Clone();
    EXPECT_EQ(l.GetNext()->start, 4) << "cloning must not move the source's cursor";
    EXPECT_EQ(Collect(*copy).size(), 1000u);
    copy->Release();
    auto walk = [&l] {
        for (int k = 0; k < 50; ++k) {
            IDataRunList* mine = l.Clone();
            EXPECT_EQ(Collect(*mine).size(), 1000u);
            mine->Release();
        }
    };
    std::thread t1(walk), t2(walk);
    t1.join();
    t2.join();
}

TEST(Bitmap, CreateSetGet) {
    TBitmap bm;
    EXPECT_FALSE(bm.CreateBitmap(0, 1));
    EXPECT_FALSE(bm.FillBitmap(1));
    ASSERT_TRUE(bm.CreateBitmap(9, 1));
    EXPECT_EQ(bm.GetBitmapSize(), 2u);
    EXPECT_FALSE(bm.CreateBitmap(0, 1));
    EXPECT_EQ(bm.GetMaxBitIndex(), 8) << "a refused create leaves the bitmap";

    ASSERT_TRUE(bm.SetBit(7, 1, 5)); // bits 7 and 8: the rest is cut
    for (int i = -1; i <= 9; ++i) EXPECT_EQ(bm.GetBit(i) != 0, i == 7 || i == 8) << i;
    EXPECT_EQ(bm.GetBitmapData()[0], 0x80);
    EXPECT_EQ(bm.GetBitmapData()[1], 0x01);
    EXPECT_FALSE(bm.SetBit(9, 1, 1));
    EXPECT_FALSE(bm.SetBit(-1, 1, 1));
    EXPECT_TRUE(bm.SetBit(3, 1, 0));
    EXPECT_EQ(bm.GetBit(3), 0);
    ASSERT_TRUE(bm.SetBit(7, 0, 2));
    EXPECT_EQ(bm.GetBit(8), 0);
    // FillBitmap's argument reads inverted: non-zero clears.
    ASSERT_TRUE(bm.FillBitmap(0));
    EXPECT_EQ(bm.GetBitmapData()[0], 0xFF);
    ASSERT_TRUE(bm.FillBitmap(1));
    EXPECT_EQ(bm.GetBitmapData()[1], 0x00);
    bm.DestroyBitmap();
    EXPECT_EQ(bm.GetBitmapData(), nullptr);
}

} // namespace
