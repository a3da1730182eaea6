#pragma once
// Helpers of the FAT tests: fixture manifests, a reference walk over a volume's
// folders built from the library's pieces, and the normalisation that makes our
// names comparable with fls.
#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatTable.h"
#include "tests/support/ImageDevice.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fattest {

// One line of a fixture's NAME.istat manifest (or of an fls listing).
struct OracleEntry {
    bool dir = false;
    unsigned long long inode = 0;
    bool deleted = false;
    long long size = -1; // -1 when unknown
    std::vector<unsigned long long> sectors;
    std::string path;
};

std::vector<OracleEntry> ReadIstatManifest(const std::string& file);
// fls -r -p lines (without volume label and $ lines).
std::vector<OracleEntry> ParseFls(const std::string& text);
std::string ReadText(const std::string& file);
void Put16(std::vector<std::uint8_t>& b, std::size_t off, unsigned v);
// A 32-byte short entry (name and extension as 11 bytes).
std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size);
// A long-name entry carrying up to 13 UTF-16 units (a NUL, then 0xFFFF fill).
std::vector<std::uint8_t> LfnEntry(const std::u16string& units);
std::vector<std::uint8_t> ReadBytes(const std::string& file, unsigned long long offset, std::size_t n);
bool WriteBytes(const std::string& file, unsigned long long offset, const std::vector<std::uint8_t>& bytes);

// A found entry of the reference walk.
struct Found {
    std::string path; // from the root, "/"-separated, no leading "/"
    long long size = 0;
    bool deleted = false;
    bool dir = false;
    std::uint32_t firstCluster = 0;
};

// An opened volume: device, boot sector copy and FAT.
struct Volume {
    std::unique_ptr<salvor::test::ImageDevice> device;
    std::unique_ptr<CFATDBR> boot;
    std::unique_ptr<IFATTable> table;
    unsigned sectorSize = 512;
    unsigned long long start = 0;

    bool Open(const std::string& image, unsigned sectorSize, unsigned long long startSector = 0);
    long long ClusterSector(std::uint32_t cluster) const;
    std::uint32_t SectorCluster(unsigned long long sector) const;
    // Every entry reachable from the root: live folders through the FAT,
    // deleted folders through their first cluster.
    std::vector<Found> Walk();
};

// A key comparable between our walk and fls: ASCII lower-cased (8.3 names are
// read without the NT lower-case flag), an erased first byte shown as "_".
std::string NormalisePath(const std::string& path, bool deleted);

} // namespace fattest
