#include "engine/enumeration/SameVolume.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <set>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

using DeviceNumber = std::pair<unsigned, unsigned>;

DeviceNumber NumberOf(dev_t dev) {
    return {major(dev), minor(dev)};
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::canonical(path, ec);
    return ec ? std::string() : p.string();
}

// A loop device's backing file as sysfs shows it, without a "(deleted)" mark.
std::string BackingPath(std::string text) {
    const std::string deleted = " (deleted)";
    if (text.size() > deleted.size() &&
        text.compare(text.size() - deleted.size(), deleted.size(), deleted) == 0)
        text.resize(text.size() - deleted.size());
    return text;
}

// The device numbers holding the scanned data: a disk with its partitions, a
// partition, or the loop devices backed by an image file with theirs. A
// scanned loop device's image is also held by every other loop device over
// it (one attached at a partition's offset, as mount -o loop,offset= makes).
std::set<DeviceNumber> ScannedDevices(const struct stat& st, const std::string& real,
                                      IBlockDeviceFacts& facts) {
    std::set<DeviceNumber> out;
    const bool block = S_ISBLK(st.st_mode);
    if (block) out.insert(NumberOf(st.st_rdev));
    const std::vector<BlockDiskFacts> disks = facts.ListDisks();
    std::string image = block ? std::string() : real;
    if (block)
        for (const BlockDiskFacts& disk : disks)
            if (DeviceNumber{disk.major, disk.minor} == NumberOf(st.st_rdev) && !disk.backingFile.empty())
                image = Canonical(BackingPath(disk.backingFile));
    for (const BlockDiskFacts& disk : disks) {
        const bool whole = (block && DeviceNumber{disk.major, disk.minor} == NumberOf(st.st_rdev)) ||
                           (!image.empty() && !disk.backingFile.empty() &&
                            Canonical(BackingPath(disk.backingFile)) == image);
        if (!whole) continue;
        out.insert({disk.major, disk.minor});
        for (const BlockPartitionFacts& part : disk.partitions)
            out.insert({part.major, part.minor});
    }
    return out;
}

// The destination's nearest existing ancestor (itself when it exists).
bool NearestExisting(const std::string& destination, struct stat& st, std::string& found) {
    std::error_code ec;
    fs::path p = fs::absolute(destination, ec);
    if (ec) return false;
    for (int guard = 0; guard < 4096; ++guard) {
        if (::stat(p.c_str(), &st) == 0) {
            found = p.string();
            return true;
        }
        if (!p.has_relative_path()) return false;
        p = p.parent_path();
    }
    return false;
}

} // namespace

std::string SameVolumeReason(const std::string& scanned, const std::string& destination,
                             IBlockDeviceFacts& facts, const std::string& mountInfoPath) {
    struct stat source {};
    struct stat target {};
    std::string existing;
    if (::stat(scanned.c_str(), &source) != 0 || !NearestExisting(destination, target, existing)) return {};
    const std::string real = Canonical(scanned);
    const std::set<DeviceNumber> devices = ScannedDevices(source, real, facts);
    const DeviceNumber at = NumberOf(target.st_dev);
    if (devices.count(at))
        return existing + " is on the scanned device (" + std::to_string(at.first) + ":" +
               std::to_string(at.second) + ")";

    const std::string text = ReadFactsFile(mountInfoPath);
    for (const std::string& from : MountSourcesFromMountInfo(text, at.first, at.second)) {
        // Sources such as "tmpfs" or "none" name no file; read as a path they
        // would name whatever the working folder holds under that name.
        if (from.empty() || from[0] != '/') continue;
        struct stat st {};
        if (::stat(from.c_str(), &st) != 0) continue;
        const bool sameDevice = S_ISBLK(st.st_mode) && devices.count(NumberOf(st.st_rdev));
        if (sameDevice || (!real.empty() && Canonical(from) == real))
            return existing + " is in a mount of " + from + ", which holds the scanned data";
    }
    return {};
}
