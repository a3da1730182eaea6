// Deep scans of images composed from the archive, text and small-format
// samples (tests/fixtures/carve_archives.sh) at 512- and 4096-byte sectors,
// behind zero and random gaps, with 4 MiB and 1 MiB blocks: every sample is
// found at its start with its type and carved byte-exact, or as its format
// allows (within one sector past its end; a tar through its end blocks; the
// fixed 1 MiB of Money files and version-21 Outlook folders). Nothing is
// carved from the gaps. Forty gzip members scanned with 1 MiB blocks: those
// sized from the device are named from the header's "f".
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

using namespace salvor::test;

namespace {

struct Placed {
    long long start;
    std::size_t size;
    std::string sha;
    unsigned type;
    std::string file;
};

std::vector<Placed> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(
        R"re("start": (\d+),\s*"size": (\d+),\s*"sha256": "([0-9a-f]+)",\s*"type": (\d+),\s*"folder": "([^"]+)")re");
    std::vector<Placed> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), std::stoul((*it)[2]), (*it)[3],
                       static_cast<unsigned>(std::stoul((*it)[4])), (*it)[5]});
    return out;
}

std::vector<std::uint8_t> Sample(const Placed& p) {
    static const std::string dir = Fixture("archive_samples");
    const std::string path = dir + "/" + p.file;
    EXPECT_EQ(Sha256File(path), p.sha) << p.file;
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// How a sample may be carved, beyond byte-exact.
enum class Fit { Exact, WithinSector, TarEnd, FixedMiB };
Fit FitOf(const std::string& f) {
    static const std::set<std::string> within = {"x.gz", "x9.gz", "x1.gz", "big.gz", "y.lzh", "y5.lzh",
                                                 "y16.html", "y.rar", "y.dmg"};
    if (within.count(f)) return Fit::WithinSector;
    if (f.ends_with(".tar")) return Fit::TarEnd;
    if (f == "y21.pst" || f == "y.mny") return Fit::FixedMiB;
    return Fit::Exact;
}

void CheckCarve(const Placed& p, const std::vector<std::uint8_t>& sample, const std::vector<std::uint8_t>& carved,
                unsigned ss, unsigned long long imageBytes) {
    switch (FitOf(p.file)) {
    case Fit::Exact:
        EXPECT_TRUE(carved == sample) << p.file << ": " << carved.size() << " bytes, not " << sample.size();
        break;
    case Fit::WithinSector: EXPECT_EQ(JudgeCarve(sample, carved, ss), "") << p.file; break;
    case Fit::TarEnd: {
        // The archive's last entry, then its two zero end blocks; the record
        // padding after them may be left. The entries are walked by their
        // headers: the last one's data may end in zeros (a tar's end blocks).
        std::size_t end = 0;
        while (end + 512 <= sample.size() && std::memcmp(sample.data() + end + 257, "ustar", 5) == 0)
            end += 512 + (std::stoul(std::string(sample.begin() + end + 124, sample.begin() + end + 135), nullptr, 8) + 511) / 512 * 512;
        end += 1024;
        ASSERT_EQ(carved.size(), end) << p.file;
        EXPECT_TRUE(std::equal(carved.begin(), carved.end(), sample.begin())) << p.file;
        break;
    }
    case Fit::FixedMiB:
        // A megabyte, or less where that would run to the device's end: then
        // up to the next file found.
        EXPECT_LE(carved.size(), std::min<unsigned long long>(0x100000, imageBytes - p.start * ss)) << p.file;
        EXPECT_TRUE(carved.size() >= sample.size() && std::equal(sample.begin(), sample.end(), carved.begin()))
            << p.file;
        break;
    }
}

class CarverArchiveImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

} // namespace

