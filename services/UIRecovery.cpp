#include "services/UIRecovery.h"

#include "engine/enumeration/BlockDeviceFacts.h"
#include "engine/enumeration/SameVolume.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/FileNode.h"
#include "engine/include/RecoveryController.h"
#include "engine/writer/DataRecovery.h"
#include "engine/writer/DestinationFile.h"
#include "engine/utility/CatchExeception.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/RecoveryPath.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <list>
#include <set>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::uint32_t kWriteFailure = 0xD03;
// The writer made the empty file of a node without data: it stays, uncounted.
constexpr ResultCode kEmptyFileMade = 0x10d010f00000d02ULL;

// The nearest existing ancestor of path (itself when it exists).
bool StatNearest(const char* path, struct stat& st) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    if (ec) return false;
    for (int guard = 0; guard < 4096; ++guard) {
        if (::stat(p.c_str(), &st) == 0) return true;
        if (errno != ENOENT && errno != ENOTDIR) return false;
        if (!p.has_relative_path()) return false;
        p = p.parent_path();
    }
    return false;
}

// Whether a file could not be named because the destination is full or
// gone (error: what naming it failed with, 0 when it was named): its folder
// is no longer a folder, or the error tells so.
bool DestinationLost(const std::string& destination, int error) {
    switch (error) {
    case ENOSPC: case EDQUOT: case EROFS: case EIO: case ENODEV: case ENXIO: case ENOTCONN: case ESTALE:
    case ENOMEDIUM: case ESHUTDOWN:
        return true;
    default:
        break;
    }
    struct stat st {};
    return ::stat(destination.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

} // namespace

std::optional<DestinationRoom> RoomAt(const std::string& folder) {
    struct statvfs st {};
    if (folder.empty() || ::statvfs(folder.c_str(), &st) != 0) return std::nullopt;
    const std::uint64_t unit = st.f_frsize ? st.f_frsize : st.f_bsize;
    return DestinationRoom{static_cast<std::uint64_t>(st.f_bavail) * unit, st.f_bsize ? std::uint64_t(st.f_bsize) : 4096};
}

bool FitsIn(const std::optional<DestinationRoom>& room, long long size) {
    if (!room) return true; // unknown: the write itself tells
    if (size <= 0) return true;
    const std::uint64_t block = room->block ? room->block : 4096;
    const std::uint64_t bytes = static_cast<std::uint64_t>(size);
    // Whole blocks, and one more for the folder entry or an indirect block.
    const std::uint64_t need = (bytes / block + (bytes % block != 0) + 1) * block;
    return need <= room->bytes;
}

VXUIRecovery& VXUIRecovery::instance() {
    static VXUIRecovery* const recovery = new VXUIRecovery;
    return *recovery;
}

void VXUIRecovery::SetRecoveryPath(const char* path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_destination = path ? path : "";
}

std::string VXUIRecovery::GetRecoveryPath() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_destination;
}

void VXUIRecovery::SetRecoveryTotalSize(std::uint64_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_totalSize = size;
}

void VXUIRecovery::SetRecoveryTotalFilesCnt(std::uint64_t count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_totalFiles = count;
}

void VXUIRecovery::SetCreateDirIndex(_tagSearcherType type, int index) {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_names.kindNumbers[type] = index;
}

int VXUIRecovery::GetCreateDirIndex(_tagSearcherType type) const {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    const auto it = m_names.kindNumbers.find(type);
    return it == m_names.kindNumbers.end() ? 0 : it->second;
}

void VXUIRecovery::ClearCreateDirIndex() {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_names = RecoveryDestination{};
}

bool VXUIRecovery::IsFolderMade(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    return m_names.foldersMade.count(path) != 0;
}

void VXUIRecovery::AddFolderMade(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_names.foldersMade.insert(path);
}

