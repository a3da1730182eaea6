// Previews of a real quick scan: the fat_media fixture (pictures, movies, a
// raw picture, a Photoshop document and music, one picture deleted) listed as
// an attached disk image, scanned through the facade and every file
// previewed on a worker thread with the real writer and thumbnail program.
#include "services/Preview.h"
#include "tests/services/ScanHarness.h"
#include "tests/support/Fixture.h"
#include "ui/kit/PreviewImages.h"

#include <QImage>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

namespace {

using namespace salvor::test;

// The shipped thumbnail program, given the time it takes: built with the
// sanitizers on a loaded machine, a Photoshop document or a movie can take
// longer than users are given, and the preview would be the icon.
struct PatientThumbnailer {
    PatientThumbnailer() { VXUIPreview::SetThumbnailProgram("", std::chrono::minutes(10)); }
    ~PatientThumbnailer() { VXUIPreview::SetThumbnailProgram(""); }
};

TEST(PreviewEndToEnd, EveryFileOfAQuickScannedFatVolume) {
    UseRealFileSystems();
    VXUIPreview::SetDecoder(salvor::kit::decodedPreviewSize);
    const PatientThumbnailer patient;
    AttachedImages attached({FixtureFile("fat_media", "fat_media.img")});
    ASSERT_TRUE(attached.devices.listed);
    ScanHarness harness;
    ASSERT_TRUE(harness.Scan(0, 0));
    // Volume path → expectation; a deleted name has lost its first letter,
    // 8.3 names come upper-case.
    std::map<std::string, std::string> want;
    std::ifstream expect(FixtureFile("fat_media", "fat_media.expect"));
    for (std::string path, what; std::getline(expect, path, '\t') && std::getline(expect, what);) want[path.substr(2)] = what;
    ASSERT_EQ(want.size(), 8u);

    std::map<std::string, IFileNode*> files;
    for (const auto& [category, list] : VXUIScan::instance().GetTypeMap())
        for (IFileNode* node : list) files[QString(node->GetFileName()).toLower().toStdString().substr(1)] = node;
    std::map<std::string, PreviewImage> previews;
    std::thread worker([&] {
        for (const auto& [name, node] : files) previews[name] = ScanHarness::facade().GetNSImageByNode(node);
    });
    worker.join();

    std::set<std::string> seen;
    for (const auto& [name, preview] : previews) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(want.count(name)) << "[" << name << "]";
        seen.insert(name);
        const std::string& what = want[name];
        const QImage image = salvor::kit::decodePreviewBytes(preview.bytes);
        if (what.rfind("icon ", 0) == 0) {
            EXPECT_TRUE(preview.bytes.isEmpty());
            EXPECT_EQ(preview.iconExt.toStdString(), what.substr(5));
        } else if (what == "movie") {
            ASSERT_FALSE(image.isNull());
            EXPECT_LE(std::max(image.width(), image.height()), 192);
            std::set<QRgb> colours;
            for (int y = 0; y < image.height(); y += 4)
                for (int x = 0; x < image.width(); x += 4) colours.insert(image.pixel(x, y));
            EXPECT_GT(colours.size(), 4u);
        } else {
            EXPECT_EQ(QString("%1x%2").arg(image.width()).arg(image.height()).toStdString(), what);
        }
    }
    EXPECT_EQ(seen.size(), want.size());
    EXPECT_TRUE(VXUIPreview::TemporaryFolder().empty());

    // A playlist named like a movie is not followed to what it names.
    TempDir dir;
    std::ofstream(dir.file("list.mp4")) << "#EXTM3U\n#EXTINF:1,\nfile:///etc/passwd\n";
    EXPECT_TRUE(VXUIPreview::getVideoThumbFromPath(dir.file("list.mp4"), "movie").isEmpty());
}

} // namespace
