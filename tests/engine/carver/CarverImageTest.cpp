// Deep scans of images composed from EPS samples made by ImageMagick,
// Ghostscript and epstool (tests/fixtures/carve_eps.sh): every sample is found
// once at its start, named and filed under eps, and written back byte-exact,
// at 512- and 4096-byte sectors, behind zero and random gaps, with 4 MiB and
// 1 MiB blocks.
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace salvor::test;

namespace {

struct Sample {
    long long start;
    std::string sha256;
};

std::vector<Sample> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(R"re("start": (\d+),\s*"size": \d+,\s*"sha256": "([0-9a-f]{64})")re");
    std::vector<Sample> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), (*it)[2]});
    return out;
}

class CarverImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

} // namespace

TEST_P(CarverImage, EverySampleOnceAndByteExact) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "eps_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Sample> samples = Manifest(FixtureFile("carve_eps", base + ".json"));
    ASSERT_EQ(samples.size(), 9u);
    ImageDevice device(FixtureFile("carve_eps", base + ".img"), ss);
    CarveScan scan(device);
    scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    std::set<std::string> names, expected;
    for (std::size_t i = 0; i < samples.size(); ++i) expected.insert("eps/FILE00" + std::to_string(i) + ".EPS");
    for (const CarvedNode& f : files) names.insert(std::to_string(f.tree) + ":" + f.path);
    std::set<std::string> want;
    for (const auto& e : expected) want.insert("34:" + e);
    EXPECT_EQ(names, want);
    EXPECT_EQ(scan.Folders(), std::vector<std::string>{"34:eps/"});

    const auto map = scan.SectorMap();
    for (const Sample& s : samples) {
        auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == s.start; });
        ASSERT_NE(it, files.end()) << "no file at " << s.start;
        EXPECT_EQ(Sha256File(scan.Recover(it->node)), s.sha256) << it->path;
        EXPECT_EQ(map.count(s.start) ? map.at(s.start) : 0u, 27u) << s.start;
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));