namespace {

// Files of one name that land in one destination folder (their folders'
// names alike up the tree) take the plain name and the numbered ones in the
// order the tree lists them, not in the order the scan happened to show
// them: a loaded scan shows them in another order, and must name each file
// as the scan did. The other files keep their places.
void PutNamesakesInTreeOrder(std::vector<IFileNode*>& nodes) {
    constexpr std::size_t kMaxDepth = 1024;
    std::unordered_map<IFileNode*, std::size_t> siblingIndex;
    std::unordered_map<IFileNode*, bool> indexed;
    const auto indexOf = [&](IFileNode* node) -> std::size_t {
        IFileNode* parent = node->GetParent();
        if (!parent) return 0;
        if (!indexed[parent]) {
            indexed[parent] = true;
            std::size_t i = 0;
            for (IFileNode* c = parent->GetFirstChild(); c; c = c->GetNextNode()) siblingIndex.emplace(c, i++);
        }
        const auto it = siblingIndex.find(node);
        return it == siblingIndex.end() ? 0 : it->second;
    };
    // The node's name and its folders' up to the top, and its place in a walk of the tree.
    const auto nameKey = [](IFileNode* node) {
        std::string key;
        std::size_t depth = 0;
        for (IFileNode* n = node; n && depth < kMaxDepth; n = n->GetParent(), ++depth) {
            const char* name = n->GetFileName();
            for (const char* c = name ? name : ""; *c; ++c)
                key += static_cast<char>(*c >= 'A' && *c <= 'Z' ? *c - 'A' + 'a' : *c);
            key += '\0';
        }
        return key;
    };
    const auto place = [&](IFileNode* node) {
        std::vector<std::size_t> at;
        std::size_t depth = 0;
        for (IFileNode* n = node; n && depth < kMaxDepth; n = n->GetParent(), ++depth) at.push_back(indexOf(n));
        std::reverse(at.begin(), at.end());
        return at;
    };
    std::unordered_map<std::string, std::vector<std::size_t>> slots;
    for (std::size_t i = 0; i < nodes.size(); ++i) slots[nameKey(nodes[i])].push_back(i);
    for (const auto& [key, at] : slots) {
        if (at.size() < 2) continue;
        std::vector<std::pair<std::vector<std::size_t>, IFileNode*>> members;
        members.reserve(at.size());
        for (std::size_t i : at) members.emplace_back(place(nodes[i]), nodes[i]);
        std::stable_sort(members.begin(), members.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t k = 0; k < at.size(); ++k) nodes[at[k]] = members[k].second;
    }
}

// Where the bound scan found each root's volume, for twin volume names.
std::function<long long(IFileNode*)> RootPositions(const std::shared_ptr<ScanSession>& session) {
    return [weak = std::weak_ptr<ScanSession>(session)](IFileNode* root) {
        const std::shared_ptr<ScanSession> s = weak.lock();
        return s ? s->RootPosition(root) : -1;
    };
}

// Where the bound scan's writer places a node's own volume, for volumes of
// one kind that a deep scan lists under one root.
std::function<long long(IFileNode*)> VolumePositions(const std::shared_ptr<ScanSession>& session) {
    return [weak = std::weak_ptr<ScanSession>(session)](IFileNode* node) {
        const std::shared_ptr<ScanSession> s = weak.lock();
        const auto* writer = s ? dynamic_cast<CDataRecovery*>(s->WriterFor(node)) : nullptr;
        return writer ? writer->NodeVolumeStart(node) : -1LL;
    };
}

} // namespace

char* VXUIRecovery::MakeRecoveryFilePath(void* node, const char* folder) {
    if (!folder) return nullptr;
    const std::shared_ptr<ScanSession> session = BoundSession();
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_names.folder = folder;
    m_names.rootPosition = RootPositions(session);
    m_names.volumePosition = VolumePositions(session);
    return CreateRecoveryFilePathByNode(node, m_names);
}

bool VXUIRecovery::MakeRecoveryFile(IFileNode* node, const char* folder, CRecoveryFile& file) {
    if (!folder) return false;
    const std::shared_ptr<ScanSession> session = BoundSession();
    std::lock_guard<std::mutex> lock(m_namesMutex);
    m_names.folder = folder;
    m_names.rootPosition = RootPositions(session);
    m_names.volumePosition = VolumePositions(session);
    return CreateRecoveryFile(node, m_names, file);
}

