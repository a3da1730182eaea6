#include "savedscan/SavedVolumeCheck.h"

#include "engine/include/EngineTypes.h"
#include "engine/include/Owned.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"
#include "engine/common/FileNode.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "engine/writer/DataRecovery.h"
#include "engine/writer/FileReader.h"
#include "savedscan/RestoreFileNode.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>

using SaveRestoreResult::VolumeMark;

namespace {

bool IsFat(unsigned kind) { return kind == FS_FAT12 || kind == FS_FAT16 || kind == FS_FAT32; }

// Kinds a recogniser can find at a record's start.
bool IsRecognised(unsigned kind) {
    return IsFat(kind) || kind == FS_NTFS || kind == FS_EXFAT || kind == FS_HFSPLUS || kind == FS_APFS;
}

// Whether the device's first sector holds an MBR partition table (a
// protective one too), not a file system's boot sector.
bool PartitionTableAt(IStorageDevice* device) {
    std::vector<std::uint8_t> sector(std::max(512U, device->GetSectorSize()));
    if (device->ReadSector(sector.data(), 0, 1) == 0 || sector[510] != 0x55 || sector[511] != 0xAA) return false;
    if (std::memcmp(sector.data() + 3, "NTFS    ", 8) == 0 || std::memcmp(sector.data() + 3, "EXFAT   ", 8) == 0)
        return false;
    const unsigned bps = sector[11] | sector[12] << 8, spc = sector[13];
    if ((bps == 512 || bps == 1024 || bps == 2048 || bps == 4096) && spc != 0 && (spc & (spc - 1)) == 0 &&
        (sector[14] | sector[15] << 8) != 0 && sector[16] != 0)
        return false; // a FAT boot sector
    bool any = false;
    for (int e = 0; e < 4; ++e) {
        const std::uint8_t* entry = sector.data() + 446 + 16 * e;
        if (entry[0] != 0 && entry[0] != 0x80) return false;
        any = any || entry[4] != 0;
    }
    return any;
}

} // namespace

bool BlankStart(IStorageDevice* device) {
    if (!device) return false;
    const unsigned sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || sectorSize > 65536) return false;
    // Past the 64 KiB where a btrfs superblock lies.
    const unsigned long long count = std::min<unsigned long long>((69632 + sectorSize - 1) / sectorSize,
                                                                  device->GetTotalSectors());
    if (count == 0) return false;
    std::vector<std::uint8_t> sector(sectorSize);
    for (unsigned long long at = 0; at < count; ++at) {
        if (device->ReadSector(sector.data(), static_cast<long long>(at), 1) == 0) return false;
        if (!std::all_of(sector.begin(), sector.end(), [&](std::uint8_t b) { return b == sector.front(); }))
            return false;
    }
    return true;
}

