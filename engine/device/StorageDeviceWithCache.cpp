#include "engine/device/StorageDeviceWithCache.h"

#include "engine/device/DeviceCheck.h"

#include <algorithm>
#include <cstring>
#include <mutex>

CStorageDeviceWithCache::CStorageDeviceWithCache(IStorageDevice* inner)
    : m_inner(inner), m_direct(dynamic_cast<IDirectRead*>(inner)) {
    // An image file never goes: nothing of it need be kept.
    auto* device = dynamic_cast<CDescriptorDevice*>(inner);
    m_keeps = !device || !device->IsFile();
}

CStorageDeviceWithCache::~CStorageDeviceWithCache() { EndCache(); }

int CStorageDeviceWithCache::SetBlockSize(unsigned sectors) {
    {
        std::lock_guard l(m_queueLock);
        if (m_running)
            return 0; // queued blocks were cut at the old size
    }
    m_blockSize = sectors;
    m_current.reset();
    m_curBlock = -1;
    return 1;
}

long long CStorageDeviceWithCache::BlockCount() {
    if (!m_inner || m_blockSize == 0)
        return 0;
    const unsigned long long total = m_inner->GetTotalSectors();
    return static_cast<long long>(total / m_blockSize + (total % m_blockSize ? 1 : 0));
}

int CStorageDeviceWithCache::IsBlockInValidRange(long long b) {
    if (m_blockSize == 0)
        return 0;
    return b >= 0 && b < BlockCount() ? 1 : 0;
}

int CStorageDeviceWithCache::IsNeedCatchBuffer() {
    std::lock_guard l(m_queueLock);
    return m_queue.empty() ? 1 : 0;
}

bool CStorageDeviceWithCache::InnerRead(void* buffer, long long first, long long count) {
    if (m_inner->ReadSector(buffer, first, count))
        return true;
    std::lock_guard l(m_errorLock);
    m_lastError = m_inner->GetLastError();
    return false;
}

bool CStorageDeviceWithCache::ReadQueued(void* buffer, long long first, long long count) {
    const std::size_t ss = m_inner->GetSectorSize();
    std::lock_guard l(m_queueLock);
    for (const auto& block : m_queue) {
        const long long s = block->index * static_cast<long long>(m_blockSize);
        if (first < s || first >= s + block->sectors)
            continue;
        // A block the inner device failed on answers nothing: the read goes
        // there again and fails as it would without the cache.
        if (!block->read || count > s + block->sectors - first)
            return false;
        std::memcpy(buffer, block->data.data() + static_cast<std::size_t>(first - s) * ss,
                    static_cast<std::size_t>(count) * ss);
        return true;
    }
    return false;
}

bool CStorageDeviceWithCache::ReadElsewhere(void* buffer, long long first, long long count) {
    return ReadQueued(buffer, first, count) || InnerRead(buffer, first, count) || ReadKept(buffer, first, count);
}

void CStorageDeviceWithCache::KeepSectors(long long first, long long count) {
    if (!m_inner || first < 0 || count < 1)
        return;
    if (!m_keeps)
        return;
    const std::size_t ss = m_inner->GetSectorSize();
    const std::size_t bytes = static_cast<std::size_t>(count) * ss;
    std::vector<unsigned char> copy(bytes);
    // Only from memory: the block being scanned, or a queued one read whole.
    bool held = false;
    if (m_current && m_blockSize > 0) {
        const long long s = m_current->index * static_cast<long long>(m_blockSize);
        if (first >= s && first + count <= s + m_current->sectors) {
            std::memcpy(copy.data(), m_current->data.data() + static_cast<std::size_t>(first - s) * ss, bytes);
            held = true;
        }
    }
    if (!held && !ReadQueued(copy.data(), first, count))
        return;
    std::lock_guard l(m_keptLock);
    // Sectors already kept are kept once.
    auto after = m_kept.upper_bound(first);
    if (after != m_kept.begin()) {
        auto run = std::prev(after);
        const long long end = run->first + static_cast<long long>(run->second.size() / ss);
        if (first + count <= end)
            return;
        if (first <= end) {
            // It goes on the run before it.
            const long long skip = end - first;
            if (m_keptBytes + bytes - static_cast<std::size_t>(skip) * ss > kKeptBytes)
                return;
            run->second.insert(run->second.end(), copy.begin() + skip * static_cast<long long>(ss), copy.end());
            m_keptBytes += bytes - static_cast<std::size_t>(skip) * ss;
            return;
        }
    }
    if (m_keptBytes + bytes > kKeptBytes)
        return;
    m_keptBytes += bytes;
    m_kept[first] = std::move(copy);
}

void CStorageDeviceWithCache::AnswerFromKept(bool on) {
    m_answerFromKept = on;
    if (!on) {
        std::lock_guard l(m_keptLock);
        m_kept.clear();
        m_keptBytes = 0;
    }
}

