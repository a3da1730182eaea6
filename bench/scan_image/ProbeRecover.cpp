#include "bench/scan_image/ProbeRecover.h"

#include "bench/scan_image/ProbeOutput.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/FileNode.h"
#include "engine/include/RecoveryController.h"

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>

namespace {

class QuietProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

struct WriterRelease {
    void operator()(IDataRecovery* w) const {
        if (w) w->Release();
    }
};

} // namespace

RecoverCounts RecoverFiles(IRecoveryController& controller, const std::vector<IFileNode*>& nodes,
                           const std::string& destination) {
    RecoverCounts counts;
    std::map<int, std::unique_ptr<IDataRecovery, WriterRelease>> writers;
    for (IFileNode* node : nodes) {
        if (node->IsDirectory() || node->GetFileSize() <= 0) continue;
        const int type = NodeSearcherType(node);
        auto& writer = writers[type];
        if (!writer) writer.reset(controller.GetDataRecovery(static_cast<_tagSearcherType>(type)));
        const std::filesystem::path dest = std::filesystem::path(destination) / NodePath(node, true);
        std::error_code ec;
        std::filesystem::create_directories(dest.parent_path(), ec);
        IFileReader* reader = writer ? writer->SetRecoverNode(node) : nullptr;
        QuietProgress p;
        if (!reader || IsFailure(writer->RecoverTo(dest.c_str(), &p, 0))) {
            std::fprintf(stderr, "scan_image: cannot recover %s\n", dest.c_str());
            ++counts.failed;
        } else {
            ++counts.written;
        }
        if (reader) reader->Release();
    }
    return counts;
}
