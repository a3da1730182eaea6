// Deep scans of images composed from the movie samples made by ffmpeg and
// sqlite3, and the synthetic ones (tests/fixtures/carve_movies.sh), at 512-
// and 4096-byte sectors, behind zero and random gaps, with 4 MiB and 1 MiB
// blocks: every sample is found at its start with its type, filed under its
// extension or its camera's label, and written back byte-exact (by sha256),
// or, for the formats that end at a limit or a following structure, as a
// carved file that begins with the sample and stays within its bound. Then
// the carver's own rules met by movies: an evicted movie filed at the end,
// transport streams after an eviction and after a stopped carve.
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

using namespace salvor::test;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Placed {
    long long start;
    std::uint64_t size;
    std::string sha256;
    unsigned type;
    std::string folder, name, label;
};

std::vector<Placed> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(
        R"re("start": (\d+),\s*"size": (\d+),\s*"sha256": "([0-9a-f]+)",\s*"type": (\d+),\s*"folder": "([a-z0-9]+)",\s*"name": (?:null|"([^"]*)"),\s*"label": (?:null|"([^"]*)"))re");
    std::vector<Placed> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), std::stoull((*it)[2]), (*it)[3],
                       static_cast<unsigned>(std::stoul((*it)[4])), (*it)[5], (*it)[6], (*it)[7]});
    return out;
}

Bytes Sample(const std::string& name) {
    std::ifstream in(FixtureFile("movie_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// How a carved sample is judged: byte-exact, or a carved file that begins
// with the sample and is at most `over` bytes longer.
struct Rule {
    const char* file;
    std::uint64_t over; // 0: exact
};
// In the order carve_movies.sh places them.
constexpr Rule kRules[] = {
    {"p.mp4", 0},
    {"p2.mp4", 0},
    {"p.mov", 0},
    {"p.3gp", 0},
    {"q.m4a", 0},
    {"q.m4v", 0},
    {"r.mkv", 0},
    {"v.mxf", 0},
    {"u.swf", 0},
    {"syn.trec", 0},
    {"syn_exif.mov", 0},
    {"syn_iphone.mov", 0},
    {"syn.mlv", 0},
    {"syn.aep", 0},
    {"syn_marker.rmvb", 0},
    // Packets to the first one without its sync byte.
    {"t.ts", 0},
    {"t.m2ts", 0},
    // Program streams end with their last packet, whatever follows.
    {"t.mpg", 0},
    {"t1.mpg", 0},
    // Its packets end it (the DATA chunk ffmpeg writes claims 10 bytes more).
    {"w2.rm", 0},
    // A compressed Flash movie is carved to its uncompressed length.
    {"u_cws.swf", 142716 - 90897},
    // Pages are judged one by one; a database ends before the first that none holds.
    {"y.sqlite", 0},
    // An RMVB without index: its chunks and packets end it too.
    {"w.rm", 0}};

class CarverMovieImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

} // namespace

TEST_P(CarverMovieImage, EverySampleFoundTypedFiledAndWhole) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "mov_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Placed> placed = Manifest(FixtureFile("carve_movies", base + ".json"));
    ASSERT_EQ(placed.size(), std::size(kRules));
    ImageDevice device(FixtureFile("carve_movies", base + ".img"), ss);
    CarveScan scan(device);
    scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    const auto map = scan.SectorMap();
    for (std::size_t i = 0; i < placed.size(); ++i) {
        const Placed& p = placed[i];
        const Rule& rule = kRules[i];
        SCOPED_TRACE(rule.file);
        auto it =
            std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == p.start; });
        ASSERT_NE(it, files.end()) << "no file at " << p.start;
        // The map keeps the type a file was found with: RealMedia is told
        // RM or RMVB only as it is walked.
        EXPECT_EQ(map.count(p.start) ? map.at(p.start) : 0u, p.type == 95 ? 94 : p.type);
        EXPECT_EQ(it->path.substr(it->path.rfind('.') + 1), Upper(p.folder));
        const std::string ext = Upper(p.folder);
        if (!p.label.empty()) {
            EXPECT_EQ(it->tree, 36);
            const std::string name = p.name.empty() ? "FILE" : p.name;
            EXPECT_TRUE(
                std::regex_match(it->path, std::regex("MOV/" + p.label + "/" + name + R"(\d{3}\.MOV)")))
                << it->path;
        } else {
            EXPECT_EQ(it->tree, 34);
            EXPECT_TRUE(
                std::regex_match(it->path, std::regex(p.folder + "/" + R"((FILE|\d+-\d+_)\d{3}\.)" + ext)))
                << it->path;
        }
        if (rule.over == 0) {
            EXPECT_EQ(Sha256File(scan.Recover(it->node)), p.sha256)
                << it->path << ": " << it->size << " bytes";
            continue;
        }
        const Bytes sample = Sample(rule.file);
        const Bytes carved = scan.Read(it->node);
        ASSERT_GE(carved.size(), sample.size()) << it->path;
        EXPECT_TRUE(std::equal(sample.begin(), sample.end(), carved.begin())) << it->path;
        EXPECT_LE(carved.size() - sample.size(), rule.over) << it->path;
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverMovieImage,
                         ::testing::Combine(::testing::Values(512u, 4096u),
                                            ::testing::Values("zero", "random"), ::testing::Bool()));

