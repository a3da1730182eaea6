// Name search through the facade over found nodes, and a scan that starts
// while a search still walks the nodes.
#include "services/DeviceData.h"
#include "tests/services/ScanHarness.h"
#include "tests/services/ServicesFakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

using namespace salvor::test;

class NameSearch : public testing::Test {
protected:
    void SetUp() override {
        VXUIScan::instance().ReleaseResults();
        root = forest.Root(SEARCHER_FAT, "vol");
        VXUIScan::instance().ShowFilesystemNode(root);
        CFileNode* dir = forest.Add(root, "Docs", true);
        for (const char* name : {"holiday.jpg", "ärger.txt", "日本語のファイル名.txt", "other.doc"})
            files.push_back(forest.Add(dir, name, false, 1));
        VXUIScan::instance().ShowNodes(files.data(), static_cast<unsigned>(files.size()), 0);
    }
    void TearDown() override {
        ScanHarness::facade().StopSearch();
        VXUIScan::instance().ReleaseResults();
    }
    // Searches, waits for the post, answers the names left shown.
    std::vector<std::string> Search(const QString& text) {
        ScanHarness search("DoSearchValue");
        EXPECT_TRUE(ScanHarness::facade().DoSearchWithString(text, search.key));
        EXPECT_TRUE(salvor::platform::runUntil([&] { return search.posts.load() == 1; }, std::chrono::seconds(10)));
        EXPECT_FALSE(ScanHarness::facade().DoSearchWithString("again", search.key)); // until StopSearch
        ScanHarness::facade().StopSearch();
        std::vector<IFileNode*> shown;
        ScanHarness::facade().GetSearchResultToArr(&shown);
        std::vector<std::string> names;
        for (IFileNode* f : files)
            if (f->IsNodeShow()) names.push_back(f->GetFileName());
        std::vector<std::string> listed;
        for (IFileNode* f : shown) listed.push_back(f->GetFileName());
        std::sort(names.begin(), names.end());
        std::sort(listed.begin(), listed.end());
        if (!text.isEmpty()) {
            EXPECT_EQ(listed, names); // the result list holds exactly the shown files
        }
        return names;
    }

    NodeForest forest;
    CFilesystemNode* root = nullptr;
    std::vector<IFileNode*> files;
};

TEST_F(NameSearch, FindsByNameIgnoringCaseInAnyScript) {
    std::vector<IFileNode*> none;
    ScanHarness::facade().GetSearchResultToArr(&none);
    EXPECT_TRUE(none.empty()); // no search yet
    EXPECT_EQ(Search("JPG"), std::vector<std::string>{"holiday.jpg"});
    EXPECT_EQ(Search("ÄRGER"), std::vector<std::string>{"ärger.txt"});
    EXPECT_EQ(Search("日本語"), std::vector<std::string>{"日本語のファイル名.txt"});
    EXPECT_EQ(Search("").size(), files.size());
}

TEST_F(NameSearch, AScanWaitsForTheSearchStillWalkingTheNodes) {
    FakeDevice disk{DEVICE_DISK}, volume{DEVICE_VOLUME};
    FakeController::Shared shared;
    FakeDeviceList devices(&disk, {&volume});
    ASSERT_TRUE(devices.devices.listed);
    VXUIScan::instance().SetControllerFactory(
        [&](_RECOVERY_CONTROLLER_TYPE type) { return new FakeController(type, shared); });
    VXUIScan::instance().SetSearching(1);

    ScanHarness harness;
    {
        // What the search thread holds while it walks.
        auto walking = VXUIScan::instance().ReadNodes();
        ASSERT_TRUE(ScanHarness::facade().DoScanWithDiskIndex(0, 0, harness.key));
        salvor::platform::runUntil([] { return false; }, std::chrono::milliseconds(300));
        EXPECT_TRUE(shared.types.empty()); // the old nodes are still there
        EXPECT_EQ(VXUIScan::instance().GetFileSystemNode().size(), 0u); // but no longer offered
    }
    ASSERT_TRUE(harness.WaitEnd());
    EXPECT_EQ(shared.visited.size(), 1u);
    EXPECT_EQ(VXUIScan::instance().IsSearching(), 0); // the next search may start
}

} // namespace
