// The recovery operation with a scripted controller whose writers keep a
// current node as the real writer does, and the destination paths it makes.
#include "engine/controller/RecoveryControllers.h"
#include "services/RecoveryPath.h"
#include "tests/services/RecoveryHarness.h"
#include "tests/services/ServicesFakes.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;
using Log = std::vector<std::pair<IDataRecovery*, std::string>>;

// Writes its node's name over and over in two progress steps; "bad*" fails,
// "empty*" gets the writer's empty-file answer (the empty file is made),
// "gone*" takes the destination away (the folder named by the environment
// variable SALVOR_TEST_GONE) and fails; "wind*" asks a stop, answers it and
// winds down silent for twice as long as a stop unanswered is waited for.
class ScriptWriter : public FakeWriter {
public:
    explicit ScriptWriter(Log& log) : m_log(log) {}
    IFileReader* SetRecoverNode(IFileNode* node) override { return m_node = node, nullptr; }
    ResultCode RecoverTo(const char* path, IProgress* sink, int) override {
        const std::string name = m_node->GetFileName();
        const auto size = static_cast<std::uint64_t>(m_node->GetFileSize());
        m_log.emplace_back(this, name);
        if (!path) return 0x10d010200000005ULL; // no name could be made
        if (name[0] == 'g') {
            fs::remove_all(std::getenv("SALVOR_TEST_GONE"));
            return 0x10d01310000000fULL;
        }
        std::ofstream out(path);
        if (name[0] == 'w') {
            VXUIController::shared().StopRecvoery();
            sink->Continued();
            std::this_thread::sleep_for(VXUIRecovery::kStopUnanswered * 2);
        }
        if (name[0] == 'e' || name[0] == 'b') return name[0] == 'e' ? 0x10d010f00000d02ULL : 0x10d01310000000fULL;
        for (std::uint64_t step = 0; step <= 2; ++step) {
            _PROGRESS_INFO r = MakeProgress(PROGRESS_RUNNING, size, size * step / 2);
            sink->UpdateProgress(&r);
        }
        out << std::string(size, name[0]);
        return 0;
    }

private:
    Log& m_log;
    IFileNode* m_node = nullptr;
};

struct ScriptController : FakeController {
    ScriptController(_RECOVERY_CONTROLLER_TYPE type, Shared& shared, Log& log) : FakeController(type, shared), log(log) {}
    // HFS+ has no writer here, as a searcher whose partitions cannot be had.
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override {
        return type == SEARCHER_HFSPLUS ? nullptr : new ScriptWriter(log);
    }
    Log& log;
};

std::set<std::string> Files(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).string());
    return out;
}

