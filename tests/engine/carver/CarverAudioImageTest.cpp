// Deep scans of images composed from the audio samples made by ffmpeg and
// abc2midi (tests/fixtures/carve_audio.sh) at 512- and 4096-byte sectors,
// behind zero and random gaps, with 4 MiB and 1 MiB blocks: every sample is
// found at its start, typed and named as its format names it (songs under
// their artist), and written back byte-exact (by sha256 against the
// composer's manifest) or within the slack its format allows. Files found
// besides lie inside a sample (a frame or page that starts a sector). Also:
// songs given up by the stream and sized from the device, and streams left
// open by an earlier carve.
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
    long long size;
    std::string sha256;
};

std::vector<Placed> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(R"re("start": (\d+),\s*"size": (\d+),\s*"sha256": "([0-9a-f]+)")re");
    std::vector<Placed> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), std::stoll((*it)[2]), (*it)[3]});
    return out;
}

std::vector<std::uint8_t> Sample(const std::string& name) {
    std::ifstream in(FixtureFile("audio_samples", name), std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

enum class Fit { Exact, Sector, TwoSectors };
struct Expect {
    const char* file;
    const char* path; // regex; <s> stands for the start sector
    Fit fit;
};
// The samples in the order carve_audio.sh places them.
const Expect kExpect[] = {
    {"k.mp3", R"(Artists/Ann Artist/Ann Artist_Song Title <s>_\d{3}\.MP3)", Fit::TwoSectors},
    {"k2.mp3", R"(Artists/Bob/Bob_Raw Frames\d{3}\.MP3)", Fit::Exact},
    {"m.ogg", R"(ogg/<s>-\d+_\d{3}\.OGG)", Fit::Exact},
    {"l.aiff", R"(aiff/FILE\d{3}\.AIFF)", Fit::Exact},
    {"l3.aifc", R"(aiff/FILE\d{3}\.AIFF)", Fit::Exact},
    {"l.au", R"(au/FILE\d{3}\.AU)", Fit::Exact},
    {"s.flv", R"(flv/<s>-\d+_\d{3}\.FLV)", Fit::Exact},
    {"o.wma", R"(wma/FILE\d{3}\.WMA)", Fit::Exact},
    {"o.wmv", R"(wmv/FILE\d{3}\.WMV)", Fit::Exact},
    {"l.wav", R"(wav/FILE\d{3}\.WAV)", Fit::Sector},
    {"p.avi", R"(avi/FILE\d{3}\.AVI)", Fit::Sector},
    {"y.mid", R"(mid/<s>-\d+_\d{3}\.MID)", Fit::Exact},
    {"n.aac", R"(m4a/FILE\d{3}\.M4A)", Fit::Exact},
    {"k3.mp3", "Artists/Bob/Bob_Caf\xC3\xA9 Ol\xC3\xA9\\d{3}\\.MP3", Fit::Exact},
    {"q.ape", R"(ape/FILE\d{3}\.APE)", Fit::Exact},
    {"q_old.ape", R"(ape/FILE\d{3}\.APE)", Fit::Sector},
    {"u.ani", R"(ani/FILE\d{3}\.ANI)", Fit::Sector},
    {"u.cdr", R"(cdr/FILE\d{3}\.CDR)", Fit::Sector},
};

std::string Pattern(const char* path, long long start) {
    return std::regex_replace(std::string(path), std::regex("<s>"), std::to_string(start));
}

void CheckFit(const Expect& e, const std::vector<std::uint8_t>& carved, unsigned ss, const std::string& path) {
    const std::vector<std::uint8_t> sample = Sample(e.file);
    if (e.fit == Fit::Exact) {
        EXPECT_TRUE(carved == sample) << path << ": " << carved.size() << " bytes, not " << sample.size();
        return;
    }
    // The sample followed by less than one sector, or by up to two.
    ASSERT_GE(carved.size(), sample.size()) << path;
    EXPECT_EQ(JudgeCarve(sample, carved, ss, e.fit == Fit::Sector ? 0 : 2 * ss), "") << path;
    if (e.fit == Fit::Sector) {
        EXPECT_LT(carved.size() - sample.size(), ss) << path;
    }
}

class CarverAudioImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

} // namespace

TEST_P(CarverAudioImage, EverySampleFoundNamedAndWrittenBack) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "aud_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Placed> placed = Manifest(FixtureFile("carve_audio", base + ".json"));
    ASSERT_EQ(placed.size(), std::size(kExpect));
    ImageDevice device(FixtureFile("carve_audio", base + ".img"), ss);
    CarveScan scan(device);
    scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const Placed& p = placed[i];
        const Expect& e = kExpect[i];
        auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
        ASSERT_NE(it, files.end()) << "no file at " << p.start << " (" << e.file << ")";
        EXPECT_EQ(it->tree, std::string(e.file).ends_with(".mp3") ? 36 : 34) << it->path;
        EXPECT_TRUE(std::regex_match(it->path, std::regex(Pattern(e.path, p.start)))) << it->path;
        CheckFit(e, scan.Read(it->node), ss, it->path);
        if (e.fit == Fit::Exact) {
            EXPECT_EQ(Sha256File(scan.Recover(it->node)), p.sha256) << it->path;
        }
    }
    // Anything else found starts inside a sample.
    for (const CarvedNode& f : files) {
        const bool inside = std::any_of(placed.begin(), placed.end(), [&](const Placed& p) {
            return f.start >= p.start && f.start < p.start + (p.size + ss - 1) / ss;
        });
        EXPECT_TRUE(inside) << f.path << " at " << f.start;
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverAudioImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));

