#include "engine/hfsplus/HfsPlusCompressFileReader.h"

#include "engine/common/Bytes.h"
#include "engine/common/FileNode.h"
#include "engine/hfsplus/HfsPlusFileNode.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/hfsplus/Lzvn.h"
#include "engine/utility/CatchExeception.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

using namespace hfsplus;

namespace {

enum : std::uint32_t { kZlibInline = 3, kZlibFork = 4, kZlibForkOld = 5, kLzvnInline = 7, kLzvnFork = 8 };
constexpr std::size_t kHeaderBytes = 16;
// Neither zlib nor LZVN expands a byte into more than this many.
constexpr std::uint64_t kMaxRatio = 1100;
// Files up to 1 TiB: the block table stays within 128 MiB.
constexpr std::uint64_t kMaxBlocks = std::uint64_t{1} << 24;
constexpr std::uint32_t kBlockBytes = CDecmpfsData::kBlockBytes;
constexpr std::uint8_t kLzvnStored = 0x06, kZlibStoredBlock = 0xFF;


// Inflates in into out (sized to what is expected); answers the bytes produced.
std::size_t Inflate(const std::uint8_t* in, std::size_t inLength, std::uint8_t* out, std::size_t outLength) {
    uLongf produced = outLength;
    uLong consumed = inLength;
    const int rc = uncompress2(out, &produced, in, &consumed);
    return rc == Z_OK || rc == Z_BUF_ERROR ? produced : 0;
}

// Expands one stream of the given kind (zlib or LZVN, with their stored
// forms) into out; true when it yields exactly out's length.
bool Expand(bool lzvn, bool inlineZlib, const std::uint8_t* in, std::size_t inLength, std::vector<std::uint8_t>& out) {
    if (out.empty()) return true;
    if (inLength == 0) return false;
    const bool stored = lzvn ? in[0] == kLzvnStored
                             : inlineZlib ? (in[0] & 0x0F) == 0x0F : in[0] == kZlibStoredBlock;
    std::size_t got = 0;
    if (stored) {
        got = std::min(inLength - 1, out.size());
        std::memcpy(out.data(), in + 1, got);
    } else if (lzvn) {
        got = lzvn_decode(out.data(), out.size(), in, inLength);
    } else {
        got = Inflate(in, inLength, out.data(), out.size());
    }
    return got == out.size();
}

}  // namespace

CHFSPlusCompressFileReader::CHFSPlusCompressFileReader(CHFSPlusVolume* volume, CFileNode* node)
    : m_volume(volume), m_node(node) {}

CHFSPlusCompressFileReader::CHFSPlusCompressFileReader(const CHFSPlusCompressFileReader& other)
    : m_volume(other.m_volume), m_node(other.m_node) {}

long long CHFSPlusCompressFileReader::GetDataSize() const { return m_node ? m_node->GetFileSize() : 0; }

int CHFSPlusCompressFileReader::IsCompressFile() { return m_node ? m_node->IsCompressed() : 0; }

bool CHFSPlusCompressFileReader::Load() {
    if (!m_volume || !m_node || !m_volume->Header() || m_node->GetCurrentNodeID() < 0) return false;
    const std::vector<std::uint8_t> attr =
        m_volume->getAttribute(static_cast<std::uint32_t>(m_node->GetCurrentNodeID()), "com.apple.decmpfs");
    // The fork reaches as far as its length, its runs and the volume allow.
    std::uint64_t forkBytes = 0;
    if (IDataRunList* runs = m_node->GetDataRunList() ? m_node->GetDataRunList()->Clone() : nullptr) {
        for (DataRun* run = runs->GetFirst(); run && !runs->IsDone(); run = runs->GetNext())
            if (run->length > 0) forkBytes += static_cast<std::uint64_t>(run->length) * m_volume->Header()->blockSize;
        runs->Release();
    }
    forkBytes = std::min(forkBytes, m_volume->DeviceBytes());
    if (auto* hfs = dynamic_cast<CHFSPlusFileNode*>(m_node)) forkBytes = std::min(forkBytes, hfs->ResourceForkSize());
    CDecmpfsData::ForkReader reader;
    if (m_node->GetDataRunList())
        reader = [this, forkBytes](std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
            return ReadFork(offset, buffer, length, forkBytes);
        };
    return m_data.Load(attr, forkBytes, reader);
}