VolumeCheck CheckSavedVolume(IStorageDevice* device, const CSearchedPartitionInfo& record, const VolumeMark& mark) {
    if (!device || record.m_startSector < 0) return VolumeCheck::Unchecked;
    const auto start = static_cast<unsigned long long>(record.m_startSector);
    if (mark.kind == VolumeMark::Kind::Identity) {
        std::uint64_t now = 0;
        // A volume that cannot be read now cannot be vouched for either.
        return VolumeIdentity(device, start, now) && now == mark.identity ? VolumeCheck::Same : VolumeCheck::Other;
    }
    if (mark.kind == VolumeMark::Kind::Files || mark.kind == VolumeMark::Kind::Samples) {
        if (mark.identity == 0) return VolumeCheck::Unchecked;
        std::uint64_t now = 0;
        if (VolumeIdentity(device, start, now) &&
            (mark.kind == VolumeMark::Kind::Files ? SaveRestoreResult::FoldIdentity(now)
                                                  : SaveRestoreResult::FoldIdentity16(now)) == mark.identity)
            return VolumeCheck::Same;
        // Carved files at a disk's start were told by its first sector of
        // data, which may be its partition table: a table that changed is
        // not a change of the files, which their own marks tell; nor is a
        // table wiped.
        if (!IsRecognised(record.m_fileSystemType) && mark.HasFiles() && start == 0 &&
            (PartitionTableAt(device) || BlankStart(device)))
            return VolumeCheck::Unchecked;
        return VolumeCheck::Other;
    }
    // An older save: a file system of another kind (or a FAT one of another
    // size) where the record's was tells another volume. A deep scan's FAT kind is
    // its own guess, so FAT12, 16 and 32 count as one.
    if (!IsRecognised(record.m_fileSystemType)) return VolumeCheck::Unchecked;
    const std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(device, start));
    IVolumeAnalyze* found = analysis ? analysis->GetVolumeAnzlyzer() : nullptr;
    if (!found) return VolumeCheck::Unchecked;
    const unsigned kind = found->GetFileSystemType();
    const bool same = kind == record.m_fileSystemType || (IsFat(kind) && IsFat(record.m_fileSystemType));
    const unsigned long long total = found->GetTotalSector();
    // A quick scan's record holds the sectors its device has of the volume:
    // fewer where the volume runs past its table entry or a cut image's end.
    const unsigned long long held = device->GetTotalSectors() > start ? device->GetTotalSectors() - start : 0;
    const bool sized = !IsFat(kind) || record.m_totalSectors == 0 || total == 0 || total == record.m_totalSectors ||
                       std::min(total, held) == record.m_totalSectors;
    return same && sized ? VolumeCheck::Same : VolumeCheck::Other;
}

namespace {

// The first sector of a FAT12/16 volume's fixed root folder, from the volume's
// start; -1 when its boot sector does not say.
long long FatRootFolder(IStorageDevice* device, long long start) {
    std::vector<std::uint8_t> boot(device->GetSectorSize());
    if (boot.size() < 64 || device->ReadSector(boot.data(), start, 1) == 0) return -1;
    const unsigned reserved = boot[14] | boot[15] << 8, fats = boot[16];
    const unsigned long fatSize = boot[22] | boot[23] << 8;
    if (reserved == 0 || fats == 0 || fatSize == 0) return -1;
    return static_cast<long long>(reserved + fats * fatSize);
}

// 1 when an entry of the file's size lies in the 4 KiB from its metadata
// position (taken from the volume's start, and from the device's), 0 when
// none does, -1 when that cannot be told. A FAT file in a fixed root folder
// has the position 0: its entry is in that folder.
int EntryHeld(IStorageDevice* device, const CSearchedPartitionInfo& record, IFileNode* node) {
    auto* c = dynamic_cast<CFileNode*>(node);
    long long meta = c ? c->GetMetadataStartPosition() : -1;
    if (meta == 0 && IsFat(record.m_fileSystemType)) meta = FatRootFolder(device, record.m_startSector);
    const long long size = node ? node->GetFileSize() : 0;
    const unsigned kind = record.m_fileSystemType;
    const bool fat = IsFat(kind);
    if (meta < 0 || size < 512 || !(fat || kind == FS_EXFAT)) return -1;
    const unsigned sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || sectorSize > 4096 || 4096 % sectorSize != 0) return -1;
    const unsigned count = 4096 / sectorSize;
    std::vector<std::uint8_t> buffer(4096);
    int told = -1;
    for (const long long at : {record.m_startSector + meta, meta}) {
        if (at < 0 || static_cast<unsigned long long>(at) + count > device->GetTotalSectors()) continue;
        if (device->ReadSector(buffer.data(), at, count) == 0) continue;
        told = 0;
        for (std::size_t off = 0; off + 32 <= buffer.size(); off += fat ? 32 : 8) {
            std::uint64_t value = 0;
            const std::size_t field = fat ? off + 28 : off;
            for (int b = fat ? 3 : 7; b >= 0; --b) value = value << 8 | buffer[field + static_cast<std::size_t>(b)];
            if (value == static_cast<std::uint64_t>(size)) return 1;
        }
        if (record.m_startSector == 0) break;
    }
    return told;
}

} // namespace

