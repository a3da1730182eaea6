#pragma once
// What one scan leaves behind: its controllers (and so every found node), the
// writers that read the found files back, the file-system roots and the index
// of the found files. The scan operation publishes the session of the last
// scan; a recovery, a preview or a save takes the session it works on and
// keeps it alive for as long as it works.
//
// The members go in reverse order of declaration: the writers first (a writer
// reads through its controller's searchers), then the index (borrowed nodes),
// then the controllers that own the nodes.
#include "engine/include/DataRecovery.h"
#include "engine/include/Owned.h"
#include "engine/include/RecoveryController.h"
#include "services/FoundAgain.h"
#include "services/ResultIndex.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <utility>
#include <vector>

class IFileNode;
class IFilesystemNode;
class IStorageDevice;

// The lock a writer's user holds from SetRecoverNode to the RecoverTo or
// ReadSmallJPG that follows, so that no other thread sets another node in
// between (recoveries and previews share writers). A writer is released
// only under its lock.
std::unique_lock<std::mutex> LockWriter(IDataRecovery* writer);

class ScanSession {
public:
    // nodes: the scan operation's lock over the found nodes; type: the
    // controller type the scan runs (the first volume's controller is handed
    // over with SetController); deep: the scan's deep flag.
    // storage: the scanned disk or volume, kept alive (with the device list
    // it belongs to) as long as the session, whose writers read through it.
    ScanSession(std::shared_ptr<std::shared_mutex> nodes, std::shared_ptr<IStorageDevice> storage,
                _RECOVERY_CONTROLLER_TYPE type, int deep);
    ScanSession(const ScanSession&) = delete;
    ScanSession& operator=(const ScanSession&) = delete;

    // Held shared by whoever walks the nodes; a new scan takes it
    // exclusively before it lets the last session go.
    std::shared_lock<std::shared_mutex> ReadNodes() const { return std::shared_lock(*m_nodes); }

    // The scanned disk or volume; null once the device list was made again
    // (the old device object lives on for the writers, but is listed no more).
    IStorageDevice* Storage() const;
    void ForgetStorage();
    _RECOVERY_CONTROLLER_TYPE ControllerType() const { return m_type; }
    int Deep() const { return m_deep; }
    // The scan has ended (its writers are made).
    bool Ended() const { return m_ended.load(); }
    void MarkEnded() { m_ended = true; }
    // Recoveries started from this scan's results.
    int Recoveries() const { return m_recoveries.load(); }
    void SetRecoveries(int n) { m_recoveries = n; }
    // A quick scan's controller: one writer per file-system root; otherwise
    // one per searcher type, made when the scan has ended.
    bool WritersPerRoot() const;

    // The controller of the volume being scanned (or last scanned).
    IRecoveryController* Controller() const;
    // Every controller of the session, the earlier volumes' first.
    std::vector<IRecoveryController*> Controllers() const;
    // The next volume's controller; the current one stays (its nodes are
    // results of this scan).
    void SetController(Owned<IRecoveryController> controller);

    ResultIndex& Results() { return m_results; }
    const ResultIndex& Results() const { return m_results; }

    // A quick scan's session of the device this deep scan read, listed with
    // what this one found (the deep scan ended early or was stopped): its
    // roots and files join this listing, and its writers, root positions and
    // nodes serve them. Each file both scans found is listed once: a quick
    // root this listing holds whole is left out; otherwise this scan's
    // copies of its files are hidden, and a root left with none goes.
    // Nothing is kept when every quick root is left out.
    void KeepQuick(std::shared_ptr<ScanSession> quick, const FoundAgain& again);
    // Whether node is listed from the quick scan kept.
    bool FromKeptQuick(IFileNode* node) const;
    // Whether node is this scan's copy of a file the quick scan kept lists.
    bool FoundAgainInQuick(IFileNode* node) const;

    // A root the scan found: filed, and for a quick scan given the writer of
    // its file system from the current controller. position: the disk sector
    // where the root's volume starts, −1 when unknown.
    void AddRoot(IFilesystemNode* root, long long position = -1);
    // The position given with root, −1 when none was.
    long long RootPosition(IFileNode* root) const;

    // The writer of node: its file-system root's after a quick scan, its
    // searcher type's after a deep one; null when there is none.
    IDataRecovery* WriterFor(IFileNode* node) const;
    // The writer kept for a searcher type (deep scans).
    IDataRecovery* WriterForType(_tagSearcherType type) const;
    // Whether writer is still node's (a caller holding the writer's lock
    // asks before it uses the writer: writers are released by other threads).
    bool IsWriterFor(IFileNode* node, IDataRecovery* writer) const;
    bool HasWriters() const;
    // Makes one writer per searcher type from the current controller over
    // those kept (released); nothing for a quick scan.
    void MakeTypeWriters();
    // Releases every writer (each under its lock).
    void ReleaseWriters();

private:
    struct ReleaseUnderLock {
        void operator()(IDataRecovery* writer) const;
    };
    using Writer = std::unique_ptr<IDataRecovery, ReleaseUnderLock>;
    // A root's writer (quick) or a searcher type's (deep, with a null root).
    using WriterKey = std::pair<IFileNode*, int>;

    // The quick session kept beside this one (see KeepQuick) and the root of
    // the tree of each of its files.
    std::shared_ptr<ScanSession> KeptFor(IFileNode* node) const;

    // Goes last: the controllers and writers read through the device.
    const std::shared_ptr<IStorageDevice> m_keepStorage;
    const std::shared_ptr<std::shared_mutex> m_nodes;
    // Goes after this session's writers, controllers and index (which lists
    // its nodes).
    std::shared_ptr<ScanSession> m_keptQuick;
    const _RECOVERY_CONTROLLER_TYPE m_type;
    const int m_deep;
    std::atomic<int> m_recoveries{0};
    std::atomic<bool> m_ended{false};
    mutable std::mutex m_mutex; // the storage, the controllers and the writer table
    IStorageDevice* m_storage;
    Owned<IRecoveryController> m_controller;
    std::vector<Owned<IRecoveryController>> m_earlier; // earlier volumes of a whole-disk scan
    ResultIndex m_results;
    std::map<WriterKey, Writer> m_writers;
    std::map<IFileNode*, long long> m_rootPositions;
    std::set<IFileNode*> m_keptRoots;
    std::set<IFileNode*> m_foundAgain;
};
