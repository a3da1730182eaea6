// The carved-file trees and names, the label tree, node times and runs, and
// the analyser registry's tables and sets.
#include "engine/carver/RAWFileManager.h"
#include "engine/carver/RawFileAnalyserList.h"
#include "engine/carver/analysers/EpsAnalyser.h"
#include "engine/carver/analysers/JpegAnalyzer.h"
#include "engine/carver/analysers/PdfAnalyzer.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <memory>

#include <set>

using namespace salvor::test;

namespace {

using Strings = std::vector<std::string>;

CRawFileInfo Record(unsigned type, std::string name = "", int tag = -1, std::string value = "", long long start = 100) {
    CRawFileInfo r;
    r.m_eRawFileType = type;
    r.m_ullFileSize = 1000;
    r.m_llStartSector = start;
    r.m_strFileName = std::move(name);
    if (tag != -1 || !value.empty()) r.SetRawFileTagAndValue(static_cast<RAW_FILE_TAG>(tag), value);
    return r;
}

// Managers of two categories sharing one carve's state and label tree.
struct Trees {
    RecordingBuilder builder;
    CRawCarveState state;
    CLABELRAWTreeBuilder labels{state};
    CRAWFileManager pictures{1, FILE_TYPE_PICTURE, &builder, state, labels};
    CRAWFileManager documents{1, FILE_TYPE_DOCUMENT, &builder, state, labels};

    int File(CRawFileInfo r, CRAWFileManager* m = nullptr) { return (m ? *m : pictures).AddRawFileInfo(&r); }
    // Each AddNode since `from` as "type:id<parent:name".
    Strings Added(std::size_t from = 0) const {
        Strings out;
        for (std::size_t i = from; i < builder.nodes.size(); ++i) {
            IFileNode* n = builder.nodes[i];
            out.push_back(std::to_string(builder.types[i]) + ":" + std::to_string(n->GetCurrentNodeID()) + "<" +
                          std::to_string(n->GetParentNodeID()) + ":" + n->GetFileName());
        }
        return out;
    }
};

} // namespace

TEST(CarverTree, NamesFoldersAndIds) {
    Trees t;
    for (int i = 0; i < 3; ++i) t.File(Record(35));
    t.File(Record(51));
    t.File(Record(51, "  "));
    t.File(Record(51, "Beach"));
    t.File(Record(51, ".hidden"));
    t.File(Record(50), &t.documents);
    EXPECT_EQ(t.Added(), (Strings{"34:10000<10:FILE000.JPG", "34:10<1:jpg", "34:10001<10:FILE001.JPG",
                                  "34:10002<10:FILE002.JPG", "34:10003<11:FILE000.PNG", "34:11<1:png",
                                  "34:10004<11:FILE001.PNG", "34:10005<11:Beach002.PNG", "34:10006<11:hidden003.PNG",
                                  "34:10007<12:FILE000.PDF", "34:12<1:pdf"}));

    // A long name is cut on a character boundary; a name that is not UTF-8 is not used.
    std::string longName;
    for (int i = 0; i < 150; ++i) longName += "\xC3\xA9"; // é
    const std::string stem = CRAWFileNode::UsableName(longName);
    EXPECT_EQ(stem.size(), 200u);
    EXPECT_EQ(stem.substr(198), "\xC3\xA9");
    EXPECT_EQ(CRAWFileNode::UsableName("bad\xC3"), "");
    EXPECT_EQ(CRAWFileNode::UsableName("..a/b"), "a/b"); // "/" is filtered when the record's name is read
}

