// Destination files and names: a file appears under its name only when
// complete, and no found file takes a name already used.
#include "engine/writer/DestinationFile.h"
#include "engine/writer/DestinationNames.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
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
    TempDir tmp;
    int folder = -1;
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
    for (const int signal : {SIGINT, SIGTERM}) {
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
    { std::ofstream(tmp.file("b.txt")) << "keep"; }
    CDestinationNames names;
    std::string taken;
    for (const char* want : {"a.txt", "a (2).txt", "a (3).txt"}) {
        ASSERT_TRUE(names.ReserveFile(folder, "a.txt", taken));
        EXPECT_EQ(taken, want);
    }
    ASSERT_TRUE(names.ReserveFile(folder, "b.txt", taken));
    EXPECT_EQ(taken, "b (2).txt");
    EXPECT_EQ(salvor::test::ReadWholeFile(tmp.file("b.txt")), "keep");
    // A folder never merges into a file or folder already there.
    const int d = names.CreateFolder(folder, "b.txt", taken);
    ASSERT_GE(d, 0);
    ::close(d);
    EXPECT_EQ(taken, "b (3).txt");
    EXPECT_TRUE(fs::is_directory(tmp.file("b (3).txt")));
}

} // namespace
