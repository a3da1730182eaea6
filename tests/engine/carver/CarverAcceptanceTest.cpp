// The carver over images composed from every family's samples
// (tests/fixtures/carve_all.sh): at 512- and 4096-byte sectors, behind zero
// and random gaps with zero and random last-sector tails, and with random
// bytes after every sample (as on a used card), read in 4 MiB and
// 1 MiB blocks, with the gaps marked used in the scan's bit map, with one
// block unreadable, and with 40 small pictures packed closely. Every sample
// meets its manifest row: found once at its start with its sector-map type,
// filed on its path (by label where it has one) and its bytes as its row
// judges them. A full carve after a stopped one in the same process gives
// what a full carve in a fresh process gives.
#include "engine/common/FormatTable.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

using namespace salvor::test;

namespace {

struct Row {
    long long start = 0, size = 0;
    unsigned type = 0;
    std::string path, name, label, judge;
};

// A JSON string's text: escaped characters, and \uXXXX as UTF-8.
std::string Unescape(const std::string& json) {
    std::string out;
    for (std::size_t i = 0; i < json.size(); ++i) {
        if (json[i] != '\\' || i + 1 >= json.size()) {
            out += json[i];
        } else if (json[++i] != 'u' || i + 4 >= json.size()) {
            out += json[i];
        } else {
            const unsigned c = static_cast<unsigned>(std::stoul(json.substr(i + 1, 4), nullptr, 16));
            i += 4;
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | c >> 6);
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | c >> 12);
                out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
    }
    return out;
}

std::vector<Row> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(
        R"re("start": (\d+),\s*"size": (\d+),\s*"sha256": "[0-9a-f]+",\s*"type": (\d+),\s*"folder": "((?:[^"\\]|\\.)*)",)re"
        R"re(\s*"name": "([^"]*)",\s*"label": (?:null|"([^"]*)"),\s*"judge": "([a-z0-9]+)")re");
    std::vector<Row> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), std::stoll((*it)[2]), static_cast<unsigned>(std::stoul((*it)[3])),
                       Unescape((*it)[4]), (*it)[5], (*it)[6], (*it)[7]});
    return out;
}

// "" when the carved bytes meet the row's judge; `room` is the bytes from the
// sample's start to the next sample's.
std::string Judge(const Row& row, const std::vector<std::uint8_t>& sample, const std::vector<std::uint8_t>& carved,
                  unsigned ss, unsigned long long room) {
    if (row.judge == "next")
        return carved.size() >= sample.size() && carved.size() <= room &&
                       std::equal(sample.begin(), sample.end(), carved.begin())
                   ? ""
                   : "not the sample and at most up to the next one: " + std::to_string(carved.size()) + " bytes for " +
                         std::to_string(sample.size());
    if (row.judge == "exact")
        return carved == sample ? ""
                                : "not byte-identical: " + std::to_string(carved.size()) + " bytes for " +
                                      std::to_string(sample.size());
    if (row.judge == "tail2")
        return carved.size() >= sample.size() && carved.size() <= sample.size() + 2 &&
                       std::equal(sample.begin(), sample.end(), carved.begin())
                   ? ""
                   : "not the sample and at most two bytes";
    if (row.judge == "sectors") {
        if (carved.size() % ss) return "not whole sectors";
        return JudgeCarve(sample, carved, ss);
    }
    if (row.judge.starts_with("extra")) return JudgeCarve(sample, carved, ss, std::stoull(row.judge.substr(5)));
    if (row.judge == "sectors2") return JudgeCarve(sample, carved, ss, 2ull * ss);
    if (row.judge.starts_with("prefix")) {
        const std::uint64_t over = std::stoull(row.judge.substr(6));
        return carved.size() >= sample.size() && carved.size() - sample.size() <= over &&
                       std::equal(sample.begin(), sample.end(), carved.begin())
                   ? ""
                   : "not the sample and at most " + std::to_string(over) + " bytes";
    }
    return JudgeCarve(sample, carved, ss);
}

struct Variant {
    const char* image;
    unsigned ss;
    bool smallBlocks, gapsUsed, failBlock;
};

void PrintTo(const Variant& v, std::ostream* out) {
    *out << v.image << (v.smallBlocks ? " 1 MiB blocks" : "") << (v.gapsUsed ? " gaps used" : "")
         << (v.failBlock ? " a failed block" : "");
}