TEST(CarverTree, LabelTree) {
    Trees t;
    t.File(Record(35, "", 1, "Nikon D70"));
    t.File(Record(35, "", 1, "Nikon D70"));
    EXPECT_EQ(t.Added(), (Strings{"36:2002<2001:FILE000.JPG", "36:2001<-15:Nikon D70", "36:-15<1000:Camera",
                                  "36:2003<2001:FILE001.JPG"}));
    const std::size_t mark = t.builder.nodes.size();
    t.File(Record(71, "", 2, "Ann"), &t.documents);
    t.File(Record(43, "", 0, "Ann"));
    t.File(Record(50, "", 4, "Ann"), &t.documents);
    EXPECT_EQ(t.Added(mark), (Strings{"36:2005<2004:FILE000.XLS", "36:2004<-11:Ann", "36:-11<-13:Excel",
                                      "36:-13<1000:Office", "36:2007<2006:FILE000.MP3", "36:2006<-14:Ann",
                                      "36:-14<1000:Artists", "36:2009<2008:FILE000.PDF", "36:2008<-7:Ann",
                                      "36:-7<1000:PDF"}));
    // By tag alone: a value without a tag, an Office label on a picture and a
    // tag past 5 all go to the tree by category.
    const std::size_t mark2 = t.builder.nodes.size();
    t.File(Record(35, "", -1, "Loose"));
    t.File(Record(35, "", 2, "Ann"));
    t.File(Record(35, "", 9, "Nine"));
    for (_tagSearcherType type : std::vector<_tagSearcherType>(t.builder.types.begin() + static_cast<long>(mark2),
                                                               t.builder.types.end()))
        EXPECT_EQ(type, SEARCHER_RAW);
    // A refused file leaves its new folders for the next file placed.
    Trees r;
    r.builder.refuseFrom = 0;
    EXPECT_EQ(r.File(Record(35, "", 1, "Canon")), 0);
    r.builder.refuseFrom = -1;
    EXPECT_EQ(r.File(Record(35, "", 1, "Canon")), 1);
    EXPECT_EQ(r.Added(), (Strings{"36:2003<2001:FILE001.JPG", "36:2001<-15:Canon", "36:-15<1000:Camera"}));
}

TEST(CarverTree, RunsAndTimes) {
    CRawCarveState state;
    std::vector<long long> runs;
    for (unsigned ss : {512u, 4096u})
        for (unsigned long long size : {1ull, 4097ull}) {
            state.sectorSize = ss;
            CRawFileInfo r = Record(35);
            r.m_ullFileSize = size;
            CRAWFileProperties p;
            p.InitRawFileProperties(r, ss);
            DataRun* run = p.GetDataRunList()->GetFirst();
            runs.push_back(run ? run->start * 1000 + run->length : -1);
        }
    EXPECT_EQ(runs, (std::vector<long long>{100001, 100009, 100001, 100002}));

    ScopedTz utc("UTC");
    const std::uint64_t t2021 = (1614834367ull) * 10000000ull + 116444736000000000ull; // 2021-03-04 05:06:07
    std::vector<std::uint64_t> times;
    for (const char* text : {"2021:03:04 05:06:07", "  2021-03-04-05-06-07 +01:00", "2021:03:04", "0000:00:00 00:00:00",
                             "2021:13:04 05:06:07", "x", "2021:03:04 05:06:0x"})
        times.push_back(RawTimeTextToFileTime(text).Value());
    EXPECT_EQ(times, (std::vector<std::uint64_t>{t2021, t2021, 0, 0, 0, 0, 0}));
}

