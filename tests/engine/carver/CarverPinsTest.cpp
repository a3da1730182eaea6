// Deep scans of the boundary cases of tests/fixtures/carve_pins.sh, each file
// made by a real tool and laid down behind old random bytes: an archive
// holding a stored archive and an archive with a comment end where their own
// end records say; a multi-picture JPEG runs to its last picture; a JPEG
// sized while its end lies past the ring of recent blocks is whole; a JPEG
// cut short ends where the PNG that took its sectors begins; two movies back
// to back keep their sizes; 9,000 small files one after another, each sized
// from the device (more than wait for sizing at once), are every one carved
// at its size. Carved bytes are checked against the originals by sha256.
#include "engine/carver/analysers/ZipAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

using namespace salvor::test;

namespace {

struct Placed {
    long long start;
    unsigned long long size;
    std::string sha;
};

std::vector<Placed> Manifest(const std::string& image) {
    const std::string text = ReadText(FixtureFile("carve_pins", image + ".json"));
    static const std::regex entry(R"re("start": (\d+),\s*"size": (\d+),\s*"sha256": "([0-9a-f]+)")re");
    std::vector<Placed> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), std::stoull((*it)[2]), (*it)[3]});
    return out;
}

const CarvedNode* At(const std::vector<CarvedNode>& files, long long start) {
    for (const CarvedNode& f : files)
        if (f.start == start) return &f;
    return nullptr;
}

// Scans one image of the fixture; blockSectors 0 is the controller's 4 MiB.
struct PinScan {
    explicit PinScan(const std::string& image, unsigned blockSectors = 0)
        : device(FixtureFile("carve_pins", image + ".img"), 512), scan(device) {
        scan.blockSectors = blockSectors;
        EXPECT_EQ(scan.Run(), 0u);
        files = scan.Files();
    }
    // "" when the file carved at `start` is the placed one byte for byte.
    std::string Exact(const Placed& p) {
        const CarvedNode* f = At(files, p.start);
        if (!f) return "nothing carved at " + std::to_string(p.start);
        const std::string path = scan.Recover(f->node);
        if (Sha256File(path) == p.sha) return "";
        return f->path + ": " + std::to_string(f->size) + " bytes, not " + std::to_string(p.size);
    }
    ImageDevice device;
    CarveScan scan;
    std::vector<CarvedNode> files;
};

} // namespace

// The outer archive, made by zip or written to a pipe (sizes after each
// member's data), holds a stored archive whose end record does not point back
// at a directory from the outer start: carved whole by the scan and by the
// classic sizer (which sizes a candidate given up by the stream), and unzip
// tests it. The inner archive on a sector border of its own is carved too.
TEST(CarverPins, StoredArchiveInsideAnArchiveCarvedWhole) {
    const std::vector<Placed> placed = Manifest("zipzip");
    ASSERT_EQ(placed.size(), 4u);
    PinScan pins("zipzip");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(pins.Exact(placed[i]), "") << "archive " << i;
        if (const CarvedNode* f = At(pins.files, placed[i].start)) {
            EXPECT_EQ(RunCommand("unzip -tq '" + pins.scan.Recover(f->node) + "'"), 0) << f->path;
        }
        FileZIPAnalyser classic;
        CRawFileInfo r;
        r.m_llStartSector = placed[i].start;
        EXPECT_EQ(classic.GetRawFileSize(r, &pins.device), 1) << i;
        EXPECT_EQ(r.m_ullFileSize, placed[i].size) << "archive " << i << " sized from the device";
    }
    const std::string inner = FixtureFile("carve_pins", "inner.zip");
    EXPECT_EQ(pins.Exact({placed[1].start + 2, std::filesystem::file_size(inner), Sha256File(inner)}), "");
}

// The end record's comment is part of the archive, whether the archive is
// walked to its end record or that record is found by its signature (sizes
// after the data), in the scan and by the classic sizer; the old bytes after
// it in its last sector are not.
TEST(CarverPins, ArchiveEndsAfterItsComment) {
    const std::vector<Placed> placed = Manifest("zipcmt");
    ASSERT_EQ(placed.size(), 3u);
    PinScan pins("zipcmt");
    EXPECT_EQ(pins.Exact(placed[0]), "") << "walked";
    EXPECT_EQ(pins.Exact(placed[1]), "") << "sizes after the data";
    for (int i = 0; i < 2; ++i) {
        FileZIPAnalyser classic;
        CRawFileInfo r;
        r.m_llStartSector = placed[i].start;
        EXPECT_EQ(classic.GetRawFileSize(r, &pins.device), 1) << i;
        EXPECT_EQ(r.m_ullFileSize, placed[i].size) << "archive " << i << " sized from the device";
    }
}

