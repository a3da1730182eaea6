// The deep search over damaged folder entries (cases found by fuzzing): a
// real root folder of the quick-scan volume, damaged in one set whose
// checksum is then made to hold again, as a disk may present it.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileSet.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

// The root folder's first cluster of the 512-byte quick-scan volume, and two
// zero sectors after it (the analyser looks two sectors ahead).
struct RootCluster {
    std::vector<std::uint8_t> bytes;
    std::int64_t sector = 0;
    unsigned sectors = 0;
};

RootCluster ReadRoot() {
    salvor::test::ImageDevice dev(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"));
    std::vector<std::uint8_t> boot(512);
    EXPECT_EQ(dev.ReadSector(boot.data(), 0, 1), 1);
    const CExFatDBR dbr(boot);
    RootCluster root;
    root.sectors = dbr.GetSectorsperCluster();
    root.sector = dbr.GetDataRegionStartSector() +
                  static_cast<std::int64_t>(dbr.GetRootDirStartCluster() - 2) * root.sectors;
    root.bytes.assign((root.sectors + 2) * 512u, 0);
    EXPECT_EQ(dev.ReadSector(root.bytes.data(), root.sector, root.sectors), 1);
    return root;
}

std::set<std::string> Names(const RootCluster& root) {
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, 1u << 20);
    for (unsigned i = 0; i < root.sectors; ++i)
        a.Analyze(root.sector + i, exfat::Bytes(root.bytes).subspan(i * 512u, 3 * 512u));
    std::set<std::string> names;
    std::unique_ptr<CFileSet> f;
    while (a.GetFileSet(f))
        for (const auto* list : {&f->inUse, &f->deleted})
            for (const auto& r : *list) {
                EXPECT_FALSE(r.name.empty()) << "a record without a name";
                names.insert(r.name);
            }
    return names;
}

TEST(ExfatDeepDamage, NamelessSetIsPassedOverWhole) {
    RootCluster root = ReadRoot();
    ASSERT_TRUE(Names(root).count("Docs"));
    // The name keeps its length byte (4) but its first unit is NUL: as text
    // it is empty, and a record without a name is no file to show.
    const std::size_t docs = exfat_test::FindEntrySet(root.bytes, u"Docs");
    ASSERT_NE(docs, std::string::npos);
    root.bytes[docs + 64 + 2] = 0;
    root.bytes[docs + 64 + 3] = 0;
    exfat_test::ResealEntrySet(root.bytes, docs);
    const std::set<std::string> names = Names(root);
    EXPECT_FALSE(names.count("Docs"));
    EXPECT_FALSE(names.count(""));
    // Its name fails the name test although the checksum holds: the fragment
    // ends there, and the sets of the following sectors are still read.
    EXPECT_TRUE(names.count("Many"));
}

} // namespace
