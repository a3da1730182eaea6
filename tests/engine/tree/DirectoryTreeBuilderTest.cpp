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

    IFileNode* Shown(const std::string& name) const {
        for (IFileNode* n : sink->AllNodes())
            if (n->GetFileName() == name) return n;
        return nullptr;
    }
    bool IsShown(IFileNode* node) const {
        const auto all = sink->AllNodes();
        return std::find(all.begin(), all.end(), node) != all.end();
    }
    // No node reaches the sink twice.
    void ExpectEachShownOnce() const {
        auto all = sink->AllNodes();
        std::sort(all.begin(), all.end());
        EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
    }
    static std::string ParentName(IFileNode* n) {
        return n && n->GetParent() ? n->GetParent()->GetFileName() : "";
    }
    bool HasAncestorNamed(IFileNode* n, const std::string& name) const {
        for (int i = 0; n && i < 100; ++i, n = n->GetParent())
            if (n->GetFileName() == name) return true;
        return false;
    }

    FakeClock clock;
    FakeFilter filter;
    std::unique_ptr<RecordingTree> sink;
    std::unique_ptr<CDirectoryTreeBuilder> builder;
};

TEST_F(TreeBuilderTest, InitializeRefusesMissingArgumentsAndNamesEmptyVolumeDisk) {
    CDirectoryTreeBuilder b(false, &clock);
    EXPECT_EQ(b.Initialize(nullptr, sink.get(), &filter), 0);
    EXPECT_EQ(b.Initialize("x", nullptr, &filter), 0);
    EXPECT_EQ(b.Initialize("x", sink.get(), nullptr), 0);
    EXPECT_EQ(b.Initialize("", sink.get(), &filter), 1);
    EXPECT_EQ(b.VolumeName(), "Disk");
}

TEST_F(TreeBuilderTest, RefusesNodesItCannotPlace) {
    // No tree for the type yet.
    auto* f = File(10, kRoot, "a.jpg");
    EXPECT_EQ(builder->AddNode(f, SEARCHER_FAT), 0);
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    EXPECT_EQ(builder->AddNode(nullptr, SEARCHER_FAT), 0);
    // Own id as parent id.
    auto* self = File(11, 11, "self.jpg");
    EXPECT_EQ(builder->AddNode(self, SEARCHER_FAT), 0);
    // Filter says no.
    filter.rejected.insert("no.doc");
    auto* rejected = File(12, kRoot, "no.doc");
    EXPECT_EQ(builder->AddNode(rejected, SEARCHER_FAT), 0);
    // Hidden file names.
    auto* dot = File(13, kRoot, ".DS_Store");
    EXPECT_EQ(builder->AddNode(dot, SEARCHER_FAT), 0);
    for (IFileNode* n : {static_cast<IFileNode*>(f), static_cast<IFileNode*>(self), static_cast<IFileNode*>(rejected),
                         static_cast<IFileNode*>(dot)})
        n->Release();
    EXPECT_EQ(builder->OwnedCount(), 0u);
}

TEST_F(TreeBuilderTest, RootsAreNamedAfterVolumeAndType) {
    builder->AddSearcherInfo(SEARCHER_NTFS, 5);
    builder->AddSearcherInfo(SEARCHER_RAW_LABEL, 1000);
    builder->AddSearcherInfo(SEARCHER_NONE, 1);
    Add(File(10, 5, "a.txt"), SEARCHER_NTFS);
    Add(File(11, 1000, "b.txt"), SEARCHER_RAW_LABEL);
    Add(File(12, 1, "c.txt"), SEARCHER_NONE);
    for (auto t : {SEARCHER_NTFS, SEARCHER_RAW_LABEL, SEARCHER_NONE}) builder->FlashBuild(t);
    const auto roots = sink->Roots();
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_STREQ(roots[0]->GetFileName(), "Card(NTFS)");
    EXPECT_STREQ(roots[0]->GetVolumeName(), "Card");
    EXPECT_EQ(roots[0]->GetSearcheType(), SEARCHER_NTFS);
    EXPECT_EQ(roots[0]->GetCurrentNodeID(), 5);
    EXPECT_TRUE(roots[0]->IsDirectory());
    EXPECT_STREQ(roots[1]->GetFileName(), "Card(Label RAW Files)");
    EXPECT_STREQ(roots[2]->GetFileName(), "Card");
    // One pause per tree root, taken on the fake clock.
    EXPECT_EQ(clock.slept, 3u);
}

