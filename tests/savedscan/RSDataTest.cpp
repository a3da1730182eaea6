#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <unistd.h>

#include "savedscan/CRC.h"
#include "savedscan/RSData.h"
#include "tests/savedscan/ContainerWalk.h"
#include "tests/savedscan/FileHelpers.h"

using rswalk::kFrameA;
using rswalk::kFrameB;
using rswalk::kFrameC;

namespace {

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t off) {
    return std::uint32_t{b[off]} | std::uint32_t{b[off + 1]} << 8 | std::uint32_t{b[off + 2]} << 16 |
           std::uint32_t{b[off + 3]} << 24;
}

void PutLe32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Recomputes the header checksum after a test edited header fields.
void Reseal(std::vector<std::uint8_t>& b) {
    PutLe32(b, 20, 0);
    PutLe32(b, 20, CCRC::RunCRC16(b.data(), 132, 0x8005));
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

struct Frame {
    tagGUIDSIGN guid;
    std::vector<std::uint8_t> payload;
};

// Writes a container; with `uneven` each payload goes in pieces of growing
// size, as the record layer writes field after field.
void WriteContainer(const std::string& path, const std::vector<Frame>& frames, std::uint32_t status = 1,
                    bool uneven = false) {
    CRSData rs(RS_MODE_WRITE);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
    FILEHEADER h;
    h.status = status;
    ASSERT_TRUE(rs.WriteFileHeader(h));
    for (const auto& f : frames) {
        ASSERT_TRUE(rs.OpenFrame(f.guid));
        std::size_t off = 0;
        unsigned piece = 1;
        while (off < f.payload.size()) {
            const std::size_t left = f.payload.size() - off;
            const unsigned n = static_cast<unsigned>(uneven ? std::min<std::size_t>(piece, left) : left);
            ASSERT_TRUE(rs.WriteCurFrame(f.payload.data() + off, n));
            off += n;
            piece = piece * 3 + 1;
        }
        EXPECT_EQ(rs.GetFrameSize(), f.payload.size());
        ASSERT_TRUE(rs.CloseFrame());
    }
    ASSERT_TRUE(rs.EndRS());
}

// A new container with a header and frame A open, holding "abcd".
void StartWithFrame(CRSData& rs, const std::string& path) {
    ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
    ASSERT_TRUE(rs.SetStatus(FILE_STATUS_SAVED));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    ASSERT_TRUE(rs.WriteCurFrame("abcd", 4));
}

// Runs `op` and answers the CRSException code it threw, 0 when none.
template <typename Op>
std::uint32_t CodeOf(Op op) {
    try {
        op();
    } catch (const CRSException& e) {
        return e.GetErrorcode();
    }
    return 0;
}

class RSDataTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("scan.rsf");
};

} // namespace

TEST_F(RSDataTest, HeaderLayoutOnDisk) {
    WriteContainer(path, {});
    const auto b = ReadAll(path);
    ASSERT_EQ(b.size(), 132u);
    const std::uint8_t sig[16] = {0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A,
                                  0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB};
    EXPECT_EQ(std::memcmp(b.data(), sig, 16), 0);
    EXPECT_EQ(Le32(b, 16), 5800u);
    EXPECT_EQ(Le32(b, 24), 1u);
    EXPECT_EQ(Le32(b, 28), 0u);
    const std::uint32_t stored = Le32(b, 20);
    EXPECT_EQ(stored >> 16, 0u);
    auto zeroed = b;
    PutLe32(zeroed, 20, 0);
    EXPECT_EQ(stored, CCRC::RunCRC16(zeroed.data(), 132, 0x8005));
}

