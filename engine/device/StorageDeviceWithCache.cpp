#include "engine/device/StorageDeviceWithCache.h"
#include "engine/utility/SectorReads.h"

#include "engine/device/DeviceCheck.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

bool CReadWatch::GiveUpAfter(std::chrono::milliseconds waited) {
    if (m_givenUp.load())
        return true;
    std::lock_guard l(m_lock);
    if (!m_started.empty() && Clock::now() - *m_started.begin() >= waited)
        m_givenUp = true;
    return m_givenUp.load();
}

CReadWatch::Reading::Reading(CReadWatch* watch) : m_watch(watch) {
    if (!m_watch)
        return;
    std::lock_guard l(m_watch->m_lock);
    m_at = m_watch->m_started.insert(Clock::now());
}

CReadWatch::Reading::~Reading() {
    if (!m_watch)
        return;
    std::lock_guard l(m_watch->m_lock);
    m_watch->m_started.erase(m_at);
}

CStorageDeviceWithCache::CStorageDeviceWithCache(IStorageDevice* inner)
    : m_inner(inner), m_direct(dynamic_cast<IDirectRead*>(inner)) {
    // An image file never goes: nothing of it need be kept.
    auto* device = dynamic_cast<CDescriptorDevice*>(inner);
    m_keeps = !device || !device->IsFile();
}

CStorageDeviceWithCache::~CStorageDeviceWithCache() {
    EndCache();
    std::lock_guard l(m_keptLock);
    DropKeptLocked();
}

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
    if (GivenUp()) {
        // Not asked: the scan no longer waits for the device.
        std::memset(buffer, 0, static_cast<std::size_t>(count) * m_inner->GetSectorSize());
        return false;
    }
    {
        const CReadWatch::Reading reading(Watch());
        const asyncread::GiveUpScope scope(GiveUpFlag());
        if (m_inner->ReadSector(buffer, first, count))
            return true;
    }
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
        // Sectors the inner device failed on answer nothing: the read goes
        // there again and fails as it would without the cache.
        if (count > s + block->sectors - first || Overlaps(*block, first, count))
            return false;
        std::memcpy(buffer, block->data.data() + static_cast<std::size_t>(first - s) * ss,
                    static_cast<std::size_t>(count) * ss);
        return true;
    }
    return false;
}

bool CStorageDeviceWithCache::ReadElsewhere(void* buffer, long long first, long long count) {
    if (ReadQueued(buffer, first, count))
        return true;
    // Sectors that failed alone fail again at once: a bad sector can take
    // seconds each time the disk is asked.
    if (KnownBad(first, count) && !DeviceGone(m_inner)) {
        std::memset(buffer, 0, static_cast<std::size_t>(count) * m_inner->GetSectorSize());
        return false;
    }
    return InnerRead(buffer, first, count) || ReadKept(buffer, first, count);
}

bool CStorageDeviceWithCache::Overlaps(const Block& block, long long first, long long count) {
    for (const auto& [from, to] : block.unread)
        if (from < first + count && first < to)
            return true;
    return false;
}

bool CStorageDeviceWithCache::KnownBad(long long first, long long count) {
    std::lock_guard l(m_badLock);
    auto run = m_bad.upper_bound(first);
    if (run == m_bad.begin())
        return false;
    --run;
    return run->first <= first && first + count <= run->second;
}

void CStorageDeviceWithCache::NoteBad(long long first, long long count) {
    std::lock_guard l(m_badLock);
    long long from = first, to = first + count;
    // Runs that touch it are merged into one.
    auto run = m_bad.upper_bound(first);
    if (run != m_bad.begin() && std::prev(run)->second >= from)
        --run;
    while (run != m_bad.end() && run->first <= to) {
        from = std::min(from, run->first);
        to = std::max(to, run->second);
        run = m_bad.erase(run);
    }
    if (m_bad.size() < kBadRuns)
        m_bad.emplace(from, to);
}

