#pragma once
// The scan drivers: the deleted-files controller (quick scan of one volume),
// the complete controller (deep scan, block by block, with every deep
// searcher) and the partition controller (the deep scan of a whole disk).
// Each can replay a saved scan result instead of scanning.
#include "engine/include/DataRecovery.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/RestoreScanSink.h"
#include "engine/include/SearchInterfaces.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class TBitmap;
class CStorageDeviceWithCache;
class CReadWatch;
class CSerializedTreeBuilder;

namespace ControllerResult {
inline constexpr ResultCode QuickNullArgument = MakeResult(ResultLib::Controller, 0x38, 1);
inline constexpr ResultCode QuickWholeDisk = MakeResult(ResultLib::Controller, 0x43, 0x404);
inline constexpr ResultCode QuickNoBuilder = MakeResult(ResultLib::Controller, 0x48, 4);
inline constexpr ResultCode QuickBuilderRefused = MakeResult(ResultLib::Controller, 0x4B, 1);
inline constexpr ResultCode QuickNoSearcher = MakeResult(ResultLib::Controller, 0x57, 0x401);
inline constexpr ResultCode DeepNullArgument = MakeResult(ResultLib::Controller, 0x45, 0x403);
inline constexpr ResultCode DeepNoBuilder = MakeResult(ResultLib::Controller, 0x55, 4);
inline constexpr ResultCode DeepBuilderRefused = MakeResult(ResultLib::Controller, 0x58, 1);
inline constexpr ResultCode DeepNoSearcher = MakeResult(ResultLib::Controller, 0x8E, 0x402);
inline constexpr ResultCode LoopNoSinkOrCache = MakeResult(ResultLib::Controller, 0xF8, 5);
inline constexpr ResultCode LoopFirstAfterLast = MakeResult(ResultLib::Controller, 0xFB, 0x403);
// The device stopped answering mid-scan: the scan ended there, and what it
// found up to then is listed (the finished record carries this code).
inline constexpr ResultCode DeviceGone = MakeResult(ResultLib::Controller, 0x104, 0x405);
} // namespace ControllerResult

// The name under which the builder names a device's trees: a volume's name,
// an image file's name, or "".
std::string GetDeviceDescription(IStorageDevice* device);

// Gives a controller made by CreateRecoveryController the saved result to
// replay (borrowed; it must stay valid until StartDataRecovery returns).
// False for a controller that cannot replay.
bool SetRestoreScanSink(IRecoveryController* controller, RestoreScanSink* sink);

// Tells a deep scan stopped to build what it found to stop waiting for its
// device once a read of it has waited `waited` for its answer (a read that
// hangs): the read is given up, nothing more is read, and the trees are built
// from what the scan read and kept, as for a device gone. Any thread may ask,
// at any time, as often as it likes. True once the reads are given up; false
// until then, and for a controller that reads no device block by block (a
// quick scan's).
bool GiveUpReads(IRecoveryController* controller, std::chrono::milliseconds waited);

// What the two controllers share: the restore sink, the builder, the filter
// and the scanned device.
class CRecoveryControllerBase : public IRecoveryController {
public:
    using BuilderFactory = std::function<IDirecotryTreeBuilder*(bool replay)>;

    CRecoveryControllerBase();
    ~CRecoveryControllerBase() override;
    CRecoveryControllerBase(const CRecoveryControllerBase&) = delete;
    CRecoveryControllerBase& operator=(const CRecoveryControllerBase&) = delete;

    int Initialize(IRecoveryFilter* filter) override;
    void Release() override { delete this; }

    void SetRestoreScanSink(RestoreScanSink* sink) { m_restoreSink = sink; }
    RestoreScanSink* GetRestoreScanSink() const { return m_restoreSink; }
    // How the builder is made (tests give one with a fake clock).
    void SetTreeBuilderFactory(BuilderFactory factory) { m_makeBuilder = std::move(factory); }

protected:
    using BuilderPtr = Owned<IDirecotryTreeBuilder>;

