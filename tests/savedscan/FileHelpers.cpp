#include "tests/savedscan/FileHelpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

Buffer ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const Buffer& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int FindOpenDescriptor(const std::string& path) {
    const std::string want = std::filesystem::canonical(path).string();
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(entry.path(), ec);
        if (!ec && target.string() == want) return std::stoi(entry.path().filename().string());
    }
    return -1;
}

Buffer Bytes(std::size_t n, std::uint32_t seed) {
    Buffer v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = static_cast<std::uint8_t>(rng());
    return v;
}

void WriteContainer(const std::string& path, const std::vector<Frame>& frames, std::uint32_t status,
                    bool uneven) {
    CRSData rs(RS_MODE_WRITE);
    ASSERT_TRUE(rs.StartRS(path.c_str(), 1));
    FILEHEADER h;
    h.status = status;
    ASSERT_TRUE(rs.WriteFileHeader(h));
    for (const auto& f : frames) {
        ASSERT_TRUE(rs.OpenFrame(f.guid));
        ASSERT_TRUE(rs.WriteCurFrame(f.payload.data(), 0)); // an empty piece is no failure
        for (std::size_t off = 0, piece = 1; off < f.payload.size(); piece = piece * 3 + 1) {
            const std::size_t n = uneven ? std::min(piece, f.payload.size() - off) : f.payload.size() - off;
            ASSERT_TRUE(rs.WriteCurFrame(f.payload.data() + off, static_cast<unsigned>(n)));
            off += n;
        }
        EXPECT_EQ(rs.GetFrameSize(), f.payload.size());
        ASSERT_TRUE(rs.CloseFrame());
    }
    ASSERT_TRUE(rs.EndRS());
}

std::uint32_t CodeOf(const std::function<void()>& op) {
    try {
        op();
    } catch (const CRSException& e) {
        return e.GetErrorcode();
    }
    return 0;
}