namespace {

// A scratch disk of zeros with byte strings placed on it.
struct Disk {
    Disk(unsigned ss, long long sectors) : ss(ss), path(dir.file("disk.img")) {
        std::ofstream(path, std::ios::binary)
            .write(std::string(static_cast<std::size_t>(sectors) * ss, '\0').data(), sectors * ss);
    }
    void Put(std::uint64_t byte, const Bytes& b) { ASSERT_TRUE(WriteBytes(path, byte, b)); }
    unsigned ss;
    TempDir dir;
    std::string path;
};

// An ftyp box, and an mdat header claiming `mdat` bytes: a movie the walk
// follows until the carver lets it go.
Bytes OpenMovie(std::uint32_t mdat) {
    Bytes b = {0, 0, 0, 20, 'f', 't', 'y', 'p', 'q', 't', ' ', ' ', 0, 0, 0, 0, 'q', 't', ' ', ' '};
    const Bytes header = {static_cast<std::uint8_t>(mdat >> 24),
                          static_cast<std::uint8_t>(mdat >> 16),
                          static_cast<std::uint8_t>(mdat >> 8),
                          static_cast<std::uint8_t>(mdat),
                          'm',
                          'd',
                          'a',
                          't'};
    b.insert(b.end(), header.begin(), header.end());
    return b;
}

// A transport stream of `packets` 188-byte packets, payload 0x5A.
Bytes Stream(std::size_t packets) {
    Bytes b(packets * 188, 0x5A);
    for (std::size_t i = 0; i < packets; ++i) {
        b[i * 188] = 0x47;
        b[i * 188 + 1] = 0x40;
    }
    return b;
}

long long FoundAt(const std::vector<CarvedNode>& files, long long start, std::uint64_t* size = nullptr) {
    for (const CarvedNode& f : files)
        if (f.start == start) {
            if (size) *size = static_cast<std::uint64_t>(f.size);
            return 1;
        }
    return 0;
}

} // namespace

