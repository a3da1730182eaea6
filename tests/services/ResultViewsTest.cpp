// The result trees through the facade: path, type and date views, file
// lists, counts and tick refreshes, over found nodes fed to the scan object
// as a scan feeds them; the date cases under two time zones.
#include "services/CPPPublic.h"
#include "services/ResultTrees.h"
#include "services/TimeMgr.h"
#include "services/TypeMgr.h"
#include "services/UIPublic.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ServicesFakes.h"

#include <gtest/gtest.h>

namespace {

using namespace salvor::test;

// Found nodes handed to the scan object as a scan hands them.
class Results {
public:
    Results() {
        VXUIScan::instance().ReleaseResults();
        VXTypeMgr::share().clear();
        VXTimeMgr::share().clear();
        root = forest.Root(SEARCHER_FAT, "vol");
        VXUIScan::instance().ShowFilesystemNode(root);
    }
    ~Results() {
        VXTypeMgr::share().clear();
        VXTimeMgr::share().clear();
        VXUIScan::instance().ReleaseResults();
    }
    TestFileNode* File(CFileNode* parent, const std::string& name, _FILETIME created = {}, _FILETIME modified = {},
                       bool dir = false) {
        TestFileNode* n = forest.Add(parent, name, dir, 10);
        n->m_created = created;
        n->m_modified = modified;
        IFileNode* batch[] = {n};
        VXUIScan::instance().ShowNodes(batch, 1, 0);
        return n;
    }
    TestFileNode* Folder(CFileNode* parent, const std::string& name) { return File(parent, name, {}, {}, true); }
    OpNodeList Pull(int view, OpNodeList array = {}, bool clear = false) {
        ScanHarness::facade().SetViewType(view);
        ScanHarness::facade().GetScanTreeNodeData(&array, clear);
        return array;
    }
    static std::vector<QString> Names(const OpNodeRef& item) {
        std::vector<QString> names;
        if (item->children())
            for (const OpNodeEntry& e : *item->children())
                names.push_back(e.isItem() ? e.item()->name() : OpNodeData::fileNodeName(e.file()));
        return names;
    }