char* CreateRecoveryFilePathByNode(void* node, const char* folder) {
    return VXUIRecovery::instance().MakeRecoveryFilePath(node, folder);
}

std::shared_ptr<ScanSession> VXUIRecovery::BoundSession() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_session.lock();
}

IDataRecovery* VXUIRecovery::GetDataRecoveryByType(_tagSearcherType type) const {
    const std::shared_ptr<ScanSession> session = BoundSession();
    return session ? session->WriterForType(type) : nullptr;
}

std::string VXUIRecovery::GetCurrentRecoveryName() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_currentName;
}

std::uint64_t VXUIRecovery::GetRecoveriedFilesCnt() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recovered;
}

std::uint64_t VXUIRecovery::GetRecoveriedSize() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_recoveredBytes;
}

std::uint64_t VXUIRecovery::GetFailedFilesCnt() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failed;
}

bool VXUIRecovery::CheckWhetherNeedReset() const {
    const std::shared_ptr<ScanSession> session = BoundSession();
    return !session || !session->HasWriters();
}

void VXUIRecovery::InitDataRecoveryController(const std::shared_ptr<ScanSession>& session) {
    // The scan made them as it ended; made again after a release.
    if (session && !session->HasWriters()) session->MakeTypeWriters();
}

void VXUIRecovery::InitDataRecoveryController() { InitDataRecoveryController(BoundSession()); }

void VXUIRecovery::ResetParam(const std::shared_ptr<ScanSession>& session) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_session = session;
        m_hasCurrent = false;
        m_currentName.clear();
    }
    InitDataRecoveryController(session);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (GetStatus() != OP_RUNNING) {
            m_totalSize = 0;
            m_doneBytes = 0;
        }
        m_lastPosition = 0;
        m_totalFiles = 0;
    }
    SetNeedUIUpdate(0);
    SetProgressInfo(MakeProgress(0, 0, 0));
}

void VXUIRecovery::ResetParam() { ResetParam(BoundSession()); }

void VXUIRecovery::ReleaseDataRecovery() {
    if (std::shared_ptr<ScanSession> gone = UnbindSession()) gone->ReleaseWriters();
}

std::shared_ptr<ScanSession> VXUIRecovery::UnbindSession() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<ScanSession> gone = m_session.lock();
    m_session.reset();
    return gone;
}

ResultCode VXUIRecovery::DoRecovery(std::string& labelParents, std::string& carvedParents, int flags[3]) {
    return DoRecovery(BoundSession(), labelParents, carvedParents, flags);
}