std::uint64_t CHFSPlusCompressFileReader::ReadFork(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length,
                                                   std::uint64_t forkBytes) {
    IDataRunList* runs = m_node->GetDataRunList()->Clone();
    if (!runs) return 0;
    const std::uint64_t blockSize = m_volume->Header()->blockSize;
    length = std::min(length, forkBytes - std::min(offset, forkBytes));
    std::uint64_t done = 0, position = 0;
    for (DataRun* run = runs->GetFirst(); run && !runs->IsDone() && done < length; run = runs->GetNext()) {
        if (run->start < 0 || run->length <= 0) break;
        const std::uint64_t bytes = static_cast<std::uint64_t>(run->length) * blockSize;
        const std::uint64_t want = offset + done;
        if (want < position + bytes) {
            const std::uint64_t skip = want - position;
            const std::uint64_t n = std::min(bytes - skip, length - done);
            // The device answers zeros past its end (an image cut short):
            // the fork ends there.
            const std::uint64_t at = static_cast<std::uint64_t>(run->start) * blockSize + skip;
            const std::uint64_t device = m_volume->DeviceBytes();
            const std::uint64_t readable = at < device ? std::min(n, device - at) : 0;
            const std::uint64_t got = readable > 0 ? m_volume->Read(at, buffer + done, readable) : 0;
            done += got;
            if (got < n) break;
        }
        position += bytes;
    }
    runs->Release();
    return done;
}

unsigned CHFSPlusCompressFileReader::ReadData(long long offset, char* buffer, unsigned length, int* error) {
    if (m_state == State::Unread) m_state = Load() ? State::Ready : State::Failed;
    // A file that cannot be expanded at all has nothing to give (no error).
    if (m_state != State::Ready || !buffer || offset < 0) return 0;
    const unsigned got = m_data.Read(static_cast<std::uint64_t>(offset), buffer, length);
    // Inside the file, nothing means a block that did not expand: later ones may.
    if (got == 0 && error && static_cast<std::uint64_t>(offset) < m_data.Size()) *error = -1;
    return got;
}

std::uint64_t CDecmpfsData::MostExpanded(std::uint64_t attributeBytes, std::uint64_t forkBytes) {
    const std::uint64_t stored = std::max<std::uint64_t>(attributeBytes > kHeaderBytes ? attributeBytes - kHeaderBytes : 0,
                                                         forkBytes);
    return std::max<std::uint64_t>(stored, 1) * kMaxRatio;
}

bool CDecmpfsData::Load(const std::vector<std::uint8_t>& attr, std::uint64_t forkBytes, ForkReader readFork) {
    m_ready = LoadAttribute(attr, forkBytes, std::move(readFork));
    return m_ready;
}

bool CDecmpfsData::LoadAttribute(const std::vector<std::uint8_t>& attr, std::uint64_t forkBytes, ForkReader readFork) {
    if (attr.size() < kHeaderBytes) return false;
    m_type = bytes::Le32(attr, 4);
    m_size = bytes::Le64(attr, 8);
    m_forkBytes = forkBytes;
    m_readFork = std::move(readFork);
    const std::uint8_t* data = attr.data() + kHeaderBytes;
    const std::size_t length = attr.size() - kHeaderBytes;
    switch (m_type) {
    case kZlibInline:
    case kLzvnInline:
        if (m_size > std::max<std::uint64_t>(length, 1) * kMaxRatio) return false;
        m_whole.assign(m_size, 0);
        if (Expand(m_type == kLzvnInline, true, data, length, m_whole)) return true;
        // A stream that expands to another size than the header's is damaged: nothing of it is trusted.
        if (m_type == kZlibInline) std::fputs("decmpfs: size mismatch\n", stderr);
        return false;
    case kZlibFork:
    case kZlibForkOld:
    case kLzvnFork:
        if (!m_readFork) {
            CatchExeception::WriteLog("%s decompress flag %d,got empty IDataRunList\n", "ReadData",
                                      static_cast<int>(m_type));
            return false;
        }
        if (m_size / kMaxRatio > m_forkBytes) return false;
        return LoadForkTable();
    default:
        // LZFSE (11, 12) and types this reader does not know.
        return false;
    }
}

