// Node model: linking, shown counts and tick propagation.
#include "engine/common/DataRunList.h"
#include "engine/common/FileNode.h"
#include "tests/support/TestFileNode.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using salvor::test::TestFileNode;

namespace {

// Nodes that live as long as the test, each linked below its parent.
struct Tree {
    std::vector<std::unique_ptr<TestFileNode>> nodes;
    TestFileNode* Make(const char* name, bool dir = false, TestFileNode* parent = nullptr, bool hidden = false) {
        nodes.push_back(std::make_unique<TestFileNode>(static_cast<long long>(nodes.size()), -1, name, dir));
        if (hidden) nodes.back()->ShowNode(0);
        if (parent && parent->AddChild(nodes.back().get()) != 1) ADD_FAILURE() << "cannot add " << name;
        return nodes.back().get();
    }
    ~Tree() {
        for (auto& n : nodes) n->SetParent(nullptr); // nodes do not own their children
    }
};

std::vector<IFileNode*> Children(IFileNode* n) {
    std::vector<IFileNode*> out;
    for (IFileNode* c = n->GetFirstChild(); c; c = c->GetNextNode()) out.push_back(c);
    return out;
}

// Tick states as letters: N none, P partly, A all.
std::string Ticks(std::initializer_list<IFileNode*> nodes) {
    std::string s;
    for (IFileNode* n : nodes) s += "NPA?"[std::min<int>(n->GetCheckedStatus(), 3)];
    return s;
}

TEST(FileNode, LinkingKeepsReverseOrderAndRefusesLoopsSelfAndSecondParents) {
    Tree t;
    auto* dir = t.Make("d", true);
    auto* a = t.Make("a", false, dir);
    auto* b = t.Make("b", false, dir);
    auto* c = t.Make("c", false, dir);
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{c, b, a}));
    EXPECT_EQ(dir->GetShownChildren(), 3u);
    ASSERT_EQ(dir->RemoveChild(b), 1);
    EXPECT_EQ(Children(dir), (std::vector<IFileNode*>{c, a}));

    auto* sub = t.Make("s", true, dir);
    auto* other = t.Make("o", true);
    EXPECT_EQ(sub->AddChild(dir), 0) << "an ancestor";
    EXPECT_EQ(sub->AddChild(sub), 0);
    EXPECT_EQ(sub->AddChild(nullptr), 0);
    EXPECT_EQ(other->AddChild(sub), 0) << "a node already under another parent";
    EXPECT_EQ(sub->GetFirstChild(), nullptr);
    EXPECT_EQ(other->GetShownChildren(), 0u);
    EXPECT_EQ(sub->GetParent(), dir);

    // AddNext inserts directly after.
    auto* x = t.Make("x");
    auto* y = t.Make("y");
    ASSERT_EQ(other->AddNext(y), 1);
    ASSERT_EQ(other->AddNext(x), 1);
    EXPECT_EQ(other->GetNextNode(), x);
    EXPECT_EQ(x->GetNextNode(), y);
    EXPECT_EQ(other->AddNext(nullptr), 0);
    EXPECT_EQ(other->AddNext(other), 0);
}

TEST(FileNode, HiddenChildIsNotCountedAndSurvivesRemoval) {
    Tree t;
    auto* dir = t.Make("d", true);
    auto* hidden = t.Make("h", false, dir, true);
    auto* shown = t.Make("s", false, dir);
    EXPECT_EQ(dir->GetShownChildren(), 1u);
    ASSERT_EQ(dir->RemoveChild(shown), 1);
    EXPECT_EQ(dir->GetShownChildren(), 0u);
    EXPECT_EQ(Children(dir), std::vector<IFileNode*>{hidden}) << "the hidden sibling must not be lost";
    EXPECT_EQ(shown->GetParent(), nullptr);
    EXPECT_EQ(dir->RemoveChild(shown), 0);
    EXPECT_EQ(dir->RemoveChild(nullptr), 0);
}

TEST(FileNode, TickingPropagatesDownAndUp) {
    Tree t;
    auto* root = t.Make("r", true);
    auto* dir = t.Make("d", true, root);
    auto* f1 = t.Make("1", false, dir);
    auto* f2 = t.Make("2", false, dir);
    auto* f3 = t.Make("3", false, dir);
    dir->SetCheck(CHECK_ALL);
    EXPECT_EQ(Ticks({f1, f2, f3, dir, root}), "AAAAA");
    EXPECT_EQ(dir->GetTickSum(), 6);
    f2->SetCheck(CHECK_NONE); // tick three, untick one: partly
    EXPECT_EQ(Ticks({dir, root}), "PP");
    EXPECT_EQ(dir->GetTickSum(), 4);
    f1->SetCheck(CHECK_NONE);
    f3->SetCheck(CHECK_NONE);
    EXPECT_EQ(Ticks({dir, root}), "NN");
    for (auto* f : {f1, f2, f3}) f->SetCheck(CHECK_ALL);
    EXPECT_EQ(Ticks({dir, root}), "AA");

    // Requests that change nothing: partly is never set directly, nor an unknown state.
    for (int state : {int{CHECK_PART}, 3}) {
        f1->SetCheck(CHECK_NONE);
        f1->SetCheck(static_cast<_tagCheckedStatus>(state));
        EXPECT_EQ(Ticks({f1}), "N") << state;
    }
}

