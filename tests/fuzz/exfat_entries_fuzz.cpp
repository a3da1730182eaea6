// exFAT folder entries: the entry tests, the set checksum and timestamps on
// every 32-byte entry, the quick search's folder analyser over the input as
// folder clusters, and the nodes and data runs made from what it found (the
// FAT read from the input too).
//
// Input: one byte of geometry (sector shift 9-12 in bits 0-1, cluster shift
// above it in bits 2-4), one byte of device length, then the folder clusters
// (their entry sets resealed when the input's size is odd).
#include "engine/common/DataRunList.h"
#include "engine/exfat/ExfatEntries.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatPartition.h"
#include "tests/fuzz/FuzzScan.h"

#include <cstring>

using namespace exfat;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned sectorShift = 9 + (data[0] & 3);
    const unsigned clusterShift = sectorShift + ((data[0] >> 2) & 7);
    const std::uint64_t totalSectors = (std::uint64_t{data[1]} + 1) << 8;
    std::vector<std::uint8_t> folder(data + 2, data + size);
    if (size % 2) salvor::fuzz::ResealExfatSets(folder);
    const Bytes body(folder);

    for (std::size_t off = 0; off + kEntrySize <= body.size(); off += kEntrySize) {
        const Bytes e = body.subspan(off, kEntrySize);
        IsValidFileEntry(e);
        IsValidStreamEntry(e, totalSectors, sectorShift, clusterShift);
        IsValidNameEntry(e);
        IsValidLabelEntry(e);
        std::uint32_t t;
        std::memcpy(&t, e.data() + 8, 4);
        if (IsValidTimestamp(t)) DosTime2FileTime(t);
        const std::size_t set = (std::size_t{e[1]} + 1) * kEntrySize;
        CheckDirEntry(body.subspan(off), set, static_cast<std::uint16_t>(e[2] | (e[3] << 8)));
    }

    CEFDTAnalyze analyser;
    analyser.PrepareAnayze(sectorShift, clusterShift, totalSectors);
    analyser.BeginFolder();
    const std::size_t cluster = std::size_t{1} << clusterShift;
    for (std::size_t off = 0; off < body.size(); off += cluster) {
        const Bytes piece = body.subspan(off, std::min(cluster, body.size() - off));
        if (!analyser.Analyze(piece, static_cast<std::int64_t>(off >> sectorShift))) break;
    }

    // The input is also the device: the FAT at its start, the heap after it.
    salvor::fuzz::MemoryDevice device(body, 1u << sectorShift, DEVICE_VOLUME);
    CExFatPartition partition;
    const unsigned spc = 1u << (clusterShift - sectorShift);
    const std::uint32_t clusters = static_cast<std::uint32_t>(device.GetTotalSectors() / spc + 8);
    partition.SetGeometry(1u << sectorShift, spc, clusters, 4, 1);
    partition.CreateFatTable(&device, 0, 1, clusters);
    if (analyser.BitmapCluster() != 0)
        partition.LoadAllocationBitmap(&device, analyser.BitmapCluster(), analyser.BitmapLength());
    for (const _tagFileBaseInfo& r : analyser.Records()) {
        if (r.name.size() > kMaxNameBytes) __builtin_trap();
        CExFatFileNode* node = partition.BuildFile(r);
        if (auto* runs = dynamic_cast<CDataRunList*>(node->GetDataRunList())) {
            long long total = 0;
            for (const DataRun& run : runs->Runs()) {
                // Every run lies in the heap.
                if (run.start < 0 || run.length <= 0 || run.start + run.length > static_cast<long long>(clusters))
                    __builtin_trap();
                total += run.length;
            }
            if (total > static_cast<long long>(clusters)) __builtin_trap();
        }
        node->Release();
    }
    return 0;
}
