// File-type manager, its hash table, the format table and text conversion.
#include "engine/common/FileTypeManager.h"
#include "engine/common/FormatTable.h"
#include "engine/common/KeHashTable.h"
#include "engine/common/TextConvert.h"
#include "engine/include/Progress.h"
#include "engine/include/ResultCode.h"
#include "engine/include/SearchedPartitionInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// An independent reading of the hash: a plain LCG crypt table and the
// two-accumulator loop, written from the description rather than the code.
struct ReferenceHash {
    unsigned long long table[1280];
    ReferenceHash() {
        unsigned long long seed = 0x00100001;
        for (int i = 0; i < 256; ++i)
            for (int r = 0; r < 5; ++r) {
                unsigned long long a = (seed * 125 + 3) % 0x2AAAAB;
                seed = (a * 125 + 3) % 0x2AAAAB;
                table[r * 256 + i] = ((a & 0xFFFF) << 16) | (seed & 0xFFFF);
            }
    }
    unsigned long long operator()(const std::string& key, int type) const {
        unsigned long long s1 = 0x7FED7FED, s2 = 0xEEEEEEEE;
        for (unsigned char c : key) {
            if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
            s1 = ((s1 + s2) ^ table[type * 256 + c]) & 0xFFFFFFFF;
            s2 = (s2 * 97 + c + s1) & 0xFFFFFFFF;
        }
        return s1;
    }
};

} // namespace

TEST(KeHash, MatchesAnIndependentImplementation) {
    ReferenceHash ref;
    for (const std::string key : {"", "jpg", "JPG", "docx", "tar.gz", "\xc3\xa9t\xc3\xa9", "\xff\xfe\x80"}) {
        for (int t = 0; t < 3; ++t)
            EXPECT_EQ(kehash::HashString(key.c_str(), t), ref(key, t)) << key << " type " << t;
    }
    EXPECT_EQ(kehash::HashString("", 0), 0x7FED7FEDu);
}

TEST(KeHash, InsertFindAndFullTable) {
    CKeHashTable<int, 16> t;
    EXPECT_EQ(t.GetHashTablePos(nullptr), -1);
    EXPECT_EQ(t.GetHashTablePos("a"), -1);
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(t.Insert(("k" + std::to_string(i)).c_str(), i));
    EXPECT_FALSE(t.Insert("overflow", 99));
    for (int i = 0; i < 16; ++i) {
        int v = -1;
        ASSERT_TRUE(t.Find(("K" + std::to_string(i)).c_str(), &v));
        EXPECT_EQ(v, i);
    }
    EXPECT_EQ(t.GetHashTablePos("absent"), -1) << "a full turn ends the search";
}

TEST(FileTypeManager, CategoriesIgnoreCase) {
    CFileTypeManager m;
    ASSERT_EQ(m.Initialize(), 1);
    EXPECT_EQ(m.GetFileTypeID("jpg"), FILE_TYPE_PICTURE);
    EXPECT_EQ(m.GetFileTypeID("JPG"), FILE_TYPE_PICTURE);
    EXPECT_EQ(m.GetFileTypeID("Mp3"), FILE_TYPE_MUSIC);
    EXPECT_EQ(m.GetFileTypeID("mov"), FILE_TYPE_MOVIE);
    EXPECT_EQ(m.GetFileTypeID("zip"), FILE_TYPE_ARCHIVE);
    EXPECT_EQ(m.GetFileTypeID("docx"), FILE_TYPE_DOCUMENT);
    EXPECT_EQ(m.GetFileTypeID("nope"), FILE_TYPE_OTHER);
    EXPECT_EQ(m.GetFileTypeID(""), FILE_TYPE_OTHER);
    EXPECT_EQ(m.GetFileTypeID(nullptr), FILE_TYPE_OTHER);
    EXPECT_EQ(m.GetFileTypeID("\xc3\xa9\xff"), FILE_TYPE_OTHER);
}

