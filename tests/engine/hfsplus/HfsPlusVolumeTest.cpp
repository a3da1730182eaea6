// HFS+ volumes made by xorriso and by macOS (the dfvfs sample) against The
// Sleuth Kit: recogniser and geometry (fsstat), the catalog walk and every
// key's search (fls -r -p), an inline attribute (icat), and the quick scan
// through the deleted-files controller with every file recovered (sha256 of
// the source files, or icat).
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/hfsplus/HfsSynthManifest.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <tuple>

using namespace hfsplus;
using namespace salvor::test;
using namespace hfstest;

namespace {

enum Source { kXorriso, kSample, kSynth };
struct VolumeCase {
    const char* name;
    Source source;
    std::string Image() const {
        switch (source) {
        case kSample: return TestData() + "/dfvfs/" + name + ".raw";
        case kSynth: return FixtureFile("hfs_synth", std::string(name) + ".img");
        default: return FixtureFile("hfs_xorriso", std::string(name) + ".iso");
        }
    }
    unsigned long long StartSector() const {
        return source != kXorriso ? 0 : std::stoull(ReadText(FixtureFile("hfs_xorriso", std::string(name) + ".start")));
    }
};
void PrintTo(const VolumeCase& c, std::ostream* os) { *os << c.name; }
const std::string kEmptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const VolumeCase kVolumes[] = {{"hfs_x512", kXorriso},   {"hfs_x2048", kXorriso},  {"hfsplus", kSample},
                               {"synth_512", kSynth},    {"synth_2048", kSynth},   {"synth_4096", kSynth},
                               {"synth_8192", kSynth},   {"synth_hfsx", kSynth},   {"synth_dots", kSynth}};

std::string Shell(const std::string& command) {
    std::string out;
    EXPECT_EQ(RunCommand(command, &out), 0) << command;
    return out;
}

// (parent id, name, id) of every catalog file and folder.
using Triple = std::tuple<long long, std::string, long long>;

// fls -r -p: folders give the parent ids of their children; the top level's is 2.
std::set<Triple> FlsTriples(const std::string& listing) {
    std::set<Triple> out;
    std::map<std::string, long long> folders{{"", kRootFolderId}};
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(":\t");
        const auto space = line.find(' ');
        if (colon == std::string::npos || space == std::string::npos) continue;
        const long long id = std::stoll(line.substr(space + 1, colon - space - 1));
        const std::string path = line.substr(colon + 2);
        const auto slash = path.rfind('/');
        const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (line[0] == 'd') folders[path] = id;
        // Metadata files, and the private folders whose names fls escapes.
        if (name.starts_with("$") || name.find("HFS+ Private") != std::string::npos) continue;
        out.emplace(folders.count(parent) ? folders[parent] : -1, name, id);
    }
    return out;
}

// Files of fls -r -p as the tree builder shows them, leading dots kept,
// metadata files left out; path -> id.
std::map<std::string, long long> FlsFiles(const std::string& listing) {
    std::map<std::string, long long> out;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(":\t");
        if (line[0] == 'd' || colon == std::string::npos || line.find("HFS+ Private") != std::string::npos) continue;
        std::string path, part;
        std::istringstream parts(line.substr(colon + 2));
        bool hidden = false;
        while (std::getline(parts, part, '/')) {
            hidden = part.starts_with("$");
            if (!path.empty()) path += '/';
            path += part;
        }
        if (!hidden) out[path] = std::stoll(line.substr(line.find(' ') + 1));
    }
    return out;
}

class HfsVolumeTest : public ::testing::TestWithParam<VolumeCase> {
protected:
    void SetUp() override {
        image = GetParam().Image();
        ASSERT_FALSE(image.empty());
        start = GetParam().StartSector();
        device = std::make_unique<ImageDevice>(image, 512, start * 512);
        volume = std::make_unique<CHFSPlusVolume>(device.get(), false);
        ASSERT_EQ(volume->GetLastError(), 0u);
    }
    std::string Tsk(const char* tool, const std::string& args = "") {
        return Shell(std::string(tool) + " -o " + std::to_string(start) + " " + args + " '" + image + "'");
    }
    std::string image;
    unsigned long long start = 0;
    std::unique_ptr<ImageDevice> device;
    std::unique_ptr<CHFSPlusVolume> volume;
};

TEST_P(HfsVolumeTest, RecognisedWithFsstatGeometryOnBothSectorSizes) {
    const std::string fsstat = Tsk("fsstat");
    const auto field = [&](const std::string& key) {
        const auto at = fsstat.find(key);
        return at == std::string::npos ? std::string() : fsstat.substr(at + key.size(), fsstat.find('\n', at) - at - key.size());
    };
    const unsigned long long blockSize = std::stoull(field("Block Size: "));
    const std::string range = field("Block Range: ");
    const unsigned long long blocks = std::stoull(range.substr(range.find("- ") + 2)) + 1;
    for (unsigned sectorSize : {512u, 4096u}) {
        ImageDevice dev(image, sectorSize, start * 512);
        std::unique_ptr<IVolumeAnalyze> analyzer(hfsplus::CreateHFSPlusVolumeAnalyze(&dev, 0));
        EXPECT_EQ(analyzer->GetFileSystemType(), FS_HFSPLUS) << sectorSize;
        EXPECT_EQ(analyzer->GetTotalSector(), blocks * blockSize / sectorSize) << sectorSize;
    }
    EXPECT_EQ(volume->Header()->blockSize, blockSize);
    EXPECT_EQ(volume->Header()->VolumeId(), std::stoull(field("Volume Identifier: "), nullptr, 16));
}

