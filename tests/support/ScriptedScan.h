#pragma once
// A scan the window tests script by hand: found folders and files made on
// the real node model and handed to the scan object as a scan hands them, so
// the result trees, file lists and counts come from the real services; the
// progress (percent, remaining time, deep flag) is set by the test, and an
// update posts the scan's key. A deep scan frees every node, as a new scan
// does, so a window still holding one is caught by the address sanitizer.
#include "tests/support/FakeFacade.h"

#include "engine/include/EngineTypes.h"

#include <memory>
#include <string>
#include <vector>

class CFileNode;
class CFilesystemNode;
struct _FILETIME;

namespace salvor::test {

class TestFileNode;

class ScriptedScan : public FakeFacade {
public:
    ScriptedScan();
    ~ScriptedScan() override;

    CFilesystemNode* root(const std::string& volume);
    TestFileNode* folder(CFileNode* parent, const std::string& name);
    TestFileNode* file(CFileNode* parent, const std::string& name, long long size = 10, long long createdUnix = 0,
                       bool deleted = false);
    // Hands the nodes made since the last call to the scan object.
    void publish();
    // publish(), then the scan's key is posted (as the poller posts it).
    void update(double percentDone);
    // Frees every node, as the next scan does.
    void freeAll();

    double percent = 0;
    QString remaining = QStringLiteral("-:-:-");
    bool deep = false;
    std::vector<int> stops; // StopScan arguments in order
    // A stop leaves the scan running until endScan() (it winds down later).
    bool stopLingers = false;

    bool DoDeepScan(const std::string& key) override;
    void StopScan(int skipBuild) override;
    bool IsDeepScan() override { return deep; }
    void SetViewType(int view) override;
    void GetScanFileSize(std::uint64_t* size, std::uint64_t* count) override;
    QString GetScanProgress(double* percent, std::uint64_t* count) override;
    int GetScanTreeNodeData(OpNodeList* array, bool clear) override;
    int GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) override;
    std::size_t GetNodeChildrenCnt(const OpNodeRef& item) override;
    void RefreshTimeTreeState(const OpNodeList& roots) override;
    void RefreshTypeTreeState(const OpNodeRef& item) override;
    bool IsRecoveryToSameDevice(const QString& path) override;
    QString GetSaveFileName() override { return QStringLiteral("Disk_12-01-2026 at 10_00_00"); }
    // Folders on the scanned device (for the same-device checks).
    QString scannedFolder;

private:
    std::vector<std::unique_ptr<CFileNode>> nodes_;
    std::size_t published_ = 0;
    long long id_ = 0;
};

} // namespace salvor::test
