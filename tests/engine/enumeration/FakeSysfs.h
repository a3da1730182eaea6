#pragma once
// A sysfs tree, device nodes and a mountinfo file made in a test folder, for
// the sysfs implementation of the block-device facts.
#include "tests/support/Fixture.h"

#include <cstdint>
#include <string>
#include <vector>

namespace salvor::test {

struct FakePartition {
    std::string name;
    int number;
    std::uint64_t start512, size512;
    unsigned major, minor;
};

struct FakeDisk {
    std::string name;
    unsigned major = 8, minor = 0;
    std::uint64_t size512 = 0;
    unsigned logicalBlockSize = 512;
    bool readOnly = false;
    std::string image;        // the file that stands for /dev/<name>; "" for none
    std::string devicePath;   // where /sys/block/<name> really lies, under /sys/devices
    std::string vendor, model;
    int scsiType = -1;
    std::string backingFile;
    std::string sataSpeed;    // for a disk under an ataN port
    std::vector<FakePartition> partitions;
};

class FakeSysfs {
public:
    FakeSysfs();
    void Add(const FakeDisk& disk);
    void Mount(unsigned major, unsigned minor, const std::string& escapedMountPoint);
    std::string sys() const { return dir_.file("sys"); }
    std::string dev() const { return dir_.file("dev"); }
    std::string mountinfo() const { return dir_.file("mountinfo"); }

private:
    TempDir dir_;
    int mountId_ = 30;
};

} // namespace salvor::test
