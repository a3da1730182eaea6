#pragma once
// The machine's block devices as the enumeration sees them, made of image
// files: each image is a disk attached as a disk image (a loop device with a
// backing file, bus "Virtual Interface"), without kernel partitions, so its
// table's entries become volumes. Tables and file systems are read by
// libblkid from the files, as on the system. No root needed (a block device
// given, such as a loop device, is listed at its own size). Used by the
// services tests and by the scan probe's services mode; users link
// engine_enumeration.
#include "engine/enumeration/BlockDeviceFacts.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace salvor::test {

class ImageFileFacts : public IBlockDeviceFacts {
public:
    explicit ImageFileFacts(std::vector<std::string> images) : m_images(std::move(images)) {}

    std::vector<BlockDiskFacts> ListDisks() override {
        std::vector<BlockDiskFacts> disks;
        for (std::size_t i = 0; i < m_images.size(); ++i) {
            struct stat st {};
            if (::stat(m_images[i].c_str(), &st) != 0) continue;
            BlockDiskFacts d;
            d.name = "loop" + std::to_string(100 + i);
            d.major = 7;
            d.minor = static_cast<unsigned>(100 + i);
            std::uint64_t bytes = static_cast<std::uint64_t>(st.st_size);
            if (S_ISBLK(st.st_mode))
                if (const int fd = ::open(m_images[i].c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
                    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) bytes = 0;
                    ::close(fd);
                }
            d.size512 = bytes / 512;
            d.backingFile = m_images[i];
            d.protocol = "Virtual Interface";
            disks.push_back(d);
        }
        return disks;
    }
    std::string DevicePath(const std::string& name) override {
        const std::size_t i = static_cast<std::size_t>(std::stoul(name.substr(4)) - 100);
        return i < m_images.size() ? m_images[i] : "/nonexistent/" + name;
    }
    bool ProbeTable(const std::string& path, unsigned sectorSize, BlockTableFacts& out) override {
        return m_system.ProbeTable(path, sectorSize, out);
    }
    bool ProbeVolume(const std::string& path, std::uint64_t offset, std::uint64_t size,
                     BlockVolumeFacts& out) override {
        return m_system.ProbeVolume(path, offset, size, out);
    }
    std::string MountPoint(unsigned, unsigned) override { return {}; }

private:
    std::vector<std::string> m_images;
    CSysfsBlockDeviceFacts m_system;
};

} // namespace salvor::test