TEST_F(RSDataTest, ReadFileHeaderChecksChecksumAndVersion) {
    WriteContainer(path, {});
    const auto good = ReadAll(path);
    FILEHEADER h;
    {
        CRSData rs(RS_MODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_TRUE(rs.ReadFileHeader(h));
        EXPECT_EQ(h.version, 5800u);
        EXPECT_EQ(h.checksum, Le32(good, 20));
    }
    auto expectRejected = [&](std::vector<std::uint8_t> bytes, const char* why) {
        WriteAll(path, bytes);
        CRSData rs(RS_MODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        FILEHEADER out;
        EXPECT_FALSE(rs.ReadFileHeader(out)) << why;
        EXPECT_EQ(rs.GetStatus(), 1) << why; // the status as read
    };
    auto upper = good;
    upper[22] = 0x01; // right low 16 bits, non-zero upper half
    expectRejected(upper, "upper half of the checksum");
    auto badSum = good;
    badSum[20] ^= 0x40;
    expectRejected(badSum, "checksum");
    auto version = good;
    PutLe32(version, 16, 5801);
    Reseal(version);
    expectRejected(version, "version");
    expectRejected(std::vector<std::uint8_t>(good.begin(), good.begin() + 131), "short header");
    auto text = good;
    text[40] ^= 1; // description bytes are covered too
    expectRejected(text, "description byte");
}

TEST_F(RSDataTest, StatusChecks) {
    WriteContainer(path, {}, 4);
    auto b = ReadAll(path);
    {
        CRSData rs(RS_MODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(rs.GetStatus(), 4);
        EXPECT_TRUE(rs.CheckFile());
    }
    for (std::uint32_t bad : {5u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x80000000u}) {
        PutLe32(b, 24, bad);
        Reseal(b);
        WriteAll(path, b);
        CRSData rs(RS_MODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_EQ(CodeOf([&] { rs.GetStatus(); }), 2u) << bad;
        EXPECT_FALSE(rs.CheckFile()) << bad;
    }
    PutLe32(b, 24, 0);
    Reseal(b);
    WriteAll(path, b);
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(rs.GetStatus(), FILE_STATUS_NONE);
    EXPECT_FALSE(rs.CheckFile());
}

TEST_F(RSDataTest, CheckFileLooksAtSignatureAndStatusOnly) {
    WriteContainer(path, {});
    auto b = ReadAll(path);
    b[20] ^= 0xFF; // checksum is not its business
    WriteAll(path, b);
    CRSData rs(RS_MODE_READ);
    EXPECT_FALSE(rs.CheckFile()); // not open
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_TRUE(rs.CheckFile());
    b[3] ^= 1;
    WriteAll(path, b);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_FALSE(rs.CheckFile());
    WriteAll(path, std::vector<std::uint8_t>(b.begin(), b.begin() + 100));
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_FALSE(rs.CheckFile());
}

TEST_F(RSDataTest, StatusAndDescriptionAreRewrittenInPlace) {
    {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        EXPECT_FALSE(rs.SetFileDescription("no header yet"));
        EXPECT_TRUE(rs.SetStatus(static_cast<FileStatus>(2))); // builds a fresh header
        EXPECT_TRUE(rs.SetFileDescription(std::string(150, 'd').c_str()));
        EXPECT_TRUE(rs.SetStatus(static_cast<FileStatus>(3))); // keeps the description
        ASSERT_TRUE(rs.OpenFrame(kFrameA));
        ASSERT_TRUE(rs.WriteCurFrame("xyz", 3));
        EXPECT_TRUE(rs.SetFileDescription("short")); // header edits leave the open frame alone
        ASSERT_TRUE(rs.WriteCurFrame("w", 1));
        ASSERT_TRUE(rs.EndRS());
    }
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(rs.GetStatus(), 3);
    char text[128];
    ASSERT_TRUE(rs.GetFileDescription(text, sizeof text));
    EXPECT_STREQ(text, "short");
    ASSERT_TRUE(rs.GetFileDescription(text, 3));
    EXPECT_STREQ(text, "sh");
    ASSERT_TRUE(rs.GetFileDescription(text, 1));
    EXPECT_STREQ(text, "");
    EXPECT_FALSE(rs.GetFileDescription(text, 0));
    EXPECT_FALSE(rs.GetFileDescription(nullptr, 10));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    char payload[8] = {};
    ASSERT_TRUE(rs.ReadCurFrame(payload, sizeof payload));
    EXPECT_STREQ(payload, "xyzw");
}

TEST_F(RSDataTest, DescriptionIsCutAtOneHundredBytes) {
    {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        ASSERT_TRUE(rs.SetStatus(FILE_STATUS_SAVED));
        ASSERT_TRUE(rs.SetFileDescription(std::string(150, 'q').c_str()));
    }
    auto b = ReadAll(path);
    EXPECT_EQ(Le32(b, 28), 100u);
    {
        CRSData rs(RS_MODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        char text[200];
        ASSERT_TRUE(rs.GetFileDescription(text, sizeof text));
        EXPECT_EQ(std::string(text), std::string(100, 'q'));
    }
    PutLe32(b, 28, 101);
    Reseal(b);
    WriteAll(path, b);
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    char text[200];
    EXPECT_EQ(CodeOf([&] { rs.GetFileDescription(text, sizeof text); }), 2u);
}

TEST_F(RSDataTest, OperationsOutsideTheirModeRaiseThree) {
    WriteContainer(path, {{kFrameA, {1, 2, 3}}});
    char buf[8];
    {
        CRSData rs(RS_MODE_READ);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        ASSERT_TRUE(rs.OpenFrame(kFrameA));
        EXPECT_EQ(CodeOf([&] { rs.WriteCurFrame(buf, 1); }), 3u);
        EXPECT_EQ(CodeOf([&] { rs.SetStatus(FILE_STATUS_SAVED); }), 3u);
        EXPECT_EQ(CodeOf([&] { rs.SetFileDescription("x"); }), 3u);
        FILEHEADER h;
        EXPECT_FALSE(rs.WriteFileHeader(h)); // no exception, just false
        // The frame survives the refused calls.
        EXPECT_EQ(rs.GetFrameSize(), 3u);
    }
    CRSData rs(RS_MODE_WRITE);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(CodeOf([&] { rs.GetStatus(); }), 3u);
    EXPECT_EQ(CodeOf([&] { rs.GetFileDescription(buf, 8); }), 3u);
    ASSERT_TRUE(rs.OpenFrame(kFrameB));
    EXPECT_EQ(CodeOf([&] { rs.ReadCurFrame(buf, 1); }), 3u);
    EXPECT_EQ(CodeOf([&] { rs.GetFrameRemaining(); }), 3u);
}

TEST_F(RSDataTest, FrameOperationsWithoutAFrameRaiseEight) {
    WriteContainer(path, {{kFrameA, {1}}});
    char buf[4];
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(CodeOf([&] { rs.ReadCurFrame(buf, 1); }), 8u);
    EXPECT_EQ(CodeOf([&] { rs.GetFrameSize(); }), 8u);
    EXPECT_EQ(CodeOf([&] { rs.GetFrameRemaining(); }), 8u);
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    ASSERT_TRUE(rs.CloseFrame());
    EXPECT_EQ(CodeOf([&] { rs.ReadCurFrame(buf, 1); }), 8u);

    CRSData w(RS_MODE_WRITE);
    ASSERT_TRUE(w.StartRS(path.c_str(), 0));
    EXPECT_EQ(CodeOf([&] { w.WriteCurFrame(buf, 1); }), 8u);
}

TEST_F(RSDataTest, CloseFrameWithoutFrameChangesNothing) {
    WriteContainer(path, {{kFrameA, {9, 8, 7}}});
    const auto before = ReadAll(path);
    {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
        EXPECT_TRUE(rs.CloseFrame());
        EXPECT_TRUE(rs.CloseFrame());
    }
    EXPECT_EQ(ReadAll(path), before);
}

TEST_F(RSDataTest, FrameNotFoundRaisesSeven) {
    WriteContainer(path, {});
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(CodeOf([&] { rs.OpenFrame(kFrameA); }), 7u);
    EXPECT_EQ(CodeOf([&] { rs.GetFrameSize(); }), 8u); // nothing left open

    WriteContainer(path, {{kFrameA, {1}}, {kFrameB, {2}}});
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(CodeOf([&] { rs.OpenFrame(kFrameC); }), 7u);
    EXPECT_TRUE(rs.OpenFrame(kFrameB)); // the container is still usable
}

TEST_F(RSDataTest, FirstFrameWithTheGuidWins) {
    WriteContainer(path, {{kFrameB, {0xB0}}, {kFrameA, {1, 1}}, {kFrameA, {2, 2, 2}}});
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    EXPECT_EQ(rs.GetFrameSize(), 2u);
    // Search order ignores the order of opening.
    ASSERT_TRUE(rs.OpenFrame(kFrameB));
    EXPECT_EQ(rs.GetFrameSize(), 1u);
}

TEST_F(RSDataTest, FrameWithWrongSignatureIsSkippedBySize) {
    // The first frame carries kFrameA but a damaged signature: the search
    // must skip its payload (which itself looks like a kFrameA header) and
    // find the real one after it.
    std::vector<std::uint8_t> decoy(36);
    std::memcpy(decoy.data(), _frSignPub.bytes, 16);
    std::memcpy(decoy.data() + 16, kFrameA.bytes, 16);
    PutLe32(decoy, 32, 0);
    WriteContainer(path, {{kFrameA, decoy}, {kFrameA, {7, 7, 7, 7}}});
    auto b = ReadAll(path);
    b[132] ^= 0xFF;
    WriteAll(path, b);

    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    EXPECT_EQ(rs.GetFrameSize(), 4u);
    std::uint8_t got[4] = {};
    ASSERT_TRUE(rs.ReadCurFrame(got, 4));
    EXPECT_EQ(got[3], 7);
}

TEST_F(RSDataTest, ReadingPastThePayloadReadsWhatRemains) {
    WriteContainer(path, {{kFrameA, {1, 2, 3, 4, 5}}, {kFrameB, {0xEE, 0xEE}}});
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    EXPECT_EQ(rs.GetFrameRemaining(), 5u);
    std::uint8_t buf[8];
    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_TRUE(rs.ReadCurFrame(buf, 2));
    EXPECT_EQ(rs.GetFrameRemaining(), 3u);
    ASSERT_TRUE(rs.ReadCurFrame(buf, 8));
    EXPECT_EQ(rs.GetFrameRemaining(), 0u);
    const std::uint8_t want[8] = {3, 4, 5, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    EXPECT_EQ(std::memcmp(buf, want, 8), 0); // the next frame's bytes are not read
    ASSERT_TRUE(rs.ReadCurFrame(buf, 8));
    EXPECT_EQ(std::memcmp(buf, want, 8), 0);
}

TEST_F(RSDataTest, FileEndingInsideAPayloadRaisesFive) {
    WriteContainer(path, {{kFrameA, Bytes(100, 1)}});
    auto b = ReadAll(path);
    b.resize(132 + 36 + 60);
    WriteAll(path, b);
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    EXPECT_EQ(rs.GetFrameSize(), 100u);
    std::uint8_t buf[100];
    ASSERT_TRUE(rs.ReadCurFrame(buf, 50));
    EXPECT_EQ(CodeOf([&] { rs.ReadCurFrame(buf, 50); }), 5u);
}

TEST_F(RSDataTest, HeaderCallsBetweenPayloadReadsDoNotLoseThePlace) {
    WriteContainer(path, {{kFrameA, Bytes(64, 2)}});
    const auto payload = Bytes(64, 2);
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    std::vector<std::uint8_t> got(64);
    ASSERT_TRUE(rs.ReadCurFrame(got.data(), 10));
    EXPECT_EQ(rs.GetStatus(), 1);
    ASSERT_TRUE(rs.ReadCurFrame(got.data() + 10, 54));
    EXPECT_EQ(got, payload);
}

TEST_F(RSDataTest, RoundTripOfSeveralFramesIsByteIdentical) {
    const std::vector<Frame> frames = {
        {kFrameA, {}},
        {kFrameB, Bytes(1, 3)},
        {kFrameC, Bytes(4096, 4)},
        {{{0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x44}}, Bytes(64u << 20, 5)},
    };
    WriteContainer(path, frames, FILE_STATUS_SAVED, true);
    long long expected = 132;
    for (const auto& f : frames)
        expected += 36 + static_cast<long long>(f.payload.size());
    EXPECT_EQ(static_cast<long long>(std::filesystem::file_size(path)), expected);

    // Read back in reverse order, in pieces of 1000 bytes.
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    FILEHEADER h;
    ASSERT_TRUE(rs.ReadFileHeader(h));
    EXPECT_EQ(rs.GetStatus(), FILE_STATUS_SAVED);
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        ASSERT_TRUE(rs.OpenFrame(it->guid));
        std::vector<std::uint8_t> got;
        ASSERT_TRUE(rswalk::ReadWholeFrame(rs, 1000, got));
        EXPECT_TRUE(got == it->payload) << "frame of " << it->payload.size() << " bytes";
        ASSERT_TRUE(rs.CloseFrame());
    }
    EXPECT_TRUE(rs.EndRS());
}

TEST_F(RSDataTest, StartRSRefusesBadPaths) {
    CRSData r(RS_MODE_READ);
    EXPECT_FALSE(r.StartRS(nullptr, 0));
    EXPECT_FALSE(r.StartRS("", 0));
    EXPECT_FALSE(r.StartRS(dir.file("missing.rsf").c_str(), 0));
    CRSData w(RS_MODE_WRITE);
    EXPECT_FALSE(w.StartRS(dir.file("no/such/dir.rsf").c_str(), 1));
    EXPECT_TRUE(w.EndRS());
    // A non-truncating write open keeps what is there and appends frames.
    WriteContainer(path, {{kFrameA, {1}}});
    ASSERT_TRUE(w.StartRS(path.c_str(), 0));
    ASSERT_TRUE(w.OpenFrame(kFrameB));
    ASSERT_TRUE(w.WriteCurFrame("\x02", 1));
    ASSERT_TRUE(w.EndRS());
    const auto walk = rswalk::WalkContainer(path.c_str(), 7, {kFrameA, kFrameB});
    ASSERT_EQ(walk.payloads.size(), 2u);
    EXPECT_EQ(walk.payloads[1], std::vector<std::uint8_t>{2});
    EXPECT_EQ(walk.payloads[0], std::vector<std::uint8_t>{1});
}

TEST_F(RSDataTest, EndRSBackPatchesAFrameLeftOpen) {
    {
        CRSData rs(RS_MODE_WRITE);
        StartWithFrame(rs, path);
        // no CloseFrame: the destructor ends it
    }
    const auto walk = rswalk::WalkContainer(path.c_str(), 3, {kFrameA});
    ASSERT_EQ(walk.payloads.size(), 1u);
    ASSERT_TRUE(walk.payloads[0].has_value());
    EXPECT_EQ(walk.payloads[0]->size(), 4u);
}

TEST_F(RSDataTest, FailedHeaderRewriteInCloseFrameRaisesSix) {
    CRSData rs(RS_MODE_WRITE);
    StartWithFrame(rs, path);
    // Swap the container's descriptor for a read-only one: every later
    // write fails as on a medium that went away.
    const int fd = FindOpenDescriptor(path);
    ASSERT_GE(fd, 0);
    const int ro = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ro, 0);
    ASSERT_EQ(::dup2(ro, fd), fd);
    ::close(ro);
    EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);
    EXPECT_EQ(CodeOf([&] { rs.GetFrameSize(); }), 8u); // the frame is closed all the same
    EXPECT_EQ(CodeOf([&] { rs.OpenFrame(kFrameB); }), 6u);
    EXPECT_TRUE(rs.EndRS());
}

TEST_F(RSDataTest, FailedPayloadWriteIsReportedAtCloseAndLeavesAReadableFile) {
    // A file-size limit makes the payload write stop part-way (EFBIG).
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    const auto data = Bytes(1000, 6);
    {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        ASSERT_TRUE(rs.SetStatus(FILE_STATUS_SAVED));
        ASSERT_TRUE(rs.OpenFrame(kFrameA));
        ASSERT_TRUE(rs.WriteCurFrame(data.data(), 100));
        struct rlimit low = old;
        low.rlim_cur = 132 + 36 + 400;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &low), 0);
        const bool wrote = rs.WriteCurFrame(data.data() + 100, 900);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
        EXPECT_FALSE(wrote);
        EXPECT_EQ(rs.GetFrameSize(), 100u);
        // Later pieces would land out of place: refused as well.
        EXPECT_FALSE(rs.WriteCurFrame(data.data() + 100, 10));
        EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);
        // The container goes on with a consistent layout.
        ASSERT_TRUE(rs.OpenFrame(kFrameB));
        ASSERT_TRUE(rs.WriteCurFrame("B", 1));
        ASSERT_TRUE(rs.CloseFrame());
    }
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(std::filesystem::file_size(path), 132u + 36 + 100 + 36 + 1);
    const auto walk = rswalk::WalkContainer(path.c_str(), 64, {kFrameA, kFrameB});
    ASSERT_EQ(walk.payloads.size(), 2u);
    EXPECT_EQ(walk.payloads[0], std::vector<std::uint8_t>(data.begin(), data.begin() + 100));
    EXPECT_EQ(walk.payloads[1], std::vector<std::uint8_t>{'B'});
}

