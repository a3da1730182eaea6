// Deep scans of images composed from photographs made by ImageMagick and
// tagged by exiftool (tests/fixtures/carve_photo.sh): every picture carved
// byte-exact, named by its camera and filed under its label, at 512- and
// 4096-byte sectors behind zero and random gaps; and 40 small pictures packed
// closely.
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace salvor::test;

namespace {

struct Photo {
    long long start;
    std::string sha256, name;
};

std::vector<Photo> Photos(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(
        R"re("start": (\d+),\s*"size": \d+,\s*"sha256": "([0-9a-f]{64})",[^}]*"name": "([^"]+)")re");
    std::vector<Photo> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), (*it)[2], (*it)[3]});
    return out;
}

// The carved file starting at a sector (in the label tree when labelled, else
// by category), or null; at most one.
const CarvedNode* At(const std::vector<CarvedNode>& files, long long start) {
    const CarvedNode* found = nullptr;
    for (const CarvedNode& f : files)
        if (f.start == start) {
            EXPECT_EQ(found, nullptr) << "twice at " << start;
            found = &f;
        }
    return found;
}

class CarverPhotoImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*>> {};

} // namespace

TEST_P(CarverPhotoImage, PicturesWholeNamedByCamera) {
    const auto [ss, gaps] = GetParam();
    const std::string base = "photo_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Photo> photos = Photos(FixtureFile("carve_photo", base + ".json"));
    ASSERT_EQ(photos.size(), 12u);
    ImageDevice device(FixtureFile("carve_photo", base + ".img"), ss);
    ScopedTz utc("UTC");
    CarveScan scan(device);
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    for (const Photo& p : photos) {
        SCOPED_TRACE(p.name + " at " + std::to_string(p.start));
        const CarvedNode* f = At(files, p.start);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(Sha256File(scan.Recover(f->node)), p.sha256);
        const std::string span = std::to_string(p.start) + "-" + std::to_string(p.start + (f->size - 1) / ss);
        if (p.name == "a.jpg" || p.name == "a5.jpg") {
            EXPECT_EQ(f->tree, 36);
            EXPECT_TRUE(std::regex_match(f->path, std::regex("Camera/CANON/CANON_Canon EOS 5D_" + span +
                                                                    "\\d{3}\\.JPG")))
                << f->path;
            EXPECT_EQ(f->time, 1399360089ull * 10000000ull + 116444736000000000ull);
        } else if (p.name == "a2.jpg") {
            EXPECT_TRUE(f->path.starts_with("Camera/SONY/SONY_ILCE-7M3_" + span)) << f->path;
        } else if (p.name == "a3.jpg" || p.name == "a4.jpg") {
            EXPECT_TRUE(std::regex_match(f->path, std::regex("jpg/" + span + "\\d{3}\\.JPG"))) << f->path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverPhotoImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random")));

// 40 small EXIF-first pictures one sector apart, read in 1 MiB blocks: none
// finds its end while streaming (each is smaller than its quiet zone), so each
// is handed to the classic sizer when the next one starts and sized from the
// block ring, named and labelled by its model.
TEST(CarverPhotoPack, EvictedPicturesSizedByTheClassicSizer) {
    const std::vector<Photo> photos = Photos(FixtureFile("carve_photo", "photo_pack.json"));
    ASSERT_EQ(photos.size(), 40u);
    ImageDevice device(FixtureFile("carve_photo", "photo_pack.img"), 512);
    CarveScan scan(device);
    scan.blockSectors = (1u << 20) / 512;
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    for (std::size_t i = 0; i < photos.size(); ++i) {
        const Photo& p = photos[i];
        SCOPED_TRACE(p.name);
        const CarvedNode* f = At(files, p.start);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(Sha256File(scan.Recover(f->node)), p.sha256);
        const std::string model = "DSC-" + p.name.substr(1, 2);
        EXPECT_TRUE(std::regex_match(f->path, std::regex("Camera/" + model + "/" + model + "\\d{3}\\.JPG")))
            << f->path;
    }
}

// TIFF files behind random gaps, read in 1 MiB blocks: each found at its
// start, sized by the classic sizer from the ring or the device to its sample
// and at most two sectors more, typed by its make.
TEST(CarverPhotoTiff, TiffFilesWholeAndTyped) {
    const std::vector<Photo> photos = Photos(FixtureFile("carve_photo", "photo_tiff.json"));
    ASSERT_EQ(photos.size(), 5u);
    ImageDevice device(FixtureFile("carve_photo", "photo_tiff.img"), 512);
    CarveScan scan(device);
    scan.blockSectors = (1u << 20) / 512;
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    for (const Photo& p : photos) {
        SCOPED_TRACE(p.name);
        const CarvedNode* f = At(files, p.start);
        ASSERT_NE(f, nullptr);
        const std::string path = FixtureFile("tiff_samples", p.name);
        const std::vector<std::uint8_t> sample = ReadBytes(path, 0, std::filesystem::file_size(path));
        EXPECT_EQ(JudgeCarve(sample, scan.Read(f->node), 512, 2 * 512), "");
        const std::string ext = p.name == "e3.tif" ? "DNG" : p.name[0] == 'e' ? "NEF" : "TIF";
        EXPECT_TRUE(f->path.ends_with("." + ext)) << f->path;
        if (ext == "NEF") {
            EXPECT_TRUE(f->path.starts_with("Camera/NIKON CORPORATION/NIKON CORPORATION_NIKON D750")) << f->path;
        }
    }
}