TEST_P(CarverArchiveImage, EverySampleFoundTypedAndSized) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "arc_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Placed> placed = Manifest(FixtureFile("carve_archives", base + ".json"));
    ASSERT_EQ(placed.size(), 41u);
    const std::string image = FixtureFile("carve_archives", base + ".img");
    const unsigned long long imageBytes = std::filesystem::file_size(image);
    ImageDevice device(image, ss);
    CarveScan scan(device);
    scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    const auto map = scan.SectorMap();
    for (const Placed& p : placed) {
        auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
        ASSERT_NE(it, files.end()) << "no file at " << p.start << " (" << p.file << ")";
        EXPECT_EQ(map.count(p.start) ? map.at(p.start) : 0u, p.type) << p.file;
        CheckCarve(p, Sample(p), scan.Read(it->node), ss, imageBytes);
    }
    // Anything else carved lies inside a sample (a picture inside the tar).
    for (const CarvedNode& f : files) {
        const bool inside = std::any_of(placed.begin(), placed.end(), [&](const Placed& p) {
            return f.start >= p.start && f.start < p.start + static_cast<long long>((p.size + ss - 1) / ss);
        });
        EXPECT_TRUE(inside) << f.path << " at " << f.start;
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverArchiveImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));

TEST(CarverArchiveImage, FortyGzipMembersNamedFromTheirHeader) {
    for (const char* gaps : {"zero", "random"}) {
        const std::string base = std::string("gz40_") + gaps;
        const std::vector<Placed> placed = Manifest(FixtureFile("carve_archives", base + ".json"));
        ASSERT_EQ(placed.size(), 40u);
        ImageDevice device(FixtureFile("carve_archives", base + ".img"), 512);
        CarveScan scan(device);
        scan.blockSectors = 2048;
        ASSERT_EQ(scan.Run(), 0u);
        const std::vector<CarvedNode> files = scan.Files();
        EXPECT_EQ(files.size(), 40u) << gaps;
        for (const Placed& p : placed) {
            auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
            ASSERT_NE(it, files.end()) << "no member at " << p.start;
            // Every member is sized by inflating it from the device, which
            // names it from its header.
            const std::string stem = p.file == "big.gz" ? "big" : "f";
            EXPECT_TRUE(std::regex_match(it->path, std::regex("gz/" + stem + R"(\d{3}\.GZ)"))) << it->path;
            EXPECT_EQ(JudgeCarve(Sample(p), scan.Read(it->node), 512), "") << it->path;
        }
    }
}

// A tar of tars six deep by Python's tarfile, twice, a plain tar between
// them: each outer tar is one file, through its end blocks, holding every
// inner tar; no inner tar is listed on its own, with 4 MiB and 1 MiB blocks.
TEST(CarverArchiveImage, TarOfTarsIsOneTar) {
    for (unsigned ss : {512u, 4096u})
        for (const char* gaps : {"zero", "random"})
            for (bool smallBlocks : {false, true}) {
                const std::string base = "tars_" + std::to_string(ss) + "_" + gaps;
                SCOPED_TRACE(base + (smallBlocks ? " 1 MiB" : " 4 MiB"));
                const std::vector<Placed> placed = Manifest(FixtureFile("carve_archives", base + ".json"));
                ASSERT_EQ(placed.size(), 3u);
                const std::string image = FixtureFile("carve_archives", base + ".img");
                std::ifstream in(image, std::ios::binary);
                const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                                      std::istreambuf_iterator<char>());
                ImageDevice device(image, ss);
                CarveScan scan(device);
                scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
                ASSERT_EQ(scan.Run(), 0u);
                const std::vector<CarvedNode> files = scan.Files();
                // The pictures and the song inside the plain tar are found too.
                EXPECT_EQ(std::count_if(files.begin(), files.end(),
                                        [](const CarvedNode& f) { return f.path.ends_with(".TAR"); }),
                          3);
                for (Placed p : placed) {
                    auto it = std::find_if(files.begin(), files.end(),
                                           [&](const CarvedNode& f) { return f.start == p.start; });
                    ASSERT_NE(it, files.end()) << "no tar at " << p.start;
                    const auto at = bytes.begin() + p.start * ss;
                    p.file = p.size == placed[1].size ? "y.tar" : "tt.tar";
                    CheckCarve(p, std::vector<std::uint8_t>(at, at + static_cast<long long>(p.size)),
                               scan.Read(it->node), ss, bytes.size());
                }
            }
}