TEST(RecoveryOperation, QuickThenDeepRecoveryWithScriptedWriters) {
    RegisterAllLibraries(); // a writer is asked for each file system of the table
    FakeDevice disk{DEVICE_DISK}, volume{DEVICE_VOLUME, FS_FAT32, true, "card"};
    FakeController::Shared shared;
    Log log;
    NodeForest forest, more;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "CARD");
    std::vector<IFileNode*> files;
    TestFileNode* part = nullptr;
    for (const char* name : {"a.jpg", "d.jpg", "bad.txt", "empty.txt", "unticked.jpg", "hidden.jpg", "part.jpg"})
        files.push_back(part = forest.Add(root, name, false, name[0] == 'e' ? 0 : 30));
    forest.Add(part, "c1");
    IFileNode* c2 = forest.Add(part, "c2");
    // A deleted file of a live one's name, listed before it: the live one keeps the name.
    TestFileNode* gone = forest.Add(root, "a.jpg", false, 7);
    gone->m_deleted = true;
    files.insert(files.begin(), gone);
    for (int i : {0, 1, 2, 3, 4, 6, 7}) files[i]->SetCheck(CHECK_ALL);
    c2->SetCheck(CHECK_NONE); // part.jpg is partly ticked now
    files[6]->ShowNode(0);
    shared.scripts[&volume].trees = {{root, files}};
    ScanHarness scan;
    RecoveryHarness recovery;
    TempDir dest;
    FakeDeviceList devices(&disk, {&volume});
    VXUIScan::instance().SetControllerFactory([&](_RECOVERY_CONTROLLER_TYPE t) { return new ScriptController(t, shared, log); });
    ASSERT_TRUE(devices.devices.listed && scan.Scan(0, 0));
    int count = 0;
    std::uint64_t size = 0;
    ScanHarness::facade().GetSelectedFilesAmout(&count, &size);
    EXPECT_EQ(std::pair(count, size), std::pair(5, std::uint64_t{97}));
    // The same files as a list: shown and wholly ticked only, sizes added on.
    size = 10;
    const auto selected = ScanHarness::facade().GetSelectedFilesAndSize(&size);
    EXPECT_EQ(std::set<IFileNode*>(selected.begin(), selected.end()),
              (std::set<IFileNode*>{files[0], files[1], files[2], files[3], files[4]}));
    EXPECT_EQ(size, 107u);
    for (int pass = 0; pass < 2; ++pass) { // Fat_0001, then Fat_0002
        ASSERT_TRUE(recovery.Recover({}, dest.path()));
        EXPECT_EQ(recovery.endPosts, 1);
        std::uint64_t total, current, error;
        ScanHarness::facade().GetRecoveryProgressTotal(&total, &current, &error);
        EXPECT_EQ(std::tuple(total, current), std::tuple(97u, 67u)); // bytes once, never lowered by a restart at 0
        EXPECT_EQ(std::pair(ScanHarness::facade().GetRecoveridedFiles(), ScanHarness::facade().GetRecoveridedSize()),
                  std::pair(std::uint64_t{3}, std::uint64_t{67}));
        EXPECT_EQ(VXUIRecovery::instance().GetFailedFilesCnt(), 1u); // bad.txt; its file is gone
    }
    const std::set<std::string> names = {"a.jpg", "a_0001.jpg", "d.jpg", "empty.txt"};
    std::set<std::string> want;
    for (const std::string& n : names) want.insert({"Fat_0001/CARD/" + n, "Fat_0002/CARD/" + n});
    EXPECT_EQ(Files(dest.path()), want);
    EXPECT_EQ(fs::file_size(dest.path() + "/Fat_0001/CARD/a.jpg"), 30u) << "the live file keeps its name";
    EXPECT_EQ(ScanHarness::facade().DoRecovery(nullptr, "/tmp", "DoRecovery", nullptr), RecoveryResult::BadArgument);

    // Deep: carved files (34) and files by label (36) go through two writers.
    // A file no writer can write is counted as failed and leaves no name.
    CFilesystemNode* raw = more.Root(SEARCHER_RAW, "RAW");
    CFilesystemNode* label = more.Root(SEARCHER_RAW_LABEL, "LABEL");
    CFilesystemNode* mac = more.Root(SEARCHER_HFSPLUS, "MAC");
    std::vector<IFileNode*> carved = {more.Add(more.Add(raw, "jpg", true), "f1.jpg", false, 2),
                                      more.Add(more.Add(label, "Canon", true), "f2.jpg", false, 2),
                                      more.Add(mac, "unwritten.txt", false, 9)};
    for (IFileNode* n : carved) n->SetCheck(CHECK_ALL);
    shared.scripts[&volume].trees = {{raw, {carved[0]}}, {label, {carved[1]}}, {mac, {carved[2]}}};
    ASSERT_TRUE(scan.Scan(0, -1, true));
    log.clear();
    std::string labels, parents;
    int flags[3] = {0, 0, 0};
    VXUIRecovery::instance().SetRecoveryPath((dest.path() + "/Library/").c_str());
    VXUIRecovery::instance().ClearCreateDirIndex();
    VXUIRecovery::instance().BeginRun();
    VXUIRecovery::instance().DoRecovery(labels, parents, flags);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ((std::set<IDataRecovery*>{log[0].first, log[1].first}),
              (std::set<IDataRecovery*>{VXUIRecovery::instance().GetDataRecoveryByType(SEARCHER_RAW),
                                        VXUIRecovery::instance().GetDataRecoveryByType(SEARCHER_RAW_LABEL)}));
    EXPECT_NE(log[0].first, log[1].first);
    EXPECT_EQ(std::tuple(labels, parents, flags[2]), std::tuple(std::string("Canon,"), std::string("jpg,"), 1));
    EXPECT_EQ(Files(dest.path() + "/Library"), (std::set<std::string>{"RAW_0001/RAW/jpg/f1.jpg", "0001/LABEL/Canon/f2.jpg"}));
    EXPECT_EQ(std::pair(VXUIRecovery::instance().GetRecoveriedFilesCnt(), VXUIRecovery::instance().GetFailedFilesCnt()),
              std::pair(std::uint64_t{2}, std::uint64_t{1}));

    // A deep scan of the card whose device goes lists what it found beside
    // the quick scan's files: each is written by its own scan's writer.
    const Script deep = shared.scripts[&volume];
    shared.scripts[&volume].trees = {{root, files}};
    ASSERT_TRUE(scan.Scan(0, 0));
    shared.scripts[&volume] = deep;
    shared.scripts[&volume].result = ControllerResult::DeviceGone;
    ASSERT_TRUE(scan.Scan(0, 0, true));
    log.clear();
    VXUIRecovery::instance().SetRecoveryPath((dest.path() + "/Both/").c_str());
    VXUIRecovery::instance().BeginRun();
    VXUIRecovery::instance().DoRecovery(labels, parents, flags);
    IDataRecovery* quick = VXUIScan::instance().GetFileNodeDataRecover(files[1]);
    std::map<std::string, IDataRecovery*> wrote;
    for (const auto& [writer, name] : log) wrote[name] = writer;
    EXPECT_EQ(wrote, (std::map<std::string, IDataRecovery*>{
                         {"a.jpg", quick}, {"d.jpg", quick}, {"bad.txt", quick}, {"empty.txt", quick},
                         {"f1.jpg", VXUIRecovery::instance().GetDataRecoveryByType(SEARCHER_RAW)},
                         {"f2.jpg", VXUIRecovery::instance().GetDataRecoveryByType(SEARCHER_RAW_LABEL)}}));
}

