#pragma once
// Helpers of the enumeration tests: block-device facts held in memory, for
// cases a sysfs tree cannot show (libblkid answers that fail or lack fields;
// device nodes are image files), and the enumerator's counted queries.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "engine/enumeration/EnumDevice.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace salvor::test {

class FakeBlockDeviceFacts : public IBlockDeviceFacts {
public:
    std::vector<BlockDiskFacts> disks;
    std::map<std::string, std::string> nodes;         // kernel name -> file
    std::map<std::string, BlockTableFacts> tables;    // device path -> table (absent: unreadable)
    std::map<std::string, BlockVolumeFacts> volumes;  // device path -> file system (absent: none)
    std::map<std::pair<unsigned, unsigned>, std::string> mounts;

    std::vector<BlockDiskFacts> ListDisks() override { return disks; }
    std::string DevicePath(const std::string& name) override {
        return nodes.count(name) ? nodes[name] : "/nonexistent/" + name;
    }
    bool ProbeTable(const std::string& path, unsigned, BlockTableFacts& out) override {
        return tables.count(path) && (out = tables[path], true);
    }
    bool ProbeVolume(const std::string& path, std::uint64_t offset, std::uint64_t, BlockVolumeFacts& out) override {
        return offset == 0 && volumes.count(path) && (out = volumes[path], true);
    }
    std::string MountPoint(unsigned major, unsigned minor) override {
        return mounts.count({major, minor}) ? mounts[{major, minor}] : "";
    }
};

// Counted queries: asked for the count, then for the devices.
template <class Query>
std::vector<IStorageDevice*> Fetch(Query query) {
    int n = 0;
    EXPECT_EQ(query(nullptr, n), 0u);
    std::vector<IStorageDevice*> v(static_cast<std::size_t>(n));
    EXPECT_EQ(query(v.data(), n), 0u);
    return v;
}
inline std::vector<IStorageDevice*> Disks(IEnumDeviceEx& e) {
    return Fetch([&](IStorageDevice** a, int& n) { return e.EnumDiskDevice(a, n); });
}
inline IStorageDevice* Disk(IEnumDeviceEx& e, const std::string& name) {
    for (IStorageDevice* d : Disks(e))
        if (name == DiskRec(d).bsdName) return d;
    ADD_FAILURE() << "no disk " << name;
    return nullptr;
}
inline std::vector<IStorageDevice*> Volumes(IEnumDeviceEx& e, IStorageDevice* disk) {
    return Fetch([&](IStorageDevice** a, int& n) { return e.EnumVolumeDevice(disk, a, n); });
}
inline std::vector<IStorageDevice*> Partitions(IEnumDeviceEx& e, IStorageDevice* disk) {
    return Fetch([&](IStorageDevice** a, int& n) { return e.EnumPartitionDevice(disk, a, n); });
}

} // namespace salvor::test
