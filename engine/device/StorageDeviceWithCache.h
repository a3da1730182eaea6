#pragma once
// A read-ahead wrapper for the deep scan: a reader thread keeps the next blocks
// of the wrapped device queued, the scan makes one block current at a time,
// and reads inside the current block are answered from memory.
#include "engine/device/StorageDevices.h"
#include "engine/include/BlockView.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/KeptSectors.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/Locks.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

// A scan's reads of its device, as whoever may stop waiting for them sees
// them (any thread): how long the oldest has waited for its answer, and
// whether the scan has given them up.
class CReadWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Gives the reads up (for good) when one in flight has waited at least
    // `waited` for its answer; answers whether they are given up.
    bool GiveUpAfter(std::chrono::milliseconds waited);
    bool GivenUp() const { return m_givenUp.load(); }
    const std::atomic<bool>* Flag() const { return &m_givenUp; }
    // Waits for the reads again (a new scan).
    void Reset() { m_givenUp = false; }

    // A read in flight for the scope's life.
    class Reading {
    public:
        explicit Reading(CReadWatch* watch);
        ~Reading();
        Reading(const Reading&) = delete;
        Reading& operator=(const Reading&) = delete;

    private:
        CReadWatch* m_watch;
        std::multiset<Clock::time_point>::iterator m_at;
    };

private:
    std::atomic<bool> m_givenUp{false};
    std::mutex m_lock;
    std::multiset<Clock::time_point> m_started;
};

class CStorageDeviceWithCache : public IStorageDevice,
                                public IBlockView,
                                public IDeviceUse,
                                public IDeviceGone,
                                public IDeviceAgain,
                                public IKeptSectors {
public:
    bool IsGone() override { return DeviceGone(m_inner); }
    bool IsSilent() override { return DeviceSilent(m_inner); }
    explicit CStorageDeviceWithCache(IStorageDevice* inner);
    ~CStorageDeviceWithCache() override;

    // Block size in sectors; refused (0) while the cache runs.
    int SetBlockSize(unsigned sectors);
    unsigned GetBlockSize() const { return m_blockSize; }
    // Queues the first block (all of them when the queue holds them all) and
    // starts the reader for the rest.
    void BeginCache();
    // Makes block b current. Blocks are meant to be made current in ascending
    // order from 0; any other order is still answered correctly, from the
    // inner device. 0 for no inner device, block size 0 or b out of range.
    int SetCurCacheBlock(long long b);
    // Stops and joins the reader and frees the queue.
    void EndCache();
    int IsBlockInValidRange(long long b);
    int IsNeedCatchBuffer();
    long long GetCurCacheBlock() const { return m_curBlock; }
    // Number of blocks of the device (a short last block counts).
    long long BlockCount();

    int Open(char* path) override;
    int Close() override;
    bool AnswersAgain() override { return DeviceAnswersAgain(m_inner); }
    int BeginUse() override {
        auto* use = dynamic_cast<IDeviceUse*>(m_inner);
        return use ? use->BeginUse() : m_inner != nullptr;
    }
    void EndUse() override {
        if (auto* use = dynamic_cast<IDeviceUse*>(m_inner))
            use->EndUse();
    }
    int ReadSector(void* buffer, long long firstSector, long long count) override;
    // The current block, and a queued one that was read whole, are lent.
    const unsigned char* ViewSectors(long long firstSector, long long count) override;
    // Whether ViewSectors lends blocks (the default) or answers null.
    void SetLending(bool lend) { m_lend = lend; }
    unsigned GetSectorSize() override;
    unsigned long long GetTotalSectors() override;
    ResultCode IOCtl(unsigned long long code, void* arg) override;
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return DEVICE_WRAPPER; }
    // The error of the last inner read that failed through this device.
    ResultCode GetLastError() override;

    static constexpr std::size_t kQueueCapacity = 10;

    void KeepSectors(long long first, long long count) override;
    // While on, a read the device no longer answers (it is gone) is answered
    // from the kept sectors when any of them lies in it, the rest zeros: the
    // trees are built from what the scan read. Turning it off frees them.
    void AnswerFromKept(bool on);
    // The scan's watch over its reads (it must outlive the cache), by which
    // it stops waiting for the device: once given up, a read in flight ends
    // at once, none is made again, and reads are answered from the queue
    // and, while AnswerFromKept is on, from the kept sectors: the trees are
    // built from what the scan read, as for a device gone. Only a device
    // whose sectors are kept gives up; an image file is waited for.
    void WatchReads(CReadWatch* watch) { m_watch = watch; }
    bool GivenUp() const { return Watch() && Watch()->GivenUp(); }

    // Memory the kept sectors may take, their runs' bookkeeping included.
    // What does not fit goes to a file of the user's cache folder, unlinked
    // and private, never on the scanned device; up to kSpillBytes.
    static constexpr std::size_t kKeptBytes = std::size_t{128} << 20;
    static constexpr long long kSpillBytes = 16LL << 30;
    // Test seam: the memory allowed (kKeptBytes unless set; 0 restores it).
    static void SetKeptLimit(std::size_t bytes);
    // Test seam: the spill file's bound (kSpillBytes unless set; 0 restores it).
    static void SetSpillLimit(long long bytes);
    // What the kept sectors hold now: memory, and bytes in the spill file.
    std::size_t KeptMemory();
    long long KeptSpilled();