std::uint64_t CDecmpfsData::ReadFork(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
    if (offset >= m_forkBytes || length > m_forkBytes - offset) return 0;
    return m_readFork(offset, buffer, length);
}

bool CDecmpfsData::LoadForkTable() {
    const std::uint64_t count = (m_size + kBlockBytes - 1) / kBlockBytes;
    if (count > kMaxBlocks) return false;
    std::uint8_t head[16];
    if (m_type == kLzvnFork) {
        // Offsets from the fork's start, the first being the table's length.
        if (ReadFork(0, head, 4) != 4) return false;
        const std::uint32_t tableBytes = bytes::Le32(head, 0);
        if (tableBytes % 4 != 0 || tableBytes / 4 != count + 1 || tableBytes > m_forkBytes) return false;
        std::vector<std::uint8_t> table(tableBytes);
        if (ReadFork(0, table.data(), tableBytes) != tableBytes) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint32_t from = bytes::Le32(table, i * 4), to = bytes::Le32(table, i * 4 + 4);
            if (to < from || from < tableBytes) return false;
            m_blocks.push_back({from, to - from});
        }
        return true;
    }
    // Resource fork header, then the resource data: its length, the block
    // count and {offset, size} pairs counted from just after the length.
    if (ReadFork(0, head, 16) != 16) return false;
    const std::uint64_t dataOffset = bytes::Be32(head, 0);
    std::uint8_t counts[8];
    if (ReadFork(dataOffset, counts, 8) != 8) return false;
    if (bytes::Le32(counts, 4) != count || count * 8 > m_forkBytes) return false;
    std::vector<std::uint8_t> table(count * 8);
    if (ReadFork(dataOffset + 8, table.data(), table.size()) != table.size()) return false;
    for (std::uint64_t i = 0; i < count; ++i)
        m_blocks.push_back({dataOffset + 4 + bytes::Le32(table, i * 8), bytes::Le32(table, i * 8 + 4)});
    return true;
}

bool CDecmpfsData::DecodeBlock(std::size_t index) {
    if (m_blockIndex == index) return true;
    m_blockIndex = SIZE_MAX;
    const Block& b = m_blocks[index];
    // A stream never needs more than the block it expands to, plus a little.
    if (b.size > kBlockBytes + 4096) return false;
    std::vector<std::uint8_t> in(b.size);
    if (ReadFork(b.offset, in.data(), b.size) != b.size) return false;
    m_block.assign(std::min<std::uint64_t>(kBlockBytes, m_size - index * std::uint64_t{kBlockBytes}), 0);
    if (!Expand(m_type == kLzvnFork, false, in.data(), in.size(), m_block)) return false;
    m_blockIndex = index;
    return true;
}

unsigned CDecmpfsData::Read(std::uint64_t from, char* buffer, unsigned length) {
    if (!m_ready || !buffer || from >= m_size) return 0;
    const std::uint64_t to = std::min<std::uint64_t>(m_size, from + length);
    if (m_type == kZlibInline || m_type == kLzvnInline) {
        std::memcpy(buffer, m_whole.data() + from, to - from);
        return static_cast<unsigned>(to - from);
    }
    for (std::uint64_t at = from; at < to;) {
        const std::size_t index = at / kBlockBytes;
        if (!DecodeBlock(index)) return 0;
        const std::uint64_t inBlock = at - index * std::uint64_t{kBlockBytes};
        const std::uint64_t n = std::min<std::uint64_t>(to - at, m_block.size() - inBlock);
        std::memcpy(buffer + (at - from), m_block.data() + inBlock, n);
        at += n;
    }
    return static_cast<unsigned>(to - from);
}