bool CStorageDeviceWithCache::ReadKept(void* buffer, long long first, long long count) {
    if (!m_answerFromKept.load() || !DeviceGone(m_inner))
        return false;
    const std::size_t ss = m_inner->GetSectorSize();
    std::lock_guard l(m_keptLock);
    auto run = m_kept.upper_bound(first);
    if (run != m_kept.begin() &&
        std::prev(run)->first + static_cast<long long>(std::prev(run)->second.size() / ss) > first)
        run = std::prev(run);
    // Nothing of the range was kept: it stays unread.
    if (run == m_kept.end() || run->first >= first + count)
        return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::memset(out, 0, static_cast<std::size_t>(count) * ss);
    for (; run != m_kept.end() && run->first < first + count; ++run) {
        const long long runEnd = run->first + static_cast<long long>(run->second.size() / ss);
        const long long from = std::max(first, run->first), to = std::min(first + count, runEnd);
        if (from < to)
            std::memcpy(out + static_cast<std::size_t>(from - first) * ss,
                        run->second.data() + static_cast<std::size_t>(from - run->first) * ss,
                        static_cast<std::size_t>(to - from) * ss);
    }
    return true;
}

std::unique_ptr<CStorageDeviceWithCache::Block> CStorageDeviceWithCache::ReadBlock(long long b) {
    const unsigned long long total = m_inner->GetTotalSectors();
    const unsigned long long start = static_cast<unsigned long long>(b) * m_blockSize;
    std::unique_ptr<Block> block;
    {
        std::lock_guard l(m_queueLock);
        if (!m_free.empty()) {
            block = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    if (!block)
        block = std::make_unique<Block>();
    block->index = b;
    block->sectors = static_cast<long long>(std::min<unsigned long long>(m_blockSize, total - start));
    block->data.Reserve(static_cast<std::size_t>(block->sectors) * m_inner->GetSectorSize());
    // A failed read leaves zeros in the block (the inner device zero-fills);
    // the error stays for GetLastError.
    if (m_direct) {
        block->read = m_direct->ReadSectorsInto(block->data, static_cast<long long>(start), block->sectors) != 0;
        if (!block->read) {
            std::lock_guard l(m_errorLock);
            m_lastError = m_inner->GetLastError();
        }
    } else {
        block->read = InnerRead(block->data.data(), static_cast<long long>(start), block->sectors);
    }
    if (!block->read)
        ReadAround(*block, static_cast<long long>(start));
    return block;
}

void CStorageDeviceWithCache::ReadAround(Block& block, long long start) {
    // Bad sectors fail alone: a block that failed is read again in small
    // pieces, and only the pieces that fail stay zeros. The block stays
    // marked failed, so a read of it elsewhere goes to the device again.
    const unsigned ss = m_inner->GetSectorSize();
    const long long piece = std::max<long long>(1, kPieceBytes / (ss ? ss : 512));
    for (long long at = 0; at < block.sectors && !DeviceGone(m_inner); at += piece) {
        const long long n = std::min(piece, block.sectors - at);
        // A piece that fails is zeros where the device could not read it.
        m_inner->ReadSector(block.data.data() + static_cast<std::size_t>(at) * ss, start + at, n);
    }
}

void CStorageDeviceWithCache::Recycle(std::unique_ptr<Block> block) {
    if (!block)
        return;
    std::lock_guard l(m_queueLock);
    if (m_free.size() < 2)
        m_free.push_back(std::move(block));
}

void CStorageDeviceWithCache::BeginCache() {
    EndCache();
    const long long blocks = BlockCount();
    {
        std::lock_guard l(m_queueLock);
        m_running = true;
        m_nextBlock = 0;
        m_readerFinished = false;
    }
    m_curBlock = -1;
    m_current.reset();
    if (!m_inner || blocks == 0) {
        std::lock_guard l(m_queueLock);
        m_readerFinished = true;
        return;
    }
    // A device the queue holds whole is read at once and needs no reader;
    // otherwise the first block is read here and the reader goes on while the
    // scan begins. Reads are made outside the queue lock.
    const long long prefill = blocks <= static_cast<long long>(kQueueCapacity) ? blocks : 1;
    for (long long b = 0; b < prefill; ++b) {
        auto block = ReadBlock(b);
        std::lock_guard l(m_queueLock);
        m_queue.push_back(std::move(block));
        m_nextBlock = b + 1;
    }
    {
        std::lock_guard l(m_queueLock);
        if (m_nextBlock >= blocks) {
            m_readerFinished = true;
            return;
        }
    }
    m_reader = std::thread([this] { ReaderLoop(); });
}

void CStorageDeviceWithCache::ReaderLoop() {
    const long long blocks = BlockCount();
    for (;;) {
        long long b;
        {
            std::unique_lock l(m_queueLock);
            m_wantMore.wait(l, [this] { return !m_running || m_queue.size() < kQueueCapacity; });
            if (!m_running)
                break;
            b = m_nextBlock;
        }
        auto block = ReadBlock(b);
        std::lock_guard l(m_queueLock);
        if (!m_running)
            break;
        m_queue.push_back(std::move(block));
        m_nextBlock = b + 1;
        if (m_nextBlock >= blocks)
            break;
        m_blockReady.broadcast();
    }
    // Finished is only raised after the last block was appended, so the
    // consumer never takes "nothing queued and finished" for a missing block.
    std::lock_guard l(m_queueLock);
    m_readerFinished = true;
    m_blockReady.broadcast();
}

int CStorageDeviceWithCache::SetCurCacheBlock(long long b) {
    if (!m_inner || m_blockSize == 0 || b < 0 || b >= BlockCount())
        return 0;
    std::unique_ptr<Block> block;
    {
        std::unique_lock l(m_queueLock);
        for (;;) {
            // Blocks the caller skipped are dropped.
            while (!m_queue.empty() && m_queue.front()->index < b) {
                if (m_free.size() < 2)
                    m_free.push_back(std::move(m_queue.front()));
                m_queue.pop_front();
                m_wantMore.signal();
            }
            if (!m_queue.empty() && m_queue.front()->index == b) {
                block = std::move(m_queue.front());
                m_queue.pop_front();
                m_wantMore.signal();
                break;
            }
            // The block will never come from the queue: it is behind the
            // reader, or the reader has stopped.
            if (!m_queue.empty() || m_readerFinished || !m_running || b < m_nextBlock)
                break;
            m_blockReady.wait(l, [this] { return !m_queue.empty() || m_readerFinished || !m_running; });
        }
    }
    if (!block)
        block = ReadBlock(b);
    Recycle(std::move(m_current));
    m_current = std::move(block);
    m_curBlock = b;
    return 1;
}

void CStorageDeviceWithCache::EndCache() {
    {
        std::lock_guard l(m_queueLock);
        m_running = false;
    }
    m_wantMore.broadcast();
    m_blockReady.broadcast();
    if (m_reader.joinable())
        m_reader.join();
    std::lock_guard l(m_queueLock);
    m_queue.clear();
    m_free.clear();
    m_readerFinished = true;
}

int CStorageDeviceWithCache::ReadSector(void* buffer, long long firstSector, long long count) {
    if (!m_inner)
        return 0;
    if (!buffer || firstSector < 0 || count < 1)
        return m_inner->ReadSector(buffer, firstSector, count);
    if (!m_current)
        return ReadElsewhere(buffer, firstSector, count) ? 1 : 0;
    const long long s = m_current->index * static_cast<long long>(m_blockSize);
    // Hits are bounded by the block's real length, so a short last block never
    // answers for sectors it does not hold.
    const long long end = s + m_current->sectors;
    if (firstSector < s || firstSector >= end)
        return ReadElsewhere(buffer, firstSector, count) ? 1 : 0;
    const unsigned ss = m_inner->GetSectorSize();
    const long long k = std::min(end - firstSector, count);
    std::memcpy(buffer, m_current->data.data() + static_cast<std::size_t>(firstSector - s) * ss,
                static_cast<std::size_t>(k) * ss);
    if (k == count)
        return 1;
    if (!device_detail::ByteRangeFits(k, count - k, ss))
        return 0;
    return ReadElsewhere(static_cast<unsigned char*>(buffer) + static_cast<std::size_t>(k) * ss, firstSector + k,
                         count - k)
               ? 1
               : 0;
}

const unsigned char* CStorageDeviceWithCache::ViewSectors(long long firstSector, long long count) {
    if (!m_lend || !m_inner || firstSector < 0 || count < 1)
        return nullptr;
    auto within = [&](const Block& b) {
        const long long s = b.index * static_cast<long long>(m_blockSize);
        return firstSector >= s && count <= b.sectors && firstSector - s <= b.sectors - count
                   ? b.data.data() + static_cast<std::size_t>(firstSector - s) * m_inner->GetSectorSize()
                   : nullptr;
    };
    if (m_current)
        if (const unsigned char* p = within(*m_current))
            return p;
    // A queued block is lent when it was read whole: it stays where it is
    // until it has been current and another block is made current after it.
    std::lock_guard l(m_queueLock);
    for (const auto& block : m_queue)
        if (const unsigned char* p = within(*block))
            return block->read ? p : nullptr;
    return nullptr;
}

int CStorageDeviceWithCache::Open(char*) { return m_inner ? 1 : 0; }

int CStorageDeviceWithCache::Close() { return m_inner ? 1 : 0; }

unsigned CStorageDeviceWithCache::GetSectorSize() { return m_inner ? m_inner->GetSectorSize() : 512; }

unsigned long long CStorageDeviceWithCache::GetTotalSectors() { return m_inner ? m_inner->GetTotalSectors() : 0; }

ResultCode CStorageDeviceWithCache::IOCtl(unsigned long long, void*) { return 0; }

ResultCode CStorageDeviceWithCache::GetLastError() {
    std::lock_guard l(m_errorLock);
    return m_lastError;
}