TEST_F(TreeBuilderTest, ChildBeforeParentIsShownOnlyAfterTheParentArrives) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* file = File(10, 7, "photo.jpg");
    ASSERT_EQ(Add(file), 1);
    clock.now += 10; // a pass runs at the next add, but the parent is unknown
    ASSERT_EQ(Add(File(11, 8, "other.jpg")), 1);
    EXPECT_TRUE(sink->Batches().empty());

    clock.now += 10;
    auto* dir = Dir(7, kRoot, "DCIM");
    ASSERT_EQ(Add(dir), 1);
    const auto batches = sink->Batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].lostBatch, 0);
    EXPECT_TRUE(IsShown(file));
    EXPECT_TRUE(IsShown(dir));
    EXPECT_EQ(file->GetParent(), dir);
    EXPECT_EQ(dir->GetParent(), sink->Roots().at(0));
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).shownWhileAdding, 2);
}

TEST_F(TreeBuilderTest, PassesWaitFor1024NodesOrThreeSeconds) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    for (int i = 0; i < 1023; ++i) Add(File(100 + i, kRoot, "f" + std::to_string(i) + ".txt"));
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
    Add(orphan);
    Add(File(11, 98, "empty.jpg", 0));      // no bytes: stays behind
    Add(Dir(12, 97, "nothing"));             // no file below: stays behind
    Add(File(13, kRoot, "fine.jpg"));
    builder->FlashBuild(SEARCHER_FAT);

    const auto batches = sink->Batches();
    ASSERT_FALSE(batches.empty());
    const auto& last = batches.back();
    EXPECT_EQ(last.lostBatch, 1);
    EXPECT_EQ(sink->LostBatchCount(), 1u);
    ASSERT_EQ(last.nodes.size(), 2u);
    EXPECT_EQ(last.nodes[0], orphan);
    IFileNode* lost = last.nodes.back();
    EXPECT_STREQ(lost->GetFileName(), "Other lost files");
    EXPECT_STREQ(lost->GetVolumeName(), "LostFiles");
    EXPECT_EQ(lost->GetCurrentNodeID(), -1);
    EXPECT_EQ(lost->GetSearcheType(), SEARCHER_FAT);
    EXPECT_EQ(orphan->GetParent(), lost);
    EXPECT_EQ(lost->GetParent(), sink->Roots().at(0));
    EXPECT_EQ(Shown("empty.jpg"), nullptr);
    EXPECT_EQ(Shown("nothing"), nullptr);
    EXPECT_NE(Shown("fine.jpg"), nullptr);
    ExpectEachShownOnce();
    // Everything unshown was freed; what is left is the shown nodes.
    EXPECT_EQ(builder->OwnedCount(), 3u);
}

TEST_F(TreeBuilderTest, NoLostBatchWhenEverythingFoundItsParent) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    Add(File(10, kRoot, "a.jpg"));
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(sink->LostBatchCount(), 0u);
    EXPECT_EQ(Shown("Other lost files"), nullptr);
}

TEST_F(TreeBuilderTest, FolderWithoutFilesIsNotShownExceptInApfsTrees) {
    for (auto type : {SEARCHER_FAT, SEARCHER_APFS}) {
        builder->AddSearcherInfo(type, kRoot);
        Add(Dir(20, kRoot, "Empty"), type);
        Add(Dir(21, 20, "AlsoEmpty"), type);
        Add(Dir(22, kRoot, "Full"), type);
        Add(File(23, 22, "x.txt"), type);
        builder->FlashBuild(type);
    }
    auto shownIn = [&](_tagSearcherType type, const std::string& name) {
        for (IFileNode* n : sink->AllNodes())
            if (n->GetFileName() == name && n->GetParent() && HasAncestorNamed(n, std::string("Card") +
                                                                                      SearcherRootSuffix(type)))
                return true;
        return false;
    };
    EXPECT_FALSE(shownIn(SEARCHER_FAT, "Empty"));
    EXPECT_FALSE(shownIn(SEARCHER_FAT, "AlsoEmpty"));
    EXPECT_TRUE(shownIn(SEARCHER_FAT, "Full"));
    EXPECT_TRUE(shownIn(SEARCHER_APFS, "Empty"));
    EXPECT_TRUE(shownIn(SEARCHER_APFS, "AlsoEmpty"));
}

