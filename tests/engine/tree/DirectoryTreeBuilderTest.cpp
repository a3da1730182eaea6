#include "engine/tree/DirectoryTreeBuilder.h"

#include "engine/common/DataRunList.h"
#include "tests/engine/tree/TreeFakes.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

using namespace salvor::test;

namespace {

constexpr long long kRoot = 5;

class TreeBuilderTest : public ::testing::Test {
protected:
    void SetUp() override { Make(false); }

    void Make(bool replay) {
        builder = std::make_unique<CDirectoryTreeBuilder>(replay, &clock);
        sink = std::make_unique<RecordingTree>();
        ASSERT_EQ(builder->Initialize("Card", sink.get(), &filter), 1);
    }

    // Adds and, when refused, releases the node as a searcher does.
    int Add(IFileNode* node, _tagSearcherType type = SEARCHER_FAT) {
        const int taken = builder->AddNode(node, type);
        if (!taken) node->Release();
        return taken;
    }
    void AddAll(std::initializer_list<IFileNode*> nodes, _tagSearcherType type = SEARCHER_FAT) {
        for (IFileNode* n : nodes) Add(n, type);
    }

    // Every shown node as its path below its tree's root, "*" marking deleted
    // names, sorted; no node may reach the sink twice.
    std::vector<std::string> Paths() const {
        auto all = sink->AllNodes();
        std::sort(all.begin(), all.end());
        EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a node was shown twice";
        std::vector<std::string> paths;
        for (IFileNode* n : all) {
            std::string path;
            for (int i = 0; n && n->GetParent() && i < 100; ++i, n = n->GetParent())
                path = std::string("/").append(n->GetFileName()).append(n->IsDeleted() ? "*" : "") + path;
            paths.push_back(path);
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }
    using Strings = std::vector<std::string>;

    FakeClock clock;
    FakeFilter filter;
    std::unique_ptr<RecordingTree> sink;
    std::unique_ptr<CDirectoryTreeBuilder> builder;
};

TEST_F(TreeBuilderTest, InitializeAndAddNodeRefuseWhatTheyCannotUse) {
    CDirectoryTreeBuilder b(false, &clock);
    EXPECT_EQ(std::vector({b.Initialize(nullptr, sink.get(), &filter), b.Initialize("x", nullptr, &filter),
                           b.Initialize("x", sink.get(), nullptr), b.Initialize("", sink.get(), &filter)}),
              std::vector({0, 0, 0, 1}));
    EXPECT_EQ(b.VolumeName(), "Disk");

    EXPECT_EQ(Add(File(10, kRoot, "a.jpg")), 0) << "no tree for the type yet";
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    filter.rejected.insert("no.doc");
    // No node, its own id as parent id, what the filter refuses, a folder's "." and ".." links.
    EXPECT_EQ(std::vector({builder->AddNode(nullptr, SEARCHER_FAT), Add(File(11, 11, "self.jpg")),
                           Add(File(12, kRoot, "no.doc")), Add(Dir(13, kRoot, ".")), Add(Dir(14, kRoot, ".."))}),
              std::vector({0, 0, 0, 0, 0}));
    EXPECT_EQ(builder->OwnedCount(), 0u);
}

TEST_F(TreeBuilderTest, NamesBeginningWithADotAreKeptAsTheyAre) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    AddAll({File(10, kRoot, ".bashrc"), File(11, kRoot, "..dots.."), Dir(12, kRoot, ".fseventsd"),
            File(13, 12, ".journal"), Dir(14, kRoot, ". hidden"), File(15, 14, "x")});
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(Paths(), (Strings{"/. hidden", "/. hidden/x", "/..dots..", "/.bashrc", "/.fseventsd",
                                "/.fseventsd/.journal"}));
}

TEST_F(TreeBuilderTest, RootsAreNamedAfterVolumeAndType) {
    const std::pair<_tagSearcherType, long long> trees[] = {
        {SEARCHER_NTFS, 5}, {SEARCHER_RAW_LABEL, 1000}, {SEARCHER_NONE, 1}};
    for (auto [type, root] : trees) {
        builder->AddSearcherInfo(type, root);
        Add(File(10 + root, root, "a.txt"), type);
    }
    for (auto [type, root] : trees) builder->FlashBuild(type);
    std::vector<std::tuple<std::string, std::string, long long>> roots;
    for (IFileNode* r : sink->Roots()) roots.emplace_back(r->GetFileName(), r->GetVolumeName(), r->GetCurrentNodeID());
    EXPECT_EQ(roots, (decltype(roots){{"Card(NTFS)", "Card", 5}, {"Card(Label RAW Files)", "Card", 1000},
                                      {"Card", "Card", 1}}));
    EXPECT_EQ(clock.slept, 3u) << "one pause per tree root, on the fake clock";
    EXPECT_EQ(sink->LostBatchCount(), 0u) << "every file found its parent";
}

TEST_F(TreeBuilderTest, ChildBeforeParentIsShownOnlyAfterTheParentArrives) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* file = File(10, 7, "photo.jpg");
    ASSERT_EQ(Add(file), 1);
    clock.now += 10; // a pass runs at the next add, but the parent is unknown
    ASSERT_EQ(Add(File(11, 8, "other.jpg")), 1);
    EXPECT_TRUE(sink->Batches().empty());

