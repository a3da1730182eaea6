#include "tests/engine/fatdeep/FatDeepSupport.h"

#include "engine/fat/FatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/fat/FatTestUtil.h"
#ifdef SALVOR_HAVE_EXFAT
#include "engine/exfat/ExfatDeepSearch.h"
#endif

#include <sstream>

namespace fatdeep {

DeepScan::DeepScan(const std::string& image, bool withExfat) : device(image, 512), m_withExfat(withExfat) {
    device.SetType(DEVICE_DISK);
    m_filter.reset(CreateFilter());
    m_filter->SetFilterTypes(FILTER_ALL);
    m_filter->SetScanType(SCAN_DEEP);
    m_controller.reset(new CCompleteRecoveryController());
    m_controller->SetTreeBuilderFactory([this](bool replay) { return CreateTreeBuilder(replay, &m_clock); });
    m_controller->Initialize(m_filter.get());
}

ResultCode DeepScan::Run() {
    ResetFactories();
    Factories().fatSearcher = [this] {
        fat = new CFATCompleteFSearcher();
        return fat;
    };
#ifdef SALVOR_HAVE_EXFAT
    if (m_withExfat)
        Factories().exFatSearcher = [this] {
            exfat = exfat::CreateEXFatSearcher();
            return exfat;
        };
#endif
    const ResultCode rc = m_controller->StartDataRecovery(&device, &progress, &tree);
    ResetFactories();
    return rc;
}

std::vector<CSearchedPartitionInfo*> DeepScan::Partitions() {
    std::vector<CSearchedPartitionInfo*> out;
    if (!fat) return out;
    std::vector<CSearchedPartitionInfo*> raw(256, nullptr);
    const int n = fat->GetSearchedPartitionInfo(raw.data(), 256);
    for (int i = 0; i < n && i < 256; ++i) {
        m_records.emplace_back(raw[static_cast<std::size_t>(i)]);
        out.push_back(raw[static_cast<std::size_t>(i)]);
    }
    return out;
}

std::string PathOf(IFileNode* node) {
    std::string path = node->GetFileName();
    int guard = 0;
    for (IFileNode* p = node->GetParent(); p && p->GetParent() && guard < 4096; p = p->GetParent(), ++guard)
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

namespace {
bool InTree(IFileNode* n, const std::string& suffix) {
    IFileNode* root = n;
    for (int guard = 0; root->GetParent() && guard < 4096; ++guard) root = root->GetParent();
    const std::string name = root->GetFileName();
    return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}
std::string Key(IFileNode* n) {
    return fattest::NormalisePath(PathOf(n), n->IsDeleted() != 0) + (n->IsDirectory() ? "/" : "");
}
} // namespace

std::map<std::string, Shown> DeepScan::Listing(const std::string& suffix) const {
    std::map<std::string, Shown> out;
    for (IFileNode* n : tree.AllNodes()) {
        if (!InTree(n, suffix)) continue;
        out[Key(n)] = {n, n->IsDeleted() != 0, n->IsDirectory() != 0, n->GetFileSize()};
    }
    return out;
}

std::map<std::string, int> DeepScan::PathCounts(const std::string& suffix) const {
    std::map<std::string, int> out;
    for (IFileNode* n : tree.AllNodes())
        if (InTree(n, suffix)) ++out[Key(n)];
    return out;
}

std::string DeepScan::Recover(IFileNode* node, _tagSearcherType type) {
    auto& writer = m_writers[type];
    if (!writer) writer.reset(m_controller->GetDataRecovery(type));
    if (!writer || !node) return {};
    IFileReader* reader = writer->SetRecoverNode(node);
    if (!reader) return {};
    reader->Release();
    const std::string dest = m_out.file("f" + std::to_string(m_written++));
    salvor::test::RecordingProgress p;
    if (IsFailure(writer->RecoverTo(dest.c_str(), &p, 0))) return {};
    return salvor::test::Sha256File(dest);
}

std::map<std::string, std::string> ReadSha256(const std::string& file) {
    std::map<std::string, std::string> out;
    std::istringstream in(fattest::ReadText(file));
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 66) continue;
        std::string path = line.substr(64);
        while (!path.empty() && (path[0] == ' ' || path[0] == '\t' || path[0] == '/')) path.erase(0, 1);
        out[fattest::NormalisePath(path, false)] = line.substr(0, 64);
    }
    return out;
}

} // namespace fatdeep
