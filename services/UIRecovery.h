#pragma once
// The recovery operation: the one process-wide operation that writes every
// ticked, shown file of a scan session into numbered folders under the
// destination the user chose, through the session's file writers, and turns
// the writers' progress into one running byte count.
#include "engine/include/EngineTypes.h"
#include "engine/include/ResultCode.h"
#include "engine/writer/DestinationNames.h"
#include "services/ScanSession.h"
#include "services/UIOperation.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class IDataRecovery;
class IFileNode;
class IStorageDevice;

namespace RecoveryResult {
inline constexpr ResultCode BadArgument = 0x102055700000001ULL;
} // namespace RecoveryResult

// Room left in a destination folder for an ordinary user (bytes) and its
// block size; none when the folder cannot be examined.
struct DestinationRoom {
    std::uint64_t bytes = 0, block = 4096;
};
std::optional<DestinationRoom> RoomAt(const std::string& folder);
// Whether a file of size bytes fits in room (counted in whole blocks).
bool FitsIn(const std::optional<DestinationRoom>& room, long long size);

class VXUIRecovery : public VXUIOperation {
public:
    // Never destroyed: a worker may still be inside a writer at exit.
    static VXUIRecovery& instance();

    void SetRecoveryPath(const char* path);
    std::string GetRecoveryPath() const;
    void SetRecoveryTotalSize(std::uint64_t size);
    void SetRecoveryTotalFilesCnt(std::uint64_t count);
    // The folder numbers and made folders of the recovery (kept with the
    // destination paths' maker).
    void SetCreateDirIndex(_tagSearcherType type, int index);
    int GetCreateDirIndex(_tagSearcherType type) const;
    // Empties the folder index map and the folders known to be made.
    void ClearCreateDirIndex();
    // Folders this recovery has made or found (so each is made once).
    bool IsFolderMade(const std::string& path) const;
    void AddFolderMade(const std::string& path);
    // The path of node's file under folder, named with this recovery's
    // destination names (CreateRecoveryFilePathByNode).
    char* MakeRecoveryFilePath(void* node, const char* folder);
    // The same, reserving the file in file (its folder kept open for the write).
    bool MakeRecoveryFile(IFileNode* node, const char* folder, CRecoveryFile& file);
    // The session's writer of a searcher type (the session of the last
    // ResetParam or recovery).
    IDataRecovery* GetDataRecoveryByType(_tagSearcherType type) const;
    // The name of the file being written ("" between files).
    std::string GetCurrentRecoveryName() const;
    // Files written whole, and their bytes, in this recovery.
    std::uint64_t GetRecoveriedFilesCnt() const;
    std::uint64_t GetRecoveriedSize() const;
    // Files handed to a writer that did not come back whole (an empty file
    // the writer made is neither).
    std::uint64_t GetFailedFilesCnt() const;
    // The recovery stopped because the scanned device stopped answering.
    bool StoppedBySourceGone() const { return m_sourceGone.load(); }
    bool CheckWhetherNeedReset() const;

    // The session's writers per searcher type after a deep scan, made when
    // it has none.
    void InitDataRecoveryController(const std::shared_ptr<ScanSession>& session);
    void InitDataRecoveryController();
    // Works on session from now on: its writers, a new count.
    void ResetParam(const std::shared_ptr<ScanSession>& session);
    void ResetParam();
    // Releases the session's writers and forgets it.
    void ReleaseDataRecovery();
    // The session the recovery works on, no longer bound (its writers stay
    // until the caller releases them).
    std::shared_ptr<ScanSession> UnbindSession();

    // The whole recovery of session's ticked files on the calling thread;
    // answers the last writer's result. flags[0..2]: a path held
    // "/Application", "/System", "/Library".
    ResultCode DoRecovery(const std::shared_ptr<ScanSession>& session, std::string& labelParents,
                          std::string& carvedParents, int flags[3]);
    // The same on the session of the last ResetParam.
    ResultCode DoRecovery(std::string& labelParents, std::string& carvedParents, int flags[3]);

    // Whether path (or its nearest existing ancestor) lies on scanned (a
    // disk or a volume); a path that cannot be examined answers true.
    static bool RecoveryPathIsSameDevice(const char* path, IStorageDevice* scanned);
    // The same for the device of the session of the last ResetParam.
    bool RecoveryPathIsSameDevice(const char* path) const;

    // IProgress (writers, worker thread).
    void UpdateProgress(_PROGRESS_INFO* info) override;
    int Continued() override;

    // A stop the worker does not answer (a read in flight that hangs) ends
    // the recovery for the windows all the same: the run is let go, and what
    // its worker does once the read returns is dropped (the file it was
    // writing is discarded as a stopped one is; it ends nothing). A new
    // recovery waits until that worker has left.
    static constexpr std::chrono::milliseconds kStopUnanswered{1000};
    void StopOperation(int skipBuild) override;
    void WatchRun(std::uint64_t generation) override;
    // A run let go whose worker has not left yet.
    bool LetGoWorkerAlive() const { return m_letGo.load() != 0; }

    // Removes the temporary files any writer has open now (previews
    // included); for a process that ends on a signal at once.
    static void RemoveUnfinishedFiles();

protected:
    VXUIRecovery() = default;

private:
    // Writes one node; true when it came back whole.
    bool RecoverNode(IFileNode* node, IDataRecovery* writer, int flags[3], ResultCode& result);

    std::shared_ptr<ScanSession> BoundSession() const;
    // Pauses the recovery with the failed-write code, as a failed write does.
    void TellWriteFailure();
    // The run's end, unless it was let go (the windows have had it).
    void EndRun();
    bool RunLetGo() const;
    void NoteLife();
    // The start generation of the run the worker is in, the one let go (0:
    // none), and the worker's last sign of life and the last stop (µs).
    std::atomic<std::uint64_t> m_runGeneration{0};
    std::atomic<std::uint64_t> m_letGo{0};
    std::atomic<long long> m_lastLifeUs{0};
    std::atomic<long long> m_stopAskedUs{0};

    // Guards everything below.
    mutable std::mutex m_mutex;
    // Not kept alive from here: a new scan lets the last one go.
    std::weak_ptr<ScanSession> m_session;
    std::string m_destination;
    std::uint64_t m_totalSize = 0, m_totalFiles = 0;
    std::uint64_t m_doneBytes = 0, m_lastPosition = 0;
    std::uint64_t m_fileTotal = 0; // the current file's size at its first record
    std::string m_currentName;
    bool m_hasCurrent = false;
    std::uint64_t m_recovered = 0, m_recoveredBytes = 0, m_failed = 0;
    std::atomic<bool> m_sourceGone{false};
    void TellSourceGone();
    // The kind folder numbers and folders made of this recovery, under a lock
    // of their own: naming touches the disk and must not hold up m_mutex.
    mutable std::mutex m_namesMutex;
    RecoveryDestination m_names;
};
