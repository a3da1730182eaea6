#pragma once
// Whether the device a load found holds the volumes the scan was made of:
// two cards of one make carry the same size and label, and a load that took
// the other would recover its bytes as the scanned files.
#include "savedscan/SavedScanReplay.h"

#include <cstdint>
#include <functional>

class CDataRecovery;
class CSearchedPartitionInfo;
class IStorageDevice;

// The volume at the record's start on device against what the save holds of
// it (mark): the identity the save took of it; for a mark of sampled files
// the folded identity, when it had one (the files are judged by the replay);
// for a save without a mark the record's file-system kind and size against
// the volume found there now. Unchecked where nothing can be told (no
// identity and no file system known at the start, or a record of no file
// system).
VolumeCheck CheckSavedVolume(IStorageDevice* device, const CSearchedPartitionInfo& record,
                             const SaveRestoreResult::VolumeMark& mark);

// Whether the device's first 68 KiB hold one byte value each sector (a
// wiped table, no file system: each writes its structures within them).
bool BlankStart(IStorageDevice* device);

// For a save without marks: whether the volume of record on device holds
// the sampled files where the save says their entries are (their metadata
// position): an entry there of the file's size, as FAT (32-bit) and exFAT
// (64-bit) write it. Same when at least half of the files that can be
// told are; alone when none can (a file system of no such entries, small
// files).
VolumeCheck VolumeHoldsFiles(IStorageDevice* device, const CSearchedPartitionInfo& record,
                             const std::vector<IFileNode*>& files, VolumeCheck alone);

// The mark a save writes for record on device; files are the record's
// sampled files (CMarkSampler, kMarkSamples of them) and writer reads them
// as a recovery would: Samples where any can be read, else the identity.
// None when nothing can be had.
bool MakeVolumeMark(IStorageDevice* device, const CSearchedPartitionInfo& record, IDataRecovery* writer,
                    const std::vector<IFileNode*>& files, SaveRestoreResult::VolumeMark& mark);

// What the files read on device now, through a writer of records: per file
// its mark of the kind (Files: FirstSectorMark, Samples: SampleMark). None
// when no writer can be made.
std::vector<std::uint16_t> MarksNow(IStorageDevice* device, const std::vector<CSearchedPartitionInfo*>& records,
                                    const std::vector<IFileNode*>& files, SaveRestoreResult::VolumeMark::Kind kind);

// What the files read as through writer (ContentMark, per file; 0 where they
// cannot be read), read as the device lays their sampled sectors out: in
// batches of files, each batch's sectors sorted, those near joined, read in
// blocks. Reading stops once goOn (when given) answers false: files not
// read by then get 0. done (when given) hears how many files are read, as
// the blocks are. Files that expand themselves are read one by one.
std::vector<std::uint32_t> ReadContentMarks(CDataRecovery& writer, const std::vector<IFileNode*>& files,
                                            const std::function<bool()>& goOn,
                                            const std::function<void(std::size_t)>& done);

// What the files read as on device now (ReadContentMarks), through a writer
// of records; step (when given) is called as the blocks are read. None when
// no writer can be made.
std::vector<std::uint32_t> ContentMarksNow(IStorageDevice* device, const std::vector<CSearchedPartitionInfo*>& records,
                                           const std::vector<IFileNode*>& files,
                                           const std::function<void()>& step = {});

// Per file, whether a writer of records on device reads any of its data from
// the device sectors of ranges ([first, end)). False where that cannot be
// told (a file that expands itself).
std::vector<bool> FilesWithin(IStorageDevice* device, const std::vector<CSearchedPartitionInfo*>& records,
                              const std::vector<IFileNode*>& files,
                              const std::vector<std::pair<long long, long long>>& ranges);