namespace {

std::atomic<std::size_t> g_keptLimit{0};
// What a run costs beside its bytes: the map node and the run's fields.
constexpr std::size_t kRunOverhead = 96;
// A run in memory grows to this and then another begins, so growing one
// never copies more than this.
constexpr std::size_t kRunBytes = std::size_t{1} << 20;

std::size_t KeptLimit() {
    const std::size_t set = g_keptLimit.load();
    return set ? set : CStorageDeviceWithCache::kKeptBytes;
}

std::atomic<long long> g_spillLimit{0};

long long SpillLimit() {
    const long long set = g_spillLimit.load();
    return set > 0 ? set : CStorageDeviceWithCache::kSpillBytes;
}

// $XDG_CACHE_HOME/salvor, else ~/.cache/salvor; made private when missing.
std::string SpillFolder() {
    std::string base;
    if (const char* x = std::getenv("XDG_CACHE_HOME"); x && x[0] == '/')
        base = x;
    else if (const char* h = std::getenv("HOME"); h && h[0] == '/')
        base = std::string(h) + "/.cache";
    else
        return {};
    ::mkdir(base.c_str(), 0700);
    const std::string folder = base + "/salvor";
    ::mkdir(folder.c_str(), 0700);
    return folder;
}

std::string SysBlock(dev_t d) {
    return "/sys/dev/block/" + std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

dev_t DevOf(const std::string& devFile) {
    std::FILE* f = std::fopen(devFile.c_str(), "r");
    if (!f)
        return 0;
    unsigned ma = 0, mi = 0;
    const bool ok = std::fscanf(f, "%u:%u", &ma, &mi) == 2;
    std::fclose(f);
    return ok ? makedev(ma, mi) : 0;
}

// A mount point as /proc/self/mountinfo writes it, its escapes (\040 for a
// space and the like) undone.
std::string Unescaped(const char* field) {
    std::string out;
    for (const char* c = field; *c; ++c) {
        if (c[0] == '\\' && c[1] >= '0' && c[1] <= '7' && c[2] >= '0' && c[2] <= '7' && c[3] >= '0' && c[3] <= '7') {
            out += static_cast<char>((c[1] - '0') * 64 + (c[2] - '0') * 8 + (c[3] - '0'));
            c += 3;
        } else {
            out += *c;
        }
    }
    return out;
}

// The block device a file system of device number d was mounted from,
// when d is not one itself (btrfs and the like number their own); 0 for one
// on no block device (tmpfs). btrfs numbers each subvolume apart from the
// number its mount lists: a file system no mount lists by number is found by
// `path`, a file on it, as the mount whose point holds it.
dev_t MountSource(dev_t d, const std::string& path) {
    std::FILE* f = std::fopen("/proc/self/mountinfo", "r");
    if (!f)
        return 0;
    const std::string want = std::to_string(major(d)) + ":" + std::to_string(minor(d));
    char real[PATH_MAX];
    const std::string at = !path.empty() && ::realpath(path.c_str(), real) ? real : "";
    dev_t byNumber = 0, byPlace = 0;
    bool numbered = false;
    std::size_t deepest = 0;
    char line[4096];
    while (!numbered && std::fgets(line, sizeof line, f)) {
        // "id parent maj:min root point options ... - type source options"
        char number[64] = {}, point[PATH_MAX] = {};
        if (std::sscanf(line, "%*s %*s %63s %*s %4095s", number, point) != 2)
            continue;
        const char* dash = std::strstr(line, " - ");
        char from[PATH_MAX] = {};
        struct stat st {};
        const dev_t source = dash && std::sscanf(dash + 3, "%*s %4095s", from) == 1 && ::stat(from, &st) == 0 &&
                                     S_ISBLK(st.st_mode)
                                 ? st.st_rdev
                                 : 0;
        if (want == number) {
            numbered = true;
            byNumber = source;
            continue;
        }
        // The deepest mount point holding the path; a later mount over the
        // same point hides the earlier.
        const std::string mounted = Unescaped(point);
        const bool holds = !at.empty() && (mounted == "/" || at == mounted || at.rfind(mounted + "/", 0) == 0);
        if (holds && mounted.size() >= deepest) {
            deepest = mounted.size();
            byPlace = source;
        }
    }
    std::fclose(f);
    return numbered ? byNumber : byPlace;
}

// Whether the block device d is `scanned`, one of its partitions, is built
// over it (a mapper device) or is a loop device over a file on it: writing
// there would write to it.
// path, when known, is a file on d.
bool LiesOn(dev_t d, dev_t scanned, int depth = 0, const std::string& path = {}) {
    if (d == scanned)
        return true;
    if (depth > 8 || d == 0)
        return false;
    if (major(d) == 0)
        return LiesOn(MountSource(d, path), scanned, depth + 1);
    char real[PATH_MAX];
    if (!::realpath(SysBlock(d).c_str(), real))
        return false;
    const std::string node = real;
    // A partition's folder sits in its disk's.
    if (::access((node + "/partition").c_str(), F_OK) == 0 &&
        LiesOn(DevOf(node.substr(0, node.rfind('/')) + "/dev"), scanned, depth + 1))
        return true;
    if (std::FILE* f = std::fopen((node + "/loop/backing_file").c_str(), "r")) {
        char file[PATH_MAX] = {};
        struct stat st {};
        const bool named = std::fgets(file, sizeof file, f) != nullptr;
        std::fclose(f);
        if (named)
            file[std::strcspn(file, "\n")] = 0;
        if (named && ::stat(file, &st) == 0 && LiesOn(st.st_dev, scanned, depth + 1, file))
            return true;
    }
    if (DIR* slaves = ::opendir((node + "/slaves").c_str())) {
        bool on = false;
        while (dirent* e = ::readdir(slaves))
            if (e->d_name[0] != '.' && LiesOn(DevOf(node + "/slaves/" + e->d_name + "/dev"), scanned, depth + 1)) {
                on = true;
                break;
            }
        ::closedir(slaves);
        return on;
    }
    return false;
}

// The device of the path the scan reads (through partition windows).
CDescriptorDevice* ScannedDevice(IStorageDevice* device) {
    for (int i = 0; device && i < 8; ++i) {
        if (auto* d = dynamic_cast<CDescriptorDevice*>(device))
            return d;
        auto* w = dynamic_cast<CWindowDevice*>(device);
        device = w ? w->GetParent() : nullptr;
    }
    return nullptr;
}

} // namespace

void CStorageDeviceWithCache::SetKeptLimit(std::size_t bytes) { g_keptLimit = bytes; }

void CStorageDeviceWithCache::SetSpillLimit(long long bytes) { g_spillLimit = bytes; }

std::size_t CStorageDeviceWithCache::KeptMemory() {
    std::lock_guard l(m_keptLock);
    return m_keptBytes;
}

long long CStorageDeviceWithCache::KeptSpilled() {
    std::lock_guard l(m_keptLock);
    return m_spillEnd;
}

int CStorageDeviceWithCache::SpillDescriptorLocked() {
    if (m_spillTried)
        return m_spillFd;
    m_spillTried = true;
    const std::string folder = SpillFolder();
    struct stat at {};
    if (folder.empty() || ::stat(folder.c_str(), &at) != 0)
        return -1;
    // Never on the device being scanned.
    CDescriptorDevice* scanned = ScannedDevice(m_inner);
    struct stat dev {};
    if (!scanned || ::stat(scanned->GetPath(), &dev) != 0 || !S_ISBLK(dev.st_mode) ||
        LiesOn(at.st_dev, dev.st_rdev, 0, folder))
        return -1;
    // Unnamed from the start where the system allows, else unlinked at once:
    // nothing is left behind, whatever becomes of the process.
    m_spillFd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_spillFd < 0) {
        std::string name = folder + "/kept-XXXXXX";
        m_spillFd = ::mkostemp(name.data(), O_CLOEXEC);
        if (m_spillFd >= 0) {
            ::fchmod(m_spillFd, 0600);
            ::unlink(name.c_str());
        }
    }
    return m_spillFd;
}

