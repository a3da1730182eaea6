#pragma once
// Volume geometry and label of a FAT volume, and the FAT recogniser of the
// volume analysis.
#include "engine/fat/FatBootSector.h"
#include "engine/include/VolumeAnalyze.h"

#include <cstdint>
#include <string>

class IStorageDevice;

class CFATVolume {
public:
    explicit CFATVolume(IStorageDevice* device);

    // The volume label from the root folder; false when none was found. A
    // root folder that could not be read where it was looked through answers
    // with the boot sector's copy of the label.
    bool GetPartitionLabel(unsigned long long volumeStart, const CTempFATDBR& boot, std::string& label);
    // The absolute first sector of data cluster `cluster` (2 or more); -1 for an
    // unrecognised boot sector or a smaller cluster.
    static long long ConvertClusterToSector(unsigned long long volumeStart, const CTempFATDBR& boot,
                                            unsigned long long cluster);
    // Searches `sectors` sectors at `sector` for the label entry.
    bool AnalyzeDirClusterToGetLabel(unsigned long long sector, unsigned sectors, std::string& label);
    // Walks the FAT32 root folder's cluster chain for the label entry.
    bool AnalyzeClusterInClusterChain(unsigned long long volumeStart, const CTempFATDBR& boot, std::string& label);

private:
    bool GetFatLabel(unsigned long long volumeStart, const CTempFATDBR& boot, std::string& label);

    IStorageDevice* m_device;
    unsigned m_sectorSize;
    bool m_rootUnread = false; // a read of the root folder failed
};

// The label entry's text (label form) found among the entries of a folder
// buffer: the first non-erased, non-long-name entry with the label bit, before
// the first entry that fails the strict test. False when there is none.
bool FindFatLabelEntry(fat::Bytes entries, std::string& label);

class CFatVolumeAnalyze : public IVolumeAnalyze {
public:
    static constexpr int kLabelBytes = 100;

    // Always an object; of kind FS_UNKNOWN when no FAT boot sector lies at startSector.
    static IVolumeAnalyze* Create(IStorageDevice* device, unsigned long long startSector);

    CFatVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
    enumFILE_SYSTEM_TYPE GetFileSystemType() override { return m_kind; }
    unsigned long long GetTotalSector() override { return m_totalSectors; }
    // Copies the label, cut at a character boundary to fit, always terminated.
    void GetLabel(char* buffer, int size) override;
    std::uint64_t GetVolumeSerial() override { return m_serial; }

private:
    enumFILE_SYSTEM_TYPE m_kind = FS_UNKNOWN;
    std::string m_label;
    unsigned long long m_totalSectors = 0;
    std::uint64_t m_serial = 0;
};
