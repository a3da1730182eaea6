#include "engine/common/Bitmap.h"
#include "engine/common/DataRunList.h"

#include <gtest/gtest.h>

#include <thread>

namespace {
std::vector<DataRun> Collect(IDataRunList& l) {
    std::vector<DataRun> out;
    for (DataRun* r = l.GetFirst(); r; r = l.GetNext()) out.push_back(*r);
    return out;
}
} // namespace

TEST(DataRunList, MergesAdjacentRuns) {
    CDataRunList l;
    DataRun a{10, 5}, b{15, 3}, c{19, 2};
    l.AddDataRun(&a);
    l.AddDataRun(&b);
    ASSERT_EQ(l.Count(), 1u);
    EXPECT_EQ(l.Runs()[0].length, 8);
    l.AddDataRun(&c);
    ASSERT_EQ(l.Count(), 2u);
    l.AddDataRun(nullptr);
    EXPECT_EQ(l.Count(), 2u);
}

TEST(DataRunList, SparseRunNeverGrows) {
    CDataRunList l;
    DataRun sparse{-1, 4}, next{3, 1};
    l.AddDataRun(&sparse);
    l.AddDataRun(&next);
    EXPECT_EQ(l.Count(), 2u);
}

TEST(DataRunList, CursorWalk) {
    CDataRunList l;
    EXPECT_EQ(l.GetFirst(), nullptr);
    EXPECT_TRUE(l.IsDone());
    DataRun a{1, 1}, b{5, 1};
    l.AddDataRun(&a);
    l.AddDataRun(&b);
    ASSERT_NE(l.GetFirst(), nullptr);
    EXPECT_FALSE(l.IsDone());
    EXPECT_EQ(l.GetNext()->start, 5);
    EXPECT_EQ(l.GetNext(), nullptr);
    EXPECT_TRUE(l.IsDone());
    EXPECT_EQ(l.GetNext(), nullptr);
    EXPECT_EQ(l.GetDataRunListType(), 5);
    EXPECT_EQ(l.GetOffset(), 0);
    EXPECT_FALSE(l.IsResident());
}

TEST(DataRunList, CloneMergesAndKeepsTheSourceCursor) {
    CDataRunList l;
    DataRun a{1, 1}, b{5, 1}, c{9, 1};
    l.AddDataRun(&a);
    l.AddDataRun(&b);
    l.AddDataRun(&c);
    l.GetFirst();
    l.GetNext();
    IDataRunList* copy = l.Clone();
    EXPECT_EQ(l.GetNext()->start, 9) << "cloning must not move the source's cursor";
    EXPECT_EQ(Collect(*copy).size(), 3u);
    copy->Release();
}

TEST(DataRunList, ReadersOnTwoThreadsWalkTheirOwnClones) {
    CDataRunList l;
    for (long long i = 0; i < 1000; ++i) {
        DataRun r{i * 2, 1};
        l.AddDataRun(&r);
    }
    auto walk = [&l] {
        for (int k = 0; k < 50; ++k) {
            IDataRunList* mine = l.Clone();
            size_t n = Collect(*mine).size();
            mine->Release();
            ASSERT_EQ(n, 1000u);
        }
    };
    std::thread t1(walk), t2(walk);
    t1.join();
    t2.join();
}

TEST(Bitmap, CreateSetGet) {
    TBitmap bm;
    EXPECT_EQ(bm.GetBitmapData(), nullptr);
    EXPECT_FALSE(bm.CreateBitmap(0, 1));
    EXPECT_FALSE(bm.FillBitmap(1));
    ASSERT_TRUE(bm.CreateBitmap(9, 1));
    EXPECT_EQ(bm.GetBitmapSize(), 2u);
    EXPECT_EQ(bm.GetMaxBitIndex(), 8);
    EXPECT_FALSE(bm.CreateBitmap(0, 1));
    EXPECT_EQ(bm.GetMaxBitIndex(), 8) << "a refused create leaves the bitmap";

    ASSERT_TRUE(bm.SetBit(7, 1, 5));
    for (int i = 0; i < 9; ++i) EXPECT_EQ(bm.GetBit(i) != 0, i >= 7) << i;
    EXPECT_EQ(bm.GetBitmapData()[0], 0x80);
    EXPECT_EQ(bm.GetBitmapData()[1], 0x01);
    EXPECT_EQ(bm.GetBit(-1), 0);
    EXPECT_EQ(bm.GetBit(9), 0);
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