    clock.now += 10;
    ASSERT_EQ(Add(Dir(7, kRoot, "DCIM")), 1);
    ASSERT_EQ(sink->Batches().size(), 1u);
    EXPECT_EQ(sink->Batches()[0].lostBatch, 0);
    EXPECT_EQ(Paths(), (Strings{"/DCIM", "/DCIM/photo.jpg"}));
    EXPECT_EQ(file->GetParent()->GetParent(), sink->Roots().at(0));
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).shownWhileAdding, 2);
}

TEST_F(TreeBuilderTest, PassesWaitFor1024NodesOrThreeSeconds) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    for (int i = 0; i < 1023; ++i) Add(File(100 + i, kRoot, std::string("f").append(std::to_string(i)).append(".txt")));
    EXPECT_TRUE(sink->Batches().empty());
    Add(File(2000, kRoot, "last.txt"));
    ASSERT_EQ(sink->Batches().size(), 1u);
    EXPECT_EQ(sink->Batches()[0].nodes.size(), 1024u);

    clock.now += 2;
    Add(File(3000, kRoot, "soon.txt"));
    EXPECT_EQ(sink->Batches().size(), 1u);
    clock.now += 1; // three seconds since the last pass
    Add(File(3001, kRoot, "later.txt"));
    ASSERT_EQ(sink->Batches().size(), 2u);
    EXPECT_EQ(sink->Batches()[1].nodes.size(), 2u);
}

TEST_F(TreeBuilderTest, ParentThatNeverArrivesPutsTheFileUnderOtherLostFiles) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* orphan = File(10, 99, "lost.jpg");
    AddAll({orphan, File(11, 98, "empty.jpg", 0) /* no bytes */, Dir(12, 97, "nothing") /* no file below */,
            File(13, kRoot, "fine.jpg")});
    builder->FlashBuild(SEARCHER_FAT);

    EXPECT_EQ(Paths(), (Strings{"/Other lost files", "/Other lost files/lost.jpg", "/fine.jpg"}));
    EXPECT_EQ(sink->LostBatchCount(), 1u);
    const auto last = sink->Batches().back();
    ASSERT_EQ(last.nodes.size(), 2u);
    IFileNode* lost = last.nodes[1];
    EXPECT_EQ(std::tuple(last.lostBatch, last.nodes[0], std::string(lost->GetVolumeName()), lost->GetCurrentNodeID(),
                         lost->GetSearcheType(), lost->GetParent()),
              std::tuple(1, static_cast<IFileNode*>(orphan), std::string("LostFiles"), -1LL, SEARCHER_FAT,
                         sink->Roots().at(0)));
    EXPECT_EQ(builder->OwnedCount(), 3u) << "everything unshown was freed";
}

