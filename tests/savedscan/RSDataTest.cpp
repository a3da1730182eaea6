#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <numeric>
#include <sys/resource.h>
#include <unistd.h>

#include "savedscan/CRC.h"
#include "savedscan/RSData.h"
#include "tests/savedscan/ContainerWalk.h"
#include "tests/savedscan/FileHelpers.h"
#include "tests/support/ByteWriter.h"

using rswalk::kFrameA;
using rswalk::kFrameB;
using rswalk::kFrameC;

using salvor::test::PutLe32;

namespace {

std::uint32_t Le32(const Buffer& b, std::size_t off) {
    return b[off] | std::uint32_t{b[off + 1]} << 8 | std::uint32_t{b[off + 2]} << 16 |
           std::uint32_t{b[off + 3]} << 24;
}

// A copy of a container with a header field changed and the checksum redone.
Buffer Resealed(Buffer b, std::size_t off, std::uint32_t v) {
    PutLe32(b, off, v);
    PutLe32(b, 20, 0);
    PutLe32(b, 20, CCRC::RunCRC16(b.data(), 132, 0x8005));
    return b;
}

class RSDataTest : public ::testing::Test {
protected:
    // A container over `path` (rewritten with `bytes` first when given).
    std::unique_ptr<CRSData> Open(RSMode mode = RS_MODE_READ, const Buffer* bytes = nullptr) {
        if (bytes) WriteAll(path, *bytes);
        auto rs = std::make_unique<CRSData>(mode);
        EXPECT_TRUE(rs->StartRS(path.c_str(), 0));
        return rs;
    }
    // The exception code of `op` on a container with frame A {1, 2, 3} and B {2}
    // opened in `mode`, after opening the frame `open`.
    std::uint32_t Refused(RSMode mode, const tagGUIDSIGN* open, const std::function<void(CRSData&)>& op) {
        WriteContainer(path, {{kFrameA, {1, 2, 3}}, {kFrameB, {2}}});
        auto rs = Open(mode);
        if (open && !rs->OpenFrame(*open)) return 0;
        const std::uint32_t code = CodeOf([&] { op(*rs); });
        // An open frame survives the refusal.
        EXPECT_TRUE(!open || code != 3 || rs->GetFrameSize() == (mode == RS_MODE_READ ? 3u : 0u));
        return code;
    }
    // A new container with a header and frame A open, holding "abcd".
    void StartWithFrame(CRSData& rs) {
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        ASSERT_TRUE(rs.SetStatus(FILE_STATUS_SAVED));
        ASSERT_TRUE(rs.OpenFrame(kFrameA));
        ASSERT_TRUE(rs.WriteCurFrame("abcd", 4));
    }

    TempDir dir;
    std::string path = dir.file("scan.rsf");
};

} // namespace

TEST_F(RSDataTest, HeaderLayoutChecksumStatusAndCheckFile) {
    WriteContainer(path, {});
    const auto good = ReadAll(path);
    ASSERT_EQ(good.size(), 132u);
    const std::uint8_t sig[16] = {0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A,
                                  0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB};
    EXPECT_EQ(std::memcmp(good.data(), sig, 16), 0);
    EXPECT_EQ(std::tuple(Le32(good, 16), Le32(good, 24), Le32(good, 28)), std::tuple(5800u, 1u, 0u));
    EXPECT_EQ(Resealed(good, 16, 5800), good); // CRC-16 over all 132 bytes, checksum field zeroed
    FILEHEADER h;
    EXPECT_FALSE(CRSData(RS_MODE_READ).CheckFile()); // not open

    const auto flipped = [&](std::size_t at, std::uint8_t mask) {
        auto b = good;
        b[at] ^= mask;
        return b;
    };
    // The file, whether its header is accepted, its status as read (-2:
    // GetStatus raises 2) and CheckFile's answer (signature and status only).
    const std::tuple<const char*, Buffer, bool, int, bool> cases[] = {
        {"intact", good, true, 1, true},
        {"upper half of the checksum", flipped(22, 1), false, 1, true},
        {"checksum", flipped(20, 0x40), false, 1, true},
        {"description byte", flipped(40, 1), false, 1, true},
        {"signature", flipped(3, 1), false, 1, false},
        {"version", Resealed(good, 16, 5802), false, 1, true},
        {"version with checksums", Resealed(good, 16, 5801), true, 1, true},
        {"short header", Buffer(good.begin(), good.end() - 1), false, 1, false},
        {"status 4", Resealed(good, 24, 4), true, 4, true},
        {"status 0", Resealed(good, 24, 0), true, 0, false},
        {"status 5", Resealed(good, 24, 5), true, -2, false},
        {"status 0x7FFFFFFF", Resealed(good, 24, 0x7FFFFFFF), true, -2, false},
        {"status -1", Resealed(good, 24, 0xFFFFFFFF), true, -2, false},
        {"status 0x80000000", Resealed(good, 24, 0x80000000), true, -2, false},
    };
    for (const auto& [what, bytes, accepted, status, checks] : cases) {
        SCOPED_TRACE(what);
        auto rs = Open(RS_MODE_READ, &bytes);
        EXPECT_EQ(rs->ReadFileHeader(h), accepted);
        EXPECT_EQ(CodeOf([&, status = status] { EXPECT_EQ(rs->GetStatus(), status); }),
                  status == -2 ? 2u : 0u);
        EXPECT_EQ(rs->CheckFile(), checks);
    }
}

