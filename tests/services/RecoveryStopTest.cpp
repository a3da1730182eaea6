// Stop in the middle of a recovery, as the progress dialog's Stop and its
// question's Stop do it (pause, then stop), on a real scan of a FAT32 volume
// whose files of one category are several megabytes each.
#include "tests/services/RecoveryHarness.h"
#include "tests/services/ServicesFakes.h"

#include <gtest/gtest.h>

#include "engine/utility/AsyncRead.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace salvor::test;
namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (!e.is_directory()) out.insert(e.path().string());
    return out;
}

// The paths the manifest gives for files that are empty on the volume: such
// a file comes back empty and whole, and is no sign of a cut-short write.
std::vector<std::string> EmptyInManifest(const std::string& manifest) {
    static const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    std::vector<std::string> out;
    std::ifstream in(manifest);
    for (std::string line; std::getline(in, line);)
        if (line.size() > 66 && line.compare(0, 64, kEmpty) == 0) out.push_back(line.substr(66));
    return out;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Stopped before the first file, once the first bytes are written and while a
// read hangs, while ticked files of the same category are still to come:
// besides what was there at the stop, at most the file begun is written,
// whole and counted; no other name (an empty file made after the stop, a
// partial one) stays. A read that hangs does not hold the stop up.
TEST(RecoveryStop, StopWhileTickedFilesRemainWritesAtMostTheFileBegun) {
    UseRealFileSystems();
    const std::string image = FixtureFile("fat_32_reused", "fat_32_reused.img");
    AttachedImages attached({image});
    ScanHarness scan;
    RecoveryHarness recovery;
    ASSERT_TRUE(attached.devices.listed && scan.Scan(0, 0));
    OpNodeList roots;
    ScanHarness::facade().SetViewType(0);
    ScanHarness::facade().GetScanTreeNodeData(&roots, false);
    ASSERT_FALSE(roots.empty());
    for (const OpNodeEntry& r : roots) r.item()->setNodeState(2);
    const std::string manifest = image.substr(0, image.size() - 4) + ".sha256";
    const Sums want = ManifestSums(manifest);
    const std::vector<std::string> emptyOnVolume = EmptyInManifest(manifest);
    ASSERT_FALSE(emptyOnVolume.empty()); // the fixture's /New/empty.txt
    enum class At { Once, FirstBytes, ReadHangs };
    for (const At at : {At::Once, At::FirstBytes, At::ReadHangs}) {
        SCOPED_TRACE(at == At::Once ? "at once" : at == At::FirstBytes ? "once bytes are written" : "while a read hangs");
        TempDir dest;
        bool runningAtStop = false;
        std::set<std::string> atStop;
        // The hanging read: every read waits until released (at the latest
        // after 8 s, so that a Stop that waits for it fails in time).
        std::atomic<bool> hold{false}, held{false};
        struct Releaser {
            std::atomic<bool>& hold;
            std::thread thread;
            ~Releaser() {
                hold = false;
                if (thread.joinable()) thread.join();
                asyncread::SetFaultHook(nullptr);
            }
        } releaser{hold, {}};
        std::chrono::steady_clock::time_point stoppedAt;
        ASSERT_TRUE(recovery.Recover(roots, dest.path(), [&] {
            std::uint64_t total = 0, done = 0, error = 0;
            ScanHarness::facade().GetRecoveryProgressTotal(&total, &done, &error);
            if (at != At::Once && done == 0 && !hold) return false;
            if (at == At::ReadHangs && !hold) {
                hold = true;
                asyncread::SetFaultHook([&](long long, long long) {
                    held = true;
                    while (hold) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    return false;
                });
                releaser.thread = std::thread([&] {
                    for (int i = 0; i < 800 && hold; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    hold = false;
                });
            }
            if (at == At::ReadHangs && !held) return false;
            runningAtStop = !VXUIRecovery::instance().IsOperationExit();
            ScanHarness::facade().PauseOrResumeRecovery();
            atStop = Names(dest.path());
            stoppedAt = std::chrono::steady_clock::now();
            ScanHarness::facade().StopRecvoery();
            return true;
        }));
        ASSERT_TRUE(runningAtStop) << "the recovery ended before Stop";
        if (at == At::ReadHangs) {
            // Ended for the windows while the read still hangs; the worker,
            // once it returns, ends nothing more and leaves.
            EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, std::chrono::seconds(5));
            EXPECT_TRUE(hold.load()) << "the stop waited for the read";
            EXPECT_TRUE(VXUIRecovery::instance().LetGoWorkerAlive());
            const int posts = recovery.endPosts;
            std::uint64_t total = 0, done = 0, error = 0;
            ScanHarness::facade().GetRecoveryProgressTotal(&total, &done, &error);
            EXPECT_NE(ScanHarness::facade().DoRecovery(&roots, QString::fromStdString(dest.path()), "DoRecovery", nullptr), 0u)
                << "a new recovery started beside the worker let go";
            hold = false;
            releaser.thread.join();
            EXPECT_TRUE(salvor::platform::runUntil([] { return !VXUIRecovery::instance().LetGoWorkerAlive(); },
                                           std::chrono::seconds(30)));
            asyncread::SetFaultHook(nullptr);
            salvor::platform::runUntil([] { return false; }, std::chrono::milliseconds(300));
            EXPECT_EQ(recovery.endPosts, posts);
            EXPECT_EQ(VXUIRecovery::instance().GetStatus(), OP_IDLE);
            std::uint64_t lateTotal = 0, lateDone = 0;
            ScanHarness::facade().GetRecoveryProgressTotal(&lateTotal, &lateDone, &error);
            EXPECT_EQ(lateDone, done) << "the late worker's progress was taken";
            EXPECT_EQ(lateTotal, total);
        }
        const Sums got = WrittenSums(dest.path());
        EXPECT_TRUE(std::includes(want.begin(), want.end(), got.begin(), got.end())) << "a file written short";
        std::size_t nonEmpty = 0, later = 0;
        for (const std::string& name : Names(dest.path())) {
            const bool empty = fs::file_size(name) == 0;
            nonEmpty += !empty;
            if (atStop.count(name)) continue;
            ++later;
            const bool emptyThere = std::any_of(emptyOnVolume.begin(), emptyOnVolume.end(),
                                                [&](const std::string& p) { return EndsWith(name, p); });
            EXPECT_TRUE(!empty || emptyThere) << name << " made empty after the stop";
        }
        EXPECT_LE(later, 1u);
        EXPECT_EQ(ScanHarness::facade().GetRecoveridedFiles(), nonEmpty);
    }
}

} // namespace
