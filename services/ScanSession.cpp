#include "services/ScanSession.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/include/FileNode.h"
#include "services/CPPPublic.h"

#include <array>
#include <functional>

std::unique_lock<std::mutex> LockWriter(IDataRecovery* writer) {
    // Striped: writers come and go; two that share a stripe only wait for each other.
    static std::array<std::mutex, 64> stripes;
    return std::unique_lock<std::mutex>(stripes[std::hash<IDataRecovery*>{}(writer) % stripes.size()]);
}

void ScanSession::ReleaseUnderLock::operator()(IDataRecovery* writer) const {
    if (!writer) return;
    auto busy = LockWriter(writer); // a recovery or preview between its two calls
    writer->Release();
}

ScanSession::ScanSession(std::shared_ptr<std::shared_mutex> nodes, std::shared_ptr<IStorageDevice> storage,
                         _RECOVERY_CONTROLLER_TYPE type, int deep)
    : m_keepStorage(std::move(storage)), m_nodes(std::move(nodes)), m_type(type), m_deep(deep),
      m_storage(m_keepStorage.get()) {}

IStorageDevice* ScanSession::Storage() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_storage;
}

void ScanSession::ForgetStorage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_storage = nullptr;
}

IRecoveryController* ScanSession::Controller() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controller.get();
}

std::vector<IRecoveryController*> ScanSession::Controllers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<IRecoveryController*> all;
    for (const auto& c : m_earlier) all.push_back(c.get());
    if (m_controller) all.push_back(m_controller.get());
    return all;
}

void ScanSession::SetController(Owned<IRecoveryController> controller) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_controller) m_earlier.push_back(std::move(m_controller));
    m_controller = std::move(controller);
}

void ScanSession::AddRoot(IFilesystemNode* root, long long position) {
    Writer replaced; // released outside the table's lock, as every writer
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (position >= 0) m_rootPositions[root] = position;
        if (m_controller && m_controller->thisType() == RECOVERY_DELETED) {
            if (IDataRecovery* writer = m_controller->GetDataRecovery(VXCPPPublic::instance().GetNodeSearcheType(root))) {
                Writer& slot = m_writers[{root, SEARCHER_NONE}];
                replaced = std::move(slot);
                slot.reset(writer);
            }
        }
    }
    m_results.AddRoot(root);
}

void ScanSession::KeepQuick(std::shared_ptr<ScanSession> quick, const FoundAgain& again) {
    if (!quick || quick.get() == this) return;
    std::vector<IFileNode*> roots = quick->Results().HeldRoots();
    std::erase_if(roots, [&again](IFileNode* root) { return again.quickRoots.count(root) != 0; });
    for (IFileNode* file : again.deepFiles) file->ShowNode(0);
    m_results.DropRoots(again.deepRoots);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_foundAgain.insert(again.deepFiles.begin(), again.deepFiles.end());
        if (m_keptQuick || roots.empty()) return;
        m_keptQuick = quick;
        m_keptRoots.insert(roots.begin(), roots.end());
    }
    m_results.Append(quick->Results(), [&again](IFileNode* node) {
        return again.quickRoots.empty() || again.quickRoots.count(VXCPPPublic::instance().GetFileSystemNode(node)) == 0;
    });
}

bool ScanSession::FoundAgainInQuick(IFileNode* node) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_foundAgain.count(node) != 0;
}

std::shared_ptr<ScanSession> ScanSession::KeptFor(IFileNode* node) const {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_keptQuick || !node) return nullptr;
    }
    IFileNode* root = VXCPPPublic::instance().GetFileSystemNode(node);
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_keptRoots.count(root) ? m_keptQuick : nullptr;
}

bool ScanSession::FromKeptQuick(IFileNode* node) const { return KeptFor(node) != nullptr; }

long long ScanSession::RootPosition(IFileNode* root) const {
    if (const std::shared_ptr<ScanSession> kept = KeptFor(root)) return kept->RootPosition(root);
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_rootPositions.find(root);
    return it == m_rootPositions.end() ? -1 : it->second;
}

bool ScanSession::WritersPerRoot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controller && m_controller->thisType() == RECOVERY_DELETED;
}

IDataRecovery* ScanSession::WriterFor(IFileNode* node) const {
    if (!node) return nullptr;
    // The quick scan's files are read by its own writers, one per root.
    if (const std::shared_ptr<ScanSession> kept = KeptFor(node)) return kept->WriterFor(node);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_controller) return nullptr;
    }
    WriterKey key{nullptr, SEARCHER_NONE};
    if (WritersPerRoot()) {
        key.first = VXCPPPublic::instance().GetFileSystemNode(node);
        if (!key.first) return nullptr;
    } else {
        key.second = VXCPPPublic::instance().GetNodeSearcheType(node);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_writers.find(key);
    return it == m_writers.end() ? nullptr : it->second.get();
}

IDataRecovery* ScanSession::WriterForType(_tagSearcherType type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_writers.find({nullptr, type});
    return it == m_writers.end() ? nullptr : it->second.get();
}

bool ScanSession::IsWriterFor(IFileNode* node, IDataRecovery* writer) const {
    return writer && WriterFor(node) == writer;
}

bool ScanSession::HasWriters() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_writers.empty();
}

void ScanSession::MakeTypeWriters() {
    std::map<WriterKey, Writer> made;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_controller || m_controller->thisType() == RECOVERY_DELETED) return;
        // One writer per file system of the table, the carver's included.
        for (const FileSystemEntry& entry : FileSystems().Entries())
            if (IDataRecovery* w = m_controller->GetDataRecovery(entry.searcherType))
                made[{nullptr, entry.searcherType}].reset(w);
        // Files carved by label have a writer of their own, made for carved files.
        if (IDataRecovery* w = m_controller->GetDataRecovery(SEARCHER_RAW)) made[{nullptr, SEARCHER_RAW_LABEL}].reset(w);
        m_writers.swap(made);
    }
    // The replaced writers go outside the table's lock: their users take
    // the table's lock under a writer's.
}

void ScanSession::ReleaseWriters() {
    std::map<WriterKey, Writer> gone;
    std::shared_ptr<ScanSession> kept;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        gone.swap(m_writers);
        kept = m_keptQuick;
    }
    if (kept) kept->ReleaseWriters();
}
