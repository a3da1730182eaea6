#pragma once
// The one table of the engine's file systems (the carver, which the deep scan
// runs beside them, has an entry too). Each library adds its entry from its
// registration call; RegisterAllLibraries fixes their order. The scan
// controllers, the volume analysis, the saved scans and the services read it;
// tests fill it with fakes. A maker that is empty, or answers null, is skipped.
#include "engine/include/SearchInterfaces.h"
#include "engine/include/VolumeAnalyze.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

class CFileNode;
class IFileNode;
class IFileReader;
class IProgress;
class IStorageDevice;
class CSearchedPartitionInfo;

// A volume a loaded scan keeps open while its results are browsed, so that
// compressed files of its file system can be read.
class ISavedVolume {
public:
    virtual ~ISavedVolume() = default;
    // A reader of node's compressed data (the caller owns it), or null.
    virtual IFileReader* CreateCompressedReader(CFileNode* node) = 0;
    // One partition record of the loaded scan: where on the device the files
    // naming its index lie.
    virtual void AddPartition(const CSearchedPartitionInfo&) {}
    // True for a compressed node of no saved size whose real size cannot be
    // learnt: written empty it would pass for whole.
    virtual bool IsSizeUnknown(CFileNode*) { return false; }
};

// What the deep controller hands an entry's set-up of its new searcher.
struct SearcherContext {
    IStorageDevice* device = nullptr; // the scanned device, not the read-ahead cache over it
    IProgress* sink = nullptr;
    std::map<long long, unsigned>* fileSectorMap = nullptr; // sectors of files a tree already holds
};

struct FileSystemEntry {
    using Quick = std::function<IQuickFileSystemSearchController*()>;
    using Deep = std::function<ICompleteFileSystemSearchController*()>;
    using Recogniser = std::function<IVolumeAnalyze*(IStorageDevice*, unsigned long long startSector)>;
    // Opens what a loaded scan needs of a volume; device may be null, when
    // only a reader that needs no open volume can be had.
    using SavedVolumeOpener = std::function<ISavedVolume*(IStorageDevice*)>;
    using Prepare = std::function<void(ICompleteFileSystemSearchController&, const SearcherContext&)>;
    // Reads resident (in-record) data of a node; bytes delivered, 0 on failure.
    using ResidentRead =
        std::function<unsigned(IStorageDevice*, IFileNode*, long long offset, char* buffer, unsigned size)>;

    std::string name;
    // The volume kinds (FS_*) its quick searcher scans.
    std::vector<unsigned> volumeKinds;
    _tagSearcherType searcherType = SEARCHER_NONE;
    // Where its deep searcher's turn comes within a block (lower first; equal
    // turns keep the table's order).
    int deepTurn = 0;
    Quick quick;
    Deep deep;
    Recogniser recognise;
    SavedVolumeOpener openSaved;
    Prepare prepare;
    ResidentRead readResident;
};

class FileSystemTable {
public:
    // Refuses (false) an entry without a name, or whose name or searcher type
    // is in the table already: one library, one entry.
    bool Add(FileSystemEntry entry);
    void Clear() { m_entries.clear(); }

    // In registration order. That order is the rule for a contested volume:
    // when two recognisers know it, the one registered first wins.
    const std::vector<FileSystemEntry>& Entries() const { return m_entries; }
    // The entries with a deep searcher, in the order of their turns.
    std::vector<const FileSystemEntry*> DeepTeam() const;
    // The entry whose quick searcher scans volumes of the kind, or null.
    const FileSystemEntry* ForVolumeKind(unsigned kind) const;
    const FileSystemEntry* ForSearcher(int searcherType) const;
    const FileSystemEntry* Named(const std::string& name) const;

private:
    std::vector<FileSystemEntry> m_entries;
};

// The process-wide table. Fill it before a scan starts; it is not locked.
FileSystemTable& FileSystems();
// Empties the table (tests).
void ResetFactories();

// The factories by the names the controllers have always used; each answers
// null when no entry makes one.
ICompleteFileSystemSearchController* CreateHFSPlusSearcher();
ICompleteFileSystemSearchController* CreateEXFatSearcher();
ICompleteFileSystemSearchController* CreateFATSearcher();
ICompleteFileSystemSearchController* CreateRAWSearcher();
ICompleteFileSystemSearchController* CreateNTFSSearcher();
ICompleteFileSystemSearchController* CreateAPFSDeepSearcher();

IQuickFileSystemSearchController* CreateFATQuickSearcher();
IQuickFileSystemSearchController* CreateNTFSQuickSearcher();
IQuickFileSystemSearchController* CreateEXFatQuickSearcher();
IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher();
IQuickFileSystemSearchController* CreateAPFSQuickSearcher();

IVolumeAnalyze* CreateFatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateExfatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateNTFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);

// Resident data of node, through the entry that reads resident data (NTFS's);
// bytes delivered, 0 when none does or the read fails.
unsigned ReadResidentData(IStorageDevice* device, IFileNode* node, long long offset, char* buffer, unsigned size);
// Whether an entry reads resident data.
bool HasResidentReader();
