// A quick scan of an exFAT volume through the deleted-files controller, the
// tree builder and the file writer, as the application runs it.
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

using exfat_test::RecordingBuilder;
using salvor::test::ImageDevice;

namespace {

template <typename T>
struct Releaser {
    void operator()(T* p) const { p->Release(); }
};

// Paths of the linked nodes below the tree's root; folders end in "/".
std::string TreePath(IFileNode* node) {
    std::string path = node->GetFileName();
    int guard = 0;
    for (IFileNode* p = node->GetParent(); p && p->GetParent() && guard < 64; p = p->GetParent(), ++guard)
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

class ExfatEndToEnd : public ::testing::TestWithParam<unsigned> {};

TEST_P(ExfatEndToEnd, QuickScanAndRecoveryOfEveryFile) {
    ResetFactories();
    RegisterExfatLibrary();
    const std::string name = "exfat_" + std::to_string(GetParam());
    const std::string img = salvor::test::FixtureFile("exfat_quick", name + ".img");
    ImageDevice device(img, GetParam());
    device.SetType(DEVICE_VOLUME);
    auto* info = new CCollectedVolumeDeviceInfoStruct;
    info->fileSystemType = FS_EXFAT;
    std::strcpy(info->volumeName, "EXFATVOL");
    device.SetPrivateData(CreateVolumeDeviceData(info));

    std::unique_ptr<IRecoveryFilter, Releaser<IRecoveryFilter>> filter(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(SCAN_QUICK_UNMOUNTED);
    std::unique_ptr<IRecoveryController, Releaser<IRecoveryController>> controller(
        CreateRecoveryController(RECOVERY_DELETED));
    ASSERT_TRUE(controller);
    ASSERT_EQ(controller->Initialize(filter.get()), 1);
    salvor::test::RecordingProgress progress;
    salvor::test::RecordingTree tree;
    EXPECT_EQ(controller->StartDataRecovery(&device, &progress, &tree), 0u);
    EXPECT_EQ(progress.Last().state, 3u);
    EXPECT_FALSE(IsFailure(progress.Last().result));
    ASSERT_EQ(tree.Roots().size(), 1u);
    EXPECT_STREQ(tree.Roots()[0]->GetFileName(), "EXFATVOL(ExFat)");

    // Every file of fls is shown, linked under its folders.
    std::map<std::string, IFileNode*> shown;
    for (IFileNode* n : tree.AllNodes())
        if (!n->IsDirectory()) shown[TreePath(n)] = n;
    const auto expected = exfat_test::ParseFls(
        exfat_test::ReadText(salvor::test::FixtureFile("exfat_quick", name + ".fls.txt")));
    std::size_t files = 0;
    for (const auto& e : expected) {
        if (e.kind != 'r') continue;
        ++files;
        ASSERT_TRUE(shown.count(e.path)) << e.path;
        EXPECT_EQ(shown[e.path]->IsDeleted() != 0, e.deleted) << e.path;
    }
    EXPECT_EQ(shown.size(), files);

    // Every file written by the writer equals its source.
    std::unique_ptr<IDataRecovery, Releaser<IDataRecovery>> writer(controller->GetDataRecovery(SEARCHER_EXFAT));
    ASSERT_TRUE(writer);
    salvor::test::TempDir out;
    const auto manifest =
        exfat_test::ReadManifest(salvor::test::FixtureFile("exfat_quick", name + ".sha256.txt"));
    int written = 0;
    for (const auto& [path, sha] : manifest) {
        IFileNode* node = shown[path];
        ASSERT_TRUE(node) << path;
        if (node->GetFileSize() == 0) continue; // the writer makes nothing of an empty file
        IFileReader* reader = writer->SetRecoverNode(node);
        ASSERT_TRUE(reader) << path;
        reader->Release();
        const std::string dest = out.file("f" + std::to_string(written++));
        salvor::test::RecordingProgress p;
        EXPECT_FALSE(IsFailure(writer->RecoverTo(dest.c_str(), &p, 0))) << path;
        EXPECT_EQ(salvor::test::Sha256File(dest), sha) << path;
    }
    EXPECT_GT(written, 350);
    ResetFactories();
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, ExfatEndToEnd, ::testing::Values(512u, 4096u));

} // namespace
