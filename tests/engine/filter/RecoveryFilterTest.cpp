#include "engine/filter/RecoveryFilter.h"
#include "tests/support/TestFileNode.h"

#include <gtest/gtest.h>

using salvor::test::TestFileNode;

TEST(RecoveryFilter, FreshFilterShowsDeletedOnlyAndTakesEverything) {
    CRecoveryFilter f;
    EXPECT_EQ(f.ShowNormalFiles(), 0);
    TestFileNode doc(1, 0, "a.docx");
    EXPECT_EQ(f.IsFileNodeValid(&doc), 1);
    EXPECT_EQ(f.IsFileNodeValid(nullptr), 0);
    f.SetScanType(SCAN_DEEP);
    EXPECT_EQ(f.ShowNormalFiles(), 1);
    f.SetScanType(SCAN_QUICK_UNMOUNTED);
    EXPECT_EQ(f.ShowNormalFiles(), 1);
}

TEST(RecoveryFilter, PictureMask) {
    CRecoveryFilter f;
    f.SetFilterTypes(FILTER_PICTURE);
    TestFileNode folder(1, 0, "Docs", true), jpg(2, 0, "a.JPG"), jpgLower(3, 0, "b.jpg"), doc(4, 0, "c.doc"),
        bare(5, 0, "README");
    EXPECT_EQ(f.IsFileNodeValid(&folder), 1);
    EXPECT_EQ(f.IsFileNodeValid(&jpg), 1);
    EXPECT_EQ(f.IsFileNodeValid(&jpgLower), 1);
    EXPECT_EQ(f.IsFileNodeValid(&doc), 0);
    EXPECT_EQ(f.IsFileNodeValid(&bare), 0);

    f.SetFilterTypes(FILTER_OTHER);
    EXPECT_EQ(f.IsFileNodeValid(&bare), 1) << "no extension is 'other'";
    f.SetFilterTypes(64);
    EXPECT_EQ(f.IsFileNodeValid(&doc), 1) << "bit 64 alone selects nothing: everything passes";
    f.SetFilterTypes(FILTER_ALL);
    EXPECT_EQ(f.IsFileNodeValid(&doc), 1);
}

TEST(RecoveryFilter, NodeFileTypeBits) {
    CRecoveryFilter f;
    TestFileNode jpg(1, 0, "x.tar.JPG"), mp3(2, 0, "s.mp3"), mov(3, 0, "m.MOV"), zip(4, 0, "z.zip"),
        pdf(5, 0, "p.pdf"), odd(6, 0, "o.xyz"), none(7, 0, "");
    EXPECT_EQ(f.GetNodeFileType(&jpg), FILTER_PICTURE);
    EXPECT_EQ(f.GetNodeFileType(&mp3), FILTER_MUSIC);
    EXPECT_EQ(f.GetNodeFileType(&mov), FILTER_MOVIE);
    EXPECT_EQ(f.GetNodeFileType(&zip), FILTER_ARCHIVE);
    EXPECT_EQ(f.GetNodeFileType(&pdf), FILTER_DOCUMENT);
    EXPECT_EQ(f.GetNodeFileType(&odd), FILTER_OTHER);
    EXPECT_EQ(f.GetNodeFileType(&none), FILTER_OTHER);
    EXPECT_EQ(f.GetNodeFileType(nullptr), FILTER_OTHER);
}

TEST(RecoveryFilter, ProcessWideFilter) {
    IRecoveryFilter* a = CreateFilter();
    EXPECT_EQ(a, CreateFilter());
    a->Release();
    EXPECT_EQ(a, CreateFilter());
}