ResultCode VXUIRecovery::DoRecovery(const std::shared_ptr<ScanSession>& session, std::string& labelParents,
                                    std::string& carvedParents, int flags[3]) {
    m_runGeneration = Generation();
    NoteLife();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_doneBytes = 0;
        m_lastPosition = 0;
        m_recovered = 0;
        m_recoveredBytes = 0;
        m_failed = 0;
        m_sourceGone = false;
    }
    if (!session) { // nothing was scanned
        std::printf("========Recovery finished!==========\n");
        EndRun();
        return 0;
    }
    session->SetRecoveries(session->Recoveries() + 1);
    ResultCode result = 0;
    // The scanned device is open while the files are copied, closed after.
    const std::vector<CDeviceUse> open = VXUIDeviceData::instance().HoldOpen(session->Storage());
    const auto nodes = session->ReadNodes(); // a new scan waits for the end before it frees them
    const auto carved = [](IFileNode* node) {
        const _tagSearcherType type = VXCPPPublic::instance().GetNodeSearcheType(node);
        return type == SEARCHER_RAW || type == SEARCHER_RAW_LABEL;
    };
    // The ticked total against the room left: when it does not fit, every
    // file is measured against the room before it is begun (no file is begun
    // that cannot end), so a destination that fills up has taken every file
    // that fitted, in the order below.
    const std::string destination = GetRecoveryPath();
    // The volumes of the ticked files are noted first: of twin volumes the one
    // first on the disk keeps the plain name, whichever file comes first.
    std::uint64_t ticked = 0;
    {
        std::lock_guard<std::mutex> lock(m_namesMutex);
        m_names.rootPosition = RootPositions(session);
        m_names.volumePosition = VolumePositions(session);
        for (const auto& [category, files] : session->Results().Types())
            for (IFileNode* node : files) {
                if (!node || !node->IsNodeShow() || node->GetCheckedStatus() != CHECK_ALL) continue;
                NoteRecoveryVolume(node, m_names);
                if (node->GetFileSize() > 0) ticked += static_cast<std::uint64_t>(node->GetFileSize());
            }
    }
    const std::optional<DestinationRoom> startRoom = RoomAt(destination);
    const bool measure = startRoom && startRoom->bytes < ticked;
    bool toldFull = false;
    bool going = true;
    // Files of the found file systems before carved ones (a carved guess must
    // never take the room of a file whose name and place are known); within
    // each, live files first: a deleted file that shares a live one's name
    // takes the numbered name, never the live one.
    for (const bool carvedPass : {false, true})
    for (const bool deletedPass : {false, true}) {
        if (!going) break;
        std::vector<IFileNode*> files;
        for (const auto& [category, listed] : session->Results().Types())
            for (IFileNode* node : listed)
                if (node && (node->IsDeleted() != 0) == deletedPass && carved(node) == carvedPass) files.push_back(node);
        PutNamesakesInTreeOrder(files);
        for (IFileNode* node : files) {
            if (!(going = Continued() != 0)) break;
            if (!node || !node->IsNodeShow() || node->GetCheckedStatus() != CHECK_ALL) continue;
            if ((node->IsDeleted() != 0) != deletedPass) continue;
            if (carved(node) != carvedPass) continue;
            if (measure && !FitsIn(RoomAt(destination), node->GetFileSize())) {
                // Told once, as a write that fails is told: the user may make
                // room. Gone on without room, what does not fit is passed by.
                if (!toldFull) {
                    toldFull = true;
                    TellWriteFailure();
                    if (!(going = Continued() != 0)) break;
                }
                if (!FitsIn(RoomAt(destination), node->GetFileSize())) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    ++m_failed;
                    continue;
                }
            }
            // Another session's, or a deep session's writers released: the
            // writers are made (again) for this one.
            if (BoundSession() != session || (!session->WritersPerRoot() && !session->HasWriters())) ResetParam(session);
            IRecoveryController* controller = session->Controller();
            IDataRecovery* writer = nullptr;
            // Files of a quick scan listed with a deep one's have its writers.
            if (controller && controller->thisType() != RECOVERY_DELETED && !session->FromKeptQuick(node)) {
                const _tagSearcherType type = VXCPPPublic::instance().GetNodeSearcheType(node);
                std::string* parents = type == SEARCHER_RAW ? &carvedParents
                                       : type == SEARCHER_RAW_LABEL ? &labelParents
                                                                    : nullptr;
                if (parents && node->GetParent()) {
                    const char* name = node->GetParent()->GetFileName();
                    const std::string entry = std::string(name ? name : "") + ",";
                    if (parents->find(entry) == std::string::npos) *parents += entry;
                }
                writer = session->WriterForType(type);
            } else if (controller) {
                writer = session->WriterFor(node);
            }
            // A file without a writer (or a controller) is a file not recovered.
            if (writer && (RecoverNode(node, writer, flags, result) || result == kEmptyFileMade)) continue;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_failed;
            }
            if (result == WriterResult::DeviceGone) {
                // Every file left would read as zeros: the recovery ends
                // here, and says why in its last record.
                TellSourceGone();
                going = false;
                break;
            }
        }
        if (!going) break;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hasCurrent = false;
    }
    std::printf("========Recovery finished!==========\n");
    // The final status first, then the update that announces it.
    EndRun();
    return result;
}