TEST_F(RSDataTest, PayloadMayNotReachFourGiB) {
    // /dev/null takes any amount instantly, so the 32-bit size limit can be
    // reached without 4 GiB of disk.
    CRSData rs(RS_MODE_WRITE);
    ASSERT_TRUE(rs.StartRS("/dev/null", 0));
    ASSERT_TRUE(rs.OpenFrame(kFrameA));
    const std::vector<std::uint8_t> chunk(64u << 20, 0x5A);
    const unsigned n = static_cast<unsigned>(chunk.size());
    for (int i = 0; i < 63; ++i)
        ASSERT_TRUE(rs.WriteCurFrame(chunk.data(), n));
    EXPECT_EQ(rs.GetFrameSize(), 0xFC000000u);
    EXPECT_FALSE(rs.WriteCurFrame(chunk.data(), n)); // would make exactly 4 GiB
    EXPECT_EQ(rs.GetFrameSize(), 0xFC000000u);
    EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);

    ASSERT_TRUE(rs.OpenFrame(kFrameB));
    for (int i = 0; i < 63; ++i)
        ASSERT_TRUE(rs.WriteCurFrame(chunk.data(), n));
    ASSERT_TRUE(rs.WriteCurFrame(chunk.data(), n - 1)); // the largest size there is
    EXPECT_EQ(rs.GetFrameSize(), 0xFFFFFFFFu);
    EXPECT_FALSE(rs.WriteCurFrame(chunk.data(), 1));
    EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);
}