TEST_F(TreeBuilderTest, MountedQuickScanShowsOnlyDeletedFiles) {
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* liveDir = Dir(20, kRoot, "Live");
    auto* liveFile = File(21, 20, "live.doc");
    auto* goneFile = File(22, 20, "gone.doc");
    goneFile->m_deleted = true;
    auto* deletedDir = Dir(30, kRoot, "Deleted");
    deletedDir->m_deleted = true;
    auto* inDeleted = File(31, 30, "inside.doc");
    auto* rootLive = File(40, kRoot, "top.doc");
    for (auto* n : {liveDir, liveFile, goneFile, deletedDir, inDeleted, rootLive}) Add(n);
    builder->FlashBuild(SEARCHER_FAT);

    EXPECT_NE(Shown("gone.doc"), nullptr);
    EXPECT_NE(Shown("Live"), nullptr);
    EXPECT_EQ(Shown("live.doc"), nullptr);
    EXPECT_EQ(Shown("top.doc"), nullptr);
    ASSERT_NE(Shown("inside.doc"), nullptr);
    EXPECT_TRUE(inDeleted->IsDeleted());
    EXPECT_EQ(inDeleted->GetParent(), deletedDir);
    ExpectEachShownOnce();
}

TEST_F(TreeBuilderTest, LiveFolderInsideDeletedFolderPassesDeletionDown) {
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* gone = Dir(30, kRoot, "Gone");
    gone->m_deleted = true;
    auto* sub = Dir(31, 30, "Sub");
    auto* file = File(32, 31, "deep.txt");
    Add(file);
    Add(sub);
    Add(gone);
    builder->FlashBuild(SEARCHER_FAT);
    ASSERT_TRUE(IsShown(file));
    EXPECT_TRUE(sub->IsDeleted());
    EXPECT_TRUE(file->IsDeleted());
    EXPECT_EQ(file->GetParent(), sub);
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
    EXPECT_EQ(builder->AddNode(again, SEARCHER_FAT), 0);
    again->Release(); // the searcher releases the dropped node with its runs

    EXPECT_EQ(first->GetFileSize(), 300);
    auto* runs = dynamic_cast<CDataRunList*>(first->GetDataRunList());
    ASSERT_NE(runs, nullptr);
    ASSERT_EQ(runs->Count(), 1u);
    EXPECT_EQ(runs->Runs()[0].start, 50);
    EXPECT_EQ(runs->Runs()[0].length, 4);

    // Another partition is another file.
    auto* other = File(10, kRoot, "a.jpg", 100);
    other->SetBelongedPartition(3);
    EXPECT_EQ(Add(other), 1);

    builder->FlashBuild(SEARCHER_FAT);
    int count = 0;
    for (IFileNode* n : sink->AllNodes()) count += std::string(n->GetFileName()) == "a.jpg";
    EXPECT_EQ(count, 2);
}

TEST_F(TreeBuilderTest, NodeHandedInTwiceIsKeptOnce) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* n = File(10, kRoot, "a.jpg");
    EXPECT_EQ(builder->AddNode(n, SEARCHER_FAT), 1);
    EXPECT_EQ(builder->AddNode(n, SEARCHER_FAT), 1);
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_EQ(sink->NodeCount(), 1u);
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
    auto* trash = Dir(20, 2, ".Trashes");
    auto* user = Dir(21, 20, "501");
    auto* file = File(22, 21, "report.pdf");
    ASSERT_EQ(Add(file, SEARCHER_HFSPLUS), 1);
    ASSERT_EQ(Add(user, SEARCHER_HFSPLUS), 1);
    ASSERT_EQ(Add(trash, SEARCHER_HFSPLUS), 1);
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).trashId, std::optional<long long>(20));
    EXPECT_STREQ(trash->GetFileName(), "Trashes");
    builder->FlashBuild(SEARCHER_HFSPLUS);
    ASSERT_TRUE(IsShown(file));
    EXPECT_TRUE(trash->IsDeleted());
    EXPECT_TRUE(user->IsDeleted());
    EXPECT_TRUE(file->IsDeleted());
}

class HomeGuard {
public:
    explicit HomeGuard(const char* value) {
        if (const char* old = std::getenv("HOME")) saved_ = old;
        if (value)
            setenv("HOME", value, 1);
        else
            unsetenv("HOME");
    }
    ~HomeGuard() {
        if (saved_)
            setenv("HOME", saved_->c_str(), 1);
        else
            unsetenv("HOME");
    }

private:
    std::optional<std::string> saved_;
};