// Every row of the manifest against the scan's files, but those reaching
// into `lost` (sectors that could not be read).
void CheckRows(const std::string& base, unsigned ss, CarveScan& scan, std::pair<long long, long long> lost = {}) {
    const std::vector<Row> rows = Manifest(FixtureFile("carve_all", base + ".json"));
    ASSERT_FALSE(rows.empty());
    std::ifstream in(FixtureFile("carve_all", base + ".img"), std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<CarvedNode> files = scan.Files();
    const auto map = scan.SectorMap();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name + " at " + std::to_string(row.start));
        const long long last = row.start + (row.size - 1) / ss;
        if (lost.second && row.start < lost.first + lost.second && last >= lost.first) continue;
        std::vector<const CarvedNode*> at;
        for (const CarvedNode& f : files)
            if (f.start == row.start) at.push_back(&f);
        ASSERT_EQ(at.size(), 1u);
        const CarvedNode& f = *at[0];
        EXPECT_EQ(map.count(row.start) ? map.at(row.start) : 0u, row.type);
        EXPECT_EQ(f.tree, row.label.empty() ? 34 : 36) << f.path;
        std::string pattern = row.path;
        if (pattern == "auto") {
            // Filed by extension: the type's folder and extension.
            const std::string ext = FormatExtension(row.type);
            std::string folder = ext;
            for (char& c : folder) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            pattern = folder + "/[^/]+\\." + ext;
        }
        EXPECT_TRUE(std::regex_match(f.path, std::regex(pattern))) << f.path;
        if (!row.label.empty()) {
            EXPECT_TRUE(f.path.starts_with(row.label + "/")) << f.path;
        }
        const auto from = image.begin() + row.start * ss;
        long long next = static_cast<long long>(image.size() / ss);
        for (const Row& other : rows)
            if (other.start > row.start) next = std::min(next, other.start);
        EXPECT_EQ(Judge(row, std::vector<std::uint8_t>(from, from + row.size), scan.Read(f.node), ss,
                        static_cast<unsigned long long>(next - row.start) * ss),
                  "")
            << f.path;
    }
    // Nothing is carved from the gaps: anything else starts inside a sample.
    for (const CarvedNode& f : files) {
        const bool inside = std::any_of(rows.begin(), rows.end(), [&](const Row& row) {
            return f.start >= row.start && f.start < row.start + (row.size + ss - 1) / ss;
        });
        EXPECT_TRUE(inside) << f.path << " at " << f.start;
    }
}

// The gaps between samples (and the image's lead and tail) as used bit ranges.
std::vector<std::pair<long long, long long>> Gaps(const std::string& base, unsigned ss, long long sectors) {
    std::vector<std::pair<long long, long long>> out;
    long long next = 0;
    for (const Row& row : Manifest(FixtureFile("carve_all", base + ".json"))) {
        out.emplace_back(next, row.start - next);
        next = row.start + (row.size + ss - 1) / ss;
    }
    out.emplace_back(next, sectors - next);
    return out;
}

class CarverAcceptance : public ::testing::TestWithParam<Variant> {};

// A carve's files as lines "tree:path start size", in the order shown.
std::string Listing(CarveScan& scan) {
    std::ostringstream out;
    for (const CarvedNode& f : scan.Files()) out << f.tree << ':' << f.path << ' ' << f.start << ' ' << f.size << '\n';
    return out.str();
}

std::string FullCarveListing(unsigned blockSectors) {
    ImageDevice device(FixtureFile("carve_all", "all_512_random.img"), 512);
    CarveScan scan(device);
    scan.blockSectors = blockSectors;
    EXPECT_EQ(scan.Run(), 0u);
    return Listing(scan);
}

} // namespace

TEST_P(CarverAcceptance, EverySampleMeetsItsRow) {
    const Variant v = GetParam();
    ImageDevice device(FixtureFile("carve_all", std::string(v.image) + ".img"), v.ss);
    CarveScan scan(device);
    scan.blockSectors = v.smallBlocks ? (1u << 20) / v.ss : 0;
    if (v.gapsUsed) scan.usedBits = Gaps(v.image, v.ss, device.GetTotalSectors());
    std::pair<long long, long long> lost;
    if (v.failBlock) {
        // The third block cannot be read; the samples in it may be lost, no other.
        const long long block = scan.blockSectors ? scan.blockSectors : (4ll << 20) / v.ss;
        lost = {2 * block, block};
        device.FailSectors(lost.first, lost.second);
    }
    ScopedTz utc("UTC");
    ASSERT_EQ(scan.Run(), 0u);
    CheckRows(v.image, v.ss, scan, lost);
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverAcceptance,
                         ::testing::Values(Variant{"all_512_zero", 512, false, false, false},
                                           Variant{"all_512_random", 512, true, true, false},
                                           Variant{"all_4096_zero", 4096, true, false, true},
                                           Variant{"all_4096_random", 4096, false, true, false},
                                           Variant{"all_512_tail", 512, false, false, false},
                                           Variant{"all_4096_tail", 4096, true, false, false},
                                           Variant{"all_pack", 512, true, false, false}),
                         [](const auto& info) { return std::string(info.param.image); });

// Every carve starts fresh: a full carve after a stopped one, in the same
// process, lists the same files (trees, paths, names, starts and sizes) as a
// full carve in a new process, run here as a child of this test.
TEST(CarverFreshState, FullCarveAfterAStoppedOneEqualsAFreshProcess) {
    const unsigned blocks = (1u << 20) / 512;
    if (const char* out = std::getenv("SALVOR_CARVE_LISTING")) {
        std::ofstream(out) << FullCarveListing(blocks);
        return;
    }
    {
        ImageDevice device(FixtureFile("carve_all", "all_512_random.img"), 512);
        CarveScan stopped(device);
        stopped.blockSectors = blocks;
        stopped.progress.StopAfter(10);
        ASSERT_EQ(stopped.Run(), 0u);
        ASSERT_FALSE(stopped.Files().empty());
    }
    const std::string again = FullCarveListing(blocks);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    TempDir dir;
    const std::string listing = dir.file("fresh.txt");
    std::string out;
    ASSERT_EQ(RunCommand("SALVOR_CARVE_LISTING='" + listing + "' '" + exe +
                             "' --gtest_filter=CarverFreshState.FullCarveAfterAStoppedOneEqualsAFreshProcess",
                         &out),
              0)
        << out;
    const std::string fresh = ReadText(listing);
    EXPECT_FALSE(fresh.empty());
    EXPECT_EQ(again, fresh);
}