VolumeCheck VolumeHoldsFiles(IStorageDevice* device, const CSearchedPartitionInfo& record,
                             const std::vector<IFileNode*>& files, VolumeCheck alone) {
    if (!device) return alone;
    std::size_t told = 0, held = 0;
    for (IFileNode* node : files) {
        const int entry = EntryHeld(device, record, node);
        if (entry < 0) continue;
        ++told;
        held += static_cast<std::size_t>(entry);
    }
    if (told == 0) return alone;
    return 2 * held >= told ? VolumeCheck::Same : VolumeCheck::Other;
}

bool MakeVolumeMark(IStorageDevice* device, const CSearchedPartitionInfo& record, IDataRecovery* writer,
                    const std::vector<IFileNode*>& files, VolumeMark& mark) {
    if (!device || record.m_startSector < 0) return false;
    const auto start = static_cast<unsigned long long>(record.m_startSector);
    std::uint64_t identity = 0;
    const bool identified = VolumeIdentity(device, start, identity);
    mark = VolumeMark{};
    // Serial numbers repeat (mkntfs in one second, a card formatted again
    // with its serial kept): every volume whose files can be sampled is
    // told by them.
    mark.kind = VolumeMark::Kind::Samples;
    if (writer)
        for (std::size_t i = 0; i < files.size() && i < kMarkSamples; ++i) mark.samples[i] = SampleMark(*writer, files[i]);
    if (mark.HasFiles()) {
        mark.identity = identified ? SaveRestoreResult::FoldIdentity16(identity) : 0;
        return true;
    }
    if (!identified) return false;
    mark.kind = VolumeMark::Kind::Identity;
    mark.identity = identity;
    return true;
}

std::vector<std::uint16_t> MarksNow(IStorageDevice* device, const std::vector<CSearchedPartitionInfo*>& records,
                                    const std::vector<IFileNode*>& files, VolumeMark::Kind kind) {
    std::vector<CSearchedPartitionInfo*> copies = records;
    CDataRecovery writer;
    std::vector<std::uint16_t> marks;
    if (!device || writer.Initialize(copies, device) != 0) return marks;
    for (IFileNode* node : files)
        marks.push_back(kind == VolumeMark::Kind::Samples ? SampleMark(writer, node) : FirstSectorMark(writer, node));
    return marks;
}

namespace {

// Files whose sampled sectors are gathered and read together: what they
// hold stays in memory until their marks are taken.
constexpr std::size_t kMarkBatch = 4096;
// Sampled sectors this close are read in one, up to a block of this size:
// a read costs more than the bytes between.
constexpr long long kJoinBytes = 32 << 10;
constexpr long long kBlockBytes = 4 << 20;

// The device as the marks' reader sees it, in two passes over the same
// files with the same reader: first every read is noted (and answered with
// zeros), then, once the noted sectors were read in blocks in the device's
// order, each read is answered from them. A read that was not noted, or
// whose block failed, goes to the device itself as it would have: the
// bytes a mark is taken of are the same either way.
class CSampledReads final : public IStorageDevice {
public:
    explicit CSampledReads(IStorageDevice& device) : m_device(device) {}

    // The reads of the files, 0, 1, 2 ... in turn, go to the list (noting)
    // or, once all are noted, come from it (serving, any file).
    void Note() {
        m_noting = true;
        m_firstOf.push_back(m_reads.size());
    }
    void EndNoting() { m_firstOf.push_back(m_reads.size()); }
    void Serve(std::size_t file) {
        m_noting = false, m_file = file;
        m_cursor = m_firstOf[file];
    }
    // Reads the noted sectors in blocks, in the device's order, while goOn
    // answers true; read hears the fraction of sectors read after each block.
    void Fetch(const std::function<bool()>& goOn, const std::function<void(double)>& read);
    // Every read of file was fetched (or failed and goes to the device).
    bool Fetched(std::size_t file) const {
        for (std::size_t i = m_firstOf[file]; i < m_firstOf[file + 1]; ++i)
            if (m_reads[i].state == State::Unread) return false;
        return true;
    }
    void Clear() {
        m_reads.clear(), m_firstOf.clear(), m_bytes.clear();
    }