void CStorageDeviceWithCache::StoreKeptLocked(long long first, long long count, const unsigned char* copy) {
    const std::size_t ss = m_inner->GetSectorSize();
    const std::size_t bytes = static_cast<std::size_t>(count) * ss;
    // Bytes in memory take at most three quarters of it: the rest is left
    // for the bookkeeping of runs in the spill file.
    const std::size_t limit = KeptLimit(), inMemory = limit - limit / 4;
    auto after = m_kept.upper_bound(first);
    if (after != m_kept.begin()) {
        auto& [at, run] = *std::prev(after);
        if (at + run.sectors == first) {
            // It goes on the run before it, in memory while the run has room
            // and memory allows, else at the spill file's end.
            const std::size_t size = run.bytes.size(), cap = run.bytes.capacity();
            if (run.spilled < 0 && size + bytes <= kRunBytes) {
                const std::size_t grown = size + bytes <= cap ? cap : std::min(kRunBytes, std::max(size + bytes, 2 * cap));
                if (m_keptBytes + (grown - cap) <= inMemory) {
                    run.bytes.reserve(grown);
                    run.bytes.insert(run.bytes.end(), copy, copy + bytes);
                    m_keptBytes += grown - cap;
                    run.sectors += count;
                    return;
                }
            } else if (run.spilled >= 0 && run.spilled + run.sectors * static_cast<long long>(ss) == m_spillEnd) {
                if (m_spillEnd + static_cast<long long>(bytes) > SpillLimit())
                    return;
                if (::pwrite(m_spillFd, copy, bytes, m_spillEnd) != static_cast<ssize_t>(bytes))
                    return;
                m_spillEnd += static_cast<long long>(bytes);
                run.sectors += count;
                return;
            }
        }
    }
    if (m_keptBytes + bytes + kRunOverhead <= inMemory) {
        KeptRun run;
        run.sectors = count;
        run.bytes.assign(copy, copy + bytes);
        m_keptBytes += bytes + kRunOverhead;
        m_kept[first] = std::move(run);
        return;
    }
    // Past the memory allowed: to the spill file, the run's bookkeeping
    // still in memory.
    if (m_keptBytes + kRunOverhead > limit || m_spillEnd + static_cast<long long>(bytes) > SpillLimit())
        return;
    const int fd = SpillDescriptorLocked();
    if (fd < 0 || ::pwrite(fd, copy, bytes, m_spillEnd) != static_cast<ssize_t>(bytes))
        return;
    KeptRun run;
    run.sectors = count;
    run.spilled = m_spillEnd;
    m_spillEnd += static_cast<long long>(bytes);
    m_keptBytes += kRunOverhead;
    m_kept[first] = std::move(run);
}