// A movie still followed when 32 later streaming records arrive leaves the
// active set with the size its walk reached, and is filed at the end with
// that size or the larger one a box walk on the device finds (its moov box
// after the media data), but never past the next movie's start (a box
// size is only a claim): here the first of the later ones.
TEST(CarverMovieRules, EvictedMovieIsFiledAtTheEndWithItsMoov) {
    Disk disk(512, 4096);
    disk.Put(64 * 512, OpenMovie(1000000));
    disk.Put(64 * 512 + 1000020, {0, 0, 0, 8, 'm', 'o', 'o', 'v'});
    for (int i = 0; i < 33; ++i)
        disk.Put(static_cast<std::uint64_t>(100 + 10 * i) * 512, OpenMovie(i ? 500000 : 1000000));
    ImageDevice device(disk.path, 512);
    CarveScan scan(device);
    scan.blockSectors = 256;
    ASSERT_EQ(scan.Run(), 0u);
    std::uint64_t size = 0;
    ASSERT_TRUE(FoundAt(scan.Files(), 64, &size));
    EXPECT_EQ(size, (100u - 64u) * 512u);
}

// One transport stream is followed at a time: a stream that starts while
// another is followed is refused; after the followed one is evicted, or its
// carve stopped, the next stream is carved.
TEST(CarverMovieRules, TransportStreamsAfterEvictionAndAfterAStoppedCarve) {
    const unsigned ss = 512;
    Disk disk(ss, 8192);
    // 40 movies start inside the first stream, in packets' payloads away from
    // their headers, so the stream goes on and is evicted by them.
    Bytes first = Stream(8000);
    int movies = 0;
    for (std::size_t s = 1; s * ss + 28 < first.size() && movies < 40; ++s) {
        const std::size_t at = s * ss, in = at % 188;
        if (in < 8 || in + 28 > 188) continue;
        const Bytes movie = OpenMovie(2000000);
        std::copy(movie.begin(), movie.end(), first.begin() + static_cast<std::ptrdiff_t>(at));
        ++movies;
    }
    ASSERT_EQ(movies, 40);
    disk.Put(64 * ss, first);
    const long long second = 4096;
    disk.Put(second * ss, Stream(400));
    ImageDevice device(disk.path, ss);
    {
        CarveScan scan(device);
        scan.blockSectors = (1u << 20) / ss;
        ASSERT_EQ(scan.Run(), 0u);
        const auto files = scan.Files();
        EXPECT_TRUE(FoundAt(files, 64));
        std::uint64_t size = 0;
        EXPECT_TRUE(FoundAt(files, second, &size));
        EXPECT_EQ(size, 400u * 188);
    }
    // A carve stopped while the first stream is followed, then a new one.
    CarveScan stopped(device);
    stopped.blockSectors = 16;
    stopped.progress.StopAfter(8);
    stopped.Run();
    CarveScan again(device);
    again.blockSectors = (1u << 20) / ss;
    ASSERT_EQ(again.Run(), 0u);
    EXPECT_TRUE(FoundAt(again.Files(), second));
}

// Two movies by ffmpeg back to back, the second in the sector right after the
// first one's last box, then old data: each carved byte-exact, the first
// not run on into the second.
TEST(CarverMovieRules, MoviesBackToBackEndAtTheirOwnBoxes) {
    for (unsigned ss : {512u, 4096u})
        for (const char* name : {"p.mp4", "p.mov"}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(ss));
            const Bytes movie = Sample(name);
            const std::uint64_t second = (movie.size() + ss - 1) / ss * ss + ss;
            Disk disk(ss, static_cast<long long>(second / ss + (movie.size() + ss - 1) / ss + 8));
            disk.Put(ss, movie);
            disk.Put(ss + second - ss, movie);
            Bytes old(4 * ss);
            std::uint32_t seed = 3;
            for (unsigned char& c : old) c = static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24);
            disk.Put(second + (movie.size() + ss - 1) / ss * ss, old);
            ImageDevice device(disk.path, ss);
            CarveScan scan(device);
            ASSERT_EQ(scan.Run(), 0u);
            for (std::uint64_t start : {std::uint64_t{1}, second / ss}) {
                std::uint64_t size = 0;
                ASSERT_TRUE(FoundAt(scan.Files(), static_cast<long long>(start), &size)) << start;
                EXPECT_EQ(size, movie.size()) << start;
            }
        }
}
