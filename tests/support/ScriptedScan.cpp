#include "tests/support/ScriptedScan.h"

#include "engine/tree/FilesystemNode.h"
#include "services/ResultTrees.h"
#include "services/TimeMgr.h"
#include "services/TypeMgr.h"
#include "services/UIScan.h"
#include "tests/support/TestFileNode.h"

namespace salvor::test {

namespace {
_FILETIME fileTimeOf(long long unixSeconds) {
    return _FILETIME::From(static_cast<std::uint64_t>((unixSeconds + 11644473600LL) * 10000000LL));
}
void clearResults() {
    VXUIScan::instance().ReleaseResults();
    VXTypeMgr::share().clear();
    VXTimeMgr::share().clear();
}
} // namespace

ScriptedScan::ScriptedScan() {
    clearResults();
    VXUIScan::instance().SetScanType(0);
}
ScriptedScan::~ScriptedScan() { clearResults(); }

CFilesystemNode* ScriptedScan::root(const std::string& volume) {
    auto node = std::make_unique<CFilesystemNode>(SEARCHER_FAT, volume + "(root)", volume, ++id_);
    CFilesystemNode* raw = node.get();
    nodes_.push_back(std::move(node));
    return raw;
}

TestFileNode* ScriptedScan::folder(CFileNode* parent, const std::string& name) {
    auto node = std::make_unique<TestFileNode>(++id_, parent->GetCurrentNodeID(), name, true, 0);
    TestFileNode* raw = node.get();
    parent->AddChild(raw);
    nodes_.push_back(std::move(node));
    return raw;
}

TestFileNode* ScriptedScan::file(CFileNode* parent, const std::string& name, long long size, long long createdUnix,
                                 bool deleted) {
    TestFileNode* raw = folder(parent, name);
    raw->m_dir = false;
    raw->m_size = size;
    raw->m_deleted = deleted;
    if (createdUnix) raw->m_created = raw->m_modified = fileTimeOf(createdUnix);
    return raw;
}

void ScriptedScan::publish() {
    std::vector<IFileNode*> batch;
    for (; published_ < nodes_.size(); ++published_) {
        CFileNode* n = nodes_[published_].get();
        if (auto* r = dynamic_cast<CFilesystemNode*>(n)) VXUIScan::instance().ShowFilesystemNode(r);
        else batch.push_back(n);
    }
    if (!batch.empty()) VXUIScan::instance().ShowNodes(batch.data(), unsigned(batch.size()), 0);
}

void ScriptedScan::update(double percentDone) {
    percent = percentDone;
    publish();
    postScanUpdate();
}

void ScriptedScan::freeAll() {
    clearResults();
    nodes_.clear();
    published_ = 0;
}

bool ScriptedScan::DoDeepScan(const std::string& key) {
    ++calls["DoDeepScan"];
    if (IsScanRunning()) return false;
    freeAll();
    deep = true, percent = 0, scanKey = key, scanStatus = 2;
    return true;
}

void ScriptedScan::StopScan(int skipBuild) {
    stops.push_back(skipBuild);
    if (!stopLingers) FakeFacade::StopScan(skipBuild);
}

void ScriptedScan::SetViewType(int view) { VXUIScan::instance().SetScanType(view); }

void ScriptedScan::GetScanFileSize(std::uint64_t* size, std::uint64_t* count) {
    if (size) *size = VXUIScan::instance().GetScanFileSize();
    if (count) *count = VXUIScan::instance().GetScanFileCnt();
}

QString ScriptedScan::GetScanProgress(double* p, std::uint64_t* count) {
    if (p) *p = percent;
    if (count) *count = VXUIScan::instance().GetScanFileCnt();
    return remaining;
}

int ScriptedScan::GetScanTreeNodeData(OpNodeList* array, bool clear) {
    ++calls["GetScanTreeNodeData"];
    return VXResultTrees::GetScanTreeNodeData(VXUIScan::instance(), array, clear);
}
int ScriptedScan::GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) {
    ++calls["GetFileNodeToArray"];
    return VXResultTrees::GetFileNodeToArray(out, item);
}
std::size_t ScriptedScan::GetNodeChildrenCnt(const OpNodeRef& item) { return VXResultTrees::GetNodeChildrenCnt(item); }
void ScriptedScan::RefreshTimeTreeState(const OpNodeList& roots) {
    VXResultTrees::RefreshTimeTreeState(VXUIScan::instance(), roots);
}
void ScriptedScan::RefreshTypeTreeState(const OpNodeRef& item) { VXResultTrees::RefreshTypeTreeState(item); }

bool ScriptedScan::IsRecoveryToSameDevice(const QString& path) {
    return !scannedFolder.isEmpty() && path.startsWith(scannedFolder);
}

} // namespace salvor::test