void CStorageDeviceWithCache::KeepSectors(long long first, long long count) {
    if (!m_inner || first < 0 || count < 1)
        return;
    if (!m_keeps)
        return;
    const std::size_t ss = m_inner->GetSectorSize();
    const std::size_t bytes = static_cast<std::size_t>(count) * ss;
    // Only from memory: the block being scanned, or a queued one read whole.
    const unsigned char* from = nullptr;
    std::vector<unsigned char> copy;
    if (m_current && m_blockSize > 0) {
        const long long s = m_current->index * static_cast<long long>(m_blockSize);
        // Zeros where the device failed are not what the disk holds.
        if (first >= s && first + count <= s + m_current->sectors && !Overlaps(*m_current, first, count))
            from = m_current->data.data() + static_cast<std::size_t>(first - s) * ss;
    }
    if (!from) {
        copy.resize(bytes);
        if (!ReadQueued(copy.data(), first, count))
            return;
        from = copy.data();
    }
    std::lock_guard l(m_keptLock);
    // Sectors already kept are kept once: only the stretches between the runs
    // kept already are stored, and a run is never replaced by a shorter one.
    const long long end = first + count;
    for (long long at = first; at < end;) {
        auto next = m_kept.upper_bound(at);
        if (next != m_kept.begin()) {
            const auto run = std::prev(next);
            if (run->first + run->second.sectors > at) {
                at = run->first + run->second.sectors;
                continue;
            }
        }
        const long long to = next == m_kept.end() ? end : std::min(end, next->first);
        StoreKeptLocked(at, to - at, from + static_cast<std::size_t>(at - first) * ss);
        at = to;
    }
}

