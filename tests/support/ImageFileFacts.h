#pragma once
// The machine's block devices as the enumeration sees them, made of image
// files: each image is a disk attached as a disk image (a loop device with a
// backing file, bus "Virtual Interface"), without kernel partitions, so its
// table's entries become volumes. Tables and file systems are read by
// libblkid from the files, as on the system. No root needed. Used by the
// services tests and by the scan probe's services mode; users link
// engine_enumeration.
#include "engine/enumeration/BlockDeviceFacts.h"

#include <sys/stat.h>

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
            d.size512 = static_cast<std::uint64_t>(st.st_size) / 512;
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