TEST_F(TreeBuilderTest, UsersTrashIsFoundFromHome) {
    HomeGuard home("/Users/bob");
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    Add(Dir(10, 2, "Users"), SEARCHER_HFSPLUS);
    Add(Dir(11, 10, "bob"), SEARCHER_HFSPLUS);
    auto* trash = Dir(12, 11, ".Trash");
    Add(trash, SEARCHER_HFSPLUS);
    auto* file = File(13, 12, "old.key");
    Add(file, SEARCHER_HFSPLUS);
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).trashId, std::optional<long long>(12));
    builder->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_TRUE(IsShown(file));
    EXPECT_TRUE(file->IsDeleted());
}

TEST_F(TreeBuilderTest, TrashCandidateIsSettledWhenItsAncestorsArriveLater) {
    HomeGuard home("/Users/bob/");
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    auto* trash = Dir(12, 11, ".Trash");
    auto* file = File(13, 12, "old.key");
    Add(trash, SEARCHER_HFSPLUS);
    Add(file, SEARCHER_HFSPLUS);
    Add(Dir(10, 2, "Users"), SEARCHER_HFSPLUS);
    Add(Dir(11, 10, "bob"), SEARCHER_HFSPLUS);
    EXPECT_FALSE(builder->Stats(SEARCHER_HFSPLUS).trashId.has_value());
    builder->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_TRUE(trash->IsDeleted());
    EXPECT_TRUE(IsShown(file));
    EXPECT_TRUE(file->IsDeleted());
}

TEST_F(TreeBuilderTest, HiddenLiveFileWaitingWhileAddingIsShownWhenItsFolderTurnsOutToBeTrash) {
    HomeGuard home("/Users/bob");
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_FAT, 2);
    auto* trash = Dir(12, 11, ".Trash");
    auto* file = File(13, 12, "old.key");
    Add(trash);
    Add(file);
    Add(Dir(10, 2, "Users"));
    clock.now += 5; // passes run while adding: the live file is hidden
    Add(Dir(11, 10, "bob"));
    clock.now += 5;
    Add(File(14, 2, "other.txt"));
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).pending, 5u);
    EXPECT_FALSE(IsShown(file));
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_TRUE(trash->IsDeleted());
    EXPECT_TRUE(IsShown(file));
    EXPECT_TRUE(file->IsDeleted());
    ExpectEachShownOnce();
}

TEST_F(TreeBuilderTest, AnotherUsersTrashIsNotTheTrash) {
    HomeGuard home("/Users/alice");
    filter.showNormal = 0;
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    Add(Dir(10, 2, "Users"), SEARCHER_HFSPLUS);
    Add(Dir(11, 10, "bob"), SEARCHER_HFSPLUS);
    Add(Dir(12, 11, ".Trash"), SEARCHER_HFSPLUS);
    auto* file = File(13, 12, "old.key");
    Add(file, SEARCHER_HFSPLUS);
    builder->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_FALSE(builder->Stats(SEARCHER_HFSPLUS).trashId.has_value());
    EXPECT_FALSE(IsShown(file));
}

TEST_F(TreeBuilderTest, HfsPrivateDataFolderAndWhatIsPendingInsideItAreDropped) {
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    // Hard-link targets seen before their private folder.
    ASSERT_EQ(Add(Dir(50, 60, "iNode1"), SEARCHER_HFSPLUS), 1);
    ASSERT_EQ(Add(Dir(51, 60, "iNode2"), SEARCHER_HFSPLUS), 1);
    auto* kept = File(52, 50, "linked.txt");
    ASSERT_EQ(Add(kept, SEARCHER_HFSPLUS), 1);
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).pending, 3u);

    auto* priv = Dir(60, 2, "HFS+ Private Data");
    EXPECT_EQ(builder->AddNode(priv, SEARCHER_HFSPLUS), 0);
    priv->Release();
    // The folders inside are gone from every holding; the file stays.
    EXPECT_EQ(builder->Stats(SEARCHER_HFSPLUS).pending, 1u);
    EXPECT_EQ(builder->OwnedCount(), 1u);
    // Later folders directly inside it are refused.
    EXPECT_EQ(Add(Dir(53, 60, "iNode3"), SEARCHER_HFSPLUS), 0);

    Add(File(70, 2, "a.txt"), SEARCHER_HFSPLUS);
    builder->FlashBuild(SEARCHER_HFSPLUS);
    EXPECT_NE(Shown("a.txt"), nullptr);
    // Its folder never came back: the file is a lost file.
    EXPECT_TRUE(HasAncestorNamed(kept, "Other lost files"));
}