TEST(CarverRegistry, RowTablesAndSets) {
    const auto map = RawAnalyserRows(RawAnalyserTable::Map);
    const auto multi = RawAnalyserRows(RawAnalyserTable::Multimap);
    const auto list = RawAnalyserRows(RawAnalyserTable::List);
    ASSERT_EQ(std::tuple(map.size(), multi.size(), list.size()), std::tuple(81u, 41u, 9u));
    std::set<unsigned> keys;
    for (const auto& row : map) keys.insert(row.key);
    EXPECT_EQ(keys.size(), 81u);
    auto names = [&](unsigned key) {
        Strings out;
        for (const auto& row : multi)
            if (row.key == key) out.push_back(row.analyser);
        return out;
    };
    EXPECT_EQ(names(0x2125), (Strings{"BruteForce::PdfAnalyzer", "BruteForce::CEPSAnalyser"}));
    EXPECT_EQ(names(0xFEFF), (Strings{"BruteForce::MP3Analyzer", "RawSpeed::HTMLAnalyser", "FileUnicodeHTMAnalyser"}));
    EXPECT_EQ(names(0), (Strings{"BruteForce::MovAnalyzer", "BruteForce::Mp4Analyzer", "BruteForce::C3GPAnalyser"}));
    EXPECT_EQ(std::tuple(std::string(map[4].analyser), map[29].key, std::string(list[8].analyser)),
              std::tuple(std::string("BruteForce::PdfAnalyzer"), 0xC6D3D0C5u, std::string("RawSpeed::PSAFE3Analyser")));

    // Set 1 holds the analysers built so far and is what any other set number gives.
    auto* registry = CRawFileAnalyserListSingle::CreateInstance();
    EXPECT_EQ(&registry->GetAnalyserMap(7), &registry->GetAnalyserMap(1));
    EXPECT_NE(&registry->GetAnalyserMap(0), &registry->GetAnalyserMap(1));
    // One analyser per map row whose class is built (later formats add theirs).
    std::size_t built = 0;
    for (const auto& row : map) built += std::unique_ptr<IRawFileAnalyser>(CreateRawAnalyser(row.analyser)) != nullptr;
    ASSERT_EQ(registry->GetAnalyserMap(1).size(), built);
    EXPECT_NE(dynamic_cast<BruteForce::CEPSAnalyser*>(registry->GetAnalyserMap(1).at(0xC6D3D0C5u)), nullptr);
    EXPECT_NE(dynamic_cast<BruteForce::PdfAnalyzer*>(registry->GetAnalyserMap(1).at(map[4].key)), nullptr);
    EXPECT_EQ(registry->GetAnalyserMultimap(1).count(0x2125), 2u);
    ASSERT_EQ(registry->GetAnalyserMap(1).count(0xE1FFD8FFu), 1u);
    EXPECT_NE(dynamic_cast<BruteForce::JpegAnalyzer*>(registry->GetAnalyserMap(1).at(0xE1FFD8FFu)), nullptr);

    // With a factory in every row, rebuilding twice leaves one object per row.
    static int live = 0;
    struct Counted : IRawFileAnalyser {
        Counted() { ++live; }
        ~Counted() override { --live; }
        int AnalyseBuffer(unsigned char*, CRawFileInfo&) override { return 0; }
    };
    CRawFileAnalyserListSingle::SetRowFactory([](RawAnalyserTable, std::size_t, const RawAnalyserRow&) {
        return static_cast<IRawFileAnalyser*>(new Counted());
    });
    registry->ReinitAnalyzeList();
    registry->ReinitAnalyzeList();
    EXPECT_EQ(std::tuple(live, registry->GetAnalyserMap(0).size(), registry->GetAnalyserMultimap(0).size(),
                         registry->GetAnalyserList(0).size()),
              std::tuple(131, 81u, 41u, 9u));
    CRawFileAnalyserListSingle::SetRowFactory({});
    registry->ReinitAnalyzeList();
    EXPECT_EQ(live, 0);
}

TEST(CarveJudge, Verdicts) {
    const std::vector<std::uint8_t> sample{1, 2, 3, 0, 0};
    auto judge = [&](std::vector<std::uint8_t> carved, std::uint64_t extra = 0, std::uint64_t cap = 0) {
        return JudgeCarve(sample, carved, 4, extra, cap);
    };
    EXPECT_EQ((Strings{judge(sample), judge({1, 2, 3, 0, 0, 9, 9, 9, 9}), judge({1, 2, 3}), judge({1, 2}, 0, 2),
                       judge({1, 2, 3, 0, 0, 9, 9, 9, 9, 9}), judge({1, 2, 3, 0, 0, 9, 9, 9, 9, 9}, 5),
                       judge({1, 2}), judge({1, 7, 3, 0, 0})}),
              (Strings{"", "", "", "", "5 bytes past the sample", "", "3 bytes short", "differs within the sample"}));
}
