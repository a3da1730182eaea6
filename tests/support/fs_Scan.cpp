#include "tests/support/fs_Scan.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/Owned.h"
#include "engine/tree/DirectoryTreeBuilder.h"

#include <gtest/gtest.h>

#include <cstring>

namespace salvor::test {
namespace {
class NoSleepClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return 0; }
    void SleepSeconds(unsigned) override {}
};
} // namespace

struct FsScan::Private {
    NoSleepClock clock;
    Owned<IRecoveryFilter> filter{CreateFilter()};
    Owned<IRecoveryController> controller;
    std::map<int, Owned<IDataRecovery>> writers;
    TempDir out;
    int written = 0;
};

FsScan::FsScan(const std::string& image, unsigned sectorSize, int kind, unsigned long long startByte)
    : device(image, sectorSize, startByte), d(std::make_unique<Private>()) {
    EXPECT_TRUE(device.IsOpen()) << image;
    device.SetType(kind >= 0 ? DEVICE_VOLUME : DEVICE_DISK);
    if (kind >= 0) {
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        info->fileSystemType = static_cast<unsigned>(kind);
        std::strcpy(info->volumeName, "VOL");
        device.SetPrivateData(CreateVolumeDeviceData(info));
    }
    d->filter->SetFilterTypes(FILTER_ALL);
    d->filter->SetScanType(kind >= 0 ? SCAN_QUICK_UNMOUNTED : SCAN_DEEP);
    d->controller.reset(CreateRecoveryController(kind >= 0 ? RECOVERY_DELETED : RECOVERY_COMPLETE));
    if (auto* base = dynamic_cast<CRecoveryControllerBase*>(d->controller.get()))
        base->SetTreeBuilderFactory([this](bool replay) { return CreateTreeBuilder(replay, &d->clock); });
    d->controller->Initialize(d->filter.get());
}

FsScan::~FsScan() {
    d->writers.clear();
    d->controller.reset();
}

CCompleteRecoveryController* FsScan::Deep() const {
    return dynamic_cast<CCompleteRecoveryController*>(d->controller.get());
}

ResultCode FsScan::Run() {
    return d->controller->StartDataRecovery(&device, &progress, &tree);
}

static std::string PathOf(IFileNode* node) {
    std::string path = node->GetFileName();
    int guard = 0;
    for (IFileNode* p = node->GetParent(); p && p->GetParent() && guard < 4096; p = p->GetParent(), ++guard)
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

std::multimap<std::string, IFileNode*> FsScan::Nodes(const std::string& suffix) const {
    std::multimap<std::string, IFileNode*> out;
    for (IFileNode* n : tree.AllNodes()) {
        IFileNode* root = n;
        for (int guard = 0; root->GetParent() && guard < 4096; ++guard)
            root = root->GetParent();
        const std::string name = root->GetFileName();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.emplace(PathOf(n), n);
    }
    return out;
}

std::string FsScan::Recover(IFileNode* node, _tagSearcherType type) {
    auto& writer = d->writers[type];
    if (!writer) writer.reset(d->controller->GetDataRecovery(type));
    if (!writer || !node) return {};
    IFileReader* reader = writer->SetRecoverNode(node);
    if (!reader) return {};
    reader->Release();
    const std::string dest = d->out.file(std::string("f").append(std::to_string(d->written++)));
    RecordingProgress p;
    if (IsFailure(writer->RecoverTo(dest.c_str(), &p, 0))) return {};
    return Sha256File(dest);
}

} // namespace salvor::test
