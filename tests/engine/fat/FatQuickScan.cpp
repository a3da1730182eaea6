#include "tests/engine/fat/FatQuickScan.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/fat/FatRegistration.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"

#include <cstring>

namespace fattest {

std::string TreePath(IFileNode* node) {
    std::string path = node->GetFileName();
    int guard = 0;
    for (IFileNode* p = node->GetParent(); p && p->GetParent() && guard < 256; p = p->GetParent(), ++guard)
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

QuickScan::QuickScan(const std::string& image, unsigned sectorSize, unsigned kind) : device(image, sectorSize) {
    ResetFactories();
    RegisterFatLibrary();
    device.SetType(DEVICE_VOLUME);
    auto* info = new CCollectedVolumeDeviceInfoStruct;
    info->fileSystemType = kind;
    std::strcpy(info->volumeName, "FATVOL");
    device.SetPrivateData(CreateVolumeDeviceData(info));
    m_filter.reset(CreateFilter());
    m_filter->SetFilterTypes(FILTER_ALL);
    m_filter->SetScanType(SCAN_QUICK_UNMOUNTED);
    controller.reset(CreateRecoveryController(RECOVERY_DELETED));
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(controller.get()))
        base->SetTreeBuilderFactory([this](bool replay) { return CreateTreeBuilder(replay, &m_clock); });
    controller->Initialize(m_filter.get());
}

ResultCode QuickScan::Run() { return controller->StartDataRecovery(&device, &progress, &tree); }

std::map<std::string, Listed> QuickScan::Listing() const {
    std::map<std::string, Listed> out;
    for (IFileNode* n : tree.AllNodes()) {
        Listed l{n, n->IsDeleted() != 0, n->IsDirectory() != 0, n->GetFileSize()};
        out[NormalisePath(TreePath(n), l.deleted) + (l.dir ? "/" : "")] = l;
    }
    return out;
}

std::string QuickScan::Recover(IFileNode* node, const std::string& dest) {
    if (!m_writer) m_writer.reset(controller->GetDataRecovery(SEARCHER_FAT));
    if (!m_writer || !node) return {};
    IFileReader* reader = m_writer->SetRecoverNode(node);
    if (!reader) return {};
    reader->Release();
    salvor::test::RecordingProgress p;
    if (IsFailure(m_writer->RecoverTo(dest.c_str(), &p, 0))) return {};
    return salvor::test::Sha256File(dest);
}

} // namespace fattest
