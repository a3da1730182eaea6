// Node model: linking, shown counts and tick propagation.
#include "engine/common/DataRunList.h"
#include "engine/common/FileNode.h"
#include "tests/support/TestFileNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using salvor::test::TestFileNode;

namespace {

struct Tree {
    std::vector<std::unique_ptr<TestFileNode>> nodes;
    TestFileNode* Make(long long id, const char* name, bool dir = false) {
        nodes.push_back(std::make_unique<TestFileNode>(id, -1, name, dir));
        return nodes.back().get();
    }
    ~Tree() {
        // Nodes do not own their children; unlink so each is deleted once.
        for (auto& n : nodes) {
            n->SetParent(nullptr);
        }
    }
};

std::vector<IFileNode*> Children(IFileNode* n) {
    std::vector<IFileNode*> out;
    for (IFileNode* c = n->GetFirstChild(); c; c = c->GetNextNode()) out.push_back(c);
    return out;
}

} // namespace

TEST(FileNode, NewNodeDefaults) {
    TestFileNode n(5, 1, "a.txt");
    EXPECT_EQ(n.IsNodeShow(), 1);
    EXPECT_EQ(n.GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(n.GetBelongedPartition(), 0xFFFF);
    EXPECT_EQ(n.GetMetadataStartPosition(), -1);
    EXPECT_EQ(n.GetDataRunList(), nullptr);
    n.SetMetaDataSector(123456789012LL);
    n.SetBelongedPartition(7);
    EXPECT_EQ(n.GetMetadataStartPosition(), 123456789012LL);
    EXPECT_EQ(n.GetBelongedPartition(), 7);
    EXPECT_EQ(n.IsNodeShow(), 1);
    EXPECT_EQ(n.GetCheckedStatus(), CHECK_NONE);
}

TEST(FileNode, ChildrenReadBackInReverseOrder) {
    Tree t;
    auto* dir = t.Make(1, "d", true);
    auto* a = t.Make(2, "a");
    auto* b = t.Make(3, "b");
    ASSERT_EQ(dir->AddChild(a), 1);
    ASSERT_EQ(dir->AddChild(b), 1);
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{b, a}));
    EXPECT_EQ(dir->GetShownChildren(), 2u);
    EXPECT_EQ(a->GetParent(), dir);
}

TEST(FileNode, AddChildRefusesLoopsSelfAndSecondParent) {
    Tree t;
    auto* grand = t.Make(1, "g", true);
    auto* parent = t.Make(2, "p", true);
    auto* child = t.Make(3, "c", true);
    auto* other = t.Make(4, "o", true);
    ASSERT_EQ(grand->AddChild(parent), 1);
    ASSERT_EQ(parent->AddChild(child), 1);

    EXPECT_EQ(child->AddChild(grand), 0);
    EXPECT_EQ(child->AddChild(child), 0);
    EXPECT_EQ(child->AddChild(nullptr), 0);
    EXPECT_EQ(other->AddChild(child), 0) << "a node already under another parent";
    EXPECT_EQ(child->GetFirstChild(), nullptr);
    EXPECT_EQ(other->GetShownChildren(), 0u);
    EXPECT_EQ(child->GetParent(), parent);
}

TEST(FileNode, HiddenChildIsNotCountedAndSurvivesRemoval) {
    Tree t;
    auto* dir = t.Make(1, "d", true);
    auto* hidden = t.Make(2, "h");
    auto* shown = t.Make(3, "s");
    hidden->ShowNode(0);
    ASSERT_EQ(dir->AddChild(hidden), 1);
    ASSERT_EQ(dir->AddChild(shown), 1);
    EXPECT_EQ(dir->GetShownChildren(), 1u);

    ASSERT_EQ(dir->RemoveChild(shown), 1);
    EXPECT_EQ(dir->GetShownChildren(), 0u);
    EXPECT_EQ(Children(dir), std::vector<IFileNode*>{hidden}) << "the hidden sibling must not be lost";
    EXPECT_EQ(shown->GetParent(), nullptr);
    EXPECT_EQ(dir->RemoveChild(shown), 0);
    EXPECT_EQ(dir->RemoveChild(nullptr), 0);
}

