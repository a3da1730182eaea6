// Damaged containers: truncated at many offsets and with flipped bytes. Every
// walk must end with data or a container error, quickly and without a
// sanitizer report; what survives intact must read back exactly.
#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "tests/savedscan/ContainerWalk.h"
#include "tests/savedscan/FileHelpers.h"

namespace {

const std::vector<tagGUIDSIGN> kGuids = {rswalk::kFrameA, rswalk::kFrameB, rswalk::kFrameC};

class RSDataDamageTest : public ::testing::Test {
protected:
    // Frames of 40, 0 and 300 bytes with a description.
    void SetUp() override {
        for (std::size_t i : {0, 1, 2})
            frames.push_back({kGuids[i], Bytes(std::size_t{i == 0 ? 40u : i == 1 ? 0u : 300u}, 77 + i)});
        WriteContainer(original, frames);
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(original.c_str(), 0));
        ASSERT_TRUE(rs.SetFileDescription("damage test"));
        ASSERT_TRUE(rs.EndRS());
        file = ReadAll(original);
        for (std::size_t end = 132; const auto& f : frames)
            frameEnds.push_back(end += 36 + f.payload.size());
        ASSERT_EQ(file.size(), frameEnds.back());
    }
    // Walks `bytes` written as a file with a given read piece, failing the
    // test when the walk takes a second or more (a hang guard: each walk is
    // a few system calls).
    rswalk::WalkResult Walk(const Buffer& bytes, unsigned piece) {
        WriteAll(damaged, bytes);
        const auto start = std::chrono::steady_clock::now();
        rswalk::WalkResult r = rswalk::WalkContainer(damaged.c_str(), piece, kGuids);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_TRUE(r.opened);
        EXPECT_EQ(r.errorCodes & 1u, 0u); // cursor and remaining count agree
        return r;
    }

    TempDir dir;
    std::string original = dir.file("original.rsf"), damaged = dir.file("damaged.rsf");
    std::vector<Frame> frames;
    std::vector<std::size_t> frameEnds; // file offset just past each frame
    Buffer file;
};

} // namespace

TEST_F(RSDataDamageTest, TruncatedAtThreeHundredOffsets) {
    // 300 cut points spread over the file, every boundary among them; the
    // uncut file reads back completely.
    std::vector<std::size_t> cuts = {0, 1, 131, 132, 133, 167, 168};
    for (std::size_t end : frameEnds)
        for (std::size_t d : {end - 1, end, end + 1, end + 35, end + 36})
            if (d <= file.size()) cuts.push_back(d);
    for (std::size_t i = 0; cuts.size() < 300; ++i)
        cuts.push_back(i * file.size() / 293);
    for (std::size_t n = 0; n < cuts.size(); ++n) {
        const std::size_t cut = cuts[n];
        SCOPED_TRACE("cut " + std::to_string(cut));
        const auto r = Walk(Buffer(file.begin(), file.begin() + cut), 1 + static_cast<unsigned>(n % 50));
        EXPECT_EQ(r.headerValid, cut >= 132);
        // A file ending inside frame A's payload raises 5.
        EXPECT_TRUE(cut <= 132 + 36 || cut >= frameEnds[0] || (r.errorCodes & (1u << 5)));
        EXPECT_TRUE(cut < file.size() || r.errorCodes == 0) << r.errorCodes; // intact: no error
        for (std::size_t i = 0; i < kGuids.size(); ++i)
            EXPECT_EQ(r.payloads[i], cut >= frameEnds[i] ? std::optional(frames[i].payload) : std::nullopt)
                << "frame " << i;
    }
}

TEST_F(RSDataDamageTest, ThreeHundredFlippedBytes) {
    std::mt19937 rng(4242);
    for (int n = 0; n < 300; ++n) {
        auto bytes = file;
        const std::size_t at = rng() % bytes.size();
        bytes[at] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        // Every tenth case flips a few more bytes in the frame headers.
        if (n % 10 == 0)
            for (int k = 0; k < 3; ++k)
                bytes[132 + rng() % (bytes.size() - 132)] ^= static_cast<std::uint8_t>(rng());
        const auto r = Walk(bytes, 1 + rng() % 64);
        // The checksum covers every header byte.
        EXPECT_FALSE(at < 132 && n % 10 != 0 && r.headerValid) << "flip at " << at;
    }
}

TEST_F(RSDataDamageTest, HugeSizeFieldsAndForeignFiles) {
    // A size pointing far past the end, and files that are not containers.
    auto bytes = file;
    std::fill_n(bytes.begin() + 132 + 32, 4, 0xFF);
    const auto r = Walk(bytes, 1000);
    EXPECT_TRUE(r.errorCodes & (1u << 5));   // frame A: the file ends inside its payload
    EXPECT_FALSE(r.payloads[1].has_value()); // frame B lies inside A's claimed payload
    EXPECT_TRUE(r.errorCodes & (1u << 7));
    for (const char* foreign : {"/dev/null", "/dev/zero", "/proc/self/status"}) {
        const auto walk = rswalk::WalkContainer(foreign, 100, kGuids);
        EXPECT_FALSE(walk.headerValid) << foreign;
        for (const auto& p : walk.payloads)
            EXPECT_FALSE(p.has_value()) << foreign;
    }
    EXPECT_FALSE(rswalk::WalkContainer(dir.file("none").c_str(), 1, kGuids).opened);
}
