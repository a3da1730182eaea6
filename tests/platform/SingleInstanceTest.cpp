// One instance per user: the lock's holder is raised by a later start, a
// lock left by an ended process is taken over, and a runtime folder that is
// not safely this user's is never used.
#include "platform/SingleInstance.h"
#include "tests/support/Fixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using salvor::platform::SingleInstance;

TEST(SingleInstance, ALaterStartRaisesTheHolder) {
    salvor::test::TempDir root;
    const QString folder = QString::fromStdString(root.file("run"));
    SingleInstance first(folder);
    int raised = 0;
    first.setRaiseHandler([&raised] { return ++raised, false; });
    EXPECT_FALSE(first.anotherIsRunning());
    EXPECT_TRUE(first.holdsLock());
    EXPECT_FALSE(first.anotherIsRunning()); // asked again: still the holder
    EXPECT_EQ(QFileInfo(folder).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), 0);
    SingleInstance later(folder);
    EXPECT_TRUE(later.anotherIsRunning());
    EXPECT_FALSE(later.holdsLock());
    for (QDeadlineTimer t(5000); raised == 0 && !t.hasExpired();) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(raised, 1);
}

// A holder that answers it is ending (its windows gone, a save being
// stopped) is raised once and then waited for, not left: the later start
// takes the lock once the holder has gone. One that answers otherwise is left.
TEST(SingleInstance, AnEndingHolderIsWaitedFor) {
    for (const bool ending : {true, false}) {
        salvor::test::TempDir root;
        const QString folder = QString::fromStdString(root.file("run"));
        std::atomic<int> raised{0};
        std::atomic<bool> holding{false}, leave{false};
        // The holder answers on a thread of its own, as another process would.
        std::thread holder([&] {
            QEventLoop loop;
            {
                SingleInstance first(folder);
                first.setRaiseHandler([&] { return ++raised, ending; });
                holding = !first.anotherIsRunning();
                while (!leave) loop.processEvents(QEventLoop::AllEvents, 20);
            }
        });
        for (QDeadlineTimer t(5000); !holding && !t.hasExpired();) QThread::msleep(10);
        ASSERT_TRUE(holding);
        SingleInstance later(folder);
        EXPECT_TRUE(later.anotherIsRunning());
        EXPECT_EQ(later.holderIsEnding(), ending);
        EXPECT_TRUE(later.anotherIsRunning()); // still there
        EXPECT_EQ(raised, ending ? 1 : 2) << "an ending holder is asked once";
        leave = true;
        holder.join();
        EXPECT_FALSE(later.anotherIsRunning());
        EXPECT_TRUE(later.holdsLock());
    }
}

TEST(SingleInstance, ALockLeftByAnEndedProcessIsTakenOver) {
    salvor::test::TempDir root;
    const QString folder = QString::fromStdString(root.file("run"));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstance holder(folder);
        ::_exit(holder.anotherIsRunning() ? 1 : 0); // no clean-up, as when the program ends
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(QFileInfo::exists(folder + QStringLiteral("/salvor.lock")));
    SingleInstance next(folder);
    EXPECT_FALSE(next.anotherIsRunning());
    EXPECT_TRUE(next.holdsLock());
}

TEST(SingleInstance, OnlyAPrivateFolderOfThisUserIsUsed) {
    salvor::test::TempDir root;
    const std::string open = root.file("open");
    ASSERT_EQ(::mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0777), 0);
    SingleInstance inOpen(QString::fromStdString(open));
    EXPECT_FALSE(inOpen.anotherIsRunning());
    EXPECT_TRUE(inOpen.holdsLock());
    struct stat st {};
    ASSERT_EQ(::stat(open.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A link where the folder should be (planted in /tmp, say) is refused.
    ASSERT_EQ(::symlink(open.c_str(), root.file("link").c_str()), 0);
    SingleInstance viaLink(QString::fromStdString(root.file("link")));
    EXPECT_FALSE(viaLink.anotherIsRunning());
    EXPECT_FALSE(viaLink.holdsLock());
    qputenv("XDG_RUNTIME_DIR", "/run/user/4242");
    EXPECT_EQ(SingleInstance::defaultFolder(), QStringLiteral("/run/user/4242/salvor"));
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::defaultFolder(), QStringLiteral("/tmp/salvor-%1").arg(::getuid()));
}
