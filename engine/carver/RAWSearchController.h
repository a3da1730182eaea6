#pragma once
// The signature carver of a deep scan: every sector of every block is offered
// to the analyser registry; each hit becomes a candidate that is sized at
// once, followed sector by sector, or sized later from the ring of recent
// blocks or from the device, and is then filed in the trees of carved files.
#include "engine/carver/BlockCopier.h"
#include "engine/carver/BufferStorageDevice.h"
#include "engine/carver/RAWFileManager.h"
#include "engine/common/FileTypeManager.h"
#include "engine/include/SearchInterfaces.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// What one carve spent and held, for measuring the carver; filled only when
// asked for (the clock is read around every sector's lookup then).
struct CarveCounters {
    double lookupSeconds = 0;    // finding the analyser of each sector
    double activeSeconds = 0;    // showing each sector to the streaming records
    double endSearchSeconds = 0; // sizing and filing what was held at the end
    unsigned long long sectors = 0, activeSum = 0, activeMax = 0, evictions = 0;
    unsigned long long ringHits = 0; // sizer reads served by the ring of recent blocks
    unsigned long long sizedEarly = 0; // candidates sized before their turn to bound memory
    unsigned long long dropped = 0;    // sized files not kept past the cap
};

class CRAWSearchController : public ICompleteFileSystemSearchController {
public:
    static constexpr std::size_t kMaxActive = 32;
    static constexpr unsigned kRingBlocks = 20;
    static constexpr unsigned kMarginBytes = 4096;
    static constexpr long long kStopCheckSectors = 8;
    // Candidates waiting for a classic sizer: past this many the oldest is
    // sized at once (from the ring or the device), so memory stays bounded
    // whatever the device holds.
    static constexpr std::size_t kMaxDeferred = 8192;
    // Starts remembered for cutting held records at most (32 bytes each).
    static constexpr std::size_t kMaxStarts = std::size_t{1} << 20;
    // Sized records held for what follows them at most; past this the oldest
    // is filed as it stands.
    static constexpr std::size_t kMaxWaiting = 4096;
    // Starts of its kind looked back over for a file that holds a record.
    static constexpr int kLookBack = 64;
    // A file inside a part of a file of its kind is that part's bytes when
    // it ends where the part ends, or less than this before (an archive's
    // end padding).
    static constexpr unsigned long long kPartSlack = 64 << 10;
    // Carved files kept of each size class: at least this many, or one per
    // this many bytes of the device (and of all classes half as many again);
    // past that (only crafted or absurd content gets there) the rest are
    // counted, not kept, so the trees stay bounded. A class holding less
    // than an eighth of that always keeps its files, whatever the others
    // hold.
    static constexpr unsigned long long kMinKeptFiles = 32768;
    static constexpr unsigned long long kBytesPerKeptFile = 32768;

    CRAWSearchController();
    ~CRAWSearchController() override;
    CRAWSearchController(const CRAWSearchController&) = delete;
    CRAWSearchController& operator=(const CRAWSearchController&) = delete;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_pTreeBuilder = builder; }
    // Always 1: one pseudo-partition over the whole device, in its sectors.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int count) override;
    void SetDevice(IStorageDevice* device) override { m_pDevice = device; }
    void SetBlockSize(int sectors) override { m_nSectorsPerBlock = sectors > 0 ? static_cast<unsigned>(sectors) : 0; }
    int PreparetoSearch() override;
    void EndSearch(int build) override;
    int AnalyzeBlock(long long firstSector, long long sectorCount) override;
    void SetIProgressSink(IProgress* progress) override;
    void SetBitmap(TBitmap* bitmap) override { m_pBitmap = bitmap; }
    void SetFileSectorMap(std::map<long long, unsigned>* map) override { m_pFileSectorMap = map; }
    TBitmap* GetBitmap() override { return m_pBitmap; }
    // Counts into counters (null: stops counting); they must outlive the carve.
    void SetCounters(CarveCounters* counters) { m_pCounters = counters; }

