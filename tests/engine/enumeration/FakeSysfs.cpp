#include "tests/engine/enumeration/FakeSysfs.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace salvor::test {
namespace {
void Write(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}
} // namespace

FakeSysfs::FakeSysfs() {
    fs::create_directories(sys() + "/block");
    fs::create_directories(dev());
    std::ofstream(mountinfo()) << "22 27 0:21 / /proc rw,relatime - proc proc rw\n";
}

void FakeSysfs::Add(const FakeDisk& d) {
    const fs::path real = fs::path(sys()) / "devices" / (d.devicePath.empty() ? "virtual/block" : d.devicePath) / d.name;
    fs::create_directories(real);
    fs::create_symlink(fs::relative(real, fs::path(sys()) / "block"), fs::path(sys()) / "block" / d.name);
    Write(real / "dev", std::to_string(d.major) + ":" + std::to_string(d.minor));
    Write(real / "size", std::to_string(d.size512));
    Write(real / "ro", d.readOnly ? "1" : "0");
    Write(real / "queue" / "logical_block_size", std::to_string(d.logicalBlockSize));
    if (!d.vendor.empty())
        Write(real / "device" / "vendor", d.vendor);
    if (!d.model.empty())
        Write(real / "device" / "model", d.model);
    if (d.scsiType >= 0)
        Write(real / "device" / "type", std::to_string(d.scsiType));
    if (!d.backingFile.empty())
        Write(real / "loop" / "backing_file", d.backingFile);
    if (!d.sataSpeed.empty()) {
        // .../ataN/hostM/...: the port's link lies beside the host.
        const std::string p = real.string();
        const auto at = p.find("/ata");
        const auto end = p.find('/', at + 1);
        const fs::path port = p.substr(0, end);
        Write(port / "link1" / "ata_link" / "link1" / "sata_spd", d.sataSpeed);
    }
    for (const FakePartition& p : d.partitions) {
        Write(real / p.name / "partition", std::to_string(p.number));
        Write(real / p.name / "start", std::to_string(p.start512));
        Write(real / p.name / "size", std::to_string(p.size512));
        Write(real / p.name / "dev", std::to_string(p.major) + ":" + std::to_string(p.minor));
        // The partition's node: a file of its size (its bytes are not read here).
        std::ofstream(dev() + "/" + p.name).close();
        fs::resize_file(dev() + "/" + p.name, p.size512 * 512);
    }
    if (!d.image.empty())
        fs::create_symlink(d.image, dev() + "/" + d.name);
}

void FakeSysfs::Mount(unsigned major, unsigned minor, const std::string& escapedMountPoint) {
    std::ofstream(mountinfo(), std::ios::app) << ++mountId_ << " 1 " << major << ":" << minor << " / "
                                              << escapedMountPoint << " rw,relatime shared:1 - vfat /dev/x rw\n";
}

} // namespace salvor::test