// The first picture's index names the second, which ends the file: carved
// through it, whether zeros or old bytes follow, when the first picture
// carries EXIF as a camera's does, and when the second picture starts on a
// sector border of its own (it is carved on its own as well).
TEST(CarverPins, MultiPictureJpegRunsToItsLastPicture) {
    for (const char* image : {"mpf_zero", "mpf_random", "mpf_exif", "mpf_edge"}) {
        const std::vector<Placed> placed = Manifest(image);
        ASSERT_EQ(placed.size(), 2u);
        PinScan pins(image);
        EXPECT_EQ(pins.Exact(placed[0]), "") << image;
    }
    const std::vector<Placed> placed = Manifest("mpf_edge");
    ASSERT_EQ(placed.size(), 2u);
    const std::string second = FixtureFile("carve_pins", "second.jpg");
    const long long secondAt = placed[0].start + static_cast<long long>(placed[0].size - std::filesystem::file_size(second)) / 512;
    PinScan pins("mpf_edge");
    EXPECT_EQ(pins.Exact({secondAt, std::filesystem::file_size(second), Sha256File(second)}), "");
}

// A noisy picture of more bytes than pixels, followed by old bytes: the
// stream gives it up once past its pixel count and the classic sizer walks
// its scan data to the end. With 8 KiB blocks the ring holds 160 KiB, so the
// picture is sized while its end lies well past the ring's newest block:
// those reads come from the device, and it is carved whole.
TEST(CarverPins, JpegSizedPastTheRingStaysWhole) {
    const std::vector<Placed> placed = Manifest("noisy");
    ASSERT_EQ(placed.size(), 2u);
    ASSERT_GT(placed[0].size, 640u * 480u + 20u * 16u * 512u);
    for (unsigned block : {16u, 0u}) {
        PinScan pins("noisy", block);
        EXPECT_EQ(pins.Exact(placed[0]), "") << "blocks of " << block;
    }
}

// A picture whose later sectors a PNG took: it ends where the PNG begins, and
// the PNG is whole.
TEST(CarverPins, CutJpegEndsWhereThePngBegins) {
    const std::vector<Placed> placed = Manifest("cutjpg");
    ASSERT_EQ(placed.size(), 2u);
    PinScan pins("cutjpg");
    EXPECT_EQ(pins.Exact(placed[0]), "");
    EXPECT_EQ(pins.Exact(placed[1]), "");
}

// The first movie ends on a sector border and the second starts right there:
// each is carved at its own size.
TEST(CarverPins, MoviesBackToBackKeepTheirSizes) {
    const std::vector<Placed> placed = Manifest("mp4pair");
    ASSERT_EQ(placed.size(), 3u);
    ASSERT_EQ(placed[1].start * 512, placed[0].start * 512 + static_cast<long long>(placed[0].size));
    PinScan pins("mp4pair");
    EXPECT_EQ(pins.Exact(placed[0]), "");
    EXPECT_EQ(pins.Exact(placed[1]), "");
}

// 9,000 files sized only from the device (each evicted, or started, without a
// size of its own): more than wait at once, so the oldest are sized early;
// every one is carved at its size.
TEST(CarverPins, NineThousandClassicFilesEachSized) {
    const std::vector<Placed> placed = Manifest("classic");
    ASSERT_EQ(placed.size(), 9000u);
    PinScan pins("classic");
    unsigned wrong = 0;
    for (const Placed& p : placed) {
        const CarvedNode* f = At(pins.files, p.start);
        if (!f || f->size != static_cast<long long>(p.size)) {
            if (++wrong <= 5)
                ADD_FAILURE() << "at " << p.start << ": " << (f ? std::to_string(f->size) : "nothing") << ", not "
                              << p.size;
        }
    }
    EXPECT_EQ(wrong, 0u);
    // Spot checks of the bytes: the first, one sized early, the last.
    for (std::size_t i : {std::size_t{0}, std::size_t{39}, std::size_t{4000}, std::size_t{8999}})
        EXPECT_EQ(pins.Exact(placed[i]), "") << i;
}