TEST_P(HfsVolumeTest, CatalogWalkAndSearchMatchFls) {
    std::set<Triple> walked;
    std::vector<std::pair<BTKey, std::uint32_t>> keys;
    CHFSPlusBTreeOptionBase* catalog = volume->Tree(kCatalogFileId);
    ASSERT_NE(catalog, nullptr);
    ASSERT_EQ(catalog->Traverse(
                  [&](const BTKey& key, bytes::Bytes data) {
                      HFSPlusCatalogRecord r;
                      EXPECT_TRUE(ReadCatalogRecord(data, r));
                      if (r.recordType == kFileRecord || r.recordType == kFolderRecord) {
                          keys.emplace_back(key, r.id);
                          const std::string name = CatalogNameToUtf8(key.name);
                          if (r.id != kRootFolderId && name.find("HFS+ Private") == std::string::npos)
                              walked.emplace(key.parentID, name, r.id);
                      }
                      return true;
                  },
                  nullptr),
              0u);
    EXPECT_EQ(walked, FlsTriples(Tsk("fls", "-r -p")));
    for (const auto& [key, id] : keys) {
        HFSPlusSearchResult result;
        std::vector<std::uint8_t> data;
        ASSERT_EQ(volume->Search(kCatalogFileId, key, result, &data), 0u);
        HFSPlusCatalogRecord r;
        ASSERT_TRUE(result.found && ReadCatalogRecord(data, r));
        EXPECT_EQ(r.id, id);
        BTKey thread;
        thread.parentID = id;
        ASSERT_EQ(volume->Search(kCatalogFileId, thread, result, &data), 0u);
        ASSERT_TRUE(result.found && ReadCatalogRecord(data, r));
        EXPECT_EQ(r.threadParentID, key.parentID);
    }
}

TEST_P(HfsVolumeTest, QuickScanListsAndRecoversEveryFile) {
    RegisterHfsPlusLibrary();
    FsScan scan(image, 512, FS_HFSPLUS, start * 512);
    ASSERT_EQ(scan.Run(), 0u);
    using Found = std::multiset<std::tuple<std::string, bool, std::string>>;
    Found found, expected;
    for (const auto& [path, node] : scan.Nodes())
        if (!node->IsDirectory())
            found.emplace(path, node->IsDeleted() != 0,
                          node->GetFileSize() == 0 ? kEmptySha : scan.Recover(node, SEARCHER_HFSPLUS));
    const std::map<std::string, long long> files = FlsFiles(Tsk("fls", "-r -p"));
    if (GetParam().source == kSample) {
        for (const auto& [path, id] : files)
            expected.emplace(path, false, Shell("icat '" + image + "' " + std::to_string(id) + " | sha256sum").substr(0, 64));
    } else if (GetParam().source == kSynth) {
        for (const ManifestLine& m : SynthManifest(GetParam().name)) expected.emplace(m.path, m.deleted, m.sha);
    } else {
        std::set<std::string> manifestPaths{"f"}, flsPaths;
        for (const auto& [path, sha] : Sha256Manifest(FixtureFile("hfs_xorriso", std::string(GetParam().name) + ".sha256.txt")))
            if (path != "f") // typed "fdrp": shown as a folder
                expected.emplace(path, false, sha), manifestPaths.insert(path);
        for (const auto& [path, id] : files) flsPaths.insert(path);
        EXPECT_EQ(flsPaths, manifestPaths);
    }
    EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(Volumes, HfsVolumeTest, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HfsSample, InlineAttributeEqualsIcat) {
    ImageDevice device(TestData() + "/dfvfs/hfsplus.raw");
    CHFSPlusVolume volume(&device, false);
    const std::string bytes = Shell("icat '" + TestData() + "/dfvfs/hfsplus.raw' 19-4354-2");
    EXPECT_EQ(volume.getAttribute(19, "myxattr"), std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_TRUE(volume.getAttribute(19, "nothere").empty());
    // Opened without its catalog (as for reading compressed files): error 6,
    // attributes still served.
    CHFSPlusVolume bare(&device, true);
    EXPECT_EQ(ResultError(bare.GetLastError()), kErrInvalid);
    EXPECT_EQ(bare.getAttribute(19, "myxattr").size(), 21u);
    // Not journaled (attributes 0x80000100): no journal, nothing deleted.
    EXPECT_FALSE(volume.Journal()->IsUsable());
    EXPECT_EQ(volume.Journal()->GetDeleteRecord(nullptr, nullptr), 0u);
    EXPECT_TRUE(volume.m_deletedCatalog.empty());
}

TEST(HfsXorriso, PosixColonNameIsFoundAndShown) {
    const std::string image = FixtureFile("hfs_xorriso", "hfs_x512.iso");
    ASSERT_FALSE(image.empty());
    ImageDevice device(image, 512, std::stoull(ReadText(FixtureFile("hfs_xorriso", "hfs_x512.start"))) * 512);
    CHFSPlusVolume volume(&device, false);
    for (const char16_t* name : {u"a:b.txt", u"a/b.txt"}) {
        BTKey key;
        key.parentID = kRootFolderId;
        key.name = name;
        HFSPlusSearchResult result;
        EXPECT_EQ(volume.Search(kCatalogFileId, key, result), 0u);
        EXPECT_EQ(result.found, 1);
    }
}

} // namespace