TEST_F(TreeBuilderTest, FolderWithoutFilesIsNotShownExceptInApfsTrees) {
    for (auto type : {SEARCHER_FAT, SEARCHER_APFS}) {
        builder->AddSearcherInfo(type, kRoot);
        AddAll({Dir(20, kRoot, "Empty"), Dir(21, 20, "AlsoEmpty"), Dir(22, kRoot, "Full"), File(23, 22, "x.txt")},
               type);
        builder->FlashBuild(type);
        EXPECT_EQ(sink->NodeCount(), type == SEARCHER_FAT ? 2u : 6u) << type;
    }
    EXPECT_EQ(Paths(), (Strings{"/Empty", "/Empty/AlsoEmpty", "/Full", "/Full", "/Full/x.txt", "/Full/x.txt"}));
}

TEST_F(TreeBuilderTest, MountedQuickScanShowsOnlyDeletedFilesAndDeletionPassesDown) {
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* goneFile = File(22, 20, "gone.doc");
    goneFile->m_deleted = true;
    auto* deletedDir = Dir(30, kRoot, "Deleted");
    deletedDir->m_deleted = true;
    // Sub before its deleted folder, inside.doc after it.
    AddAll({File(33, 32, "deep.txt"), Dir(32, 30, "Sub"), Dir(20, kRoot, "Live"), File(21, 20, "live.doc"),
            goneFile, deletedDir, File(31, 30, "inside.doc"), File(40, kRoot, "top.doc")});
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(Paths(), (Strings{"/Deleted*", "/Deleted*/Sub*", "/Deleted*/Sub*/deep.txt*", "/Deleted*/inside.doc*",
                                "/Live", "/Live/gone.doc*"}));
}

TEST_F(TreeBuilderTest, SameFileTwiceIsShownOnceAndMergeKeepsItsOwnRuns) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* first = File(10, kRoot, "a.jpg", 100);
    first->m_modified = _FILETIME::From(2000);
    first->SetDataRunList(Runs({{10, 2}}));
    ASSERT_EQ(Add(first), 1);

    auto* again = File(10, kRoot, "a.jpg", 300);
    again->m_modified = _FILETIME::From(1000); // older: its runs and size win
    again->SetDataRunList(Runs({{50, 4}}));
    EXPECT_EQ(Add(again), 0); // the searcher releases the dropped node with its runs

    EXPECT_EQ(first->GetFileSize(), 300);
    auto* runs = dynamic_cast<CDataRunList*>(first->GetDataRunList());
    ASSERT_NE(runs, nullptr);
    ASSERT_EQ(runs->Count(), 1u);
    EXPECT_EQ(std::pair(runs->Runs()[0].start, runs->Runs()[0].length), std::pair(50LL, 4LL));

    auto* other = File(10, kRoot, "a.jpg", 100);
    other->SetBelongedPartition(3);
    EXPECT_EQ(Add(other), 1) << "another partition is another file";
    EXPECT_EQ(builder->AddNode(other, SEARCHER_FAT), 1) << "the very same node again is taken once";
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(Paths(), (Strings{"/a.jpg", "/a.jpg"}));
}

TEST_F(TreeBuilderTest, ReplayKeepsEveryNodeEvenEqualOnes) {
    Make(true);
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    EXPECT_EQ(Add(File(10, kRoot, "a.jpg")), 1);
    EXPECT_EQ(Add(File(10, kRoot, "a.jpg")), 1);
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(sink->NodeCount(), 2u);
}

TEST_F(TreeBuilderTest, TrashesUnderTheRootMarksEverythingBelowDeleted) {
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    AddAll({File(22, 21, "report.pdf"), Dir(21, 20, "501"), Dir(20, 2, ".Trashes")}, SEARCHER_HFSPLUS);
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).trashId, std::optional<long long>(20));
    builder->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_EQ(Paths(), (Strings{"/.Trashes*", "/.Trashes*/501*", "/.Trashes*/501*/report.pdf*"}));
}

class HomeGuard {
public:
    explicit HomeGuard(const char* value) {
        if (const char* old = std::getenv("HOME")) saved_ = old;
        setenv("HOME", value, 1);
    }
    ~HomeGuard() { saved_ ? setenv("HOME", saved_->c_str(), 1) : unsetenv("HOME"); }

private:
    std::optional<std::string> saved_;
};

