// Compressed NTFS data: runs from the input cut into units of 16 clusters
// (every whole unit has 16, nothing is lost or gained), and the rest of the
// input expanded as each compressed unit's stored chunks into a buffer of
// exactly min(16 clusters, bytes left) (ASan catches any byte past it).
#include "engine/ntfs/CompressFileReader.h"
#include "engine/ntfs/NtfsDataRuns.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t cluster = 512u << (data[0] & 3);
    const std::size_t count = 1 + data[1] % 8;
    std::size_t p = 2;
    CNoneResidentNTFSDataRunList runs;
    long long clusters = 0, fileSize = 0;
    for (std::size_t i = 0; i < count && p + 2 <= size; ++i, p += 2) {
        const DataRun run{data[p] == 0xFF ? -1 : data[p] * 100LL, 1 + data[p + 1] % 40};
        runs.AddDataRun(&run);
        clusters += run.length;
    }
    fileSize = clusters * static_cast<long long>(cluster) - (size > p ? data[p] * 37 : 0);
    std::vector<tagCompressDataRun> pieces;
    CCompressFileReader::ReGroupCompressDataRunList(&runs, pieces);
    long long seen = 0, inUnit = 0;
    for (const auto& piece : pieces) {
        if (piece.length <= 0 || piece.length > 16 || (piece.lcn < 0) != (piece.lcn == -1)) __builtin_trap();
        seen += piece.length;
        inUnit += piece.length;
        if (inUnit > 16) __builtin_trap();
        if (inUnit == 16) inUnit = 0;
    }
    if (seen != clusters) __builtin_trap();

    const std::uint8_t* chunks = data + p;
    const std::size_t chunkBytes = size - p;
    for (long long start = 0; start < fileSize; start += 16 * static_cast<long long>(cluster)) {
        const std::size_t unit = static_cast<std::size_t>(std::min<long long>(16 * cluster, fileSize - start));
        std::vector<unsigned char> out(unit);
        const std::size_t stored = std::min<std::size_t>(chunkBytes, 16 * cluster);
        CCompressFileReader::DecompressUnit(chunks, stored, out.data(), out.size());
        const int n = CCompressFileReader::DecompressBlock(out.data(), static_cast<int>(unit), chunks, stored);
        if (n < 0 || static_cast<std::size_t>(n) > unit) __builtin_trap();
    }
    return 0;
}
