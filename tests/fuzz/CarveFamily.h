#pragma once
// The shared driver of the carver's format-family fuzz targets: one analyser
// run over fuzzed sectors as the carver runs it.
#include "engine/carver/RawFileInfo.h"

#include <cstddef>
#include <cstdint>

namespace salvor::fuzz {

// Input: a flag byte (bit 0: 4096-byte sectors), a 4-byte seed choosing when
// streaming records are told WillBeRemove, then the device's sectors.
// At every sector, acceptance through the scan window (the previous sectors,
// the following ones and a zero margin); a hit's record is created as the
// carver creates it, shown the later sectors through CalcRawSize until it
// ends or is removed at a seeded point (or, still followed at the device's
// end, let go as the end of a scan lets it go), then, when its analyser is
// left to size it, sized on a memory device. Traps when a size passes the
// cap, or a size the analyser gives from the device passes the device's end.
void DriveAnalyser(IRawFileAnalyser& analyser, const std::uint8_t* data, std::size_t size,
                   unsigned long long cap);

} // namespace salvor::fuzz
