// Compressed files of the synthetic volumes (decmpfs types 3, 4, 7, 8 and
// their stored forms) read as the saved-scan loader reads them: a volume
// opened without its catalog, a node made from a catalog record, a reader over
// both; slices against icat, and damaged attributes and forks.
#include "engine/common/FileNode.h"
#include "engine/hfsplus/HfsPlusCompressFileReader.h"
#include "engine/hfsplus/HfsPlusFileNode.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "tests/engine/hfsplus/HfsSynthManifest.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/TestFileNode.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>

using namespace hfsplus;
using namespace salvor::test;
using hfstest::IdOf;

namespace {

const std::string kVolume = "synth_4096";
std::string Image() { return FixtureFile("hfs_synth", kVolume + ".img"); }

// The catalog key and record of a live file, through its thread.
bool CatalogOf(CHFSPlusVolume& volume, long long id, BTKey& key, HFSPlusCatalogRecord& record) {
    BTKey thread;
    thread.parentID = static_cast<std::uint32_t>(id);
    HFSPlusSearchResult result;
    std::vector<std::uint8_t> data;
    if (volume.Search(kCatalogFileId, thread, result, &data) != 0 || !result.found || !ReadCatalogRecord(data, record))
        return false;
    key.parentID = record.threadParentID;
    key.name = record.threadName;
    return volume.Search(kCatalogFileId, key, result, &data) == 0 && result.found && ReadCatalogRecord(data, record);
}

// A loaded scan's node: answers from what was saved, with the fork's runs.
struct SavedNode : TestFileNode {
    SavedNode(long long id, long long size, IDataRunList* runs) : TestFileNode(id, 0, "saved", false, size) {
        SetCompressed(1);
        SetDataRunList(runs);
    }
};

const char* const kFiles[] = {"zlib inline.txt", "zlib stored.txt", "zlib fork.bin", "lzvn inline.txt",
                              "lzvn stored.txt", "lzvn fork.bin", "lzvn tiny.txt"};

TEST(HfsCompressed, LoaderReadsEverySliceAsIcat) {
    ImageDevice device(Image());
    CHFSPlusVolume catalog(&device, false);
    auto* bare = new CHFSPlusVolume(&device, true);
    EXPECT_EQ(ResultError(bare->GetLastError()), kErrInvalid);
    for (const char* name : kFiles) {
        SCOPED_TRACE(name);
        const long long id = IdOf(kVolume, std::string("Compressed/") + name);
        std::string want;
        ASSERT_EQ(RunCommand("icat '" + Image() + "' " + std::to_string(id), &want), 0);
        BTKey key;
        HFSPlusCatalogRecord record;
        ASSERT_TRUE(CatalogOf(catalog, id, key, record));
        CHFSPlusFileNode node(bare, key, record, false);
        EXPECT_EQ(node.GetFileSize(), static_cast<long long>(want.size()));
        SavedNode saved(id, node.GetFileSize(), node.GetDataRunList() ? node.GetDataRunList()->Clone() : nullptr);
        IFileReader* reader = node.CreateCompressFileReader(nullptr);
        auto* loaded = new CHFSPlusCompressFileReader(bare, &saved);
        IFileReader* copy = reader->Clone();
        ASSERT_NE(copy, nullptr);
        const long long size = static_cast<long long>(want.size());
        for (long long offset : {0LL, 1LL, 65535LL, 70000LL, 4LL << 20, size - 1, size, size + 5}) {
            for (unsigned length : {1u, 100000u, 4u << 20}) {
                std::string got(length, '\0');
                const std::string slice = offset < size && offset >= 0 ? want.substr(offset, length) : "";
                for (IFileReader* r : {reader, copy, static_cast<IFileReader*>(loaded)}) {
                    const unsigned n = r->ReadData(offset, got.data(), length, nullptr);
                    EXPECT_EQ(got.substr(0, n), slice) << offset << "+" << length;
                }
            }
        }
        EXPECT_EQ(reader->GetDataSize(), size);
        EXPECT_TRUE(reader->IsCompressFile());
        copy->Release();
        reader->Release();
        loaded->Release();
    }
    delete bare;  // the volume goes after its readers
}

// A copy of the volume with some bytes changed, read through one file's reader.
struct Damage {
    const char* what;
    const char* file;
    // Changes the image: attr is the offset of the file's decmpfs attribute
    // data ("fpmc"), fork the offset of its resource fork.
    std::function<void(std::string& image, std::size_t attr, std::size_t fork)> apply;
    long long offset;  // where the read starts
    bool readable;     // the read still answers (icat's bytes)
};

void Put32(std::string& s, std::size_t at, std::uint32_t v, bool bigEndian = false) {
    bigEndian ? salvor::test::PutBe32(s, at, v) : salvor::test::PutLe32(s, at, v);
}

TEST(HfsCompressed, DamagedDataReadsNothing) {
    const Damage cases[] = {
        {"attribute under 16 bytes", "lzvn inline.txt", [](std::string& s, std::size_t a, std::size_t) { Put32(s, a - 4, 12, true); }, 0, false},
        {"unsupported type (LZFSE)", "lzvn inline.txt", [](std::string& s, std::size_t a, std::size_t) { Put32(s, a + 4, 11); }, 0, false},
        {"unknown type", "zlib inline.txt", [](std::string& s, std::size_t a, std::size_t) { Put32(s, a + 4, 99); }, 0, false},
        {"absurd inline size", "zlib inline.txt", [](std::string& s, std::size_t a, std::size_t) { Put32(s, a + 12, 0x7FFFFFFF); }, 0, false},
        {"match before the output", "lzvn inline.txt", [](std::string& s, std::size_t a, std::size_t) { s[a + 16] = 0; s[a + 17] = 5; }, 0, false},
        {"zlib garbage inline", "zlib inline.txt", [](std::string& s, std::size_t a, std::size_t) { s.replace(a + 18, 8, "garbage!"); }, 0, false},
        {"type 5 is zlib in the fork", "zlib fork.bin", [](std::string& s, std::size_t a, std::size_t) { Put32(s, a + 4, 5); }, 70000, true},
        {"block count 2^32 - 1", "zlib fork.bin", [](std::string& s, std::size_t, std::size_t f) { Put32(s, f + 0x104, 0xFFFFFFFF); }, 0, false},
        {"block past the fork", "zlib fork.bin", [](std::string& s, std::size_t, std::size_t f) { Put32(s, f + 0x108, 0x7FFFFFF0); }, 0, false},
        {"block larger than any", "zlib fork.bin", [](std::string& s, std::size_t, std::size_t f) { Put32(s, f + 0x10C, 0x7FFFFFF0); }, 0, false},
        {"zlib garbage block", "zlib fork.bin", [](std::string& s, std::size_t, std::size_t f) { s.replace(f + 0x104 + 0x1C, 8, "garbage!"); }, 0, false},
        {"garbage block spares the next", "zlib fork.bin", [](std::string& s, std::size_t, std::size_t f) { s.replace(f + 0x104 + 0x1C, 8, "garbage!"); }, 65536, true},
        {"chunk table absurd", "lzvn fork.bin", [](std::string& s, std::size_t, std::size_t f) { Put32(s, f, 0xFFFFFFF0); }, 0, false},
        {"chunk offsets reversed", "lzvn fork.bin", [](std::string& s, std::size_t, std::size_t f) { Put32(s, f + 4, 8); }, 0, false},
        {"chunk past the fork", "lzvn fork.bin", [](std::string& s, std::size_t, std::size_t f) { Put32(s, f + 12, 0x7FFFFFF0); }, 140000, false},
        {"size disagreeing with the table", "lzvn fork.bin", [](std::string& s, std::size_t a, std::size_t) { Put32(s, a + 12, 0x10); }, 0, false},
    };
    const std::string original = ReadWholeFile(Image());
    ImageDevice device(Image());
    CHFSPlusVolume catalog(&device, false);
    TempDir dir;
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.what);
        const long long id = IdOf(kVolume, std::string("Compressed/") + c.file);
        BTKey key;
        HFSPlusCatalogRecord record;
        ASSERT_TRUE(CatalogOf(catalog, id, key, record));
        // The live attribute's data (the journal, further on, holds older copies).
        const std::vector<std::uint8_t> a = catalog.getAttribute(static_cast<std::uint32_t>(id), "com.apple.decmpfs");
        const std::size_t attr = original.find(std::string(a.begin(), a.end()));
        ASSERT_NE(attr, std::string::npos);
        const std::size_t fork = std::size_t{record.resourceFork.extents[0].startBlock} * 4096;
        std::string image = original;
        c.apply(image, attr, fork);
        const std::string path = dir.path() + "/damaged.img";
        std::ofstream(path, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
        ImageDevice damaged(path);
        CHFSPlusVolume volume(&damaged, true);
        CHFSPlusFileNode node(&volume, key, record, false);
        CHFSPlusCompressFileReader reader(&volume, &node);
        std::string got(70000, '\0');
        const unsigned n = reader.ReadData(c.offset, got.data(), 70000, nullptr);
        if (!c.readable) {
            EXPECT_EQ(n, 0u);
            continue;
        }
        std::string want;
        ASSERT_EQ(RunCommand("icat '" + Image() + "' " + std::to_string(id), &want), 0);
        EXPECT_EQ(got.substr(0, n), want.substr(static_cast<std::size_t>(c.offset), 70000));
    }
}

}  // namespace
