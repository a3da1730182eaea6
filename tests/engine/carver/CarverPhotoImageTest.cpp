// Deep scans of images composed from photographs made by ImageMagick and
// tagged by exiftool (tests/fixtures/carve_photo.sh): every picture carved
// byte-exact, named by its camera and filed under its label, at 512- and
// 4096-byte sectors behind zero and random gaps; and 40 small pictures packed
// closely.
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
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
// start, sized by the stream (or, for the tiled and pyramid files whose
// directories lie far in, by the classic sizer) to its sample and at most two
// sectors more, typed by its make.
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
            // Followed by the stream: make, model, start and settling sectors.
            std::string pattern = "Camera/NIKON CORPORATION/NIKON CORPORATION_NIKON D750_";
            pattern.append(std::to_string(p.start)).append(R"(-\d+_\d{3}\.NEF)");
            EXPECT_TRUE(std::regex_match(f->path, std::regex(pattern))) << f->path;
        }
    }
}

// Forty TIFF candidates open at once (synthetic: each starts 4 KiB after the
// last and keeps its only directory 2 MiB in): the carver follows 32, so the
// 8 oldest are evicted and sized by the classic sizer from the device. Every
// one is found once at its start, all at the same size; the evicted ones carry
// the classic sizer's name, the others the stream's.
TEST(CarverPhotoTiff, FortyOpenCandidatesEvictTheOldest) {
    constexpr long long kFiles = 40, kApart = 4096, kDirectory = 2 << 20;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(kDirectory + kFiles * kApart + 64 * 1024), 0x77);
    const auto put = [&](long long at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) image[static_cast<std::size_t>(at + i)] = static_cast<std::uint8_t>(v >> 8 * i);
    };
    for (long long i = 0; i < kFiles; ++i) {
        const long long start = i * kApart, dir = start + kDirectory;
        std::memcpy(image.data() + start, "II*\0", 4);
        put(start + 4, kDirectory, 4);
        // One strip of 1000 bytes 100 bytes after the directory, then zeros.
        std::fill(image.begin() + dir, image.begin() + dir + kApart, 0);
        put(dir, 2, 2);
        put(dir + 2, 0x0111, 2), put(dir + 4, 4, 2), put(dir + 6, 1, 4), put(dir + 10, kDirectory + 100, 4);
        put(dir + 14, 0x0117, 2), put(dir + 16, 4, 2), put(dir + 18, 1, 4), put(dir + 22, 1000, 4);
        std::fill(image.begin() + dir + 100, image.begin() + dir + 1100, 0x5A);
    }
    TempDir dir;
    const std::string path = dir.file("forty.img");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    ImageDevice device(path, 512);
    CarveScan scan(device);
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    for (long long i = 0; i < kFiles; ++i) {
        const CarvedNode* f = At(files, i * kApart / 512);
        ASSERT_NE(f, nullptr) << i;
        // Each ends where the next TIFF begins, the last after its strip.
        EXPECT_EQ(f->size, i + 1 < kFiles ? kApart : kDirectory + 1536) << i;
        std::string stem = "_";
        stem.append(std::to_string(i * kApart / 512)).append(R"(-\d+_)");
        const bool streamed = std::regex_search(f->path, std::regex(stem));
        EXPECT_EQ(streamed, i >= kFiles - 32) << f->path;
    }
}