// The user's ".Trash" is found from HOME, whichever arrives first.
TEST_F(TreeBuilderTest, UsersTrashIsFoundFromHome) {
    const struct {
        const char* home;
        bool ancestorsFirst, isTrash;
    } cases[] = {{"/Users/bob", true, true}, {"/Users/bob/", false, true}, {"/Users/alice", true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.home) + (c.ancestorsFirst ? " ancestors first" : " ancestors last"));
        HomeGuard home(c.home);
        Make(false);
        filter.showNormal = 0;
        builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
        auto addAncestors = [&] { AddAll({Dir(10, 2, "Users"), Dir(11, 10, "bob")}, SEARCHER_HFSPLUS); };
        if (c.ancestorsFirst) addAncestors();
        AddAll({Dir(12, 11, ".Trash"), File(13, 12, "old.key")}, SEARCHER_HFSPLUS);
        if (!c.ancestorsFirst) addAncestors();
        // Settled while adding only when the path was complete.
        EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).trashId.has_value(), c.isTrash && c.ancestorsFirst);
        builder->FlashBuild(SEARCHER_HFSPLUS);
        EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).trashId.has_value(), c.isTrash);
        const Strings trash{"/Users", "/Users/bob", "/Users/bob/.Trash*", "/Users/bob/.Trash*/old.key*"};
        EXPECT_EQ(Paths(), c.isTrash ? trash : Strings{});
    }
}

// The walk up from a ".Trash" takes at most 65,536 folders: one deeper,
// though its path is HOME's, is not the user's trash.
TEST_F(TreeBuilderTest, UsersTrashDeeperThanTheWalkBoundIsNotTaken) {
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    constexpr long long kFolders = 65537;
    std::string home;
    for (long long i = 0; i < kFolders; ++i) {
        Add(Dir(100 + i, i ? 99 + i : 2, "d"), SEARCHER_HFSPLUS);
        home += "/d";
    }
    HomeGuard guard(home.c_str());
    Add(Dir(99 + kFolders + 1, 99 + kFolders, ".Trash"), SEARCHER_HFSPLUS);
    EXPECT_FALSE(builder->Stats(SEARCHER_HFSPLUS).trashId.has_value());
}

TEST_F(TreeBuilderTest, HiddenLiveFileWaitingWhileAddingIsShownWhenItsFolderTurnsOutToBeTrash) {
    HomeGuard home("/Users/bob");
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_FAT, 2);
    auto* file = File(13, 12, "old.key");
    AddAll({Dir(12, 11, ".Trash"), file, Dir(10, 2, "Users")});
    clock.now += 5; // passes run while adding: the live file is hidden
    Add(Dir(11, 10, "bob"));
    clock.now += 5;
    Add(File(14, 2, "other.txt"));
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).pending, 5u);
    const auto early = sink->AllNodes();
    EXPECT_EQ(std::find(early.begin(), early.end(), file), early.end());
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(Paths(), (Strings{"/Users", "/Users/bob", "/Users/bob/.Trash*", "/Users/bob/.Trash*/old.key*"}));
}

TEST_F(TreeBuilderTest, HfsPrivateDataFolderAndWhatIsPendingInsideItAreDropped) {
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    // Hard-link targets seen before their private folder.
    AddAll({Dir(50, 60, "iNode1"), Dir(51, 60, "iNode2"), File(52, 50, "linked.txt")}, SEARCHER_HFSPLUS);
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).pending, 3u);

    EXPECT_EQ(Add(Dir(60, 2, "HFS+ Private Data"), SEARCHER_HFSPLUS), 0);
    // The folders inside are gone from every holding; the file stays.
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).pending, 1u);
    EXPECT_EQ(builder->OwnedCount(), 1u);
    EXPECT_EQ(Add(Dir(53, 60, "iNode3"), SEARCHER_HFSPLUS), 0) << "later folders directly inside are refused";

    Add(File(70, 2, "a.txt"), SEARCHER_HFSPLUS);
    builder->FlashBuild(SEARCHER_HFSPLUS);
    // Its folder never came back: the file is a lost file.
    EXPECT_EQ(Paths(), (Strings{"/Other lost files", "/Other lost files/linked.txt", "/a.txt"}));
}