    int ReadSector(void* buffer, long long firstSector, long long count) override {
        const long long size = m_device.GetSectorSize() ? m_device.GetSectorSize() : 512;
        if (m_noting) {
            m_reads.push_back({firstSector, count});
            if (buffer && count > 0 && count <= kBlockBytes / size)
                std::memset(buffer, 0, static_cast<std::size_t>(count * size));
            return buffer && count > 0 && count <= kBlockBytes / size ? 1 : 0;
        }
        if (m_cursor < m_firstOf[m_file + 1]) {
            const Read& noted = m_reads[m_cursor++];
            if (noted.first == firstSector && noted.count == count && noted.state == State::Fetched) {
                std::memcpy(buffer, m_bytes.data() + noted.at, static_cast<std::size_t>(count * size));
                return 1;
            }
        }
        return m_device.ReadSector(buffer, firstSector, count);
    }
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    unsigned GetSectorSize() override { return m_device.GetSectorSize(); }
    unsigned long long GetTotalSectors() override { return m_device.GetTotalSectors(); }
    ResultCode IOCtl(unsigned long long code, void* arg) override { return m_device.IOCtl(code, arg); }
    IStorageDeviceData* GetPrivateData() override { return m_device.GetPrivateData(); }
    void SetPrivateData(IStorageDeviceData*) override {}
    int GetType() override { return m_device.GetType(); }
    ResultCode GetLastError() override { return m_device.GetLastError(); }

private:
    // Fetched: its bytes are at `at`; Failed: the device answers it.
    enum class State { Unread, Fetched, Failed };
    struct Read {
        long long first = 0, count = 0;
        State state = State::Unread;
        std::size_t at = 0;
    };
    IStorageDevice& m_device;
    std::vector<Read> m_reads;
    std::vector<std::size_t> m_firstOf; // per file its first read; one past the last file's
    std::vector<std::uint8_t> m_bytes;
    bool m_noting = true;
    std::size_t m_file = 0, m_cursor = 0;
};

void CSampledReads::Fetch(const std::function<bool()>& goOn, const std::function<void(double)>& read) {
    const long long size = m_device.GetSectorSize() ? m_device.GetSectorSize() : 512;
    const auto total = static_cast<long long>(std::min<unsigned long long>(m_device.GetTotalSectors(), LLONG_MAX));
    std::vector<std::size_t> order;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < m_reads.size(); ++i) {
        Read& r = m_reads[i];
        // Past the device's end the device itself answers, as before.
        if (r.first < 0 || r.count <= 0 || r.count > total - r.first || r.count > kBlockBytes / size) {
            r.state = State::Failed;
            continue;
        }
        r.at = bytes;
        bytes += static_cast<std::size_t>(r.count * size);
        order.push_back(i);
    }
    m_bytes.assign(bytes, 0);
    std::stable_sort(order.begin(), order.end(),
                     [this](std::size_t a, std::size_t b) { return m_reads[a].first < m_reads[b].first; });
    const long long join = std::max<long long>(kJoinBytes / size, 1), most = std::max<long long>(kBlockBytes / size, 1);
    std::vector<std::uint8_t> block;
    for (std::size_t from = 0; from < order.size();) {
        if (goOn && !goOn()) return;
        const long long start = m_reads[order[from]].first;
        long long end = start + m_reads[order[from]].count;
        std::size_t to = from + 1;
        for (; to < order.size(); ++to) {
            const Read& r = m_reads[order[to]];
            const long long next = std::max(end, r.first + r.count);
            if (r.first > end + join || next - start > most) break;
            end = next;
        }
        block.resize(static_cast<std::size_t>((end - start) * size));
        const bool ok = m_device.ReadSector(block.data(), start, end - start) != 0;
        for (std::size_t k = from; k < to; ++k) {
            Read& r = m_reads[order[k]];
            r.state = ok ? State::Fetched : State::Failed;
            if (ok)
                std::memcpy(m_bytes.data() + r.at, block.data() + (r.first - start) * size,
                            static_cast<std::size_t>(r.count * size));
        }
        from = to;
        if (read) read(static_cast<double>(from) / static_cast<double>(order.size()));
    }
}

} // namespace