TEST_F(RSDataTest, StatusAndDescriptionAreRewrittenInPlace) {
    char text[200];
    {
        CRSData rs(RS_MODE_WRITE);
        ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
        EXPECT_FALSE(rs.SetFileDescription("no header yet"));
        EXPECT_TRUE(rs.SetStatus(static_cast<FileStatus>(2))); // builds a fresh header
        EXPECT_TRUE(rs.SetFileDescription(std::string(150, 'd').c_str()));
        EXPECT_EQ(Le32(ReadAll(path), 28), 100u); // cut at 100 bytes
        ASSERT_TRUE(Open()->GetFileDescription(text, sizeof text));
        EXPECT_EQ(std::string(text), std::string(100, 'd'));
        EXPECT_TRUE(rs.SetStatus(static_cast<FileStatus>(3))); // keeps the description
        ASSERT_TRUE(rs.OpenFrame(kFrameA));
        ASSERT_TRUE(rs.WriteCurFrame("xyz", 3));
        EXPECT_TRUE(rs.SetFileDescription("short")); // header edits leave the open frame alone
        ASSERT_TRUE(rs.WriteCurFrame("w", 1));
    }
    auto rs = Open();
    EXPECT_EQ(rs->GetStatus(), 3);
    for (const auto& [size, want] : {std::pair{128, "short"}, {3, "sh"}, {1, ""}}) {
        ASSERT_TRUE(rs->GetFileDescription(text, size));
        EXPECT_STREQ(text, want);
    }
    EXPECT_FALSE(rs->GetFileDescription(text, 0));
    EXPECT_FALSE(rs->GetFileDescription(nullptr, 10));
    ASSERT_TRUE(rs->OpenFrame(kFrameA));
    char payload[8] = {};
    ASSERT_TRUE(rs->ReadCurFrame(payload, sizeof payload));
    EXPECT_STREQ(payload, "xyzw");
    const auto longer = Resealed(ReadAll(path), 28, 101);
    rs = Open(RS_MODE_READ, &longer);
    EXPECT_EQ(CodeOf([&] { rs->GetFileDescription(text, sizeof text); }), 2u);
}

