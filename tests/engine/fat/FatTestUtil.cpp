#include "tests/engine/fat/FatTestUtil.h"

#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatVolume.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace fattest {

std::string ReadText(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void Put16(std::vector<std::uint8_t>& b, std::size_t off, unsigned v) {
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}

std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size) {
    std::vector<std::uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    Put16(e, 20, cluster >> 16);
    Put16(e, 26, cluster & 0xFFFF);
    for (int i = 0; i < 4; ++i) e[28 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    return e;
}

std::vector<std::uint8_t> LfnEntry(const std::u16string& units) {
    std::vector<std::uint8_t> e(32, 0);
    e[0] = 0x41;
    e[11] = 0x0F;
    const std::size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t i = 0; i < 13; ++i)
        Put16(e, at[i], i < units.size() ? units[i] : (i == units.size() ? 0 : 0xFFFF));
    return e;
}

std::vector<std::uint8_t> ReadBytes(const std::string& file, unsigned long long offset, std::size_t n) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> out(n);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
}

bool WriteBytes(const std::string& file, unsigned long long offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(file, std::ios::binary | std::ios::in | std::ios::out);
    if (!f) return false;
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

namespace {
// Calls fn(head, path) for every "head<TAB>path" line of text.
template <typename Fn>
void ForEachTabLine(const std::string& text, Fn fn) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) fn(line.substr(0, tab), line.substr(tab + 1));
    }
}
} // namespace

std::vector<OracleEntry> ReadIstatManifest(const std::string& file) {
    std::vector<OracleEntry> out;
    ForEachTabLine(ReadText(file), [&](const std::string& headText, const std::string& path) {
        OracleEntry e;
        e.path = path;
        std::istringstream head(headText);
        std::string type, flag;
        head >> type >> e.inode >> flag >> e.size;
        e.dir = !type.empty() && type[0] == 'd';
        e.deleted = flag == "D";
        unsigned long long s;
        while (head >> s) e.sectors.push_back(s);
        out.push_back(std::move(e));
    });
    return out;
}

std::vector<OracleEntry> ParseFls(const std::string& text) {
    std::vector<OracleEntry> out;
    ForEachTabLine(text, [&](const std::string& head, const std::string& path) {
        if (path.find('$') != std::string::npos || path.find("(Volume Label Entry)") != std::string::npos) return;
        OracleEntry e;
        e.path = path;
        e.dir = !head.empty() && head[0] == 'd';
        e.deleted = head.find('*') != std::string::npos;
        out.push_back(std::move(e));
    });
    return out;
}

bool Volume::Open(const std::string& image, unsigned ss, unsigned long long startSector) {
    sectorSize = ss;
    start = startSector;
    device = std::make_unique<salvor::test::ImageDevice>(image, ss);
    if (!device->IsOpen()) return false;
    std::vector<std::uint8_t> sector(ss);
    if (!device->ReadSector(sector.data(), static_cast<long long>(startSector), 1)) return false;
    boot = std::make_unique<CFATDBR>(sector, ss);
    if (!boot->View().IsValidDBR()) return false;
    const CTempFATDBR& b = boot->View();
    table.reset(IFATTableFactory::CreateFATTable(device.get(), static_cast<long long>(start + b.GetReservedSector()),
                                                 b.GetFileSystemType(), b.GetSectorsPerFat(), 1, 1,
                                                 b.GetClusterCount()));
    return true;
}

long long Volume::ClusterSector(std::uint32_t cluster) const {
    return CFATVolume::ConvertClusterToSector(start, boot->View(), cluster);
}

std::uint32_t Volume::SectorCluster(unsigned long long sector) const {
    const CTempFATDBR& b = boot->View();
    return static_cast<std::uint32_t>((sector - start - b.GetFirstDataSector()) / b.GetSectorsperCluster() + 2);
}

std::vector<Found> Volume::Walk() {
    const CTempFATDBR& b = boot->View();
    const unsigned spc = b.GetSectorsperCluster();
    std::vector<Found> out;
    std::set<std::uint32_t> ancestors;

    auto readClusters = [&](const std::vector<std::uint32_t>& clusters) {
        std::vector<std::uint8_t> bytes;
        for (std::uint32_t c : clusters) {
            std::vector<std::uint8_t> buf(std::size_t{spc} * sectorSize);
            if (!device->ReadSector(buf.data(), ClusterSector(c), spc)) break;
            bytes.insert(bytes.end(), buf.begin(), buf.end());
        }
        return bytes;
    };

    std::function<void(const std::vector<std::uint8_t>&, const std::string&, bool, int)> list =
        [&](const std::vector<std::uint8_t>& folder, const std::string& prefix, bool parentDeleted, int depth) {
            std::size_t runStart = 0;
            bool inRun = false;
            for (std::size_t off = 0; off + 32 <= folder.size(); off += 32) {
                const fat::Bytes raw(folder.data() + off, 32);
                const CTempFATDirEntry e(raw);
                if (e.IsNeverUsed()) break;
                if (e.IsLongFileNameEntry()) {
                    if (!inRun) runStart = off;
                    inRun = true;
                    continue;
                }
                const std::size_t from = inRun ? runStart : off;
                inRun = false;
                if (e.IsVolumeLabel() || CFATFolderAnalyser::IsCurDirFileName(raw) ||
                    CFATFolderAnalyser::IsParentDirFileName(raw))
                    continue;
                std::unique_ptr<CFATFileProperties> p(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(
                    fat::Bytes(folder.data() + from, off + 32 - from)));
                if (!p) continue;
                Found f;
                f.path = prefix + p->GetFileName();
                f.size = p->GetFileSize();
                f.deleted = (p->GetState() & 1) || parentDeleted;
                f.dir = (p->GetAttribute() & 0x10) != 0;
                f.firstCluster = e.GetFirstClusterNO();
                out.push_back(f);
                if (!f.dir || depth > 32 || f.firstCluster < 2 || f.firstCluster >= b.GetClusterCount() + 2) continue;
                // A deleted folder is read only while its first cluster is free
                // (as The Sleuth Kit does): an allocated one now belongs to another.
                std::vector<std::uint32_t> chain;
                if (f.deleted) {
                    if (table->GetNextCluster(f.firstCluster) != 0) continue;
                    chain.push_back(f.firstCluster);
                } else {
                    fat::FollowClusterChain(*table, f.firstCluster, b.GetClusterCount(), chain);
                }
                if (!ancestors.insert(f.firstCluster).second) continue; // a folder inside itself
                list(readClusters(chain), f.path + "/", f.deleted, depth + 1);
                ancestors.erase(f.firstCluster);
            }
        };

    if (b.GetFileSystemType() == FS_FAT32) {
        std::vector<std::uint32_t> chain;
        fat::FollowClusterChain(*table, b.GetRootDirStartCluster(), b.GetClusterCount(), chain);
        list(readClusters(chain), "", false, 0);
    } else {
        const unsigned rootSectors = b.GetRootDirSectors();
        std::vector<std::uint8_t> root(std::size_t{rootSectors} * sectorSize);
        const unsigned long long rootStart =
            start + b.GetReservedSector() + static_cast<unsigned long long>(b.GetNumberOfFat()) * b.GetSectorsPerFat();
        if (device->ReadSector(root.data(), static_cast<long long>(rootStart), rootSectors))
            list(root, "", false, 0);
    }
    return out;
}

std::string NormalisePath(const std::string& path, bool /*deleted*/) {
    // fls shows an erased first byte as "_", we as "#".
    std::string p;
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c == '#' && (i == 0 || path[i - 1] == '/')) c = '_';
        p += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    }
    return p;
}

} // namespace fattest
