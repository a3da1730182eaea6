#include "tests/engine/exfat/ExfatTestSupport.h"

#include "engine/common/Bytes.h"
#include "engine/common/FileNode.h"
#include "engine/exfat/ExfatEntries.h"
#include "engine/include/StorageDevice.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace exfat_test {

RecordingBuilder::~RecordingBuilder() {
    for (IFileNode* n : nodes) n->Release();
}

int RecordingBuilder::AddNode(IFileNode* node, _tagSearcherType type) {
    if (!node) return 0;
    if (refuseFrom >= 0 && static_cast<int>(nodes.size()) >= refuseFrom) return 0;
    nodes.push_back(node);
    types.push_back(type);
    return 1;
}

int RecordingBuilder::AddSearcherInfo(_tagSearcherType, long long id) {
    ++searcherInfoCalls;
    rootId = id;
    return 1;
}

int RecordingBuilder::FlashBuild(_tagSearcherType) {
    ++flashCalls;
    return 1;
}

std::string RecordingBuilder::PathOf(IFileNode* node) const {
    std::map<long long, IFileNode*> folders;
    for (IFileNode* n : nodes)
        if (n->IsDirectory()) folders.emplace(n->GetCurrentNodeID(), n);
    std::string path = node->GetFileName();
    long long parent = node->GetParentNodeID();
    for (int guard = 0; parent != rootId; ++guard) {
        auto it = folders.find(parent);
        if (it == folders.end() || guard > 64) return "?/" + path;
        path = std::string(it->second->GetFileName()) + "/" + path;
        parent = it->second->GetParentNodeID();
    }
    return path;
}

std::set<RecordingBuilder::Entry> RecordingBuilder::Entries() const {
    std::set<Entry> out;
    for (IFileNode* n : nodes) out.insert({n->IsDirectory() ? 'd' : 'r', n->IsDeleted() != 0, PathOf(n)});
    return out;
}

IFileNode* RecordingBuilder::Find(const std::string& path) const {
    for (IFileNode* n : nodes)
        if (PathOf(n) == path) return n;
    return nullptr;
}

std::string Missing(const std::set<RecordingBuilder::Entry>& a, const std::set<RecordingBuilder::Entry>& b) {
    std::ostringstream out;
    int n = 0;
    for (const auto& e : a) {
        if (b.count(e)) continue;
        if (++n > 40) {
            out << "  ...\n";
            break;
        }
        out << "  " << e.kind << (e.deleted ? " * " : "   ") << e.path << "\n";
    }
    return out.str();
}

std::set<RecordingBuilder::Entry> ParseFls(const std::string& text) {
    std::set<RecordingBuilder::Entry> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.size() < 4) continue;
        const std::string head = line.substr(0, tab);
        std::string path = line.substr(tab + 1);
        if (head[0] == 'v' || head[0] == 'V' || head[0] == '-') continue;
        if (path.find("(Volume Label Entry)") != std::string::npos || path == "$ALLOC_BITMAP" ||
            path == "$UPCASE_TABLE" || path.rfind("$OrphanFiles", 0) == 0)
            continue;
        out.insert({head[0] == 'd' ? 'd' : 'r', head.find(" * ") != std::string::npos, path});
    }
    return out;
}

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::set<RecordingBuilder::Entry> FlsOf(const std::string& image, const std::string& extra) {
    std::string out;
    const int rc = salvor::test::RunCommand("fls -r -p " + extra + " '" + image + "' 2>/dev/null", &out);
    if (rc != 0) ADD_FAILURE_AT(__FILE__, __LINE__) << "fls failed (package sleuthkit): " << out;
    return ParseFls(out);
}

std::map<std::string, std::string> ReadManifest(const std::string& path) {
    std::map<std::string, std::string> out;
    std::istringstream in(ReadText(path));
    std::string line;
    while (std::getline(in, line)) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) out[line.substr(tab + 1)] = line.substr(0, tab);
    }
    return out;
}

std::string ReadNode(IStorageDevice* device, IFileNode* node, std::int64_t clusterOrigin,
                     unsigned sectorsPerCluster) {
    auto* cnode = dynamic_cast<CFileNode*>(node);
    IDataRunList* runs = cnode ? cnode->GetDataRunList() : nullptr;
    if (!runs) return {};
    IDataRunList* walk = runs->Clone();
    const unsigned sector = device->GetSectorSize();
    std::string out;
    const auto size = static_cast<std::size_t>(node->GetFileSize());
    for (DataRun* r = walk->GetFirst(); r && out.size() < size; r = walk->GetNext()) {
        std::string buf(static_cast<std::size_t>(r->length * sectorsPerCluster * sector), '\0');
        if (!device->ReadSector(buf.data(), clusterOrigin + r->start * sectorsPerCluster,
                                r->length * sectorsPerCluster))
            break;
        out += buf;
    }
    walk->Release();
    if (out.size() > size) out.resize(size);
    return out;
}

std::string Sha256(const std::string& data) {
    salvor::test::TempDir dir;
    std::ofstream(dir.file("blob"), std::ios::binary) << data;
    return salvor::test::Sha256File(dir.file("blob"));
}

std::string SharedImage(const std::string& gzName, const std::string& dir) {
    const std::string src = salvor::test::TestData() + "/dfir_ntfs/" + gzName;
    std::string img = dir + "/" + gzName.substr(0, gzName.size() - 3);
    std::string out;
    if (salvor::test::RunCommand("gzip -dc '" + src + "' > '" + img + "'", &out) != 0) {
        ADD_FAILURE_AT(__FILE__, __LINE__) << "cannot decompress " << src << ": " << out;
        return {};
    }
    return img;
}

std::size_t FindEntrySet(const std::vector<std::uint8_t>& folder, const std::u16string& name) {
    for (std::size_t off = 0; off + 3 * exfat::kEntrySize <= folder.size(); off += exfat::kEntrySize) {
        if (folder[off] != exfat::kFile && folder[off] != exfat::kFileDeleted) continue;
        std::u16string units;
        for (std::size_t c = 0; c < name.size() && c < 15; ++c)
            units += static_cast<char16_t>(bytes::Le16(folder, off + 2 * exfat::kEntrySize + 2 + 2 * c));
        if (units == name) return off;
    }
    return std::string::npos;
}

void ResealEntrySet(std::vector<std::uint8_t>& folder, std::size_t off) {
    const std::size_t len = (std::size_t{folder.at(off + 1)} + 1) * exfat::kEntrySize;
    const std::uint16_t sum = exfat::EntrySetChecksum(exfat::Bytes(folder).subspan(off, len));
    folder[off + 2] = static_cast<std::uint8_t>(sum);
    folder[off + 3] = static_cast<std::uint8_t>(sum >> 8);
}

bool ReadAt(const std::string& path, std::uint64_t offset, std::vector<std::uint8_t>& out, std::size_t count) {
    std::ifstream f(path, std::ios::binary);
    out.assign(count, 0);
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(count));
    return static_cast<std::size_t>(f.gcount()) == count;
}

bool WriteAt(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

} // namespace exfat_test
