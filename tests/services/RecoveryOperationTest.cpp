// The recovery operation through the facade with a scripted controller whose
// writers keep a current node as the real writer does, and the destination
// paths it makes.
#include "services/DeviceData.h"
#include "services/RecoveryPath.h"
#include "services/UIRecovery.h"
#include "tests/services/RecoveryHarness.h"
#include "tests/services/ServicesFakes.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;

constexpr ResultCode kEmptyFile = 0x10d010f00000d02ULL, kWriteFailed = 0x10d015f00000d03ULL,
                     kCannotOpen = 0x10d01310000000fULL;

// Writes its current node's name over and over, in three progress steps
// through a temporary name, as the real writer does; "full*" fails its
// second step once with the write-failure code, "empty*" and "bad*" answer
// the writer's empty-file and open failures.
class ScriptWriter : public FakeWriter {
public:
    explicit ScriptWriter(std::vector<std::pair<ScriptWriter*, IFileNode*>>& log) : m_log(log) {}
    IFileReader* SetRecoverNode(IFileNode* node) override {
        m_node = node;
        return nullptr;
    }
    ResultCode RecoverTo(const char* path, IProgress* sink, int) override {
        const std::string name = m_node->GetFileName();
        const auto size = static_cast<std::uint64_t>(m_node->GetFileSize());
        _PROGRESS_INFO r = MakeProgress(PROGRESS_RUNNING, size, 0);
        sink->UpdateProgress(&r);
        if (!path) return kCannotOpen;
        m_log.emplace_back(this, m_node);
        if (name.rfind("empty", 0) == 0) return std::ofstream(path) ? kEmptyFile : kCannotOpen;
        if (name.rfind("bad", 0) == 0) return kCannotOpen;
        const std::string temp = std::string(path) + ".part";
        std::ofstream out(temp, std::ios::binary);
        for (int step = 1; step <= 3; ++step) {
            if (step == 2 && name.rfind("full", 0) == 0) {
                r.result = kWriteFailed;
                sink->UpdateProgress(&r);
                r.result = 0;
            }
            if (!sink->Continued()) {
                std::remove(temp.c_str());
                return 0;
            }
            while (static_cast<std::uint64_t>(out.tellp()) < size * step / 3)
                out.put(name[static_cast<std::size_t>(out.tellp()) % name.size()]);
            r.current = size * step / 3;
            sink->UpdateProgress(&r);
        }
        out.close();
        return std::rename(temp.c_str(), path) == 0 ? 0 : kCannotOpen;
    }

private:
    std::vector<std::pair<ScriptWriter*, IFileNode*>>& m_log;
    IFileNode* m_node = nullptr;
};

class ScriptController : public FakeController {
public:
    ScriptController(_RECOVERY_CONTROLLER_TYPE type, Shared& shared, std::vector<std::pair<ScriptWriter*, IFileNode*>>& log)
        : FakeController(type, shared), m_log(log) {}
    IDataRecovery* GetDataRecovery(_tagSearcherType) const override { return new ScriptWriter(m_log); }

private:
    std::vector<std::pair<ScriptWriter*, IFileNode*>>& m_log;
};

std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Pattern(const std::string& name, std::size_t size) {
    std::string s;
    for (std::size_t i = 0; i < size; ++i) s += name[i % name.size()];
    return s;
}

// Every regular file below dir, relative.
std::set<std::string> Files(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).string());
    return out;
}

class RecoveryOperation : public testing::Test {
protected:
    void SetUp() override {
        enumerator.disk = &disk;
        enumerator.volumes.push_back(&volume);
        ASSERT_TRUE(devices.InitDeviceInfo());
        VXUIDeviceData::install(&devices);
        VXUIScan::instance().SetControllerFactory(
            [this](_RECOVERY_CONTROLLER_TYPE type) { return new ScriptController(type, shared, log); });
    }
    void TearDown() override {
        VXUIScan::instance().ReleaseResults();
        VXUIScan::instance().SetControllerFactory(nullptr);
        VXUIDeviceData::install(nullptr);
    }
    IFileNode* File(CFileNode* parent, const std::string& name, long long size, bool tick = true) {
        TestFileNode* f = forest.Add(parent, name, false, size);
        files.push_back(f);
        if (tick) f->SetCheck(CHECK_ALL);
        return f;
    }
    // Scans the fake volume (deep: the disk), then recovers into dest.
    void ScanAndTick(bool deep = false) {
        shared.scripts[deep ? static_cast<IStorageDevice*>(&disk) : &volume].trees = {{root, files}};
        ASSERT_TRUE(harness.Scan(0, deep ? -1 : 0, deep));
    }
    bool Recover(const std::string& dest, std::function<bool()> during = {}) {
        int count = 0;
        std::uint64_t size = 0;
        ScanHarness::facade().GetSelectedFilesAmout(&count, &size);
        selected = {count, size};
        return recovery.Recover(OpNodeList(), dest, std::move(during));
    }

