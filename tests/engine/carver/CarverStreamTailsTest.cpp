// Deep scans of audio and movie files whose end is found by walking their
// units, each followed by random bytes that begin with what the next unit
// would (tests/fixtures/stream_tails.sh), and two streams of other sample
// rates joined into one, program streams back to back, MIDI files with a
// chunk after their tracks or a header counting too few, MIDI files of
// whole sectors followed by a file whose start reads as a chunk (of a kind
// carved or not, keyed by four bytes, by two or by none): at 512- and
// 4096-byte sectors every file is carved at its start with its own length,
// and alone (a program stream's later packs are its own, not streams of
// their own; one that begins anew is a file of its own). A file that starts
// off a 4096-byte border is read at 512-byte sectors only.
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

using namespace salvor::test;

TEST(CarverStreamTails, EveryWalkEndsAtItsOwnLastUnit) {
    const std::string dir = Fixture("stream_tails");
    ASSERT_FALSE(dir.empty());
    std::ifstream rows(dir + "/tails.txt");
    int cases = 0;
    for (std::string line; std::getline(rows, line);) {
        // The image, the first file's length, then offset and length of each further file (-1: none carved).
        std::istringstream row(line);
        std::string image;
        long long length = 0;
        ASSERT_TRUE(row >> image >> length) << line;
        std::vector<std::pair<long long, long long>> want{{0, length}};
        for (long long at = 0; row >> at >> length;) want.emplace_back(at, length);
        for (unsigned ss : {512u, 4096u}) {
            if (std::any_of(want.begin(), want.end(), [&](const auto& w) { return w.first % ss != 0; })) continue;
            ImageDevice device(dir + "/" + image, ss);
            CarveScan scan(device);
            ASSERT_EQ(scan.Run(), 0u) << image << " at " << ss;
            const std::vector<CarvedNode> files = scan.Files();
            for (const auto& [at, bytes] : want) {
                long long size = -1;
                for (const CarvedNode& f : files)
                    if (f.start * ss == at) size = f.size;
                EXPECT_EQ(size, bytes) << image << " at " << ss << ", file at " << at;
            }
            EXPECT_EQ(files.size(), std::count_if(want.begin(), want.end(), [](const auto& w) { return w.second >= 0; }))
                << image << " at " << ss;
        }
        ++cases;
    }
    EXPECT_EQ(cases, 32);
}
