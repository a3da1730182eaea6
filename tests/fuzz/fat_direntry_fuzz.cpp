// FAT directory entries: entry tests, names, the folder-sector recogniser and
// the property builder over arbitrary entry runs.
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatFolderAnalyser.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fat::Bytes bytes(data, size);
    for (std::size_t off = 0; off + 32 <= size; off += 32) {
        const CTempFATDirEntry entry(bytes.subspan(off, 32));
        entry.IsValidFATDirEntry(false);
        entry.IsValidFATDirEntry(true);
        std::string name;
        entry.GetShortName(name, false);
        if (name.size() > 12) __builtin_trap();
        const std::string piece = entry.GetLongFileName();
        if (piece.empty() || piece.size() > 13 * 3) __builtin_trap();
    }
    CFATFolderAnalyser analyser(512);
    if (analyser.AnalyseSector(bytes) && analyser.GetDirectoryEntryType() == 0) __builtin_trap();
    std::unique_ptr<CFATFileProperties> p(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(bytes));
    if (p && (p->GetFileName() == nullptr || std::strlen(p->GetFileName()) != p->GetFileNameLength()))
        __builtin_trap();
    return 0;
}
