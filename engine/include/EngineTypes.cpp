#include "engine/include/EngineTypes.h"
#include "engine/include/Progress.h"

#include <atomic>
#include <cstring>

const char* SearcherRootSuffix(int type) {
    switch (type) {
    case SEARCHER_HFSPLUS: return "(HFS+)";
    case SEARCHER_FAT: return "(FAT/FAT32)";
    case SEARCHER_EXFAT: return "(ExFat)";
    case SEARCHER_RAW: return "(RAW Files)";
    case SEARCHER_NTFS: return "(NTFS)";
    case SEARCHER_RAW_LABEL: return "(Label RAW Files)";
    case SEARCHER_APFS: return "(APFS)";
    default: return "";
    }
}

namespace {
std::atomic<unsigned long long> g_carveNotKept{0};
}

void NoteCarveNotKept(unsigned long long count) { g_carveNotKept.store(count); }
unsigned long long TakeLastCarveNotKept() { return g_carveNotKept.exchange(0); }

_PROGRESS_INFO MakeProgress(std::uint32_t state, std::uint64_t total, std::uint64_t current,
                            std::uint64_t result) {
    _PROGRESS_INFO info;
    std::memset(&info, 0, sizeof info);
    info.state = state;
    info.total = total;
    info.current = current;
    info.result = result;
    return info;
}
