// Damaged containers: truncated at many offsets and with flipped bytes. Every
// walk must end with data or a container error, quickly and without a
// sanitizer report; what survives intact must read back exactly.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "tests/savedscan/ContainerWalk.h"
#include "tests/savedscan/FileHelpers.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<tagGUIDSIGN> kGuids = {rswalk::kFrameA, rswalk::kFrameB, rswalk::kFrameC};

struct Original {
    std::vector<std::vector<std::uint8_t>> payloads;
    std::vector<std::size_t> frameEnds; // file offset just past each frame
    std::vector<std::uint8_t> file;
};

Original MakeOriginal(const std::string& path) {
    Original o;
    std::mt19937 rng(77);
    for (std::size_t size : {40u, 0u, 300u}) {
        std::vector<std::uint8_t> p(size);
        for (auto& b : p)
            b = static_cast<std::uint8_t>(rng());
        o.payloads.push_back(p);
    }
    CRSData rs(RS_MODE_WRITE);
    EXPECT_TRUE(rs.StartRS(path.c_str(), 1));
    EXPECT_TRUE(rs.SetStatus(FILE_STATUS_SAVED));
    EXPECT_TRUE(rs.SetFileDescription("damage test"));
    std::size_t end = 132;
    for (std::size_t i = 0; i < kGuids.size(); ++i) {
        rs.OpenFrame(kGuids[i]);
        if (!o.payloads[i].empty())
            rs.WriteCurFrame(o.payloads[i].data(), static_cast<unsigned>(o.payloads[i].size()));
        rs.CloseFrame();
        end += 36 + o.payloads[i].size();
        o.frameEnds.push_back(end);
    }
    EXPECT_TRUE(rs.EndRS());
    o.file = ReadAll(path);
    return o;
}

// Walks the file with a given read piece and answers how long it took.
double TimedWalk(const std::string& path, unsigned piece, rswalk::WalkResult& result) {
    const auto start = Clock::now();
    result = rswalk::WalkContainer(path.c_str(), piece, kGuids);
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class RSDataDamageTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string original = dir.file("original.rsf");
    std::string damaged = dir.file("damaged.rsf");
};

} // namespace

TEST_F(RSDataDamageTest, IntactFileReadsBackCompletely) {
    const Original o = MakeOriginal(original);
    ASSERT_EQ(o.file.size(), o.frameEnds.back());
    rswalk::WalkResult r;
    TimedWalk(original, 16, r);
    EXPECT_TRUE(r.headerValid);
    EXPECT_EQ(r.errorCodes, 0u);
    for (std::size_t i = 0; i < kGuids.size(); ++i)
        EXPECT_EQ(r.payloads[i], o.payloads[i]) << i;
}

TEST_F(RSDataDamageTest, TruncatedAtThreeHundredOffsets) {
    const Original o = MakeOriginal(original);
    const std::size_t size = o.file.size();
    // 300 cut points spread over the file, every boundary among them.
    std::vector<std::size_t> cuts = {0, 1, 131, 132, 133, 167, 168};
    for (std::size_t end : o.frameEnds)
        for (std::size_t d : {end - 1, end, end + 1, end + 35, end + 36})
            if (d <= size)
                cuts.push_back(d);
    for (std::size_t i = 0; cuts.size() < 300; ++i)
        cuts.push_back(i * size / 293);

    double slowest = 0;
    for (std::size_t n = 0; n < cuts.size(); ++n) {
        const std::size_t cut = cuts[n];
        WriteAll(damaged, std::vector<std::uint8_t>(o.file.begin(), o.file.begin() + cut));
        rswalk::WalkResult r;
        slowest = std::max(slowest, TimedWalk(damaged, 1 + static_cast<unsigned>(n % 50), r));
        ASSERT_TRUE(r.opened);
        EXPECT_EQ(r.headerValid, cut >= 132) << "cut " << cut;
        EXPECT_EQ(r.errorCodes & 1u, 0u) << "cut " << cut;
        for (std::size_t i = 0; i < kGuids.size(); ++i) {
            if (cut >= o.frameEnds[i]) {
                EXPECT_EQ(r.payloads[i], o.payloads[i]) << "cut " << cut << " frame " << i;
            } else {
                EXPECT_FALSE(r.payloads[i].has_value()) << "cut " << cut << " frame " << i;
            }
        }
    }
    // A hang guard, not a speed measurement: each walk is a few system calls.
    EXPECT_LT(slowest, 1.0);
}

TEST_F(RSDataDamageTest, ThreeHundredFlippedBytes) {
    const Original o = MakeOriginal(original);
    std::mt19937 rng(4242);
    double slowest = 0;
    for (int n = 0; n < 300; ++n) {
        auto bytes = o.file;
        const std::size_t at = rng() % bytes.size();
        const auto mask = static_cast<std::uint8_t>(1 + rng() % 255);
        bytes[at] ^= mask;
        // Every tenth case flips a few more bytes in the frame headers.
        if (n % 10 == 0)
            for (int k = 0; k < 3; ++k)
                bytes[132 + rng() % (bytes.size() - 132)] ^= static_cast<std::uint8_t>(rng());
        WriteAll(damaged, bytes);
        rswalk::WalkResult r;
        slowest = std::max(slowest, TimedWalk(damaged, 1 + rng() % 64, r));
        ASSERT_TRUE(r.opened);
        EXPECT_EQ(r.errorCodes & 1u, 0u) << "case " << n;
        if (at < 132 && n % 10 != 0) {
            EXPECT_FALSE(r.headerValid) << "flip at " << at; // the checksum covers every header byte
        }
    }
    EXPECT_LT(slowest, 1.0);
}

TEST_F(RSDataDamageTest, HugeSizeFieldsAndForeignFiles) {
    // Sizes that point far past the end, and files that are not containers.
    const Original o = MakeOriginal(original);
    auto bytes = o.file;
    bytes[132 + 32] = 0xFF;
    bytes[132 + 33] = 0xFF;
    bytes[132 + 34] = 0xFF;
    bytes[132 + 35] = 0xFF;
    WriteAll(damaged, bytes);
    rswalk::WalkResult r;
    TimedWalk(damaged, 1000, r);
    EXPECT_TRUE(r.errorCodes & (1u << 5)); // frame A: the file ends inside its payload
    EXPECT_FALSE(r.payloads[1].has_value()); // frame B lies inside A's claimed payload
    EXPECT_TRUE(r.errorCodes & (1u << 7));

    for (const char* foreign : {"/dev/null", "/dev/zero", "/proc/self/status"}) {
        TimedWalk(foreign, 100, r);
        EXPECT_FALSE(r.headerValid) << foreign;
        for (const auto& p : r.payloads)
            EXPECT_FALSE(p.has_value()) << foreign;
    }
    EXPECT_FALSE(rswalk::WalkContainer(dir.file("none").c_str(), 1, kGuids).opened);
}
