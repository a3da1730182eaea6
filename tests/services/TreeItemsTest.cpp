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
        auto* root = forest.Root(SEARCHER_FAT, "CARD");
        auto* dcim = forest.Add(root, "DCIM", true);
        for (auto** f : {&a, &b, &hidden, &c}) *f = forest.Add(dcim, "f.jpg", false, 10);
        dateRoot = Group(2, "Created");
        year = Group(2, "2019", dateRoot);
        march = Group(2, "03", year);
        july = Group(2, "07", year);
        march->addChildObject(a);
        march->addChildObject(b);
        march->addChildObject(hidden);
        july->addChildObject(c);
    }

    NodeForest forest;
    TestFileNode *a = nullptr, *b = nullptr, *hidden = nullptr, *c = nullptr;
    OpNodeRef dateRoot, year, march, july;
};

TEST_F(DateGroups, TickingAMonthTicksItsShownFilesAndPartlyTheYear) {
    hidden->ShowNode(0);
    march->setNodeState(2);
    EXPECT_EQ(a->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(b->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(hidden->GetCheckedStatus(), CHECK_NONE); // hidden files keep their state
    EXPECT_EQ(c->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(march->state(), 2);
    EXPECT_EQ(year->state(), 1);
    EXPECT_EQ(dateRoot->state(), 1);

    july->setNodeState(2);
    EXPECT_EQ(year->state(), 2);
    EXPECT_EQ(dateRoot->state(), 2);

    march->setNodeState(0);
    EXPECT_EQ(a->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(year->state(), 1);
}

TEST_F(DateGroups, TickingAYearTicksEveryMonthAndFile) {
    year->setNodeState(2);
    EXPECT_EQ(march->state(), 2);
    EXPECT_EQ(july->state(), 2);
    for (auto* f : {a, b, hidden, c}) EXPECT_EQ(f->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(dateRoot->state(), 2);
}

TEST_F(DateGroups, HiddenTickedFileStaysTickedWhenItsGroupIsUnticked) {
    march->setNodeState(2);
    hidden->ShowNode(0);
    march->setNodeState(0);
    EXPECT_EQ(hidden->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(a->GetCheckedStatus(), CHECK_NONE);
}

TEST_F(DateGroups, NodeTypesOfDateGroups) {
    EXPECT_EQ(dateRoot->nodeType(), 8);
    EXPECT_EQ(year->nodeType(), 9);
    EXPECT_EQ(march->nodeType(), 9);
    EXPECT_TRUE(march->isFadeNode());
    EXPECT_TRUE(march->isDirect());
    EXPECT_EQ(march->size(), 0u);
    EXPECT_EQ(march->name(), "03");
    EXPECT_EQ(march->path(), "");
    EXPECT_EQ(march->createTime(), "");
}

TEST(TypeGroups, UntickingOneOfTwoExtensionGroupsMakesTheCategoryPartial) {
    NodeForest forest;
    auto* root = forest.Root(SEARCHER_NTFS, "DATA");
    auto* jpg = forest.Add(root, "a.jpg");
    auto* png = forest.Add(root, "b.png");
    OpNodeRef pictures = Group(1, "Pictures");
    OpNodeRef jpgGroup = Group(1, "jpg", pictures);
    OpNodeRef pngGroup = Group(1, "png", pictures);
    jpgGroup->addChildObject(jpg);
    pngGroup->addChildObject(png);
    jpgGroup->setNodeState(2);
    pngGroup->setNodeState(2);
    EXPECT_EQ(pictures->state(), 2);
    pngGroup->setNodeState(0);
    EXPECT_EQ(pictures->state(), 1);
    EXPECT_EQ(png->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(jpg->GetCheckedStatus(), CHECK_ALL);

    EXPECT_EQ(pictures->nodeType(), 2);
    EXPECT_EQ(jpgGroup->nodeType(), 7); // an extension is no category title
    EXPECT_EQ(Group(1, "Other")->nodeType(), 7);
    EXPECT_EQ(Group(1, "Music")->nodeType(), 3);
    EXPECT_EQ(Group(5, "x")->nodeType(), 10);
}

TEST(TypeGroups, EmptyGroupStoresItsStateOnly) {
    OpNodeRef category = Group(1, "Movies");
    OpNodeRef empty = Group(1, "mov", category);
    empty->setNodeState(2);
    EXPECT_EQ(empty->state(), 2);
    EXPECT_EQ(category->state(), 2); // its one child is ticked
    OpNodeRef lone = Group(1, "Archives");
    OpNodeRef orphan = Group(1, "zip");
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
    auto* unnamed = forest.Add(sub, "", false, 1);
    file->m_deleted = true;
    (void)unnamed;

    TreeNodeData rootData{1, 0, 1, root};
    OpNodeRef rootItem = OpNodeData::initWithNodeData(rootData);
    EXPECT_EQ(rootItem->nodeType(), 0);
    EXPECT_FALSE(rootItem->isFadeNode());
    OpNodeRef docsItem = OpNodeData::initWithFileNode(docs);
    EXPECT_EQ(docsItem->nodeType(), 1);
    EXPECT_TRUE(docsItem->isDirect());
    EXPECT_TRUE(docsItem->isHasFolderChildren());
    EXPECT_EQ(docsItem->path(), "/USB/Docs");
    EXPECT_EQ(OpNodeData::initWithFileNode(sub)->isHasFolderChildren(), false); // files only

    OpNodeRef fileItem = OpNodeData::initWithFileNode(file);
    EXPECT_EQ(fileItem->size(), 1234u);
    EXPECT_EQ(fileItem->name(), "a.txt");
    EXPECT_TRUE(fileItem->isDeleted());
    EXPECT_EQ(fileItem->createTime(), ""); // no creation time
    EXPECT_FALSE(fileItem->modifyTime().isEmpty()); // a zero time is still shown
    EXPECT_EQ(fileItem->createTimeValue(), 0);
    EXPECT_EQ(OpNodeData::initWithFileNode(unnamed)->name(), "");

    // A path item hands the tick to the node model, which carries it down.
    docsItem->setNodeState(2);
    EXPECT_EQ(file->GetCheckedStatus(), CHECK_ALL);
    EXPECT_EQ(docsItem->state(), 2);
    OpNodeData::setFileNode(file, 7); // ignored
    OpNodeData::setFileNode(nullptr, 2);
    EXPECT_EQ(OpNodeData::fileNodeState(file), 2);
    EXPECT_EQ(OpNodeData::fileNodeState(nullptr), 0);
    EXPECT_FALSE(OpNodeData::isFileNodeDirect(nullptr));
    EXPECT_TRUE(OpNodeData::isFileNodeDeleted(file));
    EXPECT_EQ(OpNodeData::fileNodeName(nullptr), "");
}

TEST(NodeItems, SiblingLoopsEndTheFolderTest) {
    NodeForest forest;
    auto* parent = forest.Linked("p", true);
    auto* x = forest.Linked("x");
    auto* y = forest.Linked("y");
    parent->childLink = x;
    x->nextLink = y;
    y->nextLink = x; // back to the first child
    EXPECT_FALSE(OpNodeData::initWithFileNode(parent)->isHasFolderChildren());
}

TEST(NodeItems, SubNodesGetTheirParentAndParentsAreWeak) {
    OpNodeRef parent = Group(1, "Documents");
    OpNodeRef child = Group(1, "pdf");
    parent->setSubNode({child});
    EXPECT_EQ(child->parent(), parent);
    parent.reset();
    EXPECT_EQ(child->parent(), nullptr);
}

TEST(DeviceItems, RecordsBecomeItems) {
    _DiskVolumeData record;
    record.name = "";
    record.size = 4096;
    record.diskIndex = 2;
    record.volumeIndex = 1;
    record.fileSystem = 7;
    record.isUsb = 1;
    record.canOpen = 0;
    DiskVolumeNodeRef item = DiskVolumeNodeData::initWithNodeData(record);
    EXPECT_EQ(item->name(), "Untitled");
    EXPECT_EQ(item->capacity(), 4096u);
    EXPECT_EQ(item->diskIndex(), 2);
    EXPECT_EQ(item->volumeIndex(), 1);
    EXPECT_EQ(item->fileSystem(), 7);
    EXPECT_EQ(item->isUsb(), 1);
    EXPECT_EQ(item->beCanOpen(), 0);
    record.name = nullptr;
    EXPECT_EQ(DiskVolumeNodeData::initWithNodeData(record)->name(), "Untitled");
    record.name = "Photos";
    EXPECT_EQ(DiskVolumeNodeData::initWithNodeData(record)->name(), "Photos");
}

} // namespace
