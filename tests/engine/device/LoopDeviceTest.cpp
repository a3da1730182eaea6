// Real block devices: loop devices over image files. These need root (to
// attach loop devices) and are skipped, saying so, without it.
#include "engine/device/StorageDevices.h"
#include "engine/include/DeviceGone.h"
#include "engine/utility/AsyncRead.h"
#include "tests/support/FailingFile.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <thread>

namespace {

using namespace salvor::test;

class LoopDevice : public ::testing::TestWithParam<unsigned> {};

TEST_P(LoopDevice, AnswersSectorSizeAndCountInItsOwnSectors) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const unsigned ss = GetParam();
    const unsigned long long total = (4u << 20) / ss;
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), total, ss));
    const LoopAttachment l(dir.file("img"), ss == 512 ? "" : "--sector-size 4096");
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1) << l.path();
    EXPECT_EQ(disk->GetSectorSize(), ss);
    EXPECT_EQ(disk->GetTotalSectors(), total);
    std::vector<unsigned char> buf(4 * ss);
    ASSERT_EQ(disk->ReadSector(buf.data(), total - 4, 4), 1);
    EXPECT_EQ(Stamps(buf.data(), 4, ss), Sectors(total - 4, 4));
    EXPECT_EQ(disk->ReadSector(buf.data(), total, 1), 0) << "past the end of a block device nothing is read";
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDevice, ::testing::Values(512u, 4096u));

// Reads that fail on a device that still answers (past its end, pieces the
// system refuses) leave it readable; its image cut to nothing and its size
// read again, as a card reader that lost its card, it is gone: so are the
// windows on it, and its next reads fail at once. An image file cut the same
// way is only shorter.
TEST(LoopDeviceGone, OnlyADeviceThatAnswersNowhereIsGone) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const unsigned long long total = (4u << 20) / 512;
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), total, 512));
    ASSERT_TRUE(WriteStampedImage(dir.file("file"), total, 512));
    const LoopAttachment l(dir.file("img"), "-r");
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1) << l.path();
    std::unique_ptr<IStorageDevice> window(CreatePartitionDevice(disk.get(), 8, 64));
    std::vector<unsigned char> buf(4 * 512);
    EXPECT_EQ(disk->ReadSector(buf.data(), total, 1), 0);
    asyncread::SetFaultHook([](long long, long long) { return true; });
    EXPECT_EQ(disk->ReadSector(buf.data(), 8, 4), 0);
    asyncread::SetFaultHook(nullptr);
    EXPECT_FALSE(DeviceGone(disk.get()));
    ASSERT_EQ(disk->ReadSector(buf.data(), 8, 4), 1);
    EXPECT_EQ(Stamps(buf.data(), 4, 512), Sectors(8, 4));

    ASSERT_EQ(::truncate(dir.file("img").c_str(), 0), 0);
    ASSERT_EQ(RunCommand("losetup -c '" + l.path() + "'"), 0);
    EXPECT_EQ(disk->ReadSector(buf.data(), 8, 4), 0);
    EXPECT_TRUE(DeviceGone(disk.get()));
    EXPECT_TRUE(DeviceGone(window.get()));
    EXPECT_EQ(window->ReadSector(buf.data(), 0, 1), 0);

    std::unique_ptr<IStorageDevice> image(CreateEdiDeviceImp(dir.file("file").c_str()));
    ASSERT_EQ(image->Open(nullptr), 1);
    ASSERT_EQ(::truncate(dir.file("file").c_str(), 0), 0);
    EXPECT_EQ(image->ReadSector(buf.data(), 8, 4), 0);
    EXPECT_FALSE(DeviceGone(image.get()));
}

