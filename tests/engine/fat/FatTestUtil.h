#pragma once
// Helpers of the FAT tests: oracle manifests and listings, hand-made entries,
// an opened volume, and FAT scans compared with The Sleuth Kit.
#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatTable.h"
#include "tests/support/fs_Scan.h"

namespace fattest {

using salvor::test::FsScan;
using salvor::test::ReadText;
using salvor::test::WriteBytes;

// A line of a fixture's NAME.istat manifest ("type inode L|D size sectors...<TAB>path") or of fls -r -p.
struct OracleEntry {
    bool dir = false;
    bool deleted = false;
    long long size = -1; // -1 when unknown
    std::vector<unsigned long long> sectors;
    std::string path;
};
std::vector<OracleEntry> ReadIstatManifest(const std::string& file);
std::vector<OracleEntry> ParseFls(const std::string& text); // without the label and $ entries
std::vector<OracleEntry> FlsOf(const std::string& image);

void Put16(std::vector<std::uint8_t>& b, std::size_t off, unsigned v);
std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster,
                                     std::uint32_t size);
// A long-name entry of up to 13 UTF-16 units (a NUL, then 0xFFFF fill).
std::vector<std::uint8_t> LfnEntry(const std::u16string& units);

// The key our paths and fls's are matched by: an erased first byte ("#" here,
// "_" in fls) as "_", and an 8.3 name that fls spells through its lower-case
// flags (whole name or extension lower case) in the upper case stored on
// disk, which is what we show. Everything else stays exact.
std::string FatKey(const std::string& path);
// Ours against fls's spelling, component by component: equal, or the stored
// upper case of an 8.3 name fls shows through its lower-case flags.
bool SameFatName(const std::string& ours, const std::string& fls);

// What a scan shows of an fls listing: every file and every folder with a
// file below it (folders keyed with a trailing "/").
std::map<std::string, OracleEntry> Expected(const std::vector<OracleEntry>& fls);
// The FAT tree of a scan, keyed like Expected: path and node.
std::map<std::string, std::pair<std::string, IFileNode*>> Listing(const FsScan& scan);
// Same keys, exact names, deleted flags and (where known) sizes; deleted
// entries below extrasBelow that want lacks are allowed and counted.
int ExpectListing(const FsScan& scan, const std::map<std::string, OracleEntry>& want,
                  const std::string& extrasBelow = "");
// Every file of a sha256 manifest listed and written byte-exact (a deleted
// 8.3 name has lost its first letter); answers how many; skip: base names.
int ExpectRecovered(FsScan& scan, const std::string& manifest, const std::vector<std::string>& skip = {});

} // namespace fattest
