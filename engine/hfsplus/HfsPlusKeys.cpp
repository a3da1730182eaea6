#include "engine/hfsplus/HfsPlusKeys.h"

#include "engine/common/TextConvert.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

using namespace bytes;

namespace hfsplus {

ResultCode FormatError(ResultCode code, const char* sourceFile, int line, const char* function) {
    const char* name = sourceFile ? sourceFile : "";
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    std::printf("Return Error:0x%" PRIx64 "\tFile:%s\tLine:%d\tFuction:%s\n", static_cast<std::uint64_t>(code), name,
                line, function ? function : "");
    return code;
}

HFSPlusExtentRecord ReadExtentRecord(Bytes b, std::size_t off) {
    HFSPlusExtentRecord r{};
    for (std::size_t i = 0; i < r.size(); ++i) r[i] = {Be32(b, off + 8 * i), Be32(b, off + 8 * i + 4)};
    return r;
}

HFSPlusForkData ReadForkData(Bytes b, std::size_t off) {
    HFSPlusForkData f;
    f.logicalSize = Be64(b, off);
    f.clumpSize = Be32(b, off + 8);
    f.totalBlocks = Be32(b, off + 12);
    f.extents = ReadExtentRecord(b, off + 16);
    return f;
}

std::uint32_t AppendExtents(const HFSPlusExtentRecord& record, std::uint32_t& remaining,
                            std::vector<HFSPlusExtentDescriptor>& out) {
    std::uint32_t added = 0;
    for (const HFSPlusExtentDescriptor& e : record) {
        if (remaining == 0 || e.blockCount == 0) break;
        const std::uint32_t take = std::min(e.blockCount, remaining);
        out.push_back({e.startBlock, take});
        remaining -= take;
        added += take;
    }
    return added;
}

HFSPlusVolumeHeader ReadVolumeHeader(Bytes b) {
    HFSPlusVolumeHeader h;
    h.signature = Be16(b, 0);
    h.version = Be16(b, 2);
    h.attributes = Be32(b, 4);
    h.journalInfoBlock = Be32(b, 12);
    h.createDate = Be32(b, 16);
    h.modifyDate = Be32(b, 20);
    h.fileCount = Be32(b, 32);
    h.folderCount = Be32(b, 36);
    h.blockSize = Be32(b, 40);
    h.totalBlocks = Be32(b, 44);
    h.freeBlocks = Be32(b, 48);
    h.nextCatalogID = Be32(b, 64);
    if (Has(b, 80, 32)) std::copy_n(b.begin() + 80, 32, h.finderInfo.begin());
    h.allocationFile = ReadForkData(b, 112);
    h.extentsFile = ReadForkData(b, 192);
    h.catalogFile = ReadForkData(b, 272);
    h.attributesFile = ReadForkData(b, 352);
    h.startupFile = ReadForkData(b, 432);
    return h;
}

bool IsOpenableVolumeHeader(const unsigned char* buffer, unsigned short length) {
    if (!buffer || length < kVolumeHeaderSize) return false;
    const Bytes b(buffer, length);
    const std::uint16_t sig = Be16(b, 0);
    if (sig != 0x482B && sig != 0x4858) return false;
    const std::uint32_t blockSize = Be32(b, 40), total = Be32(b, 44);
    // A block size of 0 passes "a multiple of 512" and would divide by zero later.
    if (blockSize < 512 || (blockSize & 0x1FF) != 0) return false;
    if (Be16(b, 2) > 16) return false;
    return Be32(b, 48) <= total;
}

bool IsValidVolumeHeader(const unsigned char* buffer, unsigned short length) {
    if (!IsOpenableVolumeHeader(buffer, length)) return false;
    // A journal pointer past the volume is read as opening reads it (the
    // volume is whole without its journal): it rejects no header here.
    const Bytes b(buffer, length);
    return std::uint64_t{Be32(b, 40)} * Be32(b, 272 + 12) == Be64(b, 272);
}

namespace {

int Sign(long long v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

std::uint16_t Slash(std::uint16_t c) { return c == u':' ? u'/' : c; }

// Code-unit order with ':' counted as '/'; a prefix sorts first.
int BinaryNameCompare(const std::u16string& a, const std::u16string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t x = Slash(a[i]), y = Slash(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return Sign(static_cast<long long>(a.size()) - static_cast<long long>(b.size()));
}

// Reads up to count big-endian UTF-16 units at off.
std::u16string ReadUnits(Bytes b, std::size_t off, std::size_t count) {
    std::u16string s(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) s[i] = static_cast<char16_t>(Be16(b, off + 2 * i));
    return s;
}

// The key's own length, checked against the record it starts.
bool KeyFits(Bytes record, std::uint16_t minLength, std::uint16_t& keyLength) {
    if (!Has(record, 0, 2)) return false;
    keyLength = Be16(record, 0);
    return keyLength >= minLength && Has(record, 0, std::size_t{keyLength} + 2);
}

} // namespace

int FastUnicodeCompare(const std::uint16_t* first, std::uint16_t firstLength, const std::uint16_t* second,
                       std::uint16_t secondLength) {
    auto next = [](const std::uint16_t*& p, std::uint16_t& left) -> std::uint16_t {
        while (left > 0) {
            std::uint16_t c = *p++;
            --left;
            if (const std::uint16_t page = gLowerCaseTable[c >> 8]; page != 0) c = gLowerCaseTable[page + (c & 0xFF)];
            if (c != 0) return Slash(c);
        }
        return 0;
    };
    for (;;) {
        const std::uint16_t c1 = next(first, firstLength);
        const std::uint16_t c2 = next(second, secondLength);
        if (c1 != c2) return c1 < c2 ? -1 : 1;
        if (c1 == 0) return 0;
    }
}

int CompareCatalogKey(const BTKey& a, const BTKey& b, std::uint8_t keyCompareType) {
    if (a.parentID != b.parentID) return a.parentID < b.parentID ? -1 : 1;
    if (keyCompareType != 0xCF) return BinaryNameCompare(a.name, b.name);
    const auto la = static_cast<std::uint16_t>(std::min<std::size_t>(a.name.size(), 0xFFFF));
    const auto lb = static_cast<std::uint16_t>(std::min<std::size_t>(b.name.size(), 0xFFFF));
    return FastUnicodeCompare(reinterpret_cast<const std::uint16_t*>(a.name.data()), la,
                              reinterpret_cast<const std::uint16_t*>(b.name.data()), lb);
}

int CompareExtentKey(const BTKey& a, const BTKey& b) {
    if (a.parentID != b.parentID) return a.parentID < b.parentID ? -1 : 1;
    if (a.forkType != b.forkType) return a.forkType < b.forkType ? -1 : 1;
    if (a.startBlock != b.startBlock) return a.startBlock < b.startBlock ? -1 : 1;
    return Sign(static_cast<long long>(a.keyLength) - b.keyLength);
}

int CompareAttributeKey(const BTKey& a, const BTKey& b) {
    if (a.parentID != b.parentID) return a.parentID < b.parentID ? -1 : 1;
    const std::size_t n = std::min(a.name.size(), b.name.size());
    for (std::size_t i = 0; i < n; ++i)
        if (a.name[i] != b.name[i]) return a.name[i] < b.name[i] ? -1 : 1;
    return Sign(static_cast<long long>(a.name.size()) - static_cast<long long>(b.name.size()));
}

bool ReadCatalogKey(Bytes record, BTKey& key) {
    std::uint16_t keyLength = 0;
    if (!KeyFits(record, 6, keyLength)) return false;
    key = {};
    key.keyLength = keyLength;
    key.parentID = Be32(record, 2);
    const std::size_t n = std::min<std::size_t>({Be16(record, 6), 255, (keyLength - 6u) / 2});
    key.name = ReadUnits(record, 8, n);
    return true;
}

bool ReadExtentKey(Bytes record, BTKey& key) {
    std::uint16_t keyLength = 0;
    if (!KeyFits(record, 10, keyLength)) return false;
    key = {};
    key.keyLength = keyLength;
    key.forkType = U8(record, 2);
    key.parentID = Be32(record, 4);
    key.startBlock = Be32(record, 8);
    return true;
}

bool ReadAttributeKey(Bytes record, BTKey& key) {
    std::uint16_t keyLength = 0;
    if (!KeyFits(record, 12, keyLength)) return false;
    key = {};
    key.keyLength = keyLength;
    key.parentID = Be32(record, 4);
    key.startBlock = Be32(record, 8);
    const std::size_t n = std::min<std::size_t>({Be16(record, 12), 255, (keyLength - 12u) / 2});
    key.name = ReadUnits(record, 14, n);
    return true;
}

bool ReadCatalogRecord(Bytes data, HFSPlusCatalogRecord& r) {
    r = {};
    if (!Has(data, 0, 2)) return false;
    r.recordType = static_cast<std::int16_t>(Be16(data, 0));
    switch (r.recordType) {
    case kFolderThread:
    case kFileThread: {
        r.threadParentID = Be32(data, 4);
        const std::size_t room = data.size() > 10 ? (data.size() - 10) / 2 : 0;
        r.threadName = ReadUnits(data, 10, std::min<std::size_t>({Be16(data, 8), 255, room}));
        return true;
    }
    case kFolderRecord:
    case kFileRecord: break;
    default: return false;
    }
    r.flags = Be16(data, 2);
    r.valence = r.recordType == kFolderRecord ? Be32(data, 4) : 0;
    r.id = Be32(data, 8);
    r.createDate = Be32(data, 12);
    r.contentModDate = Be32(data, 16);
    r.attributeModDate = Be32(data, 20);
    r.accessDate = Be32(data, 24);
    r.backupDate = Be32(data, 28);
    r.ownerID = Be32(data, 32);
    r.groupID = Be32(data, 36);
    r.adminFlags = U8(data, 40);
    r.ownerFlags = U8(data, 41);
    r.fileMode = Be16(data, 42);
    r.fileType = Be32(data, 48);
    r.fileCreator = Be32(data, 52);
    if (r.recordType == kFileRecord) {
        r.dataFork = ReadForkData(data, 88);
        r.resourceFork = ReadForkData(data, 168);
    }
    return true;
}

bool ReadAttributeRecord(Bytes data, HFSPlusAttrRecord& r) {
    r = {};
    if (!Has(data, 0, 4)) return false;
    r.recordType = Be32(data, 0);
    switch (r.recordType) {
    case kAttrInlineData: {
        // The stored size may claim more than the record holds: keep what is there.
        const std::size_t have = data.size() > 16 ? data.size() - 16 : 0;
        const std::size_t n = std::min<std::size_t>(Be32(data, 12), have);
        r.data.assign(data.begin() + 16, data.begin() + static_cast<std::ptrdiff_t>(16 + n));
        return true;
    }
    case kAttrForkData: r.fork = ReadForkData(data, 8); return true;
    case kAttrExtents: r.extents = ReadExtentRecord(data, 8); return true;
    default: return false;
    }
}

std::u16string ASCIIToUnicode(const char* text) {
    std::u16string out;
    for (const char* p = text; p && *p; ++p) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    return out;
}

std::string CatalogNameToUtf8(const std::u16string& name) {
    std::size_t skip = 0;
    while (skip < name.size() && name[skip] == 0) ++skip;
    std::string out = Utf16LeToUtf8(name.substr(skip));
    std::replace(out.begin(), out.end(), '/', ':');
    return out;
}

} // namespace hfsplus