// A failing disk: a loop device over a file that answers EIO on bad ranges
// (a weak first block, a bad last block, a bad MiB) or, while a flag file
// exists, everywhere (a bus reset), or holds every read unanswered (a hung
// bus). Only the system's word or a long silence make it gone, a read held
// unanswered counting as one that failed; a shrunk device is read below its
// new size.
TEST(LoopDeviceGone, AFailingDiskIsGoneOnlyByTheSystemsWordOrALongSilence) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    using Clock = std::chrono::steady_clock;
    const unsigned long long total = (8u << 20) / 512;
    const unsigned long long mib = 2048, badMib = 2 * mib; // sectors
    struct Row {
        const char* shape;
        bool silentFirst;  // the flag file is there before the first read
        int silentFor;     // ms until it goes; -1 never
        bool removeNode;   // the test's own node of the device is deleted
        bool otherNode;    // ... or made again naming another device
        int shrink;        // the image (not failing) cut to half, size read again (2: the device closed then)
        bool held;         // every read held unanswered (the flag file is the hold's)
        bool gone;
        int givenUpAt = -1; // ms until the reader gives its reads up (a scan stopped); -1 never
        bool into = false;  // read straight into a read-routine buffer (the read-ahead's way)
        // Only the first read's block held, the rest answering (the loop
        // device reads with direct I/O, so a held read holds no other), and
        // held past the silence allowed: the device answered just before, and
        // the one probe made once the silence has passed finds it answering.
        bool heldHere = false;
    } rows[] = {
        {"bad first and last blocks, a bad MiB", false, 0, false, false, false, false, false},
        {"every read failing for 2 s, then answering", true, 2000, false, false, false, false, false},
        {"every read failing for 2 s, then answering, read into a buffer", true, 2000, false, false, false, false, false, -1, true},
        {"answering nowhere past the limit", true, -1, false, false, false, false, true},
        {"its node removed", true, -1, true, false, false, false, true},
        {"its node naming another device", true, -1, false, true, false, false, true},
        {"shrunk to half", false, 0, false, false, true, false, true},
        {"shrunk to half while closed", false, 0, false, false, 2, false, true},
        {"every read held past the limit", true, -1, false, false, false, true, true},
        {"answering nowhere for 2.5 s, the read given up after 0.8 s", true, 2500, false, false, false, false, false, 800},
        {"one block held past the limit, answering elsewhere", true, -1, false, false, false, true, false, -1, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shape);
        TempDir dir;
        ASSERT_TRUE(WriteStampedImage(dir.file("img"), total, 512));
        { std::ofstream(dir.file("served")); }
        std::optional<FailingFile> failing;
        if (!row.shrink) {
            failing.emplace(dir.file("served"), dir.file("img"),
                            std::vector<FailingFile::Range>{{0, 4096}, {badMib * 512, 1u << 20}, {total * 512 - 4096, 4096}},
                            row.held ? std::string() : dir.file("silent"), row.held ? dir.file("silent") : std::string());
            if (!failing->ready()) GTEST_SKIP() << failing->why();
            if (row.heldHere) failing->HoldOnly({64 * 512, 4096});
        }
        if (row.silentFirst) { std::ofstream(dir.file("silent")); }
        const LoopAttachment l(row.shrink ? dir.file("img") : dir.file("served"), row.heldHere ? "-r --direct-io=on" : "-r");
        if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
        if (row.heldHere) {
            std::ifstream dio("/sys/block/" + l.name() + "/loop/dio");
            int on = 0;
            ASSERT_TRUE(dio >> on && on == 1) << "the loop device does not read its file with direct I/O";
        }
        // A node of the test's own, as a stick's that goes when it is pulled.
        struct stat st {};
        ASSERT_EQ(::stat(l.path().c_str(), &st), 0);
        const std::string node = dir.file("node");
        ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev), 0);
        const bool nodeChanged = row.removeNode || row.otherNode;
        CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds(nodeChanged ? 20000 : 3000));
        // A read held unanswered is given up after 2.5 s (30 s on a real
        // disk), most of the silence allowed: counted from its start, the
        // device is gone soon after 3 s; from its end, not before 5.5 s.
        if (row.held) asyncread::SetTimeout(std::chrono::milliseconds(row.heldHere ? 3500 : 2500));
        // Whatever the code does, held reads are answered after 20 s: a
        // judge that waits on them fails the row instead of hanging it.
        std::atomic<bool> rowDone{false};
        std::thread release;
        if (row.held)
            release = std::thread([&] {
                for (int i = 0; i < 200 && !rowDone.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
                ::unlink(dir.file("silent").c_str());
            });
        std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(node.c_str()));
        ASSERT_EQ(disk->Open(nullptr), 1);
        std::vector<unsigned char> buf(8 * 512);
        if (row.silentFirst && !nodeChanged) {
            // Past its end a read fails on any device: it says nothing of
            // this one, silent or not.
            EXPECT_EQ(disk->ReadSector(buf.data(), static_cast<long long>(total), 1), 0);
            EXPECT_FALSE(DeviceGone(disk.get())) << "judged by a read past its end";
        }
        if (row.heldHere) {
            ASSERT_EQ(disk->ReadSector(buf.data(), 8, 8), 1) << "a held block holds no other";
        }
        std::thread answer;
        if (row.silentFor >= 0 && row.silentFirst)
            answer = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(row.silentFor));
                ::unlink(dir.file("silent").c_str());
            });
        // Midway through a silence (a read failing or held unanswered) the
        // device is said not to answer and waited for, unless the system
        // already said it is gone.
        // A read that fails where the device answers nowhere is said at
        // once; one held unanswered after a while (a quarter of the silence
        // allowed, here 750 ms).
        std::optional<bool> silentAtOnce, silentMidway;
        std::thread sample;
        if (row.silentFirst)
            sample = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                silentAtOnce = DeviceSilent(disk.get());
                std::this_thread::sleep_for(std::chrono::milliseconds(1000));
                silentMidway = DeviceSilent(disk.get());
            });
        // Another stick plugged in where this one was: its node, and a
        // copy of this disk's bytes that must never be read for it.
        std::optional<LoopAttachment> other;
        if (nodeChanged) {
            ASSERT_EQ(::unlink(node.c_str()), 0);
        }
        if (row.otherNode) {
            other.emplace(dir.file("img"), "-r");
            if (other->path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << other->error();
            struct stat ost {};
            ASSERT_EQ(::stat(other->path().c_str(), &ost), 0);
            ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, ost.st_rdev), 0);
        }
        if (row.shrink) {
            if (row.shrink == 2) disk->Close(); // opened again by its next read, at its new size
            ASSERT_EQ(::truncate(dir.file("img").c_str(), total * 512 / 2), 0);
            ASSERT_EQ(RunCommand("losetup -c '" + l.path() + "'"), 0);
        }
        // A reader that gives its reads up no longer waits for the device:
        // the read in its judging ends then, and says nothing of the device.
        std::atomic<bool> givenUp{false};
        std::thread giveUp;
        if (row.givenUpAt >= 0)
            giveUp = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(row.givenUpAt));
                givenUp = true;
            });
        const auto t0 = Clock::now();
        // The first read lies where the disk fails (its first block), past a
        // shrunk end, or, in a silence, where it answers.
        const long long first = row.shrink ? static_cast<long long>(total) - 8 : row.silentFirst ? 64 : 0;
        const int firstRead = [&] {
            const asyncread::GiveUpScope scope(&givenUp);
            if (!row.into) return disk->ReadSector(buf.data(), first, 8);
            asyncread::Buffer into;
            into.Reserve(buf.size());
            const int read = dynamic_cast<IDirectRead&>(*disk).ReadSectorsInto(into, first, 8);
            if (read) std::memcpy(buf.data(), into.data(), buf.size());
            return read;
        }();
        const auto took = Clock::now() - t0;
        if (giveUp.joinable()) giveUp.join();
        rowDone = true;
        if (release.joinable()) release.join();
        asyncread::SetTimeout(std::chrono::milliseconds(30000));
        if (row.heldHere) {
            // Its own block waited for; the device never judged silent for it.
            EXPECT_GE(took, std::chrono::milliseconds(3400));
            EXPECT_LT(took, std::chrono::milliseconds(2 * 3500 + 1500));
        } else if (row.held) {
            EXPECT_LT(took, std::chrono::milliseconds(5000)) << "a read held unanswered counts toward the silence";
        }
        if (answer.joinable()) answer.join();
        if (sample.joinable()) sample.join();
        EXPECT_EQ(DeviceGone(disk.get()), row.gone);
        // Answering again or gone, it is no longer waited for.
        EXPECT_FALSE(DeviceSilent(disk.get()));
        if (row.silentFirst) {
            EXPECT_EQ(silentAtOnce, std::optional<bool>(!nodeChanged && !row.held)) << "said as soon as it is waited for";
            if (row.givenUpAt < 0) {
                EXPECT_EQ(silentMidway, std::optional<bool>(!nodeChanged)) << "said while it is waited for";
            }
        }
        if (row.givenUpAt >= 0) {
            EXPECT_EQ(firstRead, 0);
            EXPECT_GE(took, std::chrono::milliseconds(row.givenUpAt));
            EXPECT_LT(took, std::chrono::milliseconds(row.givenUpAt + 1200)) << "the judging waited on";
        } else if (row.silentFor > 0) {
            // Read again once it answered: its own bytes, after the silence.
            EXPECT_EQ(firstRead, 1);
            EXPECT_EQ(Stamps(buf.data(), 8, 512), Sectors(first, 8));
            EXPECT_GE(took, std::chrono::milliseconds(row.silentFor - 200));
        } else {
            EXPECT_EQ(firstRead, 0);
        }
        if (nodeChanged) {
            EXPECT_LT(took, std::chrono::seconds(5)) << "the system's word is taken at once";
        } else if (row.silentFirst && row.silentFor < 0 && !row.heldHere) {
            EXPECT_GE(took, std::chrono::milliseconds(2900)) << "gone only after the silence lasted";
            EXPECT_LT(took, std::chrono::milliseconds(5500)) << "gone once the silence lasted, not twice as long";
        }
        if (!row.gone) {
            // Bad sectors fail alone: the rest of the disk is read, again and again.
            for (const unsigned long long at : {8ull, badMib - 8, badMib + mib, total / 2, total - 16}) {
                ASSERT_EQ(disk->ReadSector(buf.data(), static_cast<long long>(at), 8), 1) << at;
                EXPECT_EQ(Stamps(buf.data(), 8, 512), Sectors(at, 8));
            }
            // ... and fail at once: the device is never said not to answer.
            std::atomic<bool> reading{true}, saidSilent{false};
            std::thread watch([&] {
                for (; reading.load(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
                    if (DeviceSilent(disk.get())) saidSilent = true;
            });
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(disk->ReadSector(buf.data(), static_cast<long long>(badMib + 16), 8), 0);
                EXPECT_EQ(disk->ReadSector(buf.data(), static_cast<long long>(total - 8), 8), 0);
            }
            reading = false;
            watch.join();
            EXPECT_FALSE(saidSilent.load());
            EXPECT_FALSE(DeviceGone(disk.get()));
        } else if (row.shrink) {
            // Below its new size a shrunk device is still read.
            ASSERT_EQ(disk->ReadSector(buf.data(), 64, 8), 1);
            EXPECT_EQ(Stamps(buf.data(), 8, 512), Sectors(64, 8));
            ASSERT_EQ(disk->ReadSector(buf.data(), static_cast<long long>(total / 2 - 8), 8), 1) << "its last sectors";
            EXPECT_EQ(Stamps(buf.data(), 8, 512), Sectors(total / 2 - 8, 8));
            EXPECT_EQ(disk->ReadSector(buf.data(), static_cast<long long>(total / 2), 8), 0);
            EXPECT_FALSE(DeviceGoneWhole(disk.get())) << "what lies below its new end still reads";
        } else {
            EXPECT_EQ(disk->ReadSector(buf.data(), 64, 8), 0);
            EXPECT_TRUE(DeviceGoneWhole(disk.get()));
        }
        disk.reset();
        // Reads given up are answered now: their descriptors close, so the
        // loop device and the file under it can go.
        for (int i = 0; i < 100 && (asyncread::ReapRetired() > 0 || asyncread::DescriptorsLeftOpen() > 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds(0));
    }
}

} // namespace
