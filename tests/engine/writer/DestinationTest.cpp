// Destination files and names: a file appears under its name only when
// complete, and no found file takes a name already used.
#include "engine/writer/DestinationFile.h"
#include "engine/writer/DestinationNames.h"
#include "engine/tree/FilesystemNode.h"
#include "tests/support/Fixture.h"
#include "tests/support/TestFileNode.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using salvor::test::TempDir;
namespace fs = std::filesystem;

std::vector<std::string> Names(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

class Destination : public ::testing::Test {
protected:
    void SetUp() override { folder = ::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY); }
    void TearDown() override { ::close(folder); }
    // A node named name under parent, kept until the test ends.
    salvor::test::TestFileNode* add(CFileNode* parent, const char* name, bool dir = false) {
        nodes.push_back(std::make_unique<salvor::test::TestFileNode>(nodes.size() + 2, parent->GetCurrentNodeID(), name, dir));
        parent->AddChild(nodes.back().get());
        return nodes.back().get();
    }
    TempDir tmp;
    int folder = -1;
    std::vector<std::unique_ptr<salvor::test::TestFileNode>> nodes;
};

TEST_F(Destination, FileTakesItsNameOnlyWhenCommitted) {
    { std::ofstream(tmp.file("f")) << "old"; }
    CDestinationFile a, b;
    ASSERT_TRUE(a.Open(folder, "f"));
    ASSERT_TRUE(b.Open(folder, "f"));
    ASSERT_EQ(a.WriteAt("new", 3, 0), 3);
    // Two temporary files with their own unpredictable names; the old file untouched.
    const auto during = Names(tmp.path());
    ASSERT_EQ(during.size(), 3u);
    EXPECT_TRUE(during[0].starts_with(".salvor-") && during[1].starts_with(".salvor-")) << during[0];
    EXPECT_EQ(salvor::test::ReadWholeFile(tmp.file("f")), "old");
    b.Discard();
    EXPECT_TRUE(a.Commit());
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"f"});
    EXPECT_EQ(salvor::test::ReadWholeFile(tmp.file("f")), "new");
    // A write given up leaves nothing, also when the object just goes away.
    {
        CDestinationFile c;
        ASSERT_TRUE(c.Open(tmp.file("g").c_str()));
        c.WriteAt("x", 1, 0);
    }
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"f"});
    // A close that fails (here: its descriptor already gone) is a lost write:
    // nothing takes the real name, and the temporary file goes too.
    {
        CDestinationFile c;
        ASSERT_TRUE(c.Open(folder, "g"));
        ASSERT_EQ(c.WriteAt("x", 1, 0), 1);
        int closed = 0;
        const fs::path here = fs::canonical(tmp.path());
        for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            const fs::path target = fs::read_symlink(e.path(), ec);
            if (!ec && target.parent_path() == here && target.filename().string().starts_with(".salvor-"))
                closed += ::close(std::stoi(e.path().filename().string())) == 0;
        }
        ASSERT_EQ(closed, 1);
        EXPECT_FALSE(c.Commit());
        EXPECT_EQ(errno, EBADF);
    }
    EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"f"});
    // An interrupted process leaves no temporary file behind.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CDestinationFile d;
            if (!d.Open(folder, "h") || d.WriteAt("partial", 7, 0) != 7) ::_exit(3);
            ::raise(signal);
            ::_exit(4);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(Names(tmp.path()), std::vector<std::string>{"f"}) << signal;
    }
}