private:
    // A candidate the carver holds, with the analyser that made it (a record
    // whose analyser changed was handed to a classic sizer).
    struct Held {
        std::unique_ptr<CRawFileInfo> record;
        IRawFileAnalyser* creator;
    };
    using HeldList = std::list<Held>;
    // A start found, with the kind of its analyser (0: a format the carver
    // cannot tell apart) and what became of it; kept in order for every start.
    enum class Fate : unsigned char {
        Open,    // not sized yet
        Claimed, // sized: `end` is what it claims, not filed yet
        Listed,  // filed: `kept` is the end of what was listed
        Refused, // sized, not kept past the cap
        Member,  // part of an earlier file of its kind (`kept`: that file's end, when known)
        Nested,  // inside a member of an earlier file of its kind, not sized yet: that
                 // member's bytes, or a file of its own (see File)
        Gone,    // no file found there
    };
    struct Start {
        long long sector = 0;
        unsigned long long end = 0;  // the byte its file claims to end at, once sized
        unsigned long long kept = 0; // the end of the file listed from it
        unsigned family = 0;
        Fate fate = Fate::Open;
    };
    // Whether a start lies inside a listed file of its kind.
    enum class Within { No, Yes, NotYet };

    // The first analyser that accepts the sector; blank then holds what it set.
    IRawFileAnalyser* FindAnalyser(unsigned char* sector, std::optional<CRawFileInfo>& blank, const CRawWindow& window,
                                   long long s, long long windowStart, long long windowEnd);
    std::unique_ptr<CRawFileInfo> CreateRawFileInfo(const CRawFileInfo& blank, long long s, IRawFileAnalyser* analyser);
    CRawFileInfo* AddRawFileInfoToList(std::unique_ptr<CRawFileInfo> record, unsigned char* sector, long long s);
    void CalcRawFileSize(unsigned char* sector, CRawFileInfo* newInfo, long long s,
                         CRawFileInfo::SearchContext& context);
    void SizeDeferredFromRing();
    // Has the record's analyser size it from `device` and files it, or
    // takes its start off the sector map when it gives no file.
    void SizeOrForget(CRawFileInfo& record, IStorageDevice* device);
    void SizeDeferredOverCap();
    // Starts copying block `next` into the slot it will take, where the device
    // holds it in memory already.
    void FillAhead(long long next);
    CRAWFileManager* GetFileManager(unsigned type);
    // Files a sized record, cut where it must end (see Bound); one whose
    // end lies ahead of the scan, or that waits for what files of its kind
    // near it claim, is held until that is known. False when it has no tree.
    bool File(CRawFileInfo& record);
    // Files it as it is (cut at the device's end only) and notes its fate.
    bool FileNow(CRawFileInfo& record);
    // The size a record may keep given the starts found after it: one that
    // ran to the device's end, or of a format that holds no other file,
    // ends at the next start of any kind; otherwise a start of its kind ends
    // it only where the file found there claims to end beyond its own end.
    // With `open`, it stops at a start of its kind not sized yet, and says so.
    unsigned long long Bound(const CRawFileInfo& record, const Start* next, bool* open = nullptr) const;
    // Whether the start `n` cuts the record whose own start is `own` (see Bound).
    bool Cuts(const CRawFileInfo& record, const Start* own, const Start& n) const;
    // Files or drops the record when nothing it waits for is left (always
    // with `force`); false while it must wait.
    bool TrySettle(CRawFileInfo& record, bool force);
    // Settles the waiting records that the start `n`, just found or sized,
    // cuts.
    void SettleWaiting(const Start& n);
    // Settles the waiting records the scan has passed (all at its end).
    void SettleWaitingPassed(bool force);
    // Forgets the starts before every record still held.
    void PruneStarts();
    // Whether the record's bytes lie inside a listed file of its kind
    // found before it (with `sameEnd`, one that claimed the same end); the
    // end of that file goes to `held`.
    Within Inside(const CRawFileInfo& record, bool sameEnd, unsigned long long* held = nullptr) const;
    // A streaming record of the start's kind whose walk expects one of its
    // records at the start (`head`: its bytes). Else, when the start lies
    // inside a part of such a file, what the innermost such part says of it
    // goes to `holder`, its end counted from the device's start.
    bool MemberOfActive(const Start& start, bytes::Bytes head, CRawFileInfo::Part* holder) const;
    Start* StartOf(long long sector) { return const_cast<Start*>(StartAt(sector)); }
    void SetFate(long long sector, Fate fate);
    // The start found at `sector`, or null.
    const Start* StartAt(long long sector) const;
    void DropAll();
    // The registry's set 0 flattened for the per-sector lookup (see m_lookup).
    void BuildLookup();

    CFileTypeManager m_FileTypeManager;
    std::map<int, std::unique_ptr<CRAWFileManager>> m_mapFileManager;
    CRawCarveState m_state;
    std::unique_ptr<CLABELRAWTreeBuilder> m_labels;
    IStorageDevice* m_pDevice = nullptr;
    unsigned m_nSectorsPerBlock = 0;
    IDirecotryTreeBuilder* m_pTreeBuilder = nullptr;
    CBufferStorageDevice m_BufferDevice;
    HeldList m_listPending;
    HeldList m_listDeferred;
    std::vector<HeldList::iterator> m_active; // streaming records, oldest first
    std::map<long long, unsigned>* m_pFileSectorMap = nullptr;
    bool m_bCarving = false;      // the ring, which holds the blocks analysed, is set up
    // The block after the one analysed, copied into its slot meanwhile (but
    // for the start the margin hides): its first sector and length, or -1.
    CBlockCopier m_copier;
    long long m_llFilledAhead = -1;
    long long m_llFilledAheadCount = 0;
    bool m_bPreviousHeld = false; // the block before the one analysed was read
    TBitmap* m_pBitmap = nullptr;
    IProgress* m_pProgress = nullptr;
    unsigned m_nSectorSize = 512;
    unsigned long long m_llTotalSectors = 0;
    // By a sector's first two bytes (little-endian): the analysers of the
    // registry's map whose four-byte key starts with them, then those of its
    // multimap, in the registry's order; entries [m_lookupStart[k],
    // m_lookupStart[k + 1]). The same analysers the registry holds, without a
    // tree search per sector.
    struct Keyed {
        unsigned key;
        bool whole; // from the map: the four-byte key must match
        IRawFileAnalyser* analyser;
    };
    std::vector<std::uint32_t> m_lookupStart;
    std::vector<Keyed> m_lookup;
    std::vector<IRawFileAnalyser*> m_keyless;
    CarveCounters* m_pCounters = nullptr;
    std::vector<Start> m_starts;
    // Sized records whose ends lie ahead of the scan, until a start cuts them
    // or the scan passes their end (copies: filing needs no more).
    std::vector<CRawFileInfo> m_waiting;
    long long m_llScanned = 0; // sectors analysed so far
    unsigned long long m_ullKept[4] = {}; // by size class: below 4 KiB, 64 KiB, 1 MiB, and larger
    unsigned long long m_ullMaxKept = kMinKeptFiles, m_ullDropped = 0;
};