bool VXUIRecovery::RecoverNode(IFileNode* node, IDataRecovery* writer, int flags[3], ResultCode& result) {
    const std::string destination = GetRecoveryPath();
    auto held = LockWriter(writer);
    IFileReader* reader = writer->SetRecoverNode(node);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const char* name = node->GetFileName();
        m_currentName = name ? name : "";
        m_hasCurrent = true;
        m_lastPosition = 0;
        m_fileTotal = 0;
    }
    CRecoveryFile file;
    errno = 0;
    const char* path = MakeRecoveryFile(node, destination.c_str(), file) ? file.Path().c_str() : nullptr;
    const int nameError = path ? 0 : errno;
    if (path) {
        if (std::strstr(path, "/Application")) flags[0] = 1;
        if (std::strstr(path, "/System")) flags[1] = 1;
        if (std::strstr(path, "/Library")) flags[2] = 1;
    }
    // Written in the folder its name was made in: a found path longer than
    // the system's path limit is written too, and no link is followed.
    auto* own = dynamic_cast<CDataRecovery*>(writer);
    result = path && own ? own->RecoverToAt(file.Folder(), file.Name().c_str(), this, 0) : writer->RecoverTo(path, this, 0);
    if (reader) reader->Release();
    held.unlock();
    bool whole = false;
    std::uint64_t bytes = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // A stop inside the file leaves it short with a result of 0.
        whole = !IsFailure(result) && m_lastPosition == m_fileTotal;
        bytes = m_fileTotal;
        if (whole) {
            ++m_recovered;
            m_recoveredBytes += bytes;
        }
    }
    // What the writer left unfinished is the empty name taken for it; a file
    // written whole with unreadable ranges as zeros stays (counted as failed).
    if (!whole && path && result != kEmptyFileMade && result != WriterResult::Unreadable)
        ::unlinkat(file.Folder(), file.Name().c_str(), 0);
    // A file the destination refuses is passed by; a destination full or
    // gone stops the recovery as a failed write does (the writer told its
    // own failed writes).
    if (!whole && result != kEmptyFileMade && (result & 0xFFFFFFFFu) != kWriteFailure &&
        DestinationLost(destination, nameError))
        TellWriteFailure();
    return whole;
}

void VXUIRecovery::TellWriteFailure() {
    if (RunLetGo()) return;
    _PROGRESS_INFO info = GetProgressInfo();
    info.result = WriterResult::WriteFailed;
    SetProgressInfo(info);
    if (GetStatus() == OP_RUNNING) SetStatus(OP_PAUSED);
    SetNeedUIUpdate(1);
}

// Told by its own flag: a result code in the record would read to the
// window as a destination that cannot take more.
void VXUIRecovery::TellSourceGone() {
    if (RunLetGo()) return;
    m_sourceGone = true;
    SetNeedUIUpdate(1);
}

void VXUIRecovery::RemoveUnfinishedFiles() { RemoveDestinationTemporaries(); }

// ---- a stop the worker does not answer ------------------------------------------------