TEST_F(Destination, EveryNameIsNewAndNumbered) {
    // An earlier recovery's kind folder and its file are left as they are.
    fs::create_directories(tmp.file("Fat_0001/Card"));
    { std::ofstream(tmp.file("Fat_0001/Card/b.txt")) << "keep"; }
    CFilesystemNode root(SEARCHER_FAT, "Card(root)", "Card", 1);
    RecoveryDestination names;
    names.folder = tmp.path() + "/";
    const std::string kind = tmp.path() + "/Fat_0002/Card/";
    for (const char* want : {"a.txt", "a_0001.txt", "a_0002.txt"}) {
        CRecoveryFile file;
        ASSERT_TRUE(CreateRecoveryFile(add(&root, "a.txt"), names, file));
        EXPECT_EQ(file.Name(), want);
        EXPECT_EQ(file.Path(), kind + want);
        EXPECT_TRUE(fs::is_regular_file(kind + want));
    }
    CRecoveryFile b;
    ASSERT_TRUE(CreateRecoveryFile(add(&root, "b.txt"), names, b));
    EXPECT_EQ(b.Path(), kind + "b.txt");
    EXPECT_EQ(salvor::test::ReadWholeFile(tmp.file("Fat_0001/Card/b.txt")), "keep");
    // A name taken by something that is not ours is numbered too.
    { std::ofstream(kind + "c.txt") << "keep"; }
    CRecoveryFile c;
    ASSERT_TRUE(CreateRecoveryFile(add(&root, "c.txt"), names, c));
    EXPECT_EQ(c.Name(), "c_0001.txt");
    EXPECT_EQ(salvor::test::ReadWholeFile(kind + "c.txt"), "keep");
    // A folder never merges into a file standing where it goes.
    CRecoveryFile none;
    EXPECT_FALSE(CreateRecoveryFile(add(add(&root, "b.txt", true), "inside.txt"), names, none));
    EXPECT_TRUE(fs::is_regular_file(kind + "b.txt"));
    EXPECT_EQ(Names(kind), (std::vector<std::string>{"a.txt", "a_0001.txt", "a_0002.txt", "b.txt", "c.txt", "c_0001.txt"}));
}

// A name made (a found "/" made "_", or numbered) never takes a name found
// beside it, whichever is written first; a folder so named is entered again
// by its own files only, and a name as found never enters it.
TEST_F(Destination, MadeNamesNeverTakeNamesFoundBesideThem) {
    CFilesystemNode root(SEARCHER_FAT, "Card(root)", "Card", 1);
    RecoveryDestination names;
    names.folder = tmp.path() + "/";
    const std::string kind = tmp.path() + "/Fat_0001/Card/";
    const auto put = [&](IFileNode* node) {
        CRecoveryFile file;
        EXPECT_TRUE(CreateRecoveryFile(node, names, file));
        return file.Path().substr(std::min(kind.size(), file.Path().size()));
    };
    // The names are read once per folder: the tree stands before the first is written.
    IFileNode *slash = add(&root, "a/b.txt"), *plain = add(&root, "a_b.txt");
    IFileNode *c1 = add(&root, "c.txt"), *c2 = add(&root, "c.txt"), *c3 = add(&root, "c.txt"),
              *numbered = add(&root, "c_0001.txt");
    salvor::test::TestFileNode *xSlash = add(&root, "x/y", true), *xPlain = add(&root, "x_y", true);
    IFileNode *in1 = add(xSlash, "in.txt"), *in2 = add(xPlain, "in.txt"), *in3 = add(xSlash, "more.txt");
    // Folders of one found path (a live and a deleted "d") share a folder; a
    // name made under one never merges with a name found under the other.
    salvor::test::TestFileNode *d1 = add(&root, "d", true), *d2 = add(&root, "d", true);
    IFileNode *st1 = add(add(d1, "s/t", true), "f"), *st2 = add(add(d2, "s_t", true), "f"), *g = add(d2, "g");
    IFileNode *pre = add(add(&root, "pre", true), "f"), *mn = add(add(&root, "m/n", true), "f");

    EXPECT_EQ(put(slash), "a_b_0001.txt");
    EXPECT_EQ(put(plain), "a_b.txt");
    EXPECT_EQ(put(c1), "c.txt");
    EXPECT_EQ(put(c2), "c_0002.txt");
    std::ofstream(kind + "c_0003.txt") << "not ours"; // a name taken on the disk is passed by as well
    EXPECT_EQ(put(c3), "c_0004.txt");
    EXPECT_EQ(put(numbered), "c_0001.txt");
    EXPECT_EQ(put(in1), "x_y_0001/in.txt");
    EXPECT_EQ(put(in2), "x_y/in.txt");
    EXPECT_EQ(put(in3), "x_y_0001/more.txt");
    EXPECT_EQ(put(st1), "d/s_t/f");
    EXPECT_EQ(put(st2), "d/s_t_0001/f");
    EXPECT_EQ(put(g), "d/g");
    // A folder there before: a name as found enters it, a made one does not.
    fs::create_directories(kind + "pre");
    fs::create_directories(kind + "m_n");
    EXPECT_EQ(put(pre), "pre/f");
    EXPECT_EQ(put(mn), "m_n_0001/f");
}