// The same images cut inside the last tar of tars, as a copy that stopped
// there: that tar runs whole to the device's end (its own members and the
// tars inside them do not end it), the two before it stay as they were.
TEST(CarverArchiveImage, TarOfTarsCutByTheDeviceEndRunsToIt) {
    for (unsigned ss : {512u, 4096u})
        for (const char* gaps : {"zero", "random"}) {
            const std::string base = "tars_" + std::to_string(ss) + "_" + gaps;
            SCOPED_TRACE(base);
            const std::vector<Placed> placed = Manifest(FixtureFile("carve_archives", base + ".json"));
            ASSERT_EQ(placed.size(), 3u);
            std::ifstream in(FixtureFile("carve_archives", base + ".img"), std::ios::binary);
            std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // 60 % into the last one, on a sector border.
            const std::size_t cut = (placed[2].start * ss + placed[2].size * 3 / 5) / ss * ss;
            bytes.resize(cut);
            TempDir dir;
            const std::string image = dir.file("cut.img");
            std::ofstream(image, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
            ImageDevice device(image, ss);
            CarveScan scan(device);
            ASSERT_EQ(scan.Run(), 0u);
            const std::vector<CarvedNode> files = scan.Files();
            EXPECT_EQ(std::count_if(files.begin(), files.end(),
                                    [](const CarvedNode& f) { return f.path.ends_with(".TAR"); }),
                      3);
            for (std::size_t i = 0; i < placed.size(); ++i) {
                Placed p = placed[i];
                auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
                ASSERT_NE(it, files.end()) << "no tar at " << p.start;
                const auto at = bytes.begin() + p.start * ss;
                if (i < 2) {
                    p.file = i == 1 ? "y.tar" : "tt.tar";
                    CheckCarve(p, std::vector<std::uint8_t>(at, at + static_cast<long long>(p.size)),
                               scan.Read(it->node), ss, bytes.size());
                } else {
                    EXPECT_TRUE(scan.Read(it->node) == std::vector<std::uint8_t>(at, bytes.end()))
                        << it->size << " bytes of " << bytes.end() - at;
                }
            }
        }
}

// A tar whose writing stopped 3,000 bytes into its last member, whose header
// claims 1 GiB, then at the next sector a plain tar, alone, after a JPEG and
// a ZIP, or after a second stopped tar: the plain tar is carved on its own
// through its end blocks, the JPEG and ZIP byte-exact, and each stopped tar
// at its start keeps every byte it wrote. And a tar holding the plain tar at
// a member's first data byte, the member going on 96 KiB past it: both tars
// are carved through their end blocks, the plain one on its own.
TEST(CarverArchiveImage, TarAfterAMemberClaimingMoreThanItHoldsIsCarved) {
    for (unsigned ss : {512u, 4096u})
        for (const std::string shape : {"alone", "between", "twice", "inside"}) {
            const std::string base = shape == "inside" ? "inside_" + std::to_string(ss)
                                                       : "stopped_" + std::to_string(ss) + "_" + shape;
            SCOPED_TRACE(base);
            const std::vector<Placed> placed = Manifest(FixtureFile("carve_archives", base + ".json"));
            ASSERT_EQ(placed.size(), shape == "alone" || shape == "inside" ? 2u : shape == "twice" ? 3u : 4u);
            const std::string image = FixtureFile("carve_archives", base + ".img");
            std::ifstream in(image, std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ImageDevice device(image, ss);
            CarveScan scan(device);
            ASSERT_EQ(scan.Run(), 0u);
            const std::vector<CarvedNode> files = scan.Files();
            for (Placed p : placed) {
                auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
                ASSERT_NE(it, files.end()) << "no file at " << p.start << " (" << p.file << ")";
                const auto at = bytes.begin() + p.start * ss;
                const std::vector<std::uint8_t> sample(at, at + static_cast<long long>(p.size));
                const std::vector<std::uint8_t> carved = scan.Read(it->node);
                if (p.file == "stopped.tar") {
                    EXPECT_TRUE(carved.size() >= p.size && std::equal(sample.begin(), sample.end(), carved.begin()))
                        << carved.size() << " bytes of " << p.size;
                    continue;
                }
                CheckCarve(p, sample, carved, ss, bytes.size());
            }
        }
}
