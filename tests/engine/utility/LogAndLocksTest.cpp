// The log file, the work folder, wait events and locks.
#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "engine/utility/Locks.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

std::string LogPath() { return std::string(CatchExeception::GetWorkPath()) + "/recovery.log"; }

// The log's text from byte `from` on.
std::string LogFrom(long long from) {
    std::ifstream in(LogPath(), std::ios::binary);
    in.seekg(from);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(WriteLog, AnswersTheWrittenLengthAndCutsLongMessagesAtTheLimit) {
    // "HH:MM:SS " and the message.
    EXPECT_EQ(CatchExeception::WriteLog("%s:%d started!\n", "Test", 7), 9 + 16);
    EXPECT_EQ(CatchExeception::WriteLog("%s", ""), 9);
    const long long before = GetFileSize(LogPath().c_str());
    const std::string token = "cut-" + std::to_string(getpid()) + "-";
    const std::string message = token + std::string(3000 - token.size(), 'x');
    EXPECT_EQ(CatchExeception::WriteLog("%s", message.c_str()), 9 + CatchExeception::kMessageLimit);
    const std::string text = LogFrom(before);
    const auto at = text.find(token);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at, 2000), message.substr(0, 2000));
    EXPECT_EQ(text.find(std::string(2001 - token.size(), 'x'), at), std::string::npos) << "nothing after the cut";
}

TEST(WriteLog, LinesOfManyThreadsNeverInterleave) {
    const long long before = GetFileSize(LogPath().c_str());
    const std::string tag = "mt" + std::to_string(getpid());
    constexpr int kThreads = 8, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string payload(60 + t * 7, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) CatchExeception::WriteLog("%s-%d-%d %s\n", tag.c_str(), t, i, payload.c_str());
        });
    for (auto& th : threads) th.join();

    std::istringstream lines(LogFrom(before));
    const std::regex shape("\\d\\d:\\d\\d:\\d\\d " + tag + "-(\\d)-(\\d+) ([a-z]+)");
    std::set<std::pair<int, int>> seen;
    int ours = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(tag + "-") == std::string::npos) continue; // another test process's line
        ++ours;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        const int t = std::stoi(m[1].str()), i = std::stoi(m[2].str());
        EXPECT_EQ(m[3].str(), std::string(60 + t * 7, static_cast<char>('a' + t))) << line;
        EXPECT_TRUE(seen.insert({t, i}).second) << "duplicate " << line;
    }
    EXPECT_EQ(ours, kThreads * kLines);
}

// The test main points SALVOR_WORK_DIR at a temporary folder. Without an
// absolute one the work folder is the executable's folder when writable: a
// child run of this test prints what it gets.
TEST(WorkPath, IsTheChosenFolderElseTheExecutablesFolder) {
    if (std::getenv("SALVOR_PRINT_WORK_PATH")) {
        std::printf("work=%s\n", GetAppWorkPath());
        return;
    }
    const char* chosen = std::getenv("SALVOR_WORK_DIR");
    ASSERT_NE(chosen, nullptr);
    EXPECT_EQ(std::string(GetAppWorkPath()), chosen);
    EXPECT_STREQ(CatchExeception::GetWorkPath(), chosen);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string dir = std::string(exe).substr(0, std::string(exe).rfind('/'));
    ASSERT_EQ(access(dir.c_str(), W_OK), 0);
    std::string out;
    EXPECT_EQ(salvor::test::RunCommand("SALVOR_PRINT_WORK_PATH=1 SALVOR_WORK_DIR=relative '" + std::string(exe) +
                                           "' --gtest_filter=WorkPath.IsTheChosenFolderElseTheExecutablesFolder",
                                       &out),
              0)
        << out;
    EXPECT_NE(out.find("work=" + dir + "\n"), std::string::npos) << out;
}

TEST(WaitEvent, AWakeUpBeforeTheWaitIsNotLostAndIsConsumed) {
    WaitEvent event;
    event.WakeUp();
    auto waiter = std::async(std::launch::async, [&] { event.EnterWait(0); });
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(event.EnterWaitFor(std::chrono::milliseconds(20))) << "the event resets once consumed";
    auto second = std::async(std::launch::async, [&] { event.EnterWait(0); });
    event.WakeUp();
    EXPECT_EQ(second.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(Locks, SimpleCsIsRecursiveAndLocksExcludeWriters) {
    SimpleCs cs;
    EXPECT_EQ(cs.Holder(), 0u);
    {
        SimpleLock outer(&cs, "outer"), inner(&cs, "inner");
        EXPECT_EQ(cs.Holder(), static_cast<unsigned long>(pthread_self()));
        EXPECT_NE(std::async(std::launch::async, [&] { return cs.Holder(); }).get(), 0u);
    }
    EXPECT_EQ(cs.Holder(), 0u);
    SimpleLock none(nullptr, "ignored");

    mutex_locker m;
    RWLock rw;
    long counter = 0, shadow = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                {
                    autolocker<mutex_locker> guard(m);
                    ++counter;
                }
                {
                    WriteLock w(rw, "w");
                    ++shadow;
                }
                ReadLock r(rw, "r");
                EXPECT_GE(shadow, 1);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(shadow, 8000);
}

} // namespace
