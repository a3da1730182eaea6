#include "engine/include/FactoryRegistry.h"

#include <algorithm>

bool FileSystemTable::Add(FileSystemEntry entry) {
    if (entry.name.empty()) return false;
    for (const FileSystemEntry& e : m_entries)
        if (e.name == entry.name || (entry.searcherType != SEARCHER_NONE && e.searcherType == entry.searcherType))
            return false;
    m_entries.push_back(std::move(entry));
    return true;
}

std::vector<const FileSystemEntry*> FileSystemTable::DeepTeam() const {
    std::vector<const FileSystemEntry*> team;
    for (const FileSystemEntry& e : m_entries)
        if (e.deep) team.push_back(&e);
    std::stable_sort(team.begin(), team.end(),
                     [](const FileSystemEntry* a, const FileSystemEntry* b) { return a->deepTurn < b->deepTurn; });
    return team;
}

const FileSystemEntry* FileSystemTable::ForVolumeKind(unsigned kind) const {
    for (const FileSystemEntry& e : m_entries)
        if (std::find(e.volumeKinds.begin(), e.volumeKinds.end(), kind) != e.volumeKinds.end()) return &e;
    return nullptr;
}

const FileSystemEntry* FileSystemTable::ForSearcher(int searcherType) const {
    for (const FileSystemEntry& e : m_entries)
        if (e.searcherType == searcherType) return &e;
    return nullptr;
}

const FileSystemEntry* FileSystemTable::Named(const std::string& name) const {
    for (const FileSystemEntry& e : m_entries)
        if (e.name == name) return &e;
    return nullptr;
}

FileSystemTable& FileSystems() {
    static FileSystemTable table;
    return table;
}

void ResetFactories() { FileSystems().Clear(); }

namespace {
ICompleteFileSystemSearchController* Deep(int type) {
    const FileSystemEntry* e = FileSystems().ForSearcher(type);
    return e && e->deep ? e->deep() : nullptr;
}
IQuickFileSystemSearchController* Quick(int type) {
    const FileSystemEntry* e = FileSystems().ForSearcher(type);
    return e && e->quick ? e->quick() : nullptr;
}
IVolumeAnalyze* Recognise(int type, IStorageDevice* device, unsigned long long start) {
    const FileSystemEntry* e = FileSystems().ForSearcher(type);
    return e && e->recognise ? e->recognise(device, start) : nullptr;
}
} // namespace

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() { return Deep(SEARCHER_HFSPLUS); }
ICompleteFileSystemSearchController* CreateEXFatSearcher() { return Deep(SEARCHER_EXFAT); }
ICompleteFileSystemSearchController* CreateFATSearcher() { return Deep(SEARCHER_FAT); }
ICompleteFileSystemSearchController* CreateRAWSearcher() { return Deep(SEARCHER_RAW); }
ICompleteFileSystemSearchController* CreateNTFSSearcher() { return Deep(SEARCHER_NTFS); }
ICompleteFileSystemSearchController* CreateAPFSDeepSearcher() { return Deep(SEARCHER_APFS); }

IQuickFileSystemSearchController* CreateFATQuickSearcher() { return Quick(SEARCHER_FAT); }
IQuickFileSystemSearchController* CreateNTFSQuickSearcher() { return Quick(SEARCHER_NTFS); }
IQuickFileSystemSearchController* CreateEXFatQuickSearcher() { return Quick(SEARCHER_EXFAT); }
IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher() { return Quick(SEARCHER_HFSPLUS); }
IQuickFileSystemSearchController* CreateAPFSQuickSearcher() { return Quick(SEARCHER_APFS); }

IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* d, unsigned long long s) { return Recognise(SEARCHER_FAT, d, s); }
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Recognise(SEARCHER_EXFAT, d, s);
}
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Recognise(SEARCHER_NTFS, d, s);
}
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Recognise(SEARCHER_HFSPLUS, d, s);
}
IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* d, unsigned long long s) {
    return Recognise(SEARCHER_APFS, d, s);
}

bool HasResidentReader() {
    for (const FileSystemEntry& e : FileSystems().Entries())
        if (e.readResident) return true;
    return false;
}

unsigned ReadResidentData(IStorageDevice* device, IFileNode* node, long long offset, char* buffer, unsigned size) {
    for (const FileSystemEntry& e : FileSystems().Entries())
        if (e.readResident) return e.readResident(device, node, offset, buffer, size);
    return 0;
}