// A file the destination refuses is passed by, the next ones tried; a
// destination that is gone, or full while a file is named, pauses the
// recovery as a failed write does, and stopped there nothing more is tried.
TEST(RecoveryOperation, RefusedFilesArePassedByAGoneOrFullDestinationStops) {
    RegisterAllLibraries();
    FakeDevice disk{DEVICE_DISK}, volume{DEVICE_VOLUME, FS_FAT32, true, "card"};
    FakeController::Shared shared;
    Log log;
    NodeForest forest;
    CFilesystemNode* root = forest.Root(SEARCHER_FAT, "CARD");
    std::vector<IFileNode*> files;
    for (const char* name : {"a1.jpg", "bad.jpg", "a2.jpg", "gone.jpg", "a3.jpg", "a4.jpg", "wind.jpg"})
        files.push_back(forest.Add(root, name, false, 10));
    for (IFileNode* f : files) f->SetCheck(CHECK_ALL);
    shared.scripts[&volume].trees = {{root, files}};
    ScanHarness scan;
    RecoveryHarness recovery;
    TempDir dest;
    FakeDeviceList devices(&disk, {&volume});
    VXUIScan::instance().SetControllerFactory([&](_RECOVERY_CONTROLLER_TYPE t) { return new ScriptController(t, shared, log); });
    ASSERT_TRUE(devices.devices.listed && scan.Scan(0, 0));
    const auto tried = [&] {
        std::set<std::string> names;
        for (const auto& [writer, name] : log) names.insert(name);
        return names;
    };
    // Gone while gone.jpg is written: the pause is told with the
    // failed-write code and the stop ends the recovery there.
    const std::string out = dest.file("out");
    ::setenv("SALVOR_TEST_GONE", out.c_str(), 1);
    int pauses = 0;
    std::uint64_t total = 0, current = 0, error = 0;
    const auto stopOnPause = [&] {
        if (VXUIRecovery::instance().GetStatus() != OP_PAUSED) return false;
        ++pauses;
        ScanHarness::facade().GetRecoveryProgressTotal(&total, &current, &error);
        ScanHarness::facade().StopRecvoery();
        return true;
    };
    ASSERT_TRUE(recovery.Recover({}, out, stopOnPause));
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(error & 0xFFFFFFFF, std::uint64_t{0xD03});
    EXPECT_EQ(tried(), (std::set<std::string>{"a1.jpg", "bad.jpg", "a2.jpg", "gone.jpg"}))
        << "bad.jpg stopped the recovery, or files were tried after the destination was gone";
    EXPECT_EQ(VXUIRecovery::instance().GetFailedFilesCnt(), 2u);
    ::unsetenv("SALVOR_TEST_GONE");

    // A worker that answered the stop winds down (ends the file it writes):
    // it is not let go, and the recovery ends when it does.
    for (IFileNode* f : files) f->SetCheck(f == files.back() ? CHECK_ALL : CHECK_NONE);
    log.clear();
    ASSERT_TRUE(recovery.Recover({}, dest.file("wind")));
    EXPECT_FALSE(VXUIRecovery::instance().LetGoWorkerAlive()) << "let go while it wound down";
    EXPECT_EQ(tried(), std::set<std::string>{"wind.jpg"});
    for (IFileNode* f : files) f->SetCheck(CHECK_ALL);

    if (::geteuid() != 0) GTEST_SKIP() << "the full destination is a tmpfs (root)";
    // No inode left for the files' names: the first file that cannot be named pauses.
    const std::string full = dest.file("full");
    fs::create_directory(full);
    ASSERT_EQ(RunCommand("mount -t tmpfs -o size=1m,nr_inodes=4 tmpfs '" + full + "'"), 0);
    log.clear();
    pauses = 0;
    error = 0;
    const bool ended = recovery.Recover({}, full, stopOnPause);
    RunCommand("umount '" + full + "'");
    ASSERT_TRUE(ended);
    EXPECT_EQ(pauses, 1);
    EXPECT_EQ(error & 0xFFFFFFFF, std::uint64_t{0xD03});
    EXPECT_LT(log.size(), files.size());
}

