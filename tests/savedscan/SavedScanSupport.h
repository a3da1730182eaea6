#pragma once
// Helpers of the saved-scan tests: a builder that records what a replay
// adds, a direct load (readers and replay without the load thread), and a
// harness that saves and loads through the facade inside the event loop.
#include "engine/include/SearchInterfaces.h"
#include "savedscan/RSData.h"
#include "savedscan/RestoreFileNode.h"
#include "savedscan/SaveRestoreResult.h"
#include "savedscan/SavedScanReplay.h"

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/StatusPoller.h"
#include "services/UIController.h"

#include <QString>
#include <gtest/gtest.h>

namespace salvor::test {

// Takes every node a replay adds; keeps the calls in order.
class ReplayBuilder : public IDirecotryTreeBuilder {
public:
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override {
        nodes.emplace_back(static_cast<SaveRestoreResult::RestoreFileNode*>(node));
        types.push_back(type);
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType type, long long rootId) override {
        roots.push_back({type, rootId});
        return 1;
    }
    int FlashBuild(_tagSearcherType type) override {
        flashed.push_back(type);
        return 1;
    }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}

    std::vector<std::unique_ptr<SaveRestoreResult::RestoreFileNode>> nodes;
    std::vector<int> types;
    std::vector<std::pair<int, long long>> roots;
    std::vector<int> flashed;
};

struct DirectLoad {
    std::uint32_t code = 0;
    ReplayBuilder builder;
    CRestoredPartitions partitions;
};

// The load's reading without the device lookup: head, then every root.
inline std::unique_ptr<DirectLoad> LoadDirectPtr(const std::string& path, const ReplayTarget& target = {true, {}, nullptr}) {
    auto load = std::make_unique<DirectLoad>();
    CRSData rs(RS_MODE_READ);
    CProgressSteps steps;
    SaveRestoreResult::SavedScanHead head;
    load->code = SaveRestoreResult::ReadScanHead(rs, path.c_str(), head, nullptr, steps);
    if (load->code == SAVED_OK)
        load->code = ReplayFileSystemNode(rs, load->builder, nullptr, target, load->partitions, nullptr, nullptr);
    return load;
}

inline std::uint32_t LoadDirect(const std::string& path) { return LoadDirectPtr(path)->code; }

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Where the FileSystemNode frame's header starts in a saved file.
inline std::size_t TreesFrameOffset(const std::string& bytes) {
    const std::string guid(reinterpret_cast<const char*>(_frFileSystemNode.bytes), 16);
    const std::size_t at = bytes.find(guid);
    return at == std::string::npos ? std::string::npos : at - 16;
}

// Saves and loads through the facade as the windows do, counting posts.
class TransferHarness {
public:
    TransferHarness() {
        auto& center = platform::NotificationCenter::defaultCenter();
        for (const char* key : {"QueryProgressInfo", "NormalScranValue"})
            center.addObserver(this, key, [this](const auto&) { progressAfterFinish += finishes; });
        center.addObserver(this, "QueryProgressFinish", [this](const auto&) { ++finishes; });
    }
    ~TransferHarness() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

    // The error code of the save; checks the one finish post and the end progress.
    // stopped: the save is stopped (as quitting does) before its thread runs.
    std::uint64_t Save(const std::string& path, bool stopped = false) {
        Begin();
        VXUIController::shared().RestorPostUIUpdate("QueryProgressInfo", true);
        if (stopped) VXUIController::shared().StopSave();
        VXUIController::shared().beginSaveOrRestoreNode(true, QString::fromStdString(path));
        return End(true);
    }
    std::uint64_t Load(const std::string& path) {
        Begin();
        VXUIController::shared().beginSaveOrRestoreNode(false, QString::fromStdString(path));
        VXUIController::shared().RestorPostUIUpdate("NormalScranValue", false);
        return End(false);
    }

    int finishes = 0;
    int progressAfterFinish = 0;

private:
    void Begin() { finishes = progressAfterFinish = 0; }
    std::uint64_t End(bool save) {
        EXPECT_TRUE(platform::runUntil([&] { return finishes > 0 && CStatusPoller::LivePollers() == 0; },
                                       std::chrono::seconds(120)));
        platform::runUntil([] { return false; }, std::chrono::milliseconds(100));
        EXPECT_EQ(finishes, 1);
        EXPECT_EQ(progressAfterFinish, 0);
        std::uint64_t total = 0, current = 0, error = 0;
        VXUIController::shared().GetSaveorRestoreProgress(&total, &current, &error, save);
        EXPECT_EQ(current, total);
        return error;
    }
};

} // namespace salvor::test
