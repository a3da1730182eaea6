#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "engine/utility/Locks.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string LogPath() { return std::string(CatchExeception::GetWorkPath()) + "/recovery.log"; }

long long LogSize() { return GetFileSize(LogPath().c_str()); }

// The log's text from byte `from` on.
std::string LogFrom(long long from) {
    std::ifstream in(LogPath(), std::ios::binary);
    in.seekg(from);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(WriteLog, LongMessageIsCutAtTheLimitAndTheAnswerIsTheWrittenLength) {
    const long long before = LogSize();
    std::string token = "cut-" + std::to_string(getpid()) + "-";
    std::string message = token + std::string(3000 - token.size(), 'x');
    int written = CatchExeception::WriteLog("%s", message.c_str());
    // "HH:MM:SS " and 2000 bytes of the message.
    EXPECT_EQ(written, 9 + CatchExeception::kMessageLimit);
    std::string text = LogFrom(before);
    auto at = text.find(token);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at, 2000), message.substr(0, 2000));
    // The cut message is not followed by the rest of it.
    EXPECT_EQ(text.find(std::string(2001 - token.size(), 'x'), at), std::string::npos);
}

TEST(WriteLog, AnswersTheLengthOfAShortLine) {
    EXPECT_EQ(CatchExeception::WriteLog("%s:%d started!\n", "Test", 7), 9 + 16);
    EXPECT_EQ(CatchExeception::WriteLog("%s", ""), 9);
}

TEST(WriteLog, LinesOfManyThreadsNeverInterleave) {
    const long long before = LogSize();
    const std::string tag = "mt" + std::to_string(getpid());
    constexpr int kThreads = 8, kLines = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            const std::string payload(60 + t * 7, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                CatchExeception::WriteLog("%s-%d-%d %s\n", tag.c_str(), t, i, payload.c_str());
        });
    for (auto& th : threads)
        th.join();

    std::istringstream lines(LogFrom(before));
    const std::regex shape("\\d\\d:\\d\\d:\\d\\d " + tag + "-(\\d)-(\\d+) ([a-z]+)");
    std::set<std::pair<int, int>> seen;
    std::string line;
    int ours = 0;
    while (std::getline(lines, line)) {
        if (line.find(tag + "-") == std::string::npos)
            continue; // another test process's line
        ++ours;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
        int t = std::stoi(m[1].str()), i = std::stoi(m[2].str());
        EXPECT_EQ(m[3].str(), std::string(60 + t * 7, static_cast<char>('a' + t))) << line;
        EXPECT_TRUE(seen.insert({t, i}).second) << "duplicate " << line;
    }
    EXPECT_EQ(ours, kThreads * kLines);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
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
    std::string dir(exe);
    dir = dir.substr(0, dir.rfind('/'));
    ASSERT_EQ(access(dir.c_str(), W_OK), 0);
    std::string out;
    EXPECT_EQ(salvor::test::RunCommand("SALVOR_PRINT_WORK_PATH=1 SALVOR_WORK_DIR=relative '" + std::string(exe) +
                                           "' --gtest_filter=WorkPath.IsTheChosenFolderElseTheExecutablesFolder",
                                       &out),
              0)
        << out;
    EXPECT_NE(out.find("work=" + dir + "\n"), std::string::npos) << out;
}

TEST(WaitEvent, AWakeUpBeforeTheWaitIsNotLost) {
    WaitEvent event;
    event.WakeUp();
    auto waiter = std::async(std::launch::async, [&] { event.EnterWait(0); });
    ASSERT_EQ(waiter.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    // The event resets once consumed.
    EXPECT_FALSE(event.EnterWaitFor(std::chrono::milliseconds(20)));
}

TEST(WaitEvent, WakesAWaiter) {
    WaitEvent event;
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        event.EnterWait(0);
        woke = true;
    });
    event.WakeUp();
    waiter.join();
    EXPECT_TRUE(woke);
}

TEST(Locks, SimpleCsIsRecursiveAndRecordsItsHolder) {
    SimpleCs cs;
    EXPECT_EQ(cs.Holder(), 0u);
    {
        SimpleLock outer(&cs, "outer");
        SimpleLock inner(&cs, "inner");
        EXPECT_EQ(cs.Holder(), static_cast<unsigned long>(pthread_self()));
        auto other = std::async(std::launch::async, [&] { return cs.Holder(); });
        EXPECT_NE(other.get(), 0u);
    }
    EXPECT_EQ(cs.Holder(), 0u);
    SimpleLock none(nullptr, "ignored");
}

TEST(Locks, MutexAndReadWriteLocksExcludeWriters) {
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
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(shadow, 8000);
}

} // namespace
