#include "engine/filter/RecoveryFilter.h"
#include "tests/support/TestFileNode.h"

#include <gtest/gtest.h>

using salvor::test::TestFileNode;

TEST(RecoveryFilter, ScanTypesAndTypeMasks) {
    CRecoveryFilter f;
    EXPECT_EQ(f.ShowNormalFiles(), 0) << "a fresh filter shows deleted files only";
    for (auto type : {SCAN_DEEP, SCAN_QUICK_UNMOUNTED}) {
        f.SetScanType(type);
        EXPECT_EQ(f.ShowNormalFiles(), 1) << type;
    }
    TestFileNode folder(1, 0, "Docs", true), jpg(2, 0, "a.JPG"), jpgLower(3, 0, "b.jpg"), doc(4, 0, "c.doc"),
        bare(5, 0, "README");
    EXPECT_EQ(f.IsFileNodeValid(&doc), 1) << "and takes everything";
    const struct {
        unsigned mask;
        TestFileNode* node;
        int valid;
    } cases[] = {{FILTER_ALL, &doc, 1},      {FILTER_PICTURE, &folder, 1}, {FILTER_PICTURE, &jpg, 1},
                 {FILTER_PICTURE, &jpgLower, 1}, {FILTER_PICTURE, &doc, 0}, {FILTER_PICTURE, &bare, 0},
                 {FILTER_OTHER, &bare, 1},   // no extension is "other"
                 {64, &doc, 1}};             // bit 64 alone selects nothing: everything passes
    for (const auto& c : cases) {
        f.SetFilterTypes(c.mask);
        EXPECT_EQ(f.IsFileNodeValid(c.node), c.valid) << c.mask << " " << c.node->m_name;
    }
    EXPECT_EQ(f.IsFileNodeValid(nullptr), 0);
}

TEST(RecoveryFilter, NodeFileTypeBits) {
    CRecoveryFilter f;
    const std::pair<const char*, int> cases[] = {{"x.tar.JPG", FILTER_PICTURE}, {"s.mp3", FILTER_MUSIC},
                                                 {"m.MOV", FILTER_MOVIE},       {"z.zip", FILTER_ARCHIVE},
                                                 {"p.pdf", FILTER_DOCUMENT},    {"o.xyz", FILTER_OTHER},
                                                 {"", FILTER_OTHER}};
    for (auto [name, type] : cases) {
        TestFileNode node(1, 0, name);
        EXPECT_EQ(f.GetNodeFileType(&node), type) << name;
    }
    EXPECT_EQ(f.GetNodeFileType(nullptr), FILTER_OTHER);
}

TEST(RecoveryFilter, ProcessWideFilterOutlivesItsRelease) {
    IRecoveryFilter* a = CreateFilter();
    a->Release();
    EXPECT_EQ(a, CreateFilter());
    EXPECT_EQ(a->ShowNormalFiles(), a->ShowNormalFiles());
}