private:
    struct Block {
        long long index = -1;
        long long sectors = 0; // true length: the last block may be short
        bool read = false;     // the inner device gave all of it
        // Sector ranges [first, end) the device did not give: zeros.
        std::vector<std::pair<long long, long long>> unread;
        // Page-aligned: a device that reads directly reads into it, and the
        // system copies into aligned memory markedly faster.
        asyncread::Buffer data;
    };

    void ReaderLoop();
    // Reads block b from the inner device (outside any lock) into a buffer
    // from the free list.
    std::unique_ptr<Block> ReadBlock(long long b);
    // A block the device failed on, read again piece by piece, and a piece
    // that fails split until only the sectors that fail are left.
    static constexpr long long kPieceBytes = 0x10000;
    void ReadAround(Block& block, long long start);
    // Halves a failed stretch [first, first + count) of the block (which
    // begins at sector start) and reads each half, while `failures` allows
    // more failed reads; halves of 4 KiB or less that fail go to `small`.
    void Split(long long first, long long count, int& failures, Block& block, long long start,
               std::vector<std::pair<long long, long long>>& small);
    // Whether [first, first + count) overlaps sectors of the block it did not give.
    static bool Overlaps(const Block& block, long long first, long long count);
    // Keeps a spent block's buffer for reuse: fresh 4 MiB buffers cost a page
    // fault per page.
    void Recycle(std::unique_ptr<Block> block);
    bool InnerRead(void* buffer, long long first, long long count);
    // Reads sectors that lie in one queued block that was read whole; false
    // when none holds them.
    bool ReadQueued(void* buffer, long long first, long long count);
    // Reads outside the current block: from the queue where it holds them,
    // else from the inner device.
    bool ReadElsewhere(void* buffer, long long first, long long count);

    IStorageDevice* m_inner;
    IDirectRead* m_direct; // the inner device, when it reads directly into a block
    std::unique_ptr<IStorageDeviceData> m_data;
    unsigned m_blockSize = 1000;
    bool m_lend = true;
    // Consumer side: touched only by the thread that makes blocks current.
    std::unique_ptr<Block> m_current;
    long long m_curBlock = -1;

    // Reader side, under m_queueLock.
    mutex_locker m_queueLock;
    cond_locker m_blockReady; // a block was queued, or the reader finished
    cond_locker m_wantMore;   // room in the queue, or stop
    std::deque<std::unique_ptr<Block>> m_queue;
    std::vector<std::unique_ptr<Block>> m_free;
    long long m_nextBlock = 0;
    bool m_running = false;
    bool m_readerFinished = true;
    std::thread m_reader;

    mutex_locker m_errorLock;
    ResultCode m_lastError = 0;

public:
    // Failed reads a block's narrowing may make: per 64 KiB piece while
    // halving, and in all. A disk with many bad sectors costs at most these
    // per block beside one read per piece.
    static constexpr int kPieceFailures = 24;
    static constexpr int kBlockFailures = 256;
    // Whether every sector of [first, first + count) is known to fail.
    bool KnownBad(long long first, long long count);

private:
    void NoteBad(long long first, long long count);
    // Sectors that failed alone, as runs [first, end) by first sector;
    // bounded, beyond it nothing more is noted.
    static constexpr std::size_t kBadRuns = 1 << 16;
    std::mutex m_badLock;
    std::map<long long, long long> m_bad;

    // Kept sectors: runs of consecutive sectors by their first sector, each
    // in memory or at an offset of the spill file.
    struct KeptRun {
        long long sectors = 0;
        std::vector<unsigned char> bytes;
        long long spilled = -1; // byte offset in the spill file, or -1
    };
    bool ReadKept(void* buffer, long long first, long long count);
    // Stores copy as sectors [first, first + count); under m_keptLock.
    void StoreKeptLocked(long long first, long long count, const unsigned char* copy);
    // The spill file, opened on first need; -1 when none can be had.
    int SpillDescriptorLocked();
    void DropKeptLocked();
    std::mutex m_keptLock;
    std::map<long long, KeptRun> m_kept;
    std::size_t m_keptBytes = 0;
    int m_spillFd = -1;
    bool m_spillTried = false;
    long long m_spillEnd = 0;
    std::atomic<bool> m_answerFromKept{false};
    bool m_keeps = true; // the inner device can go
    CReadWatch* m_watch = nullptr;
    // The watch this cache's inner reads are told to, and the flag they are
    // given up by (null: never, for an image file).
    CReadWatch* Watch() const { return m_keeps ? m_watch : nullptr; }
    const std::atomic<bool>* GiveUpFlag() const { return Watch() ? Watch()->Flag() : nullptr; }
    // The device gone, or this scan no longer waiting for it.
    bool NotReading() { return GivenUp() || DeviceGone(m_inner); }
};