    FakeDevice disk{DEVICE_DISK};
    FakeDevice volume{DEVICE_VOLUME, FS_FAT32, true, "card"};
    FakeEnumerator enumerator;
    VXUIDeviceData devices{&enumerator};
    FakeController::Shared shared;
    std::vector<std::pair<ScriptWriter*, IFileNode*>> log;
    NodeForest forest;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "CARD");
    std::vector<IFileNode*> files;
    ScanHarness harness;
    std::pair<int, std::uint64_t> selected;
    RecoveryHarness recovery;
    int& endPosts = recovery.endPosts;
    TempDir dest;
};

TEST_F(RecoveryOperation, TickedShownFilesLandInOneNumberedFolderAndBytesCountOnce) {
    File(root, "a.jpg", 300);
    File(root, "b.jpg", 90);
    File(root, "unticked.jpg", 50, false);
    File(root, "hidden.jpg", 50)->ShowNode(0);
    auto* part = static_cast<CFileNode*>(File(root, "part.jpg", 50, false)); // partly ticked through its children
    forest.Add(part, "c1");
    IFileNode* c2 = forest.Add(part, "c2");
    part->SetCheck(CHECK_ALL);
    c2->SetCheck(CHECK_NONE);
    ASSERT_EQ(part->GetCheckedStatus(), CHECK_PART);
    ScanAndTick();
    ASSERT_TRUE(Recover(dest.path()));
    EXPECT_EQ(selected, (std::pair<int, std::uint64_t>{2, 390}));
    EXPECT_EQ(endPosts, 1);
    EXPECT_EQ(Files(dest.path()), (std::set<std::string>{"Fat_0001/CARD/a.jpg", "Fat_0001/CARD/b.jpg"}));
    EXPECT_EQ(Content(dest.file("Fat_0001/CARD/a.jpg")), Pattern("a.jpg", 300));
    std::uint64_t total = 0, current = 0, error = 1;
    ScanHarness::facade().GetRecoveryProgressTotal(&total, &current, &error);
    EXPECT_EQ(std::tuple(total, current, error), std::tuple(390u, 390u, 0u)); // 6 steps, two restarts at 0
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), 2u);
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedSize(), 390u);
    EXPECT_FALSE(ScanHarness::facade().IsRecoveryRunning());

    ASSERT_TRUE(Recover(dest.path()));
    EXPECT_TRUE(fs::exists(dest.file("Fat_0002/CARD/b.jpg")));
    OpNodeList items;
    EXPECT_EQ(ScanHarness::facade().DoRecovery(nullptr, "/tmp", "DoRecovery", nullptr), RecoveryResult::BadArgument);
    EXPECT_EQ(ScanHarness::facade().DoRecovery(&items, QString(), "DoRecovery", nullptr), RecoveryResult::BadArgument);
}