TEST_F(RSDataTest, FrameCannotStartAtOrPastFourGiB) {
    // A sparse file already 4 GiB long: a new frame would get an offset
    // that does not fit its 32-bit field.
    WriteContainer(path, {});
    std::filesystem::resize_file(path, 0xFFFFFFFFull);
    CRSData rs(RS_MODE_WRITE);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 0));
    EXPECT_EQ(CodeOf([&] { rs.OpenFrame(kFrameA); }), 6u);
    EXPECT_EQ(std::filesystem::file_size(path), 0xFFFFFFFFull);
    std::filesystem::resize_file(path, 0xFFFFFFFEull);
    EXPECT_TRUE(rs.OpenFrame(kFrameA));
    EXPECT_TRUE(rs.EndRS());
}

TEST_F(RSDataTest, ReadsAContainerMadeByAnIndependentWriter) {
    // The fuzz seed valid3.rsf was written by a separate Python writer from
    // the file layout alone (checksum included).
    const std::string seed = std::string(SALVOR_SOURCE_DIR) + "/tests/fuzz/corpus/rsdata_fuzz/valid3.rsf";
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(seed.c_str(), 0)) << seed;
    EXPECT_TRUE(rs.CheckFile());
    FILEHEADER h;
    ASSERT_TRUE(rs.ReadFileHeader(h));
    EXPECT_EQ(rs.GetStatus(), FILE_STATUS_SAVED);
    char text[16];
    ASSERT_TRUE(rs.GetFileDescription(text, sizeof text));
    EXPECT_STREQ(text, "seed");
    rs.EndRS();

    const auto walk = rswalk::WalkContainer(seed.c_str(), 5, {kFrameA, kFrameB, kFrameC});
    EXPECT_EQ(walk.errorCodes, 0u);
    std::vector<std::uint8_t> a(16), c(40);
    for (int i = 0; i < 16; ++i)
        a[i] = static_cast<std::uint8_t>(i);
    for (int i = 0; i < 40; ++i)
        c[i] = static_cast<std::uint8_t>(100 + i);
    EXPECT_EQ(walk.payloads[0], a);
    EXPECT_EQ(walk.payloads[1], std::vector<std::uint8_t>{});
    EXPECT_EQ(walk.payloads[2], c);
}
