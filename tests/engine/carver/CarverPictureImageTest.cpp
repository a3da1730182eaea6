// Deep scans of images composed from picture samples made by ImageMagick and
// png2icns, a TrueType font and a drawing by ezdxf (tests/fixtures/carve_pictures.sh) at 512- and 4096-byte sectors,
// behind zero and random gaps, with 4 MiB and 1 MiB blocks: every sample is
// found once at its start with its type, filed under its extension, named as
// its format names it, and written back byte-exact (the XML family to
// within two bytes after their data).
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

using namespace salvor::test;

namespace {

struct Placed {
    long long start;
    unsigned type;
    std::string folder;
};

std::vector<Placed> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(R"re("start": (\d+),[^}]*"type": (\d+),\s*"folder": "([a-z0-9]+)")re");
    std::vector<Placed> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), static_cast<unsigned>(std::stoul((*it)[2])), (*it)[3]});
    return out;
}

std::vector<std::uint8_t> Sample(const std::string& name) {
    std::ifstream in(FixtureFile("picture_samples", name), std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The samples in the order carve_pictures.sh places them (twice).
const char* const kFiles[] = {"b.png", "h.png",  "c.gif",      "d.bmp", "d5.bmp", "g.ico",  "g.cur",
                              "h.icns", "f.psd", "y.ttf",      "y_crlf.dxf", "y.emf", "y.wmf", "y.svg",
                              "y.gpx",  "y.plist", "y16.3ds"};

class CarverPictureImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

} // namespace

TEST_P(CarverPictureImage, EverySampleOnceNamedFiledAndByteExact) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "pic_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Placed> placed = Manifest(FixtureFile("carve_pictures", base + ".json"));
    ASSERT_EQ(placed.size(), 2 * std::size(kFiles));
    ImageDevice device(FixtureFile("carve_pictures", base + ".img"), ss);
    CarveScan scan(device);
    scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    EXPECT_EQ(files.size(), placed.size());
    const auto map = scan.SectorMap();
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const Placed& p = placed[i];
        auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
        ASSERT_NE(it, files.end()) << "no file at " << p.start;
        EXPECT_EQ(it->tree, 34);
        EXPECT_EQ(map.count(p.start) ? map.at(p.start) : 0u, p.type) << it->path;
        const std::string ext = p.folder == "icns" ? "icns" : [&] {
            std::string e = p.folder;
            for (char& c : e) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            return e;
        }();
        // Streaming records' names carry the start sector and the sector that settled the size.
        const bool streamed = p.type == 51 || p.type == 25 || p.type == 91 || p.type == 130 || p.type == 131 || p.type == 1;
        const std::string stem = streamed ? std::to_string(p.start) + R"(-\d+_)"
                                 : p.type == 54 ? std::to_string(p.start) + R"(-\d+)"
                                                : "FILE";
        EXPECT_TRUE(std::regex_match(it->path, std::regex(p.folder + "/" + stem + R"(\d{3}\.)" + ext))) << it->path;
        const std::vector<std::uint8_t> sample = Sample(kFiles[i % std::size(kFiles)]);
        const std::vector<std::uint8_t> carved = scan.Read(it->node);
        if (p.type == 91 || p.type == 130 || p.type == 131) {
            // Text ends where its last sector's data does, give or take the two bytes its rule adds.
            EXPECT_TRUE(carved.size() >= sample.size() && carved.size() <= sample.size() + 2 &&
                        std::equal(sample.begin(), sample.end(), carved.begin()))
                << it->path << ": " << carved.size() << " bytes, sample " << sample.size();
        } else {
            EXPECT_TRUE(carved == sample) << it->path << ": " << carved.size() << " bytes, not " << sample.size();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverPictureImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));
