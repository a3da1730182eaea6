#pragma once
// Block-device facts held in memory, for cases a sysfs tree cannot show
// (libblkid answers that fail or lack fields). Device nodes are image files.
#include "engine/enumeration/BlockDeviceFacts.h"

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
        const auto it = nodes.find(name);
        return it == nodes.end() ? "/nonexistent/" + name : it->second;
    }
    bool ProbeTable(const std::string& path, unsigned, BlockTableFacts& out) override {
        const auto it = tables.find(path);
        if (it == tables.end())
            return false;
        out = it->second;
        return true;
    }
    bool ProbeVolume(const std::string& path, std::uint64_t offset, std::uint64_t, BlockVolumeFacts& out) override {
        const auto it = volumes.find(path);
        if (offset != 0 || it == volumes.end())
            return false;
        out = it->second;
        return true;
    }
    std::string MountPoint(unsigned major, unsigned minor) override {
        const auto it = mounts.find({major, minor});
        return it == mounts.end() ? std::string() : it->second;
    }
};

} // namespace salvor::test