// 41 tagged songs, none ended by zeros: each is ended by the walk of its
// frames while followed (named artist, title and start), or, evicted as more
// open, sized from the device (named artist and title alone).
TEST(CarverAudioImage, SongsGivenUpAreSizedFromTheDevice) {
    for (unsigned ss : {512u, 4096u}) {
        const std::string base = "mp3_evict_" + std::to_string(ss);
        const std::vector<Placed> placed = Manifest(FixtureFile("carve_audio", base + ".json"));
        ASSERT_EQ(placed.size(), 41u);
        ImageDevice device(FixtureFile("carve_audio", base + ".img"), ss);
        CarveScan scan(device);
        scan.blockSectors = (1u << 20) / ss;
        ASSERT_EQ(scan.Run(), 0u);
        const std::vector<CarvedNode> files = scan.Files();
        const std::vector<std::uint8_t> sample = Sample("k.mp3");
        for (const Placed& p : placed) {
            auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
            ASSERT_NE(it, files.end()) << "no file at " << p.start;
            EXPECT_TRUE(std::regex_match(it->path, std::regex(R"(Artists/Ann Artist/Ann Artist_Song Title( \d+_)?\d{3}\.MP3)")))
                << it->path;
            const std::vector<std::uint8_t> carved = scan.Read(it->node);
            EXPECT_TRUE(carved.size() >= sample.size() && std::equal(sample.begin(), sample.end(), carved.begin()))
                << it->path;
        }
    }
}

// Carves that end while an MP3's frames and an Ogg stream's pages are being
// followed (the device ends inside them, or the scan is stopped there) leave
// nothing behind: the next carve in the same process finds both.
TEST(CarverAudioImage, StreamsOpenAtAnEarlierCarvesEndAreFoundLater) {
    const std::string base = "aud_512_zero";
    const std::vector<Placed> placed = Manifest(FixtureFile("carve_audio", base + ".json"));
    ASSERT_EQ(placed.size(), std::size(kExpect));
    const Placed k2 = placed[1], ogg = placed[2];
    const std::string image = FixtureFile("carve_audio", base + ".img");
    for (long long end : {k2.start + 40, ogg.start + 4}) {
        ImageDevice cut(image, 512, 0, static_cast<unsigned long long>(end));
        CarveScan scan(cut);
        ASSERT_EQ(scan.Run(), 0u);
    }
    for (const auto& [stream, inside] : {std::pair(k2.start, k2.start + 100), std::pair(ogg.start, ogg.start + 8)}) {
        ImageDevice device(image, 512);
        CarveScan scan(device);
        scan.blockSectors = 8;
        scan.progress.StopAfter(static_cast<std::size_t>(inside / 8));
        scan.Run();
        for (const CarvedNode& f : scan.Files()) EXPECT_NE(f.start, stream) << "not stopped inside: " << f.path;
    }
    ImageDevice device(image, 512);
    CarveScan scan(device);
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    for (const Placed& p : {k2, ogg}) {
        auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
        ASSERT_NE(it, files.end()) << "no file at " << p.start;
        EXPECT_EQ(it->size, p.size) << it->path;
    }
}