// Only files written whole count; what a writer left unfinished is gone.
TEST_F(RecoveryOperation, FailuresStopsAndPausesCountOnlyWholeFiles) {
    File(root, "a.jpg", 30);
    File(root, "empty.txt", 0);
    File(root, "bad.txt", 30);
    File(root, "full1.bin", 30);
    File(root, "full2.bin", 30);
    File(root, "z.jpg", 30);
    ScanAndTick();
    // Resume the first pause, stop at the second.
    int pauses = 0;
    ASSERT_TRUE(Recover(dest.path(), [&] {
        if (VXUIRecovery::instance().GetStatus() != OP_PAUSED) return false;
        EXPECT_TRUE(ScanHarness::facade().IsRecoveryRunning());
        std::uint64_t t, c, error = 0;
        ScanHarness::facade().GetRecoveryProgressTotal(&t, &c, &error);
        EXPECT_EQ(error & 0xFFFFFFFF, 0xD03u);
        if (++pauses == 1)
            ScanHarness::facade().PauseOrResumeRecovery();
        else
            ScanHarness::facade().StopRecvoery();
        return false;
    }));
    EXPECT_EQ(pauses, 2);
    EXPECT_EQ(endPosts, 1);
    EXPECT_EQ(VXUIRecovery::instance().GetStatus(), OP_IDLE);
    std::set<std::string> want;
    for (const auto& [w, node] : log)
        if (std::string(node->GetFileName()) != "full2.bin" && node->GetFileName()[0] != 'b')
            want.insert(std::string("Fat_0001/CARD/") + node->GetFileName());
    EXPECT_EQ(Files(dest.path()), want);
    EXPECT_EQ(Content(dest.file("Fat_0001/CARD/full1.bin")), Pattern("full1.bin", 30));
    // The empty file the writer made stays, uncounted.
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), want.size() - 1);
    EXPECT_EQ(ScanHarness::facade().GetRecoveridedSize(), 30u * (want.size() - 1));
    EXPECT_EQ(VXUIRecovery::instance().GetFailedFilesCnt(), 2u); // bad.txt, full2.bin
}

TEST_F(RecoveryOperation, DeepScanWritesCarvedAndLabelFilesWithTwoWriters) {
    NodeForest more;
    CFilesystemNode* raw = more.Root(SEARCHER_RAW, "RAW");
    CFilesystemNode* label = more.Root(SEARCHER_RAW_LABEL, "LABEL");
    std::vector<IFileNode*> nodes = {more.Add(more.Add(raw, "jpg", true), "f1.jpg", false, 12),
                                     more.Add(more.Add(label, "Canon", true), "f2.jpg", false, 12)};
    for (IFileNode* n : nodes) n->SetCheck(CHECK_ALL);
    shared.scripts[&disk].trees = {{raw, {nodes[0]}}, {label, {nodes[1]}}};
    ASSERT_TRUE(harness.Scan(0, -1));
    ASSERT_TRUE(harness.Scan(0, -1, true));
    std::string labels, carved;
    int flags[3] = {0, 0, 0};
    VXUIRecovery::instance().SetRecoveryPath((dest.path() + "/Library/").c_str());
    VXUIRecovery::instance().ClearCreateDirIndex();
    VXUIRecovery::instance().BeginRun();
    VXUIRecovery::instance().DoRecovery(labels, carved, flags);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].first, log[1].first);
    EXPECT_EQ((std::set<IDataRecovery*>{log[0].first, log[1].first}),
              (std::set<IDataRecovery*>{VXUIRecovery::instance().GetDataRecoveryByType(SEARCHER_RAW),
                                        VXUIRecovery::instance().GetDataRecoveryByType(SEARCHER_RAW_LABEL)}));
    EXPECT_EQ(std::tuple(labels, carved), std::tuple(std::string("Canon,"), std::string("jpg,")));
    EXPECT_EQ(std::vector<int>(flags, flags + 3), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(Files(dest.path() + "/Library"), (std::set<std::string>{"RAW_0001/RAW/jpg/f1.jpg", "0001/LABEL/Canon/f2.jpg"}));
}

// ---- destination paths ----------------------------------------------------------

class RecoveryPaths : public testing::Test {
protected:
    void SetUp() override { VXUIRecovery::instance().ClearCreateDirIndex(); }
    std::string Path(IFileNode* node, const std::string& folder) {
        char* p = CreateRecoveryFilePathByNode(node, folder.c_str());
        const std::string out = p ? p : "(null)";
        std::free(p);
        return out;
    }
    NodeForest forest;
    TempDir dest;
};