// Volumes of one kind named alike get folders of their own: the first its
// name, the others their start sector when known, else a count; a name at
// the length limit stays within it.
TEST_F(Destination, TwinVolumeNamesGetFoldersOfTheirOwn) {
    const std::string label(250, 'v');
    CFilesystemNode a(SEARCHER_FAT, "r", "PONE", 1), b(SEARCHER_FAT, "r", "PONE", 1), c(SEARCHER_FAT, "r", "PONE", 1),
        d(SEARCHER_FAT, "r", label, 1), e(SEARCHER_FAT, "r", label, 1);
    std::vector<std::unique_ptr<salvor::test::TestFileNode>> files;
    RecoveryDestination names;
    names.folder = tmp.path() + "/";
    const auto put = [&](CFilesystemNode& root) {
        files.push_back(std::make_unique<salvor::test::TestFileNode>(files.size() + 2, 1, "A.TXT", false));
        root.AddChild(files.back().get());
        CRecoveryFile file;
        EXPECT_TRUE(CreateRecoveryFile(files.back().get(), names, file));
        const std::string path = file.Path();
        root.RemoveChild(files.back().get());
        return path.substr(names.folder.size());
    };
    EXPECT_EQ(put(a), "Fat_0001/PONE/A.TXT");
    EXPECT_EQ(put(b), "Fat_0001/PONE (2)/A.TXT");
    names.rootPosition = [&](IFileNode* root) { return root == &c ? 206848 : -1; };
    EXPECT_EQ(put(c), "Fat_0001/PONE (sector 206848)/A.TXT");
    EXPECT_EQ(put(a), "Fat_0001/PONE/A_0001.TXT"); // its own folder again
    EXPECT_EQ(put(d), "Fat_0001/" + label + "/A.TXT");
    EXPECT_EQ(put(e), "Fat_0001/" + label.substr(0, 251) + " (2)/A.TXT");
}

// A deep scan lists every FAT (exFAT, HFS+) volume of a disk under one root:
// the volumes are told apart by each node's partition, the second named by
// where it starts; NTFS volumes have folders of their own below the root, so
// their partitions never split the root's folder.
TEST_F(Destination, VolumesUnderOneRootGetFoldersOfTheirOwn) {
    CFilesystemNode fat(SEARCHER_FAT, "r", "Disk", 1), exfat(SEARCHER_EXFAT, "r", "Disk", 1),
        hfs(SEARCHER_HFSPLUS, "r", "Disk", 1), ntfs(SEARCHER_NTFS, "r", "Disk", 1);
    std::vector<std::unique_ptr<salvor::test::TestFileNode>> files;
    RecoveryDestination names;
    names.folder = tmp.path() + "/";
    names.rootPosition = [](IFileNode*) { return -1LL; };
    names.volumePosition = [](IFileNode* node) {
        return dynamic_cast<CFileNode*>(node)->GetBelongedPartition() == 1 ? 36864LL : -1LL;
    };
    const auto put = [&](CFilesystemNode& root, std::uint16_t partition) {
        files.push_back(std::make_unique<salvor::test::TestFileNode>(files.size() + 2, 1, "A.TXT", false));
        files.back()->SetBelongedPartition(partition);
        root.AddChild(files.back().get());
        CRecoveryFile file;
        EXPECT_TRUE(CreateRecoveryFile(files.back().get(), names, file));
        root.RemoveChild(files.back().get());
        return file.Path().substr(names.folder.size());
    };
    EXPECT_EQ(put(fat, 3), "Fat_0001/Disk/A.TXT"); // the first met keeps the name
    EXPECT_EQ(put(fat, 1), "Fat_0001/Disk (sector 36864)/A.TXT");
    EXPECT_EQ(put(fat, 2), "Fat_0001/Disk (2)/A.TXT"); // no position known
    EXPECT_EQ(put(fat, 1), "Fat_0001/Disk (sector 36864)/A_0001.TXT");
    EXPECT_EQ(put(exfat, 0), "ExFat_0001/Disk/A.TXT");
    EXPECT_EQ(put(exfat, 1), "ExFat_0001/Disk (sector 36864)/A.TXT");
    EXPECT_EQ(put(hfs, 1), "HFS+_0001/Disk/A.TXT");
    EXPECT_EQ(put(hfs, 0), "HFS+_0001/Disk (2)/A.TXT");
    EXPECT_EQ(put(ntfs, 0), "0001/Disk/A.TXT");
    EXPECT_EQ(put(ntfs, 1), "0001/Disk/A_0001.TXT");
}

} // namespace