TEST(FileTypeManager, ListsSetByTheApplication) {
    const std::string saved = strPics;
    strPics = ";heic;;webp;";
    CFileTypeManager m;
    m.Initialize();
    EXPECT_EQ(m.GetFileTypeID("HEIC"), FILE_TYPE_PICTURE);
    EXPECT_EQ(m.GetFileTypeID("webp"), FILE_TYPE_PICTURE);
    EXPECT_EQ(m.GetFileTypeID("jpg"), FILE_TYPE_OTHER);
    strPics = saved;
}

TEST(FormatTable, RowsAndCategories) {
    EXPECT_STREQ(FormatExtension(0), "Raw");
    EXPECT_STREQ(FormatExtension(35), "JPG");
    EXPECT_STREQ(FormatExtension(119), "pkg");
    EXPECT_STREQ(FormatExtension(122), "icns");
    EXPECT_STREQ(FormatExtension(115), "FCPEVENT");
    EXPECT_STREQ(FormatExtension(146), "MLV");
    EXPECT_STREQ(FormatExtension(147), "");
    EXPECT_STREQ(FormatExtension(200), "");
    EXPECT_STREQ(FormatExtension(1999), "");
    EXPECT_STREQ(FormatExtension(2000), "");
    for (unsigned i = 0; i < kFormatCount; ++i) EXPECT_GT(std::strlen(FormatExtension(i)), 0u) << i;
    CFileTypeManager m;
    m.Initialize();
    EXPECT_EQ(m.GetFileTypeID(FormatExtension(35)), FILE_TYPE_PICTURE);
    EXPECT_EQ(m.GetFileTypeID(FormatExtension(43)), FILE_TYPE_MUSIC);
    EXPECT_EQ(m.GetFileTypeID(FormatExtension(23)), FILE_TYPE_DOCUMENT);
}

TEST(Utf8, ToUnicode) {
    wchar_t out[16];
    const unsigned char ascii[] = "abc";
    EXPECT_EQ(UTF8ToUNICODE(ascii, 3, out, 16), 3);
    EXPECT_EQ(UTF8ToUNICODE(ascii, 0, out, 16), 0);
    EXPECT_EQ(UTF8ToUNICODE(ascii, 3, out, 0), 0);
    EXPECT_EQ(UTF8ToUNICODE(ascii, -1, out, 16), 0);

    const unsigned char broken[] = {'a', 0xC3, 0x41};
    EXPECT_EQ(UTF8ToUNICODE(broken, 3, out, 16), 0);

    const unsigned char emoji[] = {'x', 0xF0, 0x9F, 0x98, 0x80};
    ASSERT_EQ(UTF8ToUNICODE(emoji, 5, out, 16), 3);
    EXPECT_EQ(out[1], 0xD83D);
    EXPECT_EQ(out[2], 0xDE00);
    EXPECT_EQ(UTF8ToUNICODE(emoji, 5, out, 2), 1) << "no room for the pair: stop before it";

    const unsigned char cut[] = {'a', 0xE2, 0x82};
    EXPECT_EQ(UTF8ToUNICODE(cut, 3, out, 16), 1) << "a sequence cut at the end stops there";
}

TEST(Utf8, ToAnsiKeepsWholeCharacters) {
    const std::string s = "caf\xc3\xa9 \xe6\x97\xa5";
    char out[64];
    unsigned long n = UTF8ToANSI(reinterpret_cast<const unsigned char*>(s.data()), s.size(), out, sizeof out);
    EXPECT_EQ(std::string(out, n), s);
    char small[4];
    n = UTF8ToANSI(reinterpret_cast<const unsigned char*>(s.data()), s.size(), small, sizeof small);
    EXPECT_EQ(std::string(small, n), "caf");
    const unsigned char broken[] = {0x80, 'a'};
    EXPECT_EQ(UTF8ToANSI(broken, 2, out, sizeof out), 0u);
}

