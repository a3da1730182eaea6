#include "tests/engine/exdeep/ExdeepSupport.h"

#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/Fixture.h"

namespace exdeep_test {

DeepScan::DeepScan(const std::string& image, unsigned sectorSize) : device(image, sectorSize) {
    device.SetType(DEVICE_DISK);
    filter.reset(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(SCAN_DEEP);
    controller.reset(CreateRecoveryController(RECOVERY_COMPLETE));
    controller->Initialize(filter.get());
}

ResultCode DeepScan::Run() {
    Factories().exFatSearcher = [this] {
        searcher = exfat::CreateEXFatSearcher();
        return searcher;
    };
    return controller->StartDataRecovery(&device, &progress, &tree);
}

std::string DeepScan::PathOf(IFileNode* node) {
    std::string path = node->GetFileName();
    int guard = 0;
    for (IFileNode* p = node->GetParent(); p && p->GetParent() && guard < 256; p = p->GetParent(), ++guard)
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

std::map<std::string, IFileNode*> DeepScan::Tree(const std::string& suffix, bool files, bool folders) const {
    std::map<std::string, IFileNode*> out;
    for (IFileNode* n : tree.AllNodes()) {
        IFileNode* root = n;
        for (int guard = 0; root->GetParent() && guard < 256; ++guard) root = root->GetParent();
        const std::string rootName = root->GetFileName();
        if (rootName.size() < suffix.size() || rootName.compare(rootName.size() - suffix.size(), suffix.size(), suffix))
            continue;
        if (n->IsDirectory() ? !folders : !files) continue;
        out.emplace(PathOf(n), n);
    }
    return out;
}

std::vector<CSearchedPartitionInfo*> DeepScan::Partitions() {
    records.clear();
    std::vector<CSearchedPartitionInfo*> raw(256, nullptr);
    const int n = searcher ? searcher->GetSearchedPartitionInfo(raw.data(), 256) : 0;
    std::vector<CSearchedPartitionInfo*> out;
    for (int i = 0; i < n && i < 256; ++i) {
        records.emplace_back(raw[static_cast<std::size_t>(i)]);
        out.push_back(raw[static_cast<std::size_t>(i)]);
    }
    return out;
}

std::string DeepScan::Recover(_tagSearcherType type, IFileNode* node) {
    auto& writer = writers[type];
    if (!writer) writer.reset(controller->GetDataRecovery(type));
    if (!writer || !node) return {};
    IFileReader* reader = writer->SetRecoverNode(node);
    if (!reader) return {};
    reader->Release();
    const std::string dest = out.file("f" + std::to_string(written++));
    salvor::test::RecordingProgress p;
    if (IsFailure(writer->RecoverTo(dest.c_str(), &p, 0))) return {};
    return salvor::test::Sha256File(dest);
}

std::map<std::string, std::string> Manifest(const std::string& fixture, const std::string& file) {
    return exfat_test::ReadManifest(salvor::test::FixtureFile(fixture, file));
}

} // namespace exdeep_test