TEST(FileNode, RemoveChildFromMiddle) {
    Tree t;
    auto* dir = t.Make(1, "d", true);
    auto* a = t.Make(2, "a");
    auto* b = t.Make(3, "b");
    auto* c = t.Make(4, "c");
    dir->AddChild(a);
    dir->AddChild(b);
    dir->AddChild(c);
    ASSERT_EQ(dir->RemoveChild(b), 1);
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{c, a}));
}

TEST(FileNode, AddNextInsertsDirectlyAfter) {
    Tree t;
    auto* a = t.Make(1, "a");
    auto* b = t.Make(2, "b");
    auto* c = t.Make(3, "c");
    ASSERT_EQ(a->AddNext(c), 1);
    ASSERT_EQ(a->AddNext(b), 1);
    EXPECT_EQ(a->GetNextNode(), b);
    EXPECT_EQ(b->GetNextNode(), c);
    EXPECT_EQ(a->AddNext(nullptr), 0);
    EXPECT_EQ(a->AddNext(a), 0);
}

TEST(FileNode, TickingPropagatesDownAndUp) {
    Tree t;
    auto* root = t.Make(1, "r", true);
    auto* dir = t.Make(2, "d", true);
    auto* f1 = t.Make(3, "1");
    auto* f2 = t.Make(4, "2");
    auto* f3 = t.Make(5, "3");
    root->AddChild(dir);
    dir->AddChild(f1);
    dir->AddChild(f2);
    dir->AddChild(f3);

    dir->SetCheck(CHECK_ALL);
    for (auto* f : {f1, f2, f3}) EXPECT_EQ(f->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(dir->GetTickSum(), 6);
    EXPECT_EQ(root->GetCheckedStatus(), CHECK_ALL);

    f2->SetCheck(CHECK_NONE);
    EXPECT_EQ(dir->GetCheckedStatus(), CHECK_PART);
    EXPECT_EQ(dir->GetTickSum(), 4);
    EXPECT_EQ(root->GetCheckedStatus(), CHECK_PART);

    f1->SetCheck(CHECK_NONE);
    f3->SetCheck(CHECK_NONE);
    EXPECT_EQ(dir->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(root->GetCheckedStatus(), CHECK_NONE);

    f1->SetCheck(CHECK_ALL);
    f2->SetCheck(CHECK_ALL);
    f3->SetCheck(CHECK_ALL);
    EXPECT_EQ(dir->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(root->GetCheckedStatus(), CHECK_ALL);
}

TEST(FileNode, TickRequestsThatChangeNothing) {
    Tree t;
    auto* dir = t.Make(1, "d", true);
    auto* f = t.Make(2, "f");
    dir->AddChild(f);
    f->SetCheck(CHECK_PART);
    EXPECT_EQ(f->GetCheckedStatus(), CHECK_NONE) << "partly ticked is never set directly";
    f->SetCheck(static_cast<_tagCheckedStatus>(3));
    EXPECT_EQ(f->GetCheckedStatus(), CHECK_NONE);

    auto* hidden = t.Make(3, "h");
    hidden->ShowNode(0);
    hidden->SetCheck(CHECK_ALL);
    EXPECT_EQ(hidden->GetCheckedStatus(), CHECK_NONE);
}

TEST(FileNode, TickingAFolderLeavesHiddenChildrenAlone) {
    Tree t;
    auto* dir = t.Make(1, "d", true);
    auto* shown = t.Make(2, "s");
    auto* hidden = t.Make(3, "h");
    hidden->ShowNode(0);
    dir->AddChild(hidden);
    dir->AddChild(shown);
    dir->SetCheck(CHECK_ALL);
    EXPECT_EQ(shown->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(hidden->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(dir->GetCheckedStatus(), CHECK_ALL);
}

TEST(FileNode, HidingTheOnlyShownChildHidesAncestors) {
    Tree t;
    auto* root = t.Make(1, "r", true);
    auto* other = t.Make(2, "o");
    auto* dir = t.Make(3, "d", true);
    auto* sub = t.Make(4, "s", true);
    auto* f = t.Make(5, "f");
    root->AddChild(other);
    root->AddChild(dir);
    dir->AddChild(sub);
    sub->AddChild(f);

    f->ShowNode(0);
    EXPECT_EQ(sub->IsNodeShow(), 0);
    EXPECT_EQ(dir->IsNodeShow(), 0);
    EXPECT_EQ(root->IsNodeShow(), 1) << "root still has a shown child";
    EXPECT_EQ(root->GetShownChildren(), 1u);

    f->ShowNode(1);
    EXPECT_EQ(sub->IsNodeShow(), 1);
    EXPECT_EQ(dir->IsNodeShow(), 1);
    EXPECT_EQ(root->GetShownChildren(), 2u);

    f->ShowNode(1); // no change, no double count
    EXPECT_EQ(sub->GetShownChildren(), 1u);
}

TEST(FileNode, DeepTreeTicksWithoutExhaustingTheStack) {
    // A long chain of folders, as a damaged disk can produce.
    Tree t;
    TestFileNode* top = t.Make(0, "top", true);
    TestFileNode* cur = top;
    for (int i = 1; i < 5000; ++i) {
        auto* n = t.Make(i, "x", true);
        ASSERT_EQ(cur->AddChild(n), 1);
        cur = n;
    }
    cur->SetCheck(CHECK_ALL);
    EXPECT_EQ(top->GetCheckedStatus(), CHECK_ALL);
    top->SetCheck(CHECK_NONE);
    EXPECT_EQ(cur->GetCheckedStatus(), CHECK_NONE);
}

TEST(FileNode, FilterFileNameByDot) {
    EXPECT_EQ(CFileNode::FilterFileNameByDot("  ..abc"), "abc");
    EXPECT_EQ(CFileNode::FilterFileNameByDot("..."), "");
    EXPECT_EQ(CFileNode::FilterFileNameByDot(""), "");
    EXPECT_EQ(CFileNode::FilterFileNameByDot("a.b"), "a.b");
}

TEST(FileNode, DuplicateTest) {
    TestFileNode a(5, 1, "x.txt"), b(5, 1, "x.txt");
    EXPECT_TRUE(a == b);
    b.SetBelongedPartition(3);
    EXPECT_FALSE(a == b) << "another partition";
    TestFileNode c(5, 1, "y.txt");
    EXPECT_FALSE(a == c);
    TestFileNode d(6, 1, "x.txt");
    EXPECT_FALSE(a == d);
    TestFileNode dir1(5, 1, "x.txt", true);
    EXPECT_FALSE(a == dir1);

    TestFileNode h1(9, 1, "h", false, 10), h2(9, 1, "h", false, 10);
    h1.m_type = h2.m_type = SEARCHER_HFSPLUS;
    h2.SetBelongedPartition(4);
    EXPECT_TRUE(h1 == h2) << "HFS+ files compare by time and size";
    h2.m_size = 11;
    EXPECT_FALSE(h1 == h2);
}

TEST(FileNode, CloneOwnsItsRuns) {
    auto* n = new TestFileNode(1, 0, "f", false, 100);
    auto* runs = CreateDataRunList();
    DataRun r{10, 5};
    runs->AddDataRun(&r);
    n->SetDataRunList(runs);
    auto* copy = static_cast<TestFileNode*>(n->Clone());
    ASSERT_NE(copy->GetDataRunList(), nullptr);
    EXPECT_NE(copy->GetDataRunList(), n->GetDataRunList());
    n->Release();
    ASSERT_NE(copy->GetDataRunList()->GetFirst(), nullptr);
    EXPECT_EQ(copy->GetDataRunList()->GetFirst()->start, 10);
    copy->Release();
}