TEST_F(RSDataTest, RefusedOperationsRaiseTheirCodes) {
    char buf[8];
    using Op = std::function<void(CRSData&)>;
    const Op write = [&](CRSData& rs) { rs.WriteCurFrame(buf, 1); };
    const Op read = [&](CRSData& rs) { rs.ReadCurFrame(buf, 1); };
    const Op remaining = [](CRSData& rs) { rs.GetFrameRemaining(); };
    // Outside their mode: 3, and an open frame survives the refusal.
    EXPECT_EQ(Refused(RS_MODE_READ, &kFrameA, write), 3u);
    EXPECT_EQ(Refused(RS_MODE_READ, &kFrameA, [](CRSData& rs) { rs.SetStatus(FILE_STATUS_SAVED); }), 3u);
    EXPECT_EQ(Refused(RS_MODE_READ, &kFrameA, [](CRSData& rs) { rs.SetFileDescription("x"); }), 3u);
    EXPECT_EQ(Refused(RS_MODE_WRITE, nullptr, [](CRSData& rs) { rs.GetStatus(); }), 3u);
    EXPECT_EQ(Refused(RS_MODE_WRITE, nullptr, [&](CRSData& rs) { rs.GetFileDescription(buf, 8); }), 3u);
    EXPECT_EQ(Refused(RS_MODE_WRITE, &kFrameB, read), 3u);
    EXPECT_EQ(Refused(RS_MODE_WRITE, &kFrameB, remaining), 3u);
    FILEHEADER h;
    EXPECT_FALSE(Open()->WriteFileHeader(h)); // no exception, just false
    // Without an open frame: 8.
    EXPECT_EQ(Refused(RS_MODE_READ, nullptr, read), 8u);
    EXPECT_EQ(Refused(RS_MODE_READ, nullptr, [](CRSData& rs) { rs.GetFrameSize(); }), 8u);
    EXPECT_EQ(Refused(RS_MODE_READ, nullptr, remaining), 8u);
    EXPECT_EQ(Refused(RS_MODE_WRITE, nullptr, write), 8u);
    EXPECT_EQ(Refused(RS_MODE_READ, &kFrameA, [&](CRSData& rs) { rs.CloseFrame(), read(rs); }), 8u);
    // A frame that is not there: 7, nothing left open, the container still usable.
    auto rs = Open();
    EXPECT_EQ(CodeOf([&] { rs->OpenFrame(kFrameC); }), 7u);
    EXPECT_EQ(CodeOf([&] { rs->GetFrameSize(); }), 8u);
    EXPECT_TRUE(rs->OpenFrame(kFrameB));
    WriteContainer(path, {});
    EXPECT_EQ(CodeOf([&] { Open()->OpenFrame(kFrameA); }), 7u);
}

TEST_F(RSDataTest, FirstFrameWithTheGuidWinsAndDamagedSignaturesAreSkippedBySize) {
    WriteContainer(path, {{kFrameB, {0xB0}}, {kFrameA, {1, 1}}, {kFrameA, {2, 2, 2}}});
    auto rs = Open();
    ASSERT_TRUE(rs->OpenFrame(kFrameA));
    EXPECT_EQ(rs->GetFrameSize(), 2u);
    ASSERT_TRUE(rs->OpenFrame(kFrameB)); // search order ignores the order of opening
    EXPECT_EQ(rs->GetFrameSize(), 1u);

    // The first frame carries kFrameA but a damaged signature: the search must
    // skip its payload (which itself looks like a kFrameA header) and find the
    // real one after it.
    Buffer decoy(36);
    std::memcpy(decoy.data(), _frSignPub.bytes, 16);
    std::memcpy(decoy.data() + 16, kFrameA.bytes, 16);
    WriteContainer(path, {{kFrameA, decoy}, {kFrameA, {7, 7, 7, 7}}});
    auto b = ReadAll(path);
    b[132] ^= 0xFF;
    rs = Open(RS_MODE_READ, &b);
    ASSERT_TRUE(rs->OpenFrame(kFrameA));
    EXPECT_EQ(rs->GetFrameSize(), 4u);
    std::uint8_t got[4] = {};
    ASSERT_TRUE(rs->ReadCurFrame(got, 4));
    EXPECT_EQ(got[3], 7);
}

TEST_F(RSDataTest, ReadingPastThePayloadReadsWhatRemains) {
    WriteContainer(path, {{kFrameA, {1, 2, 3, 4, 5}}, {kFrameB, {0xEE, 0xEE}}});
    auto rs = Open();
    ASSERT_TRUE(rs->OpenFrame(kFrameA));
    EXPECT_EQ(rs->GetFrameRemaining(), 5u);
    std::uint8_t buf[8];
    std::memset(buf, 0xCC, sizeof buf);
    ASSERT_TRUE(rs->ReadCurFrame(buf, 2));
    EXPECT_EQ(rs->GetFrameRemaining(), 3u);
    EXPECT_EQ(rs->GetStatus(), 1); // header reads between payload reads keep the place
    const std::uint8_t want[8] = {3, 4, 5, 0xCC, 0xCC, 0xCC, 0xCC, 0xCC};
    for (int round = 0; round < 2; ++round) { // the next frame's bytes are never read
        ASSERT_TRUE(rs->ReadCurFrame(buf, 8));
        EXPECT_EQ(rs->GetFrameRemaining(), 0u);
        EXPECT_EQ(std::memcmp(buf, want, 8), 0);
    }
}