TEST_F(TreeBuilderTest, HfsTreeBuildsOnlyAfterItsPrivateDataFolderWhileAdding) {
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    for (int i = 0; i < 1100; ++i) Add(File(100 + i, 2, "f" + std::to_string(i)), SEARCHER_HFSPLUS);
    EXPECT_TRUE(sink->Batches().empty());
    auto* priv = Dir(60, 2, "HFS+ Private Data");
    if (!builder->AddNode(priv, SEARCHER_HFSPLUS)) priv->Release();
    clock.now += 5;
    Add(File(5000, 2, "next"), SEARCHER_HFSPLUS);
    ASSERT_EQ(sink->Batches().size(), 1u);
    EXPECT_EQ(sink->Batches()[0].nodes.size(), 1101u);
}

TEST_F(TreeBuilderTest, IdCycleEndsTheWalkAndLandsInLostFiles) {
    builder->AddSearcherInfo(SEARCHER_NTFS, kRoot);
    auto* a = Dir(1, 2, "A");
    auto* b = Dir(2, 1, "B");
    auto* f = File(3, 1, "f.txt");
    Add(a, SEARCHER_NTFS);
    Add(b, SEARCHER_NTFS);
    Add(f, SEARCHER_NTFS);
    clock.now += 10;
    Add(File(4, 2, "g.txt"), SEARCHER_NTFS); // a pass while adding, too
    builder->FlashBuild(SEARCHER_NTFS);
    ASSERT_TRUE(IsShown(f));
    EXPECT_TRUE(HasAncestorNamed(f, "Other lost files"));
    EXPECT_TRUE(HasAncestorNamed(f, "Card(NTFS)"));
    EXPECT_EQ(sink->Batches().back().lostBatch, 1);
    ExpectEachShownOnce();
}

TEST_F(TreeBuilderTest, SeveralFoldersUnderOneIdFallBackToTheFirst) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    auto* empty = Dir(7, kRoot, "Old");
    auto* used = Dir(7, kRoot, "New"); // other name: not a duplicate
    Add(empty);
    Add(used);
    Add(File(8, 7, "first.txt"));
    builder->FlashBuild(SEARCHER_FAT);
    // Neither has children, a partition of its own or a place in the trash.
    ASSERT_NE(Shown("first.txt"), nullptr);
    EXPECT_EQ(ParentName(Shown("first.txt")), "Old");
}

TEST_F(TreeBuilderTest, RecycleBinHoldingsStayWithTheirOwnTree) {
    builder->AddSearcherInfo(SEARCHER_FAT, kRoot);
    builder->AddSearcherInfo(SEARCHER_NTFS, kRoot);
    auto* fatBin = Dir(30, kRoot, "RECYCLED");
    auto* fatFile = File(31, 30, "Dc1.jpg");
    Add(fatBin, SEARCHER_FAT);
    Add(fatFile, SEARCHER_FAT);
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).held, 2u);
    EXPECT_TRUE(fatFile->IsDeleted());

    Add(File(40, kRoot, "n.txt"), SEARCHER_NTFS);
    builder->FlashBuild(SEARCHER_NTFS);
    EXPECT_FALSE(IsShown(fatFile));
    EXPECT_EQ(builder->Stats(SEARCHER_FAT).held, 2u);

    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_TRUE(IsShown(fatFile));
    EXPECT_EQ(fatFile->GetParent(), fatBin);
}

TEST_F(TreeBuilderTest, StoppedScanWithoutFlushFreesEverythingWithTheBuilder) {
    builder->AddSearcherInfo(SEARCHER_NTFS, kRoot);
    Add(Dir(30, kRoot, "$Recycle.Bin"), SEARCHER_NTFS);
    Add(File(31, 30, "$IAB12.txt"), SEARCHER_NTFS);
    Add(File(32, 99, "orphan.txt"), SEARCHER_NTFS);
    Add(File(33, kRoot, "a.txt"), SEARCHER_NTFS);
    EXPECT_EQ(builder->OwnedCount(), 4u);
    builder.reset(); // LeakSanitizer checks the rest
}

} // namespace