    // Makes and initialises the builder; 0 or the failing code.
    ResultCode MakeBuilder(bool replay, IDrirectoryTree* tree, ResultCode none, ResultCode refused);
    // Replays the saved result, then keeps copies of its partition records:
    // the application may end the sink once the scan has returned.
    void Replay(IProgress* sink, IStorageDevice* device);
    // A writer for a searcher type: from the replayed records when the scan
    // was a replay, else from the searcher; null when it cannot be set up.
    IDataRecovery* MakeWriter(int type, IFileSystemSearchController* searcher) const;

    RestoreScanSink* m_restoreSink = nullptr;
    BuilderPtr m_builder;
    IRecoveryFilter* m_filter = nullptr;
    IStorageDevice* m_device = nullptr;

private:
    BuilderFactory m_makeBuilder;
    bool m_replayed = false;
    std::map<int, std::vector<std::unique_ptr<CSearchedPartitionInfo>>> m_restoredPartitions;
};

class CDeletedRecoveryController : public CRecoveryControllerBase {
public:
    ~CDeletedRecoveryController() override;
    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_DELETED; }
    ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) override;
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override;

private:
    IQuickFileSystemSearchController* m_searcher = nullptr;
    // The volume's file system past its table entry (see FileSystemReach):
    // what the searcher and the writers read, when there is more to read.
    std::unique_ptr<IStorageDevice> m_reach;
};

class CCompleteRecoveryController : public CRecoveryControllerBase {
public:
    // 4 MiB blocks; 8192 sectors when the sector size is larger than that.
    static long long BlockSizeFor(unsigned sectorSize);

    CCompleteRecoveryController();
    ~CCompleteRecoveryController() override;
    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_COMPLETE; }
    ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) override;
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override;

    // The block loop over sectors first to last (inclusive).
    ResultCode SearchData(long long first, long long last, IProgress* sink);
    // Ends every searcher with one build flag and frees the bit map's bits.
    void EndSearchers(int build);
    // Fixes the block size in sectors instead of deriving it from the sector
    // size (0: derive it). For tests with small devices.
    void SetBlockSectors(unsigned sectors) { m_blockOverride = sectors; }
    // Whether the searchers analyse each block side by side, each on a thread
    // of its own (the default), or one after another on the calling thread.
    // They find the same either way.
    void SetSearchersSideBySide(bool sideBySide) { m_sideBySide = sideBySide; }
    // Whether the searchers read each block in place from the read-ahead
    // cache (the default) or copy it out. They find the same either way.
    void SetBlocksLent(bool lent) { m_lent = lent; }
    // See GiveUpReads.
    bool GiveUpReads(std::chrono::milliseconds waited);

private:
    struct Searcher {
        _tagSearcherType type;
        ICompleteFileSystemSearchController* searcher;
    };

    long long BlockSize(unsigned sectorSize) const;
    void CreateSearchers(IStorageDevice* device, IProgress* sink);
    void ReleaseSearchers();

    std::vector<Searcher> m_searchers;
    // The builder as the searchers reach it: they may add nodes side by side.
    std::unique_ptr<CSerializedTreeBuilder> m_sharedBuilder;
    // The scan's reads of the device; made with the controller and kept to
    // its end (the cache and any thread that gives the reads up use it).
    const std::unique_ptr<CReadWatch> m_reads;
    std::unique_ptr<CStorageDeviceWithCache> m_cache;
    std::map<long long, unsigned> m_fileSectorMap;
    std::unique_ptr<TBitmap> m_bitmap;
    unsigned m_blockOverride = 0;
    bool m_sideBySide = true;
    bool m_lent = true;
    // The first sector of the block the loop is at: how far the scan got.
    long long m_reached = 0;
};

class CPartitionRecoveryController : public CCompleteRecoveryController {
public:
    _RECOVERY_CONTROLLER_TYPE thisType() override { return RECOVERY_PARTITION; }
};