namespace {
// A worker that answered the stop and winds down (ends the file it reads, or
// discards it) reports as it goes; one silent this long hangs too.
constexpr std::chrono::milliseconds kWindDownSilence{5000};

long long NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

void VXUIRecovery::NoteLife() { m_lastLifeUs = NowUs(); }

bool VXUIRecovery::RunLetGo() const {
    const std::uint64_t letGo = m_letGo.load();
    return letGo != 0 && letGo == m_runGeneration.load();
}

void VXUIRecovery::EndRun() {
    // A run let go was ended for the windows when it was let go; the next
    // recovery may start once its worker has left.
    // Under the lock the watcher lets go under: either it let this run go,
    // or the run ends here and can no longer be let go.
    auto lock = Lock();
    const bool letGo = RunLetGo();
    m_runGeneration = 0;
    if (letGo) {
        m_letGo = 0;
        CatchExeception::WriteLog("recovery let go: its worker has left\n");
        return;
    }
    FinishOperation();
}

int VXUIRecovery::Continued() {
    NoteLife();
    if (RunLetGo()) return 0;
    const int go = VXUIOperation::Continued();
    NoteLife();
    return go;
}

void VXUIRecovery::StopOperation(int skipBuild) {
    m_stopAskedUs = NowUs();
    VXUIOperation::StopOperation(skipBuild);
}

void VXUIRecovery::WatchRun(std::uint64_t generation) {
    {
        auto lock = Lock();
        if (GetStatus() != OP_STOP_REQUESTED || Generation() != generation) return;
        // Only the run the worker is in (a start whose worker has not begun
        // yet has nothing in flight).
        if (m_runGeneration.load() != generation) return;
        const long long asked = m_stopAskedUs.load(), life = m_lastLifeUs.load();
        const bool answered = life > asked;
        const std::chrono::microseconds silent{NowUs() - std::max(asked, life)};
        if (silent < (answered ? kWindDownSilence : kStopUnanswered)) return;
        m_letGo = generation;
    }
    CatchExeception::WriteLog("recovery stopped: its worker did not answer the stop (a read in flight); let go\n");
    FinishOperation();
}

void VXUIRecovery::UpdateProgress(_PROGRESS_INFO* info) {
    NoteLife();
    if (!info || RunLetGo()) return;
    if (info->state == 1) {
        SetNeedUIUpdate(1);
        return;
    }
    _PROGRESS_INFO stored{};
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_lastPosition == 0 && info->current == 0) m_fileTotal = info->total;
        if (info->current > m_lastPosition) m_doneBytes += info->current - m_lastPosition;
        m_lastPosition = info->current;
        stored.total = m_totalSize;
        stored.current = m_doneBytes;
        stored.result = info->result;
        if (m_hasCurrent && info->current == info->total && info->current > 0)
            std::printf("===Recvoeried file(%llu):%s=====\n", static_cast<unsigned long long>(m_recovered + 1),
                        m_currentName.c_str());
    }
    SetProgressInfo(stored);
    if ((info->result & 0xFFFFFFFFu) == kWriteFailure && GetStatus() == OP_RUNNING) SetStatus(OP_PAUSED);
    SetNeedUIUpdate(1);
}

bool VXUIRecovery::RecoveryPathIsSameDevice(const char* path) const {
    const std::shared_ptr<ScanSession> session = BoundSession();
    return RecoveryPathIsSameDevice(path, session ? session->Storage() : nullptr);
}

bool VXUIRecovery::RecoveryPathIsSameDevice(const char* path, IStorageDevice* scanned) {
    if (!path) return false;
    if (!scanned) return false;
    struct stat st {};
    if (!StatNearest(path, st)) return true; // warn rather than not
    VXUIDeviceData& devices = VXUIDeviceData::instance();
    std::list<IStorageDevice*> volumes;
    if (devices.IsDiskStorage(scanned))
        devices.GetDiskVolumeStorage(scanned, volumes);
    else
        volumes.push_back(scanned);
    std::set<std::uint32_t> numbers;
    for (IStorageDevice* v : volumes)
        if (const CCollectedVolumeDeviceInfoStruct* info = VXUIDeviceData::GetVolumeInfo(v))
            if (info->deviceId != 0) numbers.insert(static_cast<std::uint32_t>(info->deviceId));
    auto listed = [&](dev_t dev) { return numbers.count(static_cast<std::uint32_t>(dev)) != 0; };
    if (listed(st.st_dev)) return true;
    // FUSE and btrfs mounts carry anonymous numbers: their source tells.
    std::ifstream in("/proc/self/mountinfo");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const std::string& source : MountSourcesFromMountInfo(text, major(st.st_dev), minor(st.st_dev))) {
        struct stat from {};
        if (::stat(source.c_str(), &from) == 0 && S_ISBLK(from.st_mode) && listed(from.st_rdev)) return true;
    }
    // A whole disk read from a device node or an image file: its partitions
    // and the loop devices backed by it.
    _DiskVolumeData disk{};
    if (devices.IsDiskStorage(scanned) && devices.GetDiskDataByStorage(scanned, disk) && disk.devicePath) {
        const std::string where = disk.devicePath[0] == '/' ? disk.devicePath : "/dev/" + std::string(disk.devicePath);
        CSysfsBlockDeviceFacts facts;
        if (!SameVolumeReason(where, path, facts).empty()) return true;
    }
    return false;
}