TEST(TextConvert, Utf16KeepsSurrogatePairsAndReplacesBadUnits) {
    const std::uint8_t name[] = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0, 0, 0, 'z', 0};
    EXPECT_EQ(Utf16LeToUtf8(name, sizeof name), "a\xf0\x9f\x98\x80"
                                                 "b");
    const std::uint8_t lone[] = {0x3D, 0xD8, 'c', 0};
    EXPECT_EQ(Utf16LeToUtf8(lone, sizeof lone), "\xef\xbf\xbd"
                                                "c");
    const std::uint8_t odd[] = {'q', 0, 'r'};
    EXPECT_EQ(Utf16LeToUtf8(odd, sizeof odd), "q");
    EXPECT_EQ(Utf16LeToUtf8(nullptr, 4), "");
}

TEST(TextConvert, CharsetsTruncationAndSafeNames) {
    const std::uint8_t latin[] = {'f', 0xE9, 'e'};
    EXPECT_EQ(CharsetToUtf8("LATIN1", latin, 3), "f\xc3\xa9"
                                                  "e");
    const std::uint8_t badUtf8[] = {'a', 0xFF, 'b'};
    EXPECT_EQ(CharsetToUtf8("UTF-8", badUtf8, 3), "a\xef\xbf\xbd"
                                                  "b");
    EXPECT_EQ(CharsetToUtf8("NO-SUCH-SET", latin, 3), "");

    EXPECT_EQ(TruncateUtf8("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(TruncateUtf8("ab\xc3\xa9", 4), "ab\xc3\xa9");

    EXPECT_EQ(MakeSafeFileName("a/b"), "a_b");
    EXPECT_EQ(MakeSafeFileName(".."), "_..");
    EXPECT_EQ(MakeSafeFileName("."), "_.");
    EXPECT_EQ(MakeSafeFileName(""), "_");
    EXPECT_EQ(MakeSafeFileName(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(MakeSafeFileName("..x"), "..x");
}

TEST(Records, ProgressPartitionAndResultCodes) {
    static_assert(sizeof(_PROGRESS_INFO) == 4128);
    _PROGRESS_INFO p = MakeProgress(3, 7, 7, 1);
    EXPECT_EQ(p.state, 3u);
    EXPECT_EQ(p.reserved[4095], 0);

    for (unsigned bad : {0u, 100u, 513u}) EXPECT_EQ(CSearchedPartitionInfo(bad).GetSectorSize(), 512u);
    for (unsigned good : {1024u, 4096u}) EXPECT_EQ(CSearchedPartitionInfo(good).GetSectorSize(), good);
    CSearchedPartitionInfo info(4096);
    EXPECT_EQ(info.m_partitionIndex, 0xFFFF);
    EXPECT_EQ(info.m_fileSystemType, 10u);
    EXPECT_EQ(info.m_searcherField4, 1);
    EXPECT_EQ(info.GetType(), 4);
    info.m_score = 95;
    std::unique_ptr<CSearchedPartitionInfo> copy(info.Clone());
    EXPECT_EQ(copy->m_score, 95);
    EXPECT_EQ(copy->GetSectorSize(), 4096u);

    const ResultCode c = MakeResult(ResultLib::Writer, 0x15f, 0xd03);
    EXPECT_EQ(c, 0x10d015f00000d03ULL);
    EXPECT_TRUE(IsFailure(c));
    EXPECT_FALSE(IsFailure(0));
    EXPECT_EQ(ResultLibrary(c), 0x0d);
    EXPECT_EQ(ResultSite(c), 0x15f);
    EXPECT_EQ(ResultError(c), 0xd03u);
    EXPECT_STREQ(SearcherRootSuffix(SEARCHER_FAT), "(FAT/FAT32)");
    EXPECT_STREQ(SearcherRootSuffix(SEARCHER_NONE), "");
}
