// Deep scans of audio and movie files whose end is found by walking their
// units, each followed by random bytes that begin with what the next unit
// would (tests/fixtures/stream_tails.sh), and two streams of other sample
// rates joined into one: at 512- and 4096-byte sectors every file is carved
// at its start with its own length, and alone (a program stream's later
// packs are its own, not streams of their own).
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace salvor::test;

TEST(CarverStreamTails, EveryWalkEndsAtItsOwnLastUnit) {
    const std::string dir = Fixture("stream_tails");
    ASSERT_FALSE(dir.empty());
    std::ifstream rows(dir + "/tails.txt");
    std::string image;
    long long length = 0;
    int cases = 0;
    while (rows >> image >> length) {
        for (unsigned ss : {512u, 4096u}) {
            const long long want = length;
            ImageDevice device(dir + "/" + image, ss);
            CarveScan scan(device);
            ASSERT_EQ(scan.Run(), 0u) << image << " at " << ss;
            long long size = -1;
            const std::vector<CarvedNode> files = scan.Files();
            for (const CarvedNode& f : files)
                if (f.start == 0) size = f.size;
            EXPECT_EQ(size, want) << image << " at " << ss;
            EXPECT_EQ(files.size(), 1u) << image << " at " << ss;
        }
        ++cases;
    }
    EXPECT_EQ(cases, 20);
}