TEST_F(RecoveryPaths, NumberedFoldersAndNames) {
    const std::string d = dest.path() + "/";
    fs::create_directory(d + "HFS+_0001");
    CFilesystemNode* hfs = forest.Root(SEARCHER_HFSPLUS, "Mac");
    CFileNode* x = forest.Add(hfs, "x.jpg", true);
    struct Row {
        IFileNode* node;
        std::string want;
    } rows[] = {
        {forest.Add(hfs, "photo.jpg"), "HFS+_0002/Mac/photo.jpg"},
        {forest.Add(hfs, "photo.jpg"), "HFS+_0002/Mac/photo_0001.jpg"},
        {forest.Add(hfs, "photo.jpg"), "HFS+_0002/Mac/photo_0002.jpg"},
        {forest.Add(hfs, "README"), "HFS+_0002/Mac/README"},
        {forest.Add(hfs, "README"), "HFS+_0002/Mac/README_0001"},
        {forest.Add(hfs, "a.tar.gz"), "HFS+_0002/Mac/a.tar.gz"},
        {forest.Add(hfs, "a.tar.gz"), "HFS+_0002/Mac/a.tar_0001.gz"},
        {forest.Add(x, "x.jpg"), "HFS+_0002/Mac/x.jpg/x.jpg"},
        {forest.Add(x, "x.jpg"), "HFS+_0002/Mac/x.jpg/x_0001.jpg"},
        {forest.Add(forest.Root(SEARCHER_NTFS, "Win"), "n.doc"), "0001/Win/n.doc"},
        {forest.Add(forest.Root(SEARCHER_APFS, "Apfs"), "n.doc"), "0002/Apfs/n.doc"},
        // Untrusted names stay inside the kind folder.
        {forest.Add(forest.Root(SEARCHER_FAT, ".."), ".."), "Fat_0001/_../_.."},
        {forest.Add(forest.Root(SEARCHER_FAT, "/"), "a/b"), "Fat_0001/_/a_b"},
        {forest.Add(forest.Root(SEARCHER_FAT, ""), "."), "Fat_0001/_/_."},
        {forest.Add(forest.Root(SEARCHER_FAT, "v"), ""), "Fat_0001/v/_"},
        {forest.Add(forest.Root(SEARCHER_FAT, "v"), std::string(300, 'n') + ".jpg"),
         "Fat_0001/v/" + std::string(251, 'n') + ".jpg"},
        {forest.Add(forest.Root(SEARCHER_FAT, "v"), std::string(300, 'n') + ".jpg"),
         "Fat_0001/v/" + std::string(246, 'n') + "_0001.jpg"},
        {forest.Add(hfs, "sub", true), "(null)"}, // a folder is made, nothing written
    };
    for (const Row& r : rows) EXPECT_EQ(Path(r.node, d), r.want == "(null)" ? r.want : d + r.want);
    EXPECT_TRUE(fs::is_directory(d + "HFS+_0002/Mac/sub"));
    EXPECT_EQ(VXUIRecovery::instance().GetCreateDirIndex(SEARCHER_HFSPLUS), 2);
}

TEST_F(RecoveryPaths, NothingForHiddenRootlessLoopedOrUnwritable) {
    const std::string d = dest.path() + "/";
    CFilesystemNode* fat = forest.Root(SEARCHER_FAT, "v");
    TestFileNode* hidden = forest.Add(fat, "h.jpg");
    hidden->ShowNode(0);
    LinkedNode* a = forest.Linked("a");
    LinkedNode* b = forest.Linked("b");
    a->parentLink = b;
    b->parentLink = a;
    for (IFileNode* n : std::vector<IFileNode*>{hidden, forest.Add(nullptr, "orphan.jpg"), a, nullptr})
        EXPECT_EQ(Path(n, d), "(null)");
    EXPECT_EQ(CreateRecoveryFilePathByNode(forest.Add(fat, "f"), nullptr), nullptr);
    EXPECT_TRUE(fs::is_empty(d));

    // An unwritable destination: nothing anywhere.
    if (::geteuid() != 0) GTEST_SKIP() << "the unwritable case runs as root (as uid 65534)";
    fs::create_directory(d + "ro");
    ::chmod((d + "ro").c_str(), 0755);
    IFileNode* f = forest.Add(fat, "f.jpg");
    const pid_t child = ::fork();
    if (child == 0) {
        VXUIRecovery::instance().ClearCreateDirIndex();
        const bool ok = ::setuid(65534) == 0 && !CreateRecoveryFilePathByNode(f, (d + "ro/new/").c_str()) &&
                        !CreateRecoveryFilePathByNode(f, (d + "ro/").c_str());
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(fs::is_empty(d + "ro"));
}

} // namespace