TEST_F(RSDataTest, RoundTripOfSeveralFramesIsByteIdentical) {
    const std::vector<Frame> frames = {
        {kFrameA, {}},
        {kFrameB, Bytes(1, 3)},
        {kFrameC, Bytes(4096, 4)},
        {{{0x44, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x44}}, Bytes(64u << 20, 5)},
    };
    WriteContainer(path, frames, FILE_STATUS_SAVED, true);
    std::uintmax_t expected = 132;
    for (const auto& f : frames)
        expected += 36 + f.payload.size();
    EXPECT_EQ(std::filesystem::file_size(path), expected);

    // Read back in reverse order, in pieces of 1000 bytes.
    auto rs = Open();
    EXPECT_EQ(rs->GetStatus(), FILE_STATUS_SAVED); // the header is accepted
    for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
        ASSERT_TRUE(rs->OpenFrame(it->guid));
        Buffer got;
        ASSERT_TRUE(rswalk::ReadWholeFrame(*rs, 1000, got));
        EXPECT_TRUE(got == it->payload) << "frame of " << it->payload.size() << " bytes";
        ASSERT_TRUE(rs->CloseFrame());
    }
    EXPECT_TRUE(rs->EndRS());
}

TEST_F(RSDataTest, StartRSRefusesBadPathsAndAppendsWithoutCreate) {
    CRSData r(RS_MODE_READ), w(RS_MODE_WRITE);
    for (const char* bad : {static_cast<const char*>(nullptr), "", "/nonexistent-salvor/missing.rsf"})
        EXPECT_FALSE(r.StartRS(bad, 0)) << (bad ? bad : "null");
    EXPECT_FALSE(w.StartRS(dir.file("no/such/dir.rsf").c_str(), 1));
    EXPECT_TRUE(w.EndRS());
    // A non-truncating write open keeps what is there and appends frames.
    WriteContainer(path, {{kFrameA, {1}}});
    const auto before = ReadAll(path);
    ASSERT_TRUE(w.StartRS(path.c_str(), 0));
    EXPECT_TRUE(w.CloseFrame()); // without a frame: changes nothing
    EXPECT_TRUE(w.CloseFrame());
    EXPECT_EQ(ReadAll(path), before);
    ASSERT_TRUE(w.OpenFrame(kFrameB));
    ASSERT_TRUE(w.WriteCurFrame("\x02", 1));
    ASSERT_TRUE(w.EndRS());
    const auto walk = rswalk::WalkContainer(path.c_str(), 7, {kFrameA, kFrameB});
    EXPECT_EQ(walk.payloads[0], Buffer{1});
    EXPECT_EQ(walk.payloads[1], Buffer{2});
}

TEST_F(RSDataTest, EndRSBackPatchesAFrameLeftOpen) {
    {
        CRSData rs(RS_MODE_WRITE);
        StartWithFrame(rs); // no CloseFrame: the destructor ends it
    }
    const auto walk = rswalk::WalkContainer(path.c_str(), 3, {kFrameA});
    EXPECT_EQ(walk.payloads[0], (Buffer{'a', 'b', 'c', 'd'}));
}