TEST(RecoveryPaths, NumberedFoldersAndNamesNeverEscapingTheKindFolder) {
    VXUIRecovery::instance().ClearCreateDirIndex();
    TempDir dest;
    const std::string d = dest.path() + "/";
    fs::create_directory(d + "HFS+_0001");
    NodeForest forest;
    CFilesystemNode* hfs = forest.Root(SEARCHER_HFSPLUS, "Mac");
    CFilesystemNode* fat = forest.Root(SEARCHER_FAT, "..");
    CFileNode* x = forest.Add(hfs, "x.jpg", true);
    LinkedNode* loop = forest.Linked("a");
    loop->parentLink = loop;
    const std::string n300 = std::string(300, 'n') + ".jpg";
    // A numbered long name (254 bytes) is cut at a character boundary: 81 whole characters, not 81 and a third.
    std::string cjk = "a", cjkCut = "a";
    for (int i = 0; i < 83; ++i) cjk += "\u4E2D", cjkCut += i < 81 ? "\u4E2D" : "";
    const std::pair<IFileNode*, std::string> rows[] = {
        {forest.Add(fat, cjk + ".jpg"), "Fat_0001/_../" + cjk + ".jpg"},
        {forest.Add(fat, cjk + ".jpg"), "Fat_0001/_../" + cjkCut + "_0001.jpg"},
        {forest.Add(hfs, "photo.jpg"), "HFS+_0002/Mac/photo.jpg"}, {forest.Add(hfs, "photo.jpg"), "HFS+_0002/Mac/photo_0001.jpg"},
        {forest.Add(hfs, "photo.jpg"), "HFS+_0002/Mac/photo_0002.jpg"}, {forest.Add(hfs, "README"), "HFS+_0002/Mac/README"},
        {forest.Add(hfs, "README"), "HFS+_0002/Mac/README_0001"}, {forest.Add(hfs, "a.tar.gz"), "HFS+_0002/Mac/a.tar.gz"},
        {forest.Add(hfs, "a.tar.gz"), "HFS+_0002/Mac/a.tar_0001.gz"}, {forest.Add(x, "x.jpg"), "HFS+_0002/Mac/x.jpg/x.jpg"},
        {forest.Add(x, "x.jpg"), "HFS+_0002/Mac/x.jpg/x_0001.jpg"}, {forest.Add(forest.Root(SEARCHER_NTFS, "W"), "n"), "0001/W/n"},
        {forest.Add(fat, ".."), "Fat_0001/_../_.."}, {forest.Add(fat, "a/b"), "Fat_0001/_../a_b"},
        {forest.Add(fat, "."), "Fat_0001/_../_."}, {forest.Add(fat, ""), "Fat_0001/_../_"},
        {forest.Add(fat, n300), "Fat_0001/_../" + std::string(251, 'n') + ".jpg"},
        {forest.Add(fat, n300), "Fat_0001/_../" + std::string(246, 'n') + "_0001.jpg"},
        {forest.Add(hfs, "sub", true), ""}, {forest.Add(nullptr, "rootless"), ""}, {loop, ""}, {nullptr, ""},
    };
    for (const auto& [node, want] : rows) {
        char* p = CreateRecoveryFilePathByNode(node, d.c_str());
        EXPECT_EQ(p ? std::string(p) : "", want.empty() ? want : d + want);
        std::free(p);
    }
    EXPECT_TRUE(fs::is_directory(d + "HFS+_0002/Mac/sub"));

    // The parent walk takes 1025 nodes: a file below 1023 folders of its
    // volume is written, one folder deeper counts as a loop. A link or a file
    // standing where a folder goes is never followed out of the destination.
    CFileNode* deep = hfs;
    std::string deepPath = "HFS+_0002/Mac";
    for (int i = 0; i < 1023; ++i)
        deep = forest.Add(deep, "d", true), deepPath += "/d";
    fs::create_directory(d + "elsewhere");
    fs::create_directory_symlink(d + "elsewhere", d + "HFS+_0002/Mac/link");
    std::ofstream(d + "HFS+_0002/Mac/plain") << "a file";
    const std::pair<IFileNode*, std::string> edges[] = {
        {forest.Add(deep, "f"), deepPath + "/f"},
        {forest.Add(forest.Add(deep, "e", true), "f"), ""},
        {forest.Add(forest.Add(hfs, "link", true), "f.jpg"), ""},
        {forest.Add(forest.Add(hfs, "plain", true), "f.jpg"), ""},
    };
    for (const auto& [node, want] : edges) {
        char* p = CreateRecoveryFilePathByNode(node, d.c_str());
        EXPECT_EQ(p ? std::string(p) : "", want.empty() ? want : d + want);
        std::free(p);
    }
    EXPECT_TRUE(fs::is_empty(d + "elsewhere"));

    IFileNode* hidden = forest.Add(fat, "h");
    hidden->ShowNode(0);
    EXPECT_EQ(CreateRecoveryFilePathByNode(hidden, d.c_str()), nullptr);

    if (::geteuid() != 0) GTEST_SKIP() << "the unwritable destination runs as root (as uid 65534)";
    fs::create_directory(d + "ro");
    const pid_t child = ::fork();
    if (child == 0) {
        VXUIRecovery::instance().ClearCreateDirIndex();
        ::_exit(::setuid(65534) == 0 && !CreateRecoveryFilePathByNode(hidden->GetParent(), (d + "ro/new/").c_str()) &&
                        !CreateRecoveryFilePathByNode(rows[0].first, (d + "ro/").c_str())
                    ? 0
                    : 1);
    }
    int status = 1;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::is_empty(d + "ro"));
}

} // namespace