TEST_F(TreeBuilderTest, HfsTreeBuildsOnlyAfterItsPrivateDataFolderWhileAdding) {
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    for (int i = 0; i < 1100; ++i) Add(File(100 + i, 2, std::string("f").append(std::to_string(i))), SEARCHER_HFSPLUS);
    EXPECT_TRUE(sink->Batches().empty());
    Add(Dir(60, 2, "HFS+ Private Data"), SEARCHER_HFSPLUS);
    clock.now += 5;
    Add(File(5000, 2, "next"), SEARCHER_HFSPLUS);
    ASSERT_EQ(sink->Batches().size(), 1u);
    EXPECT_EQ(sink->Batches()[0].nodes.size(), 1101u);
}

// A folder that counts the reads of its name.
class CountedDir : public TestFileNode {
public:
    CountedDir(long long id, long long parent, const char* name, int& reads)
        : TestFileNode(id, parent, name, true), m_reads(reads) {}
    const char* GetFileName() override { return ++m_reads, TestFileNode::GetFileName(); }

private:
    int& m_reads;
};

TEST_F(TreeBuilderTest, IdCycleEndsTheWalkAndLandsInLostFiles) {
    builder->AddSearcherInfo(SEARCHER_NTFS, kRoot);
    int reads = 0;
    AddAll({new CountedDir(1, 2, "A", reads), new CountedDir(2, 1, "B", reads), File(3, 1, "f.txt")},
           SEARCHER_NTFS);
    clock.now += 10;
    Add(File(4, 2, "g.txt"), SEARCHER_NTFS); // a pass while adding, too
    // Whether a ".Trash" is the user's walks up by ids: once round the cycle.
    HomeGuard home("/Users/bob");
    reads = 0;
    Add(Dir(5, 1, ".Trash"), SEARCHER_NTFS);
    EXPECT_LT(reads, 10) << "names read walking up from the trash";
    builder->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(sink->Batches().back().lostBatch, 1);
    int files = 0; // both files, somewhere below "Other lost files"
    for (const auto& p : Paths()) {
        EXPECT_EQ(p.rfind("/Other lost files", 0), 0u) << p;
        files += p.ends_with("/f.txt") || p.ends_with("/g.txt");
    }
    EXPECT_EQ(files, 2);
}

TEST_F(TreeBuilderTest, SeveralFoldersUnderOneIdFallBackToTheFirst) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    // Other names: no duplicates. Neither has children, a partition of its
    // own or a place in the trash.
    AddAll({Dir(7, kRoot, "Old"), Dir(7, kRoot, "New"), File(8, 7, "first.txt")});
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(Paths(), (Strings{"/Old", "/Old/first.txt"}));
}

TEST_F(TreeBuilderTest, RecycleBinHoldingsStayWithTheirOwnTree) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    builder->AddSearcherInfo(SEARCHER_NTFS, kRoot);
    AddAll({Dir(30, kRoot, "RECYCLED"), File(31, 30, "Dc1.jpg")});
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).held, 2u);

    Add(File(40, kRoot, "n.txt"), SEARCHER_NTFS);
    builder->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(Paths(), Strings{"/n.txt"});
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).held, 2u);

    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(Paths(), (Strings{"/RECYCLED*", "/RECYCLED*/Dc1.jpg*", "/n.txt"}));
}

TEST_F(TreeBuilderTest, StoppedScanWithoutFlushFreesEverythingWithTheBuilder) {
    builder->AddSearcherInfo(SEARCHER_NTFS, kRoot);
    AddAll({Dir(30, kRoot, "$Recycle.Bin"), File(31, 30, "$IAB12.txt"), File(32, 99, "orphan.txt"),
            File(33, kRoot, "a.txt")},
           SEARCHER_NTFS);
    EXPECT_EQ(builder->OwnedCount(), 4u);
    builder.reset(); // LeakSanitizer checks the rest
}

} // namespace
