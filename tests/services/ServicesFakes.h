#pragma once
// Stand-ins for the scan tests: devices with records, an enumerator listing
// them, and a controller that plays a script per device on the real node
// model (roots, found files, the finished record or not, a result code).
#include "engine/include/DataRecovery.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/include/StorageDevice.h"
#include "engine/enumeration/EnumDevice.h"
#include "tests/services/NodeFixtures.h"
#include "tests/services/ScanHarness.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace salvor::test {

// A disk or a volume with its record; nothing to read.
class FakeDevice : public IStorageDevice {
public:
    FakeDevice(int type, unsigned fsKind = FS_FAT32, bool permitted = true, const char* name = "vol")
        : m_type(type), m_permitted(permitted) {
        if (type == DEVICE_DISK) {
            m_data.reset(CreateDiskDeviceData(new CCollectDiskDeviceInfoStruct));
            return;
        }
        auto* r = new CCollectedVolumeDeviceInfoStruct;
        r->fileSystemType = fsKind;
        std::strncpy(r->volumeName, name, sizeof r->volumeName - 1);
        m_data.reset(CreateVolumeDeviceData(r));
    }
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void*, long long, long long) override { return 0; }
    unsigned GetSectorSize() override { return 512; }
    unsigned long long GetTotalSectors() override { return 2048; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return m_type; }
    ResultCode GetLastError() override { return 0; }
    int IsPermitted() override { return m_permitted ? 1 : 0; }

private:
    int m_type;
    bool m_permitted;
    std::unique_ptr<IStorageDeviceData> m_data;
};

// One disk and its volumes.
class FakeEnumerator : public IEnumDeviceEx {
public:
    explicit FakeEnumerator(IStorageDevice* disk = nullptr, std::vector<IStorageDevice*> volumes = {})
        : disk(disk), volumes(std::move(volumes)) {}
    IStorageDevice* disk = nullptr;
    std::vector<IStorageDevice*> volumes;
    ResultCode Init() override { return 0; }
    ResultCode Uninit() override { return 0; }
    ResultCode EnumDiskDevice(IStorageDevice** array, int& count) override { return Copy({disk}, array, count); }
    ResultCode EnumPartitionDevice(const IStorageDevice*, IStorageDevice**, int& count) override {
        count = 0;
        return 0;
    }
    ResultCode EnumVolumeDevice(const IStorageDevice*, IStorageDevice** array, int& count) override {
        return Copy(volumes, array, count);
    }

private:
    static ResultCode Copy(const std::vector<IStorageDevice*>& list, IStorageDevice** array, int& count) {
        if (array)
            for (std::size_t i = 0; i < list.size() && static_cast<int>(i) < count; ++i) array[i] = list[i];
        count = static_cast<int>(list.size());
        return 0;
    }
};

// One fake disk and its volumes, listed to the facade for the scope.
struct FakeDeviceList {
    FakeDeviceList(IStorageDevice* disk, std::vector<IStorageDevice*> volumes) : enumerator(disk, std::move(volumes)) {}
    FakeEnumerator enumerator;
    ListedDevices devices{&enumerator};
};

class FakeWriter : public IDataRecovery {
public:
    static std::atomic<int>& Live() {
        static std::atomic<int> live{0};
        return live;
    }
    FakeWriter() { ++Live(); }
    ~FakeWriter() override { --Live(); }
    ResultCode Initialize(IFileSystemSearchController*, IStorageDevice*) override { return 0; }
    IFileReader* SetRecoverNode(IFileNode*) override { return nullptr; }
    ResultCode RecoverTo(const char*, IProgress*, int) override { return 0; }
    unsigned ReadSmallJPG(char*, unsigned) override { return 0; }
    void Release() override { delete this; }
};

// What the controller does for one device.
struct Script {
    std::vector<std::pair<CFilesystemNode*, std::vector<IFileNode*>>> trees; // root and its nodes
    bool finished = true;  // report a finished record at the end
    ResultCode result = 0; // answer of StartDataRecovery
    std::function<void(IProgress*)> during; // runs before the trees are shown
};

class FakeController : public IRecoveryController {
public:
    struct Shared {
        std::map<IStorageDevice*, Script> scripts;
        std::vector<IStorageDevice*> visited;
        std::vector<int> types; // types of the controllers made
        std::atomic<int> live{0};
        std::atomic<int> starts{0}; // read while the worker runs (visited only after)
        std::function<IDataRecovery*()> makeWriter; // the writers handed out (FakeWriter by default)
    };

    FakeController(_RECOVERY_CONTROLLER_TYPE type, Shared& shared) : m_type(type), m_shared(shared) {
        ++m_shared.live;
        m_shared.types.push_back(type);
    }
    ~FakeController() override { --m_shared.live; }
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_type; }
    int Initialize(IRecoveryFilter*) override { return 1; }
    ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) override {
        m_shared.visited.push_back(device);
        ++m_shared.starts;
        const Script& s = m_shared.scripts[device];
        _PROGRESS_INFO running = MakeProgress(PROGRESS_RUNNING, 10, 1);
        sink->UpdateProgress(&running);
        if (s.during) s.during(sink);
        for (const auto& [root, nodes] : s.trees) {
            tree->ShowFilesystemNode(root);
            std::vector<IFileNode*> batch(nodes);
            tree->ShowNodes(batch.data(), static_cast<unsigned>(batch.size()), 0);
        }
        if (s.finished) {
            _PROGRESS_INFO done = MakeProgress(PROGRESS_FINISHED, 10, 10, s.result);
            sink->UpdateProgress(&done);
        }
        return s.result;
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType) const override {
        return m_shared.makeWriter ? m_shared.makeWriter() : new FakeWriter;
    }
    void Release() override { delete this; }

private:
    _RECOVERY_CONTROLLER_TYPE m_type;
    Shared& m_shared;
};

} // namespace salvor::test