std::vector<std::uint32_t> ReadContentMarks(CDataRecovery& writer, const std::vector<IFileNode*>& files,
                                            const std::function<bool()>& goOn,
                                            const std::function<void(std::size_t)>& done) {
    std::vector<std::uint32_t> marks(files.size(), 0);
    IStorageDevice* device = writer.Device();
    if (!device) return marks;
    CSampledReads reads(*device);
    for (std::size_t from = 0; from < files.size(); from += kMarkBatch) {
        if (goOn && !goOn()) break;
        const std::size_t to = std::min(files.size(), from + kMarkBatch);
        // The plain files' readers, as the writer makes them; a file that
        // expands itself is read through its volume, on its own.
        std::vector<Owned<IFileReader>> readers(to - from);
        reads.Clear();
        for (std::size_t i = from; i < to; ++i) {
            auto* node = dynamic_cast<CFileNode*>(files[i]);
            reads.Note();
            if (!node || node->IsDirectory() || node->IsCompressed()) {
                if (files[i] && (!goOn || goOn())) marks[i] = ContentMark(writer, files[i]);
                continue;
            }
            CSearchedPartitionInfo* partition = writer.GetNodePartition(node);
            auto* reader = new CFileReader;
            readers[i - from].reset(reader);
            if (!partition || !reader->Open(&reads, node, partition))
                readers[i - from].reset();
            else
                ContentMarkReads(reader, node->GetFileSize());
        }
        reads.EndNoting();
        const std::size_t batch = to - from;
        reads.Fetch(goOn, [&](double part) {
            if (done) done(from + static_cast<std::size_t>(part * static_cast<double>(batch)));
        });
        for (std::size_t i = from; i < to; ++i) {
            if (!readers[i - from] || !reads.Fetched(i - from)) continue;
            reads.Serve(i - from);
            marks[i] = ContentMarkOf(readers[i - from].get(), files[i]->GetFileSize());
        }
        if (done) done(to);
    }
    return marks;
}

std::vector<std::uint32_t> ContentMarksNow(IStorageDevice* device, const std::vector<CSearchedPartitionInfo*>& records,
                                           const std::vector<IFileNode*>& files, const std::function<void()>& step) {
    std::vector<CSearchedPartitionInfo*> copies = records;
    CDataRecovery writer;
    if (!device || writer.Initialize(copies, device) != 0) return {};
    return ReadContentMarks(writer, files, nullptr, [&step](std::size_t) {
        if (step) step();
    });
}

std::vector<bool> FilesWithin(IStorageDevice* device, const std::vector<CSearchedPartitionInfo*>& records,
                              const std::vector<IFileNode*>& files,
                              const std::vector<std::pair<long long, long long>>& ranges) {
    std::vector<bool> within(files.size(), false);
    std::vector<CSearchedPartitionInfo*> copies = records;
    CDataRecovery writer;
    if (!device || ranges.empty() || writer.Initialize(copies, device) != 0) return within;
    // The ranges sorted and joined, so that each run of a file is one search
    // however many volumes a save names.
    std::vector<std::pair<long long, long long>> joined;
    for (const auto& range : ranges)
        if (range.first < range.second) joined.push_back(range);
    std::sort(joined.begin(), joined.end());
    std::size_t kept = 0;
    for (const auto& range : joined) {
        if (kept > 0 && range.first <= joined[kept - 1].second)
            joined[kept - 1].second = std::max(joined[kept - 1].second, range.second);
        else
            joined[kept++] = range;
    }
    joined.resize(kept);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Owned<IFileReader> reader(writer.SetRecoverNode(files[i]));
        auto* plain = dynamic_cast<CFileReader*>(reader.get());
        if (!plain) continue;
        for (const auto& [first, end] : plain->DeviceSectors()) {
            // The first range that ends past the run's start.
            const auto it = std::upper_bound(joined.begin(), joined.end(), first,
                                             [](long long at, const auto& range) { return at < range.second; });
            if (it != joined.end() && it->first < end) {
                within[i] = true;
                break;
            }
        }
    }
    return within;
}
