// Tree items over the real node model: group tick states up and down the
// date and type groups, hidden files, the node item's answers, device items.
#include "services/DeviceData.h"
#include "services/TreeItems.h"

#include "tests/services/NodeFixtures.h"

#include <gtest/gtest.h>

namespace {

using salvor::test::NodeForest;
using salvor::test::TestFileNode;

OpNodeRef Group(int type, const QString& name, const OpNodeRef& parent = nullptr) {
    TreeNodeData data;
    data.isDirectory = 1;
    OpNodeRef item = OpNodeData::initWithNodeData(data);
    item->setType(type);
    item->setFadeName(name);
    item->setExpandAble(1);
    item->ensureChildren();
    if (parent) {
        item->setParent(parent);
        parent->addChildObject(item);
    }
    return item;
}

// Date view: root, one year with March (three files, one hidden) and July.
class DateGroups : public testing::Test {
protected:
    void SetUp() override {
        auto* dcim = forest.Add(forest.Root(SEARCHER_FAT, "CARD"), "DCIM", true);
        for (auto** f : {&a, &b, &hidden, &c})
            *f = forest.Add(dcim, "f.jpg", false, 10);
        for (auto* f : {a, b, hidden})
            march->addChildObject(f);
        july->addChildObject(c);
    }

    NodeForest forest;
    TestFileNode *a = nullptr, *b = nullptr, *hidden = nullptr, *c = nullptr;
    OpNodeRef dateRoot = Group(2, "Created"), year = Group(2, "2019", dateRoot), march = Group(2, "03", year),
              july = Group(2, "07", year);
};

TEST_F(DateGroups, TicksGoDownToShownFilesAndUpAsPartOrWhole) {
    year->setNodeState(2);
    EXPECT_EQ(std::tuple(march->state(), july->state(), dateRoot->state()), std::tuple(2, 2, 2));
    for (auto* f : {a, b, hidden, c})
        EXPECT_EQ(f->GetCheckedStatus(), CHECK_ALL);
    year->setNodeState(0);
    hidden->ShowNode(0);
    march->setNodeState(2);
    EXPECT_EQ(std::tuple(a->GetCheckedStatus(), b->GetCheckedStatus(), c->GetCheckedStatus()),
              std::tuple(CHECK_ALL, CHECK_ALL, CHECK_NONE));
    EXPECT_EQ(hidden->GetCheckedStatus(), CHECK_NONE); // hidden files keep their state
    EXPECT_EQ(std::tuple(march->state(), year->state(), dateRoot->state()), std::tuple(2, 1, 1));
    july->setNodeState(2);
    EXPECT_EQ(std::tuple(year->state(), dateRoot->state()), std::tuple(2, 2));
    march->setNodeState(0);
    EXPECT_EQ(a->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(year->state(), 1);
    // A file ticked, then hidden, stays ticked when its group is unticked.
    hidden->ShowNode(1);
    march->setNodeState(2);
    hidden->ShowNode(0);
    march->setNodeState(0);
    EXPECT_EQ(hidden->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(a->GetCheckedStatus(), CHECK_NONE);
}

TEST(TypeGroups, IconKindOfGroups) {
    // Categories by title, an extension or "Other" is no category title; date
    // roots, years and months by their depth.
    OpNodeRef pictures = Group(1, "Pictures"), dates = Group(2, "Created"), year = Group(2, "2019", dates);
    const std::tuple<OpNodeRef, int> kinds[] = {{pictures, 2},
                                                {Group(1, "Music"), 3},
                                                {Group(1, "jpg", pictures), 7},
                                                {Group(1, "Other"), 7},
                                                {Group(5, "x"), 10},
                                                {dates, 8},
                                                {year, 9},
                                                {Group(2, "03", year), 9}};
    for (const auto& [item, kind] : kinds)
        EXPECT_EQ(item->nodeType(), kind) << item->fadeName().toStdString();
}

TEST(TypeGroups, EmptyGroupStoresItsStateOnly) {
    OpNodeRef category = Group(1, "Movies");
    OpNodeRef empty = Group(1, "mov", category);
    empty->setNodeState(2);
    EXPECT_EQ(empty->state(), 2);
    EXPECT_EQ(category->state(), 2); // its one child is ticked
    OpNodeRef lone = Group(1, "Archives"), orphan = Group(1, "zip");
    orphan->setParent(lone); // a parent that does not list it: a sum over nothing
    orphan->setNodeState(2);
    EXPECT_EQ(lone->state(), 0);
}

TEST(NodeItems, AnswersFromTheNode) {
    NodeForest forest;
    auto* root = forest.Root(SEARCHER_EXFAT, "USB");
    auto* docs = forest.Add(root, "Docs", true);
    auto* sub = forest.Add(docs, "Old", true);
    auto* file = forest.Add(docs, "a.txt", false, 1234);
    forest.Add(sub, "", false, 1);
    file->m_deleted = true;

    EXPECT_EQ(OpNodeData::initWithNodeData({1, 0, 1, root})->nodeType(), 0);
    OpNodeRef docsItem = OpNodeData::initWithFileNode(docs);
    EXPECT_EQ(docsItem->nodeType(), 1);
    EXPECT_TRUE(docsItem->isHasFolderChildren());
    EXPECT_FALSE(OpNodeData::initWithFileNode(sub)->isHasFolderChildren()); // files only
    EXPECT_EQ(docsItem->path(), "/USB/Docs");
    OpNodeRef fileItem = OpNodeData::initWithFileNode(file);
    EXPECT_TRUE(fileItem->isDeleted());
    EXPECT_EQ(fileItem->createTime(), "");          // no creation time
    EXPECT_FALSE(fileItem->modifyTime().isEmpty()); // a zero time is still shown

    // A path item hands the tick to the node model, which carries it down.
    docsItem->setNodeState(2);
    EXPECT_EQ(file->GetCheckedStatus(), CHECK_ALL);
    OpNodeData::setFileNode(file, 7); // ignored
    OpNodeData::setFileNode(nullptr, 2);
    EXPECT_EQ(OpNodeData::fileNodeState(file), 2);
    EXPECT_EQ(OpNodeData::fileNodeState(nullptr), 0);
    EXPECT_FALSE(OpNodeData::isFileNodeDirect(nullptr));
    EXPECT_EQ(OpNodeData::fileNodeName(nullptr), "");
}

TEST(NodeItems, SiblingLoopsEndTheFolderTest) {
    NodeForest forest;
    auto *parent = forest.Linked("p", true), *x = forest.Linked("x"), *y = forest.Linked("y");
    parent->childLink = x;
    x->nextLink = y;
    y->nextLink = x; // back to the first child
    EXPECT_FALSE(OpNodeData::initWithFileNode(parent)->isHasFolderChildren());
}

TEST(NodeItems, SubNodesGetTheirParentAndParentsAreWeak) {
    OpNodeRef parent = Group(1, "Documents"), child = Group(1, "pdf");
    parent->setSubNode({child});
    EXPECT_EQ(child->parent(), parent);
    parent.reset();
    EXPECT_EQ(child->parent(), nullptr);
}

TEST(DeviceItems, UnnamedRecordsAreUntitled) {
    _DiskVolumeData record;
    for (const char* name : {"", static_cast<const char*>(nullptr)}) {
        record.name = name;
        EXPECT_EQ(DiskVolumeNodeData::initWithNodeData(record)->name(), "Untitled");
    }
}

} // namespace