    NodeForest forest;
    CFilesystemNode* root = nullptr;
};

TEST(ResultViews, PathView) {
    Results r;
    TestFileNode* docs = r.Folder(r.root, "Docs");
    TestFileNode* sub = r.Folder(docs, "Sub");
    TestFileNode* hidden = r.Folder(r.root, "Hidden");
    r.File(hidden, "h.txt");
    hidden->ShowNode(0);
    TestFileNode* a = r.File(docs, "a.txt");
    TestFileNode* b = r.File(docs, "b.txt");
    EXPECT_EQ(ScanHarness::facade().GetScanTreeNodeData(nullptr, false), 0);

    OpNodeList paths = r.Pull(0);
    ASSERT_EQ(paths.size(), 1u);
    const OpNodeRef top = paths[0].item();
    EXPECT_EQ(Results::Names(top), std::vector<QString>{"Docs"}); // no item for the hidden folder
    EXPECT_EQ(Results::Names((*top->children())[0].item()), std::vector<QString>{"Sub"});

    // Nothing new: unchanged; a folder found since: listed under its parent.
    paths = r.Pull(0, paths);
    EXPECT_EQ(Results::Names(top).size(), 1u);
    r.Folder(sub, "Deeper");
    paths = r.Pull(0, paths);
    const OpNodeRef subItem = (*(*top->children())[0].item()->children())[0].item();
    EXPECT_EQ(Results::Names(subItem), std::vector<QString>{"Deeper"});

    // File lists: shown files only.
    OpNodeList files;
    const OpNodeRef docsItem = (*top->children())[0].item();
    b->ShowNode(0);
    EXPECT_EQ(ScanHarness::facade().GetFileNodeToArray(files, docsItem), 1);
    EXPECT_EQ(files, OpNodeList{OpNodeEntry(a)});
    // A pull with the clear flag shows the roots again and unticks.
    a->SetCheck(CHECK_ALL);
    r.root->ShowNode(0);
    r.Pull(0, paths, true);
    EXPECT_TRUE(r.root->IsNodeShow());
    EXPECT_EQ(a->GetCheckedStatus(), CHECK_NONE);

    // A damaged sibling chain that comes back to an earlier sibling, and a
    // folder linked below itself: lists, pulls and the name test end.
    LinkedNode* loopDir = r.forest.Linked("loop", true);
    LinkedNode* x = r.forest.Linked("x.txt");
    LinkedNode* y = r.forest.Linked("y.txt");
    loopDir->childLink = x;
    x->nextLink = y;
    y->nextLink = x;
    OpNodeRef loopItem = OpNodeData::initWithFileNode(loopDir);
    EXPECT_EQ(VXResultTrees::GetPathInfoToArray(files, loopItem), 1);
    EXPECT_EQ(files.size(), 2u);
    LinkedNode* self = r.forest.Linked("self", true);
    self->childLink = self;
    OpNodeList selfArray{OpNodeEntry(OpNodeData::initWithFileNode(self))};
    selfArray[0].item()->setExpandAble(1);
    VXResultTrees::AddPathNodeToArray(selfArray);
    EXPECT_EQ(selfArray[0].item()->children()->size(), 1u); // listed once, not walked again
    EXPECT_FALSE(VXUIPublic::IsStringInFileNode("nothing", loopDir));
    EXPECT_FALSE(VXUIPublic::IsStringInFileNode("nothing", self));
    EXPECT_TRUE(VXUIPublic::IsStringInFileNode("Y.TXT", loopDir));
}

TEST(ResultViews, TypeView) {
    Results r;
    TestFileNode* jpg1 = r.File(r.root, "a.JPG");
    TestFileNode* jpg2 = r.File(r.root, "b.jpg");
    r.File(r.root, "song.mp3");
    TestFileNode* plain = r.File(r.root, "README");
    TestFileNode* odd = r.File(r.root, "x.qqq");
    r.File(r.root, "hidden.zip")->ShowNode(0);
    r.Folder(r.root, "dir.jpg");

    OpNodeList types = r.Pull(1);
    ASSERT_EQ(types.size(), 6u);
    VXTypeMgr& mgr = VXTypeMgr::share();
    const OpNodeRef pictures = types[0].item(), music = types[1].item(), archives = types[3].item(),
                    other = types[5].item();
    EXPECT_EQ(Results::Names(pictures), std::vector<QString>{"jpg"});
    EXPECT_EQ(Results::Names(music), std::vector<QString>{"mp3"});
    EXPECT_EQ(archives->children(), nullptr); // all its files hidden: no group
    EXPECT_EQ(other->children()->size(), 2u);
    EXPECT_EQ((*other->children())[0], OpNodeEntry(plain));
    EXPECT_EQ((*other->children())[1], OpNodeEntry(odd));
    const OpNodeRef jpg = (*pictures->children())[0].item();
    EXPECT_EQ(ScanHarness::facade().GetNodeChildrenCnt(jpg), 2u);
    EXPECT_EQ(ScanHarness::facade().GetNodeChildrenCnt(pictures), 2u);
    EXPECT_EQ(ScanHarness::facade().GetNodeChildrenCnt(other), 2u);

    // File lists of a category root and of a group.
    OpNodeList files;
    EXPECT_EQ(ScanHarness::facade().GetFileNodeToArray(files, pictures), 1);
    EXPECT_TRUE(files.empty());
    EXPECT_EQ(ScanHarness::facade().GetFileNodeToArray(files, jpg), 0);
    EXPECT_EQ(files, (OpNodeList{OpNodeEntry(jpg1), OpNodeEntry(jpg2)}));
    OpNodeRef odd5 = OpNodeData::initWithFileNode(jpg1);
    odd5->setType(5);
    files = {OpNodeEntry(plain)};
    EXPECT_EQ(ScanHarness::facade().GetFileNodeToArray(files, odd5), 0);
    EXPECT_EQ(files.size(), 1u);

    // A second pull with nothing new: the same six roots, the same groups.
    types = r.Pull(1, types);
    EXPECT_EQ(types.size(), 6u);
    EXPECT_EQ(types[0].item(), pictures);
    EXPECT_EQ(Results::Names(pictures).size(), 1u);

    // Ticks: one of two files → 1, up to the root; both → 2.
    jpg1->SetCheck(CHECK_ALL);
    ScanHarness::facade().RefreshTypeTreeState(nullptr);
    EXPECT_EQ(jpg->state(), 1);
    EXPECT_EQ(pictures->state(), 1);
    jpg2->SetCheck(CHECK_ALL);
    ScanHarness::facade().RefreshTypeTreeState(jpg);
    EXPECT_EQ(jpg->state(), 2);
    EXPECT_EQ(pictures->state(), 2);

    // Catalogue answers.
    EXPECT_FALSE(ScanHarness::facade().getImageForType("jpg").isEmpty());
    EXPECT_TRUE(ScanHarness::facade().getImageForType("qqq").isNull());
    EXPECT_TRUE(mgr.getTypeString(3).isNull());

    // A search unticks the shown files and empties the tree; clear resets
    // the roots' states too.
    mgr.setSearch(true);
    EXPECT_EQ(jpg1->GetCheckedStatus(), CHECK_NONE);
    EXPECT_EQ(pictures->children(), nullptr);
    pictures->setNodeState(2);
    mgr.clear();
    EXPECT_EQ(pictures->state(), 0);
}

class DateViews : public testing::TestWithParam<const char*> {
    ScopedTz m_zone{GetParam()};
};

TEST_P(DateViews, YearsMonthsFilesAndTicks) {
    Results r;
    r.File(r.root, "c.txt", LocalFileTime(2021, 3, 31), LocalFileTime(2021, 3, 1));
    r.File(r.root, "b.txt", LocalFileTime(2019, 7, 1), LocalFileTime(2019, 7, 1));
    TestFileNode* mar19 = r.File(r.root, "a.txt", LocalFileTime(2019, 3, 1), LocalFileTime(2019, 3, 1));
    TestFileNode* mar19b = r.File(r.root, "a2.txt", LocalFileTime(2019, 3, 2), LocalFileTime(2019, 3, 2));
    r.File(r.root, "undated.txt");
    TestFileNode* hidden = r.File(r.root, "hidden.txt", LocalFileTime(2020, 1, 1));
    hidden->ShowNode(0);
    r.Folder(r.root, "dir");

    OpNodeList created = r.Pull(2);
    ASSERT_EQ(created.size(), 1u);
    const OpNodeRef root = created[0].item();
    EXPECT_EQ(Results::Names(root), (std::vector<QString>{"2019", "2021"}));
    const OpNodeRef y2019 = (*root->children())[0].item();
    EXPECT_EQ(Results::Names(y2019), (std::vector<QString>{"03", "07"}));
    EXPECT_EQ(Results::Names((*root->children())[1].item()), std::vector<QString>{"03"});
    EXPECT_EQ(ScanHarness::facade().GetNodeChildrenCnt(root), 4u);
    EXPECT_EQ(ScanHarness::facade().GetNodeChildrenCnt(y2019), 3u);
    const OpNodeRef march = (*y2019->children())[0].item();
    OpNodeList files;
    ScanHarness::facade().GetFileNodeToArray(files, y2019);
    EXPECT_TRUE(files.empty());
    ScanHarness::facade().GetFileNodeToArray(files, march);
    EXPECT_EQ(files, (OpNodeList{OpNodeEntry(mar19), OpNodeEntry(mar19b)}));

    // No new finds: unchanged; a file hidden when passed stays out.
    hidden->ShowNode(1);
    created = r.Pull(2, created);
    EXPECT_EQ(Results::Names(root).size(), 2u);

    // Month ticks: none → 0, all → 2, unticked then ticked → 1 (up the chain).
    ScanHarness::facade().RefreshTimeTreeState(created);
    EXPECT_EQ(march->state(), 0);
    mar19->SetCheck(CHECK_ALL);
    mar19b->SetCheck(CHECK_ALL);
    ScanHarness::facade().RefreshTimeTreeState(created);
    EXPECT_EQ(march->state(), 2);
    mar19->SetCheck(CHECK_NONE);
    ScanHarness::facade().RefreshTimeTreeState(created);
    EXPECT_EQ(march->state(), 1);
    EXPECT_EQ(y2019->state(), 1);

    // The modification view: its own groups, modification times on them.
    OpNodeList modified = r.Pull(3);
    const OpNodeRef mroot = modified[0].item();
    EXPECT_EQ(Results::Names(mroot), (std::vector<QString>{"2019", "2021"}));
    const OpNodeRef m2021 = (*(*mroot->children())[1].item()->children())[0].item();
    int year = 0, month = 0;
    VXCPPPublic::instance().GetYearMonthByTimeT(&year, &month, m2021->modifytime());
    EXPECT_EQ(year * 100 + month, 202103);
    EXPECT_GT(m2021->createtime(), VXTimeMgr::MonthTime(2025, 1)); // made now

    // Group times stay inside their month; names order as numbers.
    VXCPPPublic::instance().GetYearMonthByTimeT(&year, &month, VXTimeMgr::MonthTime(2019, 2));
    EXPECT_EQ(year * 100 + month, 201902);
    const OpNodeList years = *root->children(); // "2019", "2021"
    EXPECT_EQ(VXTimeMgr::GetDateInsertIndex("2020", years), 1);
    EXPECT_EQ(VXTimeMgr::GetDateInsertIndex("10000", years), -1);
    EXPECT_EQ(VXTimeMgr::GetDateInsertIndex("2020", {}), -1);
}

INSTANTIATE_TEST_SUITE_P(TwoZones, DateViews, testing::Values("UTC0", "NZST-12NZDT,M9.5.0,M4.1.0/3"));

} // namespace