void CStorageDeviceWithCache::DropKeptLocked() {
    m_kept.clear();
    m_keptBytes = 0;
    if (m_spillFd >= 0)
        ::close(m_spillFd);
    m_spillFd = -1;
    m_spillTried = false;
    m_spillEnd = 0;
}

void CStorageDeviceWithCache::AnswerFromKept(bool on) {
    m_answerFromKept = on;
    if (!on) {
        std::lock_guard l(m_keptLock);
        DropKeptLocked();
    }
}

bool CStorageDeviceWithCache::ReadKept(void* buffer, long long first, long long count) {
    if (!m_answerFromKept.load() || !NotReading())
        return false;
    const std::size_t ss = m_inner->GetSectorSize();
    std::lock_guard l(m_keptLock);
    auto run = m_kept.upper_bound(first);
    if (run != m_kept.begin() && std::prev(run)->first + std::prev(run)->second.sectors > first)
        run = std::prev(run);
    // Nothing of the range was kept: it stays unread.
    if (run == m_kept.end() || run->first >= first + count)
        return false;
    auto* out = static_cast<unsigned char*>(buffer);
    std::memset(out, 0, static_cast<std::size_t>(count) * ss);
    for (; run != m_kept.end() && run->first < first + count; ++run) {
        const long long runEnd = run->first + run->second.sectors;
        const long long from = std::max(first, run->first), to = std::min(first + count, runEnd);
        if (from >= to)
            continue;
        unsigned char* into = out + static_cast<std::size_t>(from - first) * ss;
        const std::size_t n = static_cast<std::size_t>(to - from) * ss;
        const std::size_t within = static_cast<std::size_t>(from - run->first) * ss;
        if (run->second.spilled < 0)
            std::memcpy(into, run->second.bytes.data() + within, n);
        else if (::pread(m_spillFd, into, n, run->second.spilled + static_cast<long long>(within)) !=
                 static_cast<ssize_t>(n))
            std::memset(into, 0, n);
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
    block->unread.clear();
    block->sectors = static_cast<long long>(std::min<unsigned long long>(m_blockSize, total - start));
    block->data.Reserve(static_cast<std::size_t>(block->sectors) * m_inner->GetSectorSize());
    // A failed read leaves zeros in the block (the inner device zero-fills);
    // the error stays for GetLastError.
    if (m_direct) {
        const CReadWatch::Reading reading(Watch());
        const asyncread::GiveUpScope scope(GiveUpFlag());
        block->read = m_direct->ReadSectorsInto(block->data, static_cast<long long>(start), block->sectors) != 0;
        if (!block->read) {
            std::lock_guard l(m_errorLock);
            m_lastError = m_inner->GetLastError();
        }
    } else {
        block->read = InnerRead(block->data.data(), static_cast<long long>(start), block->sectors);
    }
    // Given up (before the read or while it was in flight), it is read
    // around asking nothing: unread, all zeros.
    if (!block->read)
        ReadAround(*block, static_cast<long long>(start));
    return block;
}

namespace {

// Notes [first, first + count) of a block as not given (zeros already there).
void NoteUnread(std::vector<std::pair<long long, long long>>& unread, long long first, long long count) {
    if (!unread.empty() && unread.back().second == first)
        unread.back().second = first + count;
    else
        unread.emplace_back(first, first + count);
}

} // namespace

void CStorageDeviceWithCache::ReadAround(Block& block, long long start) {
    // Bad sectors fail alone, as rescue tools find them: a block that failed
    // is read again in pieces; a piece that fails is halved down to 4 KiB
    // stretches, and those that fail are read sector by sector. Only the
    // sectors that fail stay zeros. Failed reads are bounded per piece and
    // per block, and a block of several pieces where none reads is not
    // split: a dead stretch costs one read per piece. The block stays marked failed;
    // reads of its unread sectors go to the device again.
    const unsigned ss = m_inner->GetSectorSize();
    const long long piece = std::max<long long>(1, kPieceBytes / (ss ? ss : 512));
    const auto at = [&](long long sector) {
        return block.data.data() + static_cast<std::size_t>(sector - start) * ss;
    };
    const auto unread = [&](long long first, long long count) {
        std::memset(at(first), 0, static_cast<std::size_t>(count) * ss);
        NoteUnread(block.unread, first, count);
    };
    std::vector<long long> failed; // pieces, by first sector
    for (long long first = start; first < start + block.sectors; first += piece) {
        const long long n = std::min(piece, start + block.sectors - first);
        if (NotReading() || !InnerRead(at(first), first, n))
            failed.push_back(first);
    }
    const bool dead = failed.size() > 2 && failed.size() * static_cast<std::size_t>(piece) >= static_cast<std::size_t>(block.sectors);
    int blockFailures = kBlockFailures;
    std::vector<std::pair<long long, long long>> small; // stretches of up to 4 KiB that failed whole
    for (long long first : failed) {
        const long long n = std::min(piece, start + block.sectors - first);
        if (dead || NotReading()) {
            unread(first, n);
            continue;
        }
        int failures = std::min(kPieceFailures, blockFailures);
        const int allowed = failures;
        Split(first, n, failures, block, start, small);
        blockFailures -= allowed - failures;
    }
    for (auto [first, count] : small)
        for (long long s = first; s < first + count; ++s) {
            if (blockFailures <= 0 || KnownBad(s, 1) || NotReading()) {
                unread(s, 1);
                continue;
            }
            if (InnerRead(at(s), s, 1))
                continue;
            --blockFailures;
            NoteBad(s, 1);
            unread(s, 1);
        }
    // What a scan could not read is said at its end, not only logged; a
    // device gone is said as such, and a scan that stopped waiting for the
    // device was stopped.
    if (!NotReading())
        for (auto [first, end] : block.unread) salvor::UnreadableStructureSectors() += end - first;
}

void CStorageDeviceWithCache::Split(long long first, long long count, int& failures, Block& block, long long start,
                                    std::vector<std::pair<long long, long long>>& small) {
    const unsigned ss = m_inner->GetSectorSize();
    unsigned char* to = block.data.data() + static_cast<std::size_t>(first - start) * ss;
    const bool tiny = count * static_cast<long long>(ss) <= 4096;
    if (!tiny) {
        const long long half = count / 2;
        for (auto [f, n] : {std::pair{first, half}, std::pair{first + half, count - half}}) {
            unsigned char* part = block.data.data() + static_cast<std::size_t>(f - start) * ss;
            // Known bad, out of failures to spend, gone or given up: nothing
            // more is asked.
            if (KnownBad(f, n) || failures <= 0 || NotReading()) {
                std::memset(part, 0, static_cast<std::size_t>(n) * ss);
                NoteUnread(block.unread, f, n);
                continue;
            }
            if (InnerRead(part, f, n))
                continue;
            --failures;
            Split(f, n, failures, block, start, small);
        }
        return;
    }
    // A stretch of 4 KiB or less that failed whole: zeros for now, its
    // sectors asked one by one once every piece was split.
    std::memset(to, 0, static_cast<std::size_t>(count) * ss);
    if (count == 1) {
        NoteBad(first, 1);
        NoteUnread(block.unread, first, 1);
    } else {
        small.emplace_back(first, count);
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
            return block->read || !Overlaps(*block, firstSector, count) ? p : nullptr;
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
