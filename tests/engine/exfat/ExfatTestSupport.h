#pragma once
// Helpers of the exFAT tests: found entries against fls listings, and entry
// sets damaged as a disk may present them.
#include "tests/support/ByteWriter.h"
#include "tests/support/fs_Scan.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace exfat_test {

using salvor::test::Entries;
using salvor::test::Entry;
using salvor::test::ReadText;
using salvor::test::RecordingBuilder;

// The entries of a that are not in b, one a line (for failure messages).
std::string Missing(const Entries& a, const Entries& b);
// Expects a == b, listing the differences.
void ExpectSame(const Entries& found, const Entries& expected);
// The deleted ones.
Entries Deleted(const Entries& all);
// How many entries lie below folder.
std::size_t CountUnder(const Entries& all, const std::string& folder);

// fls -r -p output, normalised: no label, bitmap, up-case, virtual or orphan entries.
Entries ParseFls(const std::string& text);
Entries FlsOf(const std::string& image, const std::string& extra = "");

// Stores v little-endian at off, in as many bytes as its type has.
template <typename T> void Put(std::vector<std::uint8_t>& b, std::size_t off, T v) { salvor::test::PutLeOf(b, off, v); }

// The offset of the first file set (in use or deleted) of a folder's entries
// whose name begins with name, npos when none; and the set's checksum made to
// hold again, as a damaged disk may present it.
std::size_t FindEntrySet(const std::vector<std::uint8_t>& folder, const std::u16string& name);
void ResealEntrySet(std::vector<std::uint8_t>& folder, std::size_t off);

} // namespace exfat_test
