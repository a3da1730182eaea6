#include "engine/hfsplus/HfsPlusFileNode.h"

#include "engine/common/Bytes.h"
#include "engine/common/DataRunList.h"
#include "engine/hfsplus/HfsPlusCompressFileReader.h"
#include "engine/hfsplus/HfsPlusVolume.h"

#include <algorithm>
#include <cstdio>

using namespace hfsplus;

namespace {
constexpr std::uint32_t kFolderAlias = 0x66647270; // "fdrp"
constexpr std::uint64_t kEpochDelta = 95616288000000000ULL;
// The block size of a node read without its volume.
constexpr std::uint64_t kDefaultBlockSize = 4096;

std::uint64_t BlockSize(CHFSPlusVolume* volume) {
    return volume && volume->Header() ? volume->Header()->blockSize : kDefaultBlockSize;
}

// A fork's size: its logical size, never more than its blocks hold (a damaged
// size must not make a reader look past the fork), or its blocks when the
// logical size is missing.
std::uint64_t ForkBytes(CHFSPlusVolume* volume, const HFSPlusForkData& fork) {
    const std::uint64_t blocks = std::uint64_t{fork.totalBlocks} * BlockSize(volume);
    if (fork.logicalSize == 0) return blocks;
    // Without its volume the block size is a guess: it bounds nothing.
    if (!volume || !volume->Header()) return fork.logicalSize;
    return std::min(fork.logicalSize, blocks);
}
} // namespace

CHFSPlusFileNode::CHFSPlusFileNode(CHFSPlusVolume* volume, const BTKey& key, const HFSPlusCatalogRecord& record,
                                   bool deleted)
    : m_volume(volume) {
    CreateFileNode(0, 0, key, record, deleted);
}

CHFSPlusFileNode::CHFSPlusFileNode(CHFSPlusVolume* volume, long long metadataSector, unsigned short partitionIndex,
                                   const BTKey& key, const HFSPlusCatalogRecord& record)
    : m_volume(volume) {
    CreateFileNode(metadataSector, partitionIndex, key, record, false);
}

CHFSPlusFileNode::CHFSPlusFileNode(const CHFSPlusFileNode& other)
    : CFileNode(other), m_createDate(other.m_createDate), m_volume(other.m_volume), m_name(other.m_name),
      m_size(other.m_size), m_forkSize(other.m_forkSize), m_contentModDate(other.m_contentModDate), m_accessDate(other.m_accessDate),
      m_flags(other.m_flags), m_sizeRead(other.m_sizeRead) {
    if (other.m_dataRuns) m_dataRuns = other.m_dataRuns->Clone();
}

IFileNode* CHFSPlusFileNode::Clone() { return new CHFSPlusFileNode(*this); }

_FILETIME CHFSPlusFileNode::TimeConvert(std::uint32_t date) {
    return _FILETIME::From(date == 0 ? 0 : std::uint64_t{date} * 10000000ULL + kEpochDelta);
}

void CHFSPlusFileNode::CreateFileNode(long long metadataSector, unsigned short partitionIndex, const BTKey& key,
                                      const HFSPlusCatalogRecord& record, bool deleted) {
    if (deleted) m_flags |= kDeleted;
    m_parentId = key.parentID;
    m_name = CatalogNameToUtf8(key.name);
    auto takeDates = [&] {
        m_createDate = record.createDate;
        m_contentModDate = record.contentModDate;
        m_accessDate = record.accessDate;
        SetBelongedPartition(partitionIndex);
        SetMetaDataSector(metadataSector);
    };
    if (record.recordType == kFileRecord) {
        m_id = record.id;
        if (record.ownerFlags & 0x20) {
            m_flags |= kCompressed;
            SetCompressed(1);
            if (record.resourceFork.logicalSize != 0) {
                m_size = m_forkSize = ForkBytes(m_volume, record.resourceFork);
                SetDataRunList(BuildFileDataRun(m_volume, record.id, 0xFF, record.resourceFork));
            }
            // Every compressed file, found by any scan, shows its expanded size.
            UpdateNodeInfo();
        } else {
            const HFSPlusForkData& fork = record.dataFork;
            m_size = ForkBytes(m_volume, fork);
            SetDataRunList(BuildFileDataRun(m_volume, record.id, 0, fork));
        }
        takeDates();
        if (record.fileType == kFolderAlias) m_flags |= kDirectory;
    } else if (record.recordType == kFolderRecord) {
        m_flags |= kDirectory;
        if (record.id != 1) {
            m_id = record.id;
            takeDates();
        }
    }
}

IFileReader* CHFSPlusFileNode::CreateCompressFileReader(void* /*context*/) {
    return IsCompressed() ? new CHFSPlusCompressFileReader(m_volume, this) : nullptr;
}

void CHFSPlusFileNode::UpdateNodeInfo() {
    if (!IsCompressed() || !m_volume || !m_volume->Tree(8) || m_id < 0) return;
    const std::vector<std::uint8_t> attr =
        m_volume->getAttribute(static_cast<std::uint32_t>(m_id), "com.apple.decmpfs");
    if (attr.size() < 16) {
        std::printf("Warn:Can't find file 0x%llx Attribute\n", static_cast<unsigned long long>(m_id));
        return;
    }
    // No more than the attribute and the resource fork can expand to.
    m_size = std::min(bytes::Le64(attr, 8), CDecmpfsData::MostExpanded(attr.size(), m_forkSize));
    m_sizeRead = true;
}

IDataRunList* BuildFileDataRun(CHFSPlusVolume* volume, std::uint32_t fileId, std::uint8_t forkType,
                               const HFSPlusForkData& fork) {
    IDataRunList* runs = CreateDataRunList();
    std::vector<HFSPlusExtentDescriptor> extents;
    if (volume) {
        extents = volume->ForkExtents(fileId, forkType, fork, true);
    } else {
        // No volume: the fork's own eight, clipped to its block count.
        std::uint32_t remaining = fork.totalBlocks;
        AppendExtents(fork.extents, remaining, extents);
    }
    for (const HFSPlusExtentDescriptor& e : extents) {
        const DataRun run{e.startBlock, e.blockCount};
        runs->AddDataRun(&run);
    }
    return runs;
}