TEST_F(RSDataTest, FailedHeaderRewriteInCloseFrameRaisesSix) {
    CRSData rs(RS_MODE_WRITE);
    StartWithFrame(rs);
    // Swap the container's descriptor for a read-only one: every later write
    // fails as on a medium that went away.
    const int fd = FindOpenDescriptor(path);
    ASSERT_GE(fd, 0);
    const int ro = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::dup2(ro, fd), fd);
    ::close(ro);
    EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);
    EXPECT_EQ(CodeOf([&] { rs.GetFrameSize(); }), 8u); // the frame is closed all the same
    EXPECT_EQ(CodeOf([&] { rs.OpenFrame(kFrameB); }), 6u);
    EXPECT_TRUE(rs.EndRS());

    // Every frame closed, then the descriptor lost: the end is a failure.
    CRSData lost(RS_MODE_WRITE);
    StartWithFrame(lost);
    lost.CloseFrame();
    ::close(FindOpenDescriptor(path));
    EXPECT_FALSE(lost.EndRS());
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
        EXPECT_FALSE(rs.WriteCurFrame(data.data() + 100, 10)); // would land out of place
        EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);
        // The container goes on with a consistent layout.
        ASSERT_TRUE(rs.OpenFrame(kFrameB));
        ASSERT_TRUE(rs.WriteCurFrame("B", 1));
        ASSERT_TRUE(rs.CloseFrame());
    }
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(std::filesystem::file_size(path), 132u + 36 + 100 + 36 + 1);
    const auto walk = rswalk::WalkContainer(path.c_str(), 64, {kFrameA, kFrameB});
    EXPECT_EQ(walk.payloads[0], Buffer(data.begin(), data.begin() + 100));
    EXPECT_EQ(walk.payloads[1], Buffer{'B'});
}

TEST_F(RSDataTest, PayloadsAndFramesStayBelowFourGiB) {
    // /dev/null takes any amount instantly, so the 32-bit size limit can be
    // reached without 4 GiB of disk: 63 chunks, then either one more (exactly
    // 4 GiB) or the largest size there is followed by one byte.
    CRSData rs(RS_MODE_WRITE);
    ASSERT_TRUE(rs.StartRS("/dev/null", 0));
    const Buffer chunk(64u << 20, 0x5A);
    const auto n = static_cast<unsigned>(chunk.size());
    for (unsigned extra : {0u, n - 1}) {
        ASSERT_TRUE(rs.OpenFrame(extra ? kFrameB : kFrameA));
        for (int i = 0; i < 63; ++i)
            ASSERT_TRUE(rs.WriteCurFrame(chunk.data(), n));
        EXPECT_TRUE(rs.WriteCurFrame(chunk.data(), extra)); // nothing for 0
        EXPECT_EQ(rs.GetFrameSize(), 0xFC000000u + extra);
        EXPECT_FALSE(rs.WriteCurFrame(chunk.data(), extra ? 1 : n));
        EXPECT_EQ(rs.GetFrameSize(), 0xFC000000u + extra);
        EXPECT_EQ(CodeOf([&] { rs.CloseFrame(); }), 6u);
    }
    // A sparse file already 4 GiB long: a new frame would get an offset that
    // does not fit its 32-bit field.
    WriteContainer(path, {});
    std::filesystem::resize_file(path, 0xFFFFFFFFull);
    auto big = Open(RS_MODE_WRITE);
    EXPECT_EQ(CodeOf([&] { big->OpenFrame(kFrameA); }), 6u);
    EXPECT_EQ(std::filesystem::file_size(path), 0xFFFFFFFFull);
    std::filesystem::resize_file(path, 0xFFFFFFFEull);
    EXPECT_TRUE(big->OpenFrame(kFrameA));
    EXPECT_TRUE(big->EndRS());
}

TEST_F(RSDataTest, ReadsAContainerMadeByAnIndependentWriter) {
    // The fuzz seed valid3.rsf was written by a separate Python writer from
    // the file layout alone (checksum included).
    const std::string seed = std::string(SALVOR_SOURCE_DIR) + "/tests/fuzz/corpus/rsdata_fuzz/valid3.rsf";
    CRSData rs(RS_MODE_READ);
    ASSERT_TRUE(rs.StartRS(seed.c_str(), 0)) << seed;
    EXPECT_TRUE(rs.CheckFile());
    EXPECT_EQ(rs.GetStatus(), FILE_STATUS_SAVED); // the header is accepted
    char text[16];
    ASSERT_TRUE(rs.GetFileDescription(text, sizeof text));
    EXPECT_STREQ(text, "seed");
    const auto walk = rswalk::WalkContainer(seed.c_str(), 5, {kFrameA, kFrameB, kFrameC});
    EXPECT_EQ(walk.errorCodes, 0u);
    Buffer a(16), c(40);
    std::iota(a.begin(), a.end(), 0);
    std::iota(c.begin(), c.end(), 100);
    EXPECT_EQ(walk.payloads, (std::vector<std::optional<Buffer>>{a, Buffer{}, c}));
}
#include "tests/support/ByteWriter.h"