TEST(FileNode, TickingNeverTouchesHiddenNodes) {
    Tree t;
    auto* dir = t.Make("d", true);
    auto* hidden = t.Make("h", false, dir, true);
    auto* shown = t.Make("s", false, dir);
    dir->SetCheck(CHECK_ALL);
    EXPECT_EQ(Ticks({shown, hidden, dir}), "ANA");
    auto* alone = t.Make("a", false, nullptr, true);
    alone->SetCheck(CHECK_ALL);
    EXPECT_EQ(Ticks({alone}), "N");
}

TEST(FileNode, HidingTheOnlyShownChildHidesAncestors) {
    Tree t;
    auto* root = t.Make("r", true);
    t.Make("o", false, root);
    auto* dir = t.Make("d", true, root);
    auto* sub = t.Make("s", true, dir);
    auto* f = t.Make("f", false, sub);
    f->ShowNode(0);
    EXPECT_EQ(sub->IsNodeShow() + dir->IsNodeShow(), 0);
    EXPECT_EQ(root->IsNodeShow(), 1) << "root still has a shown child";
    EXPECT_EQ(root->GetShownChildren(), 1u);
    f->ShowNode(1);
    EXPECT_EQ(sub->IsNodeShow() + dir->IsNodeShow(), 2);
    EXPECT_EQ(root->GetShownChildren(), 2u);
    f->ShowNode(1); // no change, no double count
    EXPECT_EQ(sub->GetShownChildren(), 1u);
}

TEST(FileNode, DeepTreeTicksWithoutExhaustingTheStack) {
    // A long chain of folders, as a damaged disk can produce.
    Tree t;
    TestFileNode* top = t.Make("top", true);
    TestFileNode* cur = top;
    for (int i = 1; i < 5000; ++i) cur = t.Make("x", true, cur);
    cur->SetCheck(CHECK_ALL);
    EXPECT_EQ(Ticks({top}), "A");
    top->SetCheck(CHECK_NONE);
    EXPECT_EQ(Ticks({cur}), "N");
}

TEST(FileNode, NamesDuplicatesAndClones) {
    for (auto [name, filtered] : {std::pair{"  ..abc", "abc"}, {"...", ""}, {"", ""}, {"a.b", "a.b"}})
        EXPECT_EQ(CFileNode::FilterFileNameByDot(name), filtered) << name;

    TestFileNode a(5, 1, "x.txt"), same(5, 1, "x.txt"), otherPartition(5, 1, "x.txt"), otherName(5, 1, "y.txt"),
        otherId(6, 1, "x.txt"), folder(5, 1, "x.txt", true);
    otherPartition.SetBelongedPartition(3);
    EXPECT_TRUE(a == same);
    for (TestFileNode* n : {&otherPartition, &otherName, &otherId, &folder}) EXPECT_FALSE(a == *n) << n->m_name;
    TestFileNode h1(9, 1, "h", false, 10), h2(9, 1, "h", false, 10);
    h1.m_type = h2.m_type = SEARCHER_HFSPLUS;
    h2.SetBelongedPartition(4);
    EXPECT_TRUE(h1 == h2) << "HFS+ files compare by time and size";
    h2.m_size = 11;
    EXPECT_FALSE(h1 == h2);
    h2.m_size = 10;
    h2.m_modified = _FILETIME::From(1);
    EXPECT_FALSE(h1 == h2) << "a version rewritten at the same size";

    auto* n = new TestFileNode(1, 0, "f", false, 100);
    auto* runs = CreateDataRunList();
    const DataRun r{10, 5};
    runs->AddDataRun(&r);
    n->SetDataRunList(runs);
    auto* copy = static_cast<TestFileNode*>(n->Clone());
    EXPECT_NE(copy->GetDataRunList(), n->GetDataRunList());
    n->Release(); // the clone owns its runs
    ASSERT_NE(copy->GetDataRunList()->GetFirst(), nullptr);
    EXPECT_EQ(copy->GetDataRunList()->GetFirst()->start, 10);
    copy->Release();
}

} // namespace
