#include "engine/device/DeviceCheck.h"
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/CatchExeception.h"
#include "engine/utility/MessageCenter.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::uint16_t kSiteDisk = 0x10;
constexpr std::uint16_t kSiteVolume = 0x20;

// The receiver id that volume devices answer for.
constexpr int kVolumeReceiverId = 1;

} // namespace

using namespace device_detail;

CDescriptorDevice::CDescriptorDevice(const char* path, std::uint16_t site) : m_path(path ? path : ""), m_site(site) {}

CDescriptorDevice::~CDescriptorDevice() {
    // Nothing reads a device that is being destroyed.
    std::lock_guard l(m_useLock);
    CloseLocked();
}

int CDescriptorDevice::OpenReadOnly(const char* path) {
    m_lastError = 0;
    std::lock_guard l(m_useLock);
    if (path && m_path != path) {
        // Another path is another device: whatever was held is let go.
        if (m_reads > 0 || m_users > 0) {
            m_lastError = DeviceResult(m_site + kOpen, device_error::kOpenOrRead);
            return EBUSY;
        }
        CloseLocked();
        m_path = path;
        m_identity = {};
    }
    const int fd = HeldDescriptorLocked();
    if (fd < 0) {
        const int err = errno ? errno : ENODEV;
        m_lastError = DeviceResult(m_site + kOpen, device_error::kOpenOrRead);
        return err;
    }
    m_openerHolds = true;
    return 0;
}

int CDescriptorDevice::OpenAgain() {
    std::lock_guard l(m_useLock);
    if (m_reads > 0 || m_users > 0)
        return EBUSY;
    CloseLocked();
    m_identity = {};
    if (HeldDescriptorLocked() < 0)
        return errno ? errno : ENODEV;
    m_openerHolds = true;
    return 0;
}

int CDescriptorDevice::HeldDescriptorLocked() {
    errno = 0;
    if (m_fd >= 0)
        return m_fd;
    if (m_path.empty()) {
        errno = ENOENT;
        return -1;
    }
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    Identity now;
    now.known = true;
    now.block = S_ISBLK(st.st_mode);
    now.device = now.block ? st.st_rdev : st.st_dev;
    now.inode = now.block ? 0 : st.st_ino;
    std::uint64_t bytes = 0;
    if (now.block)
        now.bytes = ::ioctl(fd, BLKGETSIZE64, &bytes) == 0 ? bytes : 0;
    if (m_identity.known) {
        // The same node with another size is another disk (a loop device
        // attached to another image since): it is not this device. A file
        // may grow; it must still be the same file.
        // A device found shrunk keeps being read below its new size.
        const bool sized = !now.block || now.bytes == m_identity.bytes ||
                           (m_gone.load() && m_readableBytes.load() > 0 && now.bytes == m_readableBytes.load());
        const bool same = now.block == m_identity.block && now.device == m_identity.device &&
                          now.inode == m_identity.inode && sized;
        if (!same) {
            ::close(fd);
            errno = ENODEV;
            return -1;
        }
    } else {
        m_identity = now;
    }
    m_fd = fd;
    return m_fd;
}

void CDescriptorDevice::CloseLocked() {
    m_openerHolds = false;
    DropDirectDescriptor();
    if (m_fd >= 0)
        asyncread::CloseWhenDone(m_fd); // a read given up may still use it
    m_fd = -1;
}

void CDescriptorDevice::CloseIfUnusedLocked() {
    if (!m_openerHolds && m_users == 0 && m_reads == 0)
        CloseLocked();
}

int CDescriptorDevice::Close() {
    std::lock_guard l(m_useLock);
    const bool held = m_openerHolds;
    m_openerHolds = false;
    CloseIfUnusedLocked();
    return held ? 1 : 0;
}

int CDescriptorDevice::BeginUse() {
    std::lock_guard l(m_useLock);
    // Only a device that was opened once is opened again: its identity is
    // known, and one the system refused stays refused.
    if (!m_identity.known || HeldDescriptorLocked() < 0)
        return 0;
    ++m_users;
    return 1;
}

void CDescriptorDevice::EndUse() {
    std::lock_guard l(m_useLock);
    if (m_users > 0)
        --m_users;
    CloseIfUnusedLocked();
}

int CDescriptorDevice::GetDescriptor() const {
    std::lock_guard l(m_useLock);
    return m_openerHolds ? m_fd : -1;
}

bool CDescriptorDevice::HoldsDescriptor() const {
    std::lock_guard l(m_useLock);
    return m_fd >= 0;
}

bool CDescriptorDevice::PastEnd(long long offset, long long bytes) const {
    std::lock_guard l(m_useLock);
    return m_identity.known && m_identity.block &&
           static_cast<unsigned long long>(offset) + static_cast<unsigned long long>(bytes) > m_identity.bytes;
}

bool CDescriptorDevice::IsFile() const {
    std::lock_guard l(m_useLock);
    return m_identity.known && !m_identity.block;
}

int CDescriptorDevice::BeginRead() {
    std::lock_guard l(m_useLock);
    if (!m_identity.known)
        return -1;
    const int fd = HeldDescriptorLocked();
    if (fd >= 0)
        ++m_reads;
    return fd;
}

void CDescriptorDevice::EndRead() {
    std::lock_guard l(m_useLock);
    --m_reads;
    CloseIfUnusedLocked();
}

ResultCode CDescriptorDevice::IOCtl(unsigned long long, void*) {
    m_lastError = DeviceResult(m_site + kIoctl, device_error::kNotSupported);
    return 0;
}

int CDescriptorDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    return Read({buffer, nullptr}, firstSector, count);
}

int CDescriptorDevice::ReadSectorsInto(asyncread::Buffer& buffer, long long firstSector, long long count) {
    return Read({nullptr, &buffer}, firstSector, count);
}

int CDescriptorDevice::DirectDescriptor(int fd) {
    if (m_directRefused)
        return -1;
    std::lock_guard l(m_directLock);
    if (!m_directTried) {
        m_directTried = true;
        // Opened through the descriptor, not the path, so it is the same file
        // even if the path has since been given to another.
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        m_directFd = ::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    }
    return m_directFd;
}

void CDescriptorDevice::DropDirectDescriptor() {
    std::lock_guard l(m_directLock);
    if (m_directFd >= 0)
        asyncread::CloseWhenDone(m_directFd);
    m_directFd = -1;
    m_directTried = false;
    m_directRefused = false;
}

int CDescriptorDevice::ReadBytes(ReadTarget to, long long firstSector, long long count, long long baseBytes) {
    const long long ss = m_sectorSize;
    if ((!to.memory && !to.owned) || !ByteRangeFits(firstSector, count, m_sectorSize, baseBytes) ||
        (to.owned && to.owned->capacity() < static_cast<unsigned long long>(count * ss))) {
        m_lastError = DeviceResult(m_site + kRead, device_error::kBadArgument);
        return 0;
    }
    const long long offset = baseBytes + firstSector * ss;
    const long long bytes = count * ss;
    // A device found gone is not asked again, except below its new size when
    // it shrank: what it answered before stays what it gave, and the scan or
    // recovery reading it learns at once.
    if (m_gone.load() && static_cast<unsigned long long>(offset + bytes) > m_readableBytes.load()) {
        m_lastError = DeviceResult(m_site + kRead, device_error::kOpenOrRead);
        return 0;
    }
    // The descriptor stays open, and its number this device's, until EndRead.
    const auto began = std::chrono::steady_clock::now();
    const bool failFast = CFailFastReads::Active();
    // In flight from here to the end of its judging: a read held unanswered
    // is said as much as a device that answers nowhere.
    const auto flight = [&] {
        std::lock_guard l(m_flightLock);
        return m_inFlight.insert(began);
    }();
    struct Landed {
        CDescriptorDevice* self;
        std::multiset<std::chrono::steady_clock::time_point>::iterator at;
        ~Landed() {
            std::lock_guard l(self->m_flightLock);
            self->m_inFlight.erase(at);
        }
    } landed{this, flight};
    const int fd = BeginRead();
    if (fd < 0) {
        const int openError = errno;
        if (!failFast && !asyncread::GivenUp())
            JudgeFailure(-1, openError, offset, bytes, began);
        m_lastError = DeviceResult(m_site + kRead, device_error::kOpenOrRead);
        return 0;
    }
    bool ok = ReadHeld(to, fd, offset, bytes);
    // A read given up (its reader no longer waits for the device) says
    // nothing of the device: it is not judged, nor made again.
    if (!ok && !asyncread::GivenUp()) {
        // A device silent for a while (a bus reset) and answering again is
        // read once more. A read through the page cache fails with the
        // read-ahead it was joined to: bad sectors beside the range fail it,
        // so the range alone is read once more, directly.
        const Failure failure = failFast ? Failure::Bad : JudgeFailure(fd, 0, offset, bytes, began);
        if (failure == Failure::AnswersAgain)
            ok = ReadHeld(to, fd, offset, bytes);
        else if (failure == Failure::Bad && to.memory && !PastEnd(offset, bytes))
            ok = ReadDirectOnce(fd, to.memory, offset, bytes);
    }
    if (ok)
        NoteAnswer(offset);
    EndRead();
    if (ok)
        return 1;
    m_lastError = DeviceResult(m_site + kRead, device_error::kOpenOrRead);
    return 0;
}

namespace {

// Errors by which the system says the device itself is no more.
bool NoDeviceError(int error) { return error == ENODEV || error == ENXIO || error == ENOMEDIUM; }

// Reads one aligned block of fd at byte offset around the page cache (a
// cached copy would answer for a device that no longer does), waiting at
// most `wait` for it (a probe never hangs on a device that holds its reads);
// 0 when it was read, else the system's error (EIO for nothing before the
// end, ETIMEDOUT for no answer in time).
int ProbeRead(int fd, long long offset, std::chrono::milliseconds wait) {
    constexpr long long kBlock = 4096;
    offset = offset / kBlock * kBlock;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    asyncread::Buffer block;
    try {
        block.Reserve(kBlock);
    } catch (const std::bad_alloc&) {
        return 0; // no memory is no answer about the device
    }
    int probe = ::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    if (probe < 0)
        probe = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
    if (probe < 0)
        return NoDeviceError(errno) ? errno : 0;
    int error = 0;
    if (asyncread::ProbeInto(block, probe, offset, kBlock, &error, wait) > 0)
        error = 0;
    if (error == EINVAL) { // the device takes no direct reads of this size
        asyncread::CloseWhenDone(probe);
        probe = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
        error = probe < 0 ? errno : 0;
        if (probe >= 0 && asyncread::ProbeInto(block, probe, offset, 512, &error, wait) > 0)
            error = 0;
    }
    // A probe given up may still be read by the system: closed when it ends.
    asyncread::CloseWhenDone(probe);
    return error;
}

// How long a probe may wait: what is left of the silence allowed, and never
// less than a moment (a probe made just as the silence ends still asks).
std::chrono::milliseconds ProbeWait(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(200));
}

} // namespace

namespace {
std::atomic<long long> g_silenceLimitMs{0};
thread_local int t_failFast = 0;
}

CFailFastReads::CFailFastReads() { ++t_failFast; }
CFailFastReads::~CFailFastReads() { --t_failFast; }
bool CFailFastReads::Active() { return t_failFast > 0; }

void CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds limit) { g_silenceLimitMs = limit.count(); }

void CDescriptorDevice::NoteAnswer(long long offset) {
    m_answeredAt = offset;
    m_answers.fetch_add(1);
}

bool CDescriptorDevice::IsSilent() {
    if (m_gone.load())
        return false;
    if (m_waitingForAnswer.load())
        return true;
    // Said well before the silence allowed runs out, however short it is set.
    const long long set = g_silenceLimitMs.load();
    const auto after = std::min<std::chrono::milliseconds>(kSilentAfter, (set > 0 ? std::chrono::milliseconds(set) : kSilenceLimit) / 4);
    std::lock_guard l(m_flightLock);
    return !m_inFlight.empty() && std::chrono::steady_clock::now() - *m_inFlight.begin() >= after;
}

void CDescriptorDevice::MarkGone(unsigned long long readableBytes) {
    m_readableBytes = readableBytes;
    if (!m_gone.exchange(true))
        CatchExeception::WriteLog("device %s stopped answering\n", m_path.c_str());
}

bool CDescriptorDevice::AnswersAgain() {
    if (!m_gone.load())
        return true;
    // A device that shrank stays what it was found to be.
    if (m_readableBytes.load() > 0)
        return false;
    std::unique_lock judge(m_judgeLock);
    if (!m_gone.load())
        return true;
    // Asked before every file: a device still silent is asked again only
    // every few seconds, so a recovery of many files does not wait on each.
    const auto now = std::chrono::steady_clock::now();
    if (m_againAskedAt && now - *m_againAskedAt < std::chrono::seconds(5))
        return false;
    m_againAskedAt = now;
    Identity was;
    {
        std::lock_guard l(m_useLock);
        was = m_identity;
    }
    // The node must name the device first opened, at its size: another
    // card in the reader is not this one.
    struct stat st {};
    if (!was.known || !was.block || ::stat(m_path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode) ||
        st.st_rdev != was.device)
        return false;
    const int fd = BeginRead();
    if (fd < 0)
        return false;
    std::uint64_t bytes = 0;
    const long long last = m_answeredAt.load();
    const bool answers =
        ::ioctl(fd, BLKGETSIZE64, &bytes) == 0 && bytes == was.bytes && ProbeRead(fd, last >= 0 ? last : 0, std::chrono::seconds(2)) == 0;
    EndRead();
    if (!answers)
        return false;
    m_gone = false;
    CatchExeception::WriteLog("device %s answers again\n", m_path.c_str());
    return true;
}

bool CDescriptorDevice::SystemSaysGone(int fd, int openError, unsigned long long* shrunkTo,
                                       std::chrono::steady_clock::time_point deadline) {
    Identity was;
    {
        std::lock_guard l(m_useLock);
        was = m_identity;
    }
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0)
        return errno == ENOENT || NoDeviceError(errno); // a pulled stick's node goes
    if (!S_ISBLK(st.st_mode) || st.st_rdev != was.device)
        return true; // its node now names another device
    if (fd < 0) {
        // Reopened, the node answered another size (another disk, or this
        // one cut) or no device at all. The same device grown smaller is
        // still read below its new end.
        if (openError == ENODEV) {
            const int now = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
            std::uint64_t bytes = 0;
            if (now >= 0 && ::ioctl(now, BLKGETSIZE64, &bytes) == 0 && bytes < was.bytes)
                *shrunkTo = bytes;
            if (now >= 0)
                ::close(now);
        }
        return openError == ENODEV || NoDeviceError(openError);
    }
    std::uint64_t now = 0;
    if (::ioctl(fd, BLKGETSIZE64, &now) != 0)
        return NoDeviceError(errno);
    if (now < was.bytes) {
        *shrunkTo = now; // a cut loop device, a reader that lost its card
        return true;
    }
    // The system's own word on a read (a probe where it answered last).
    const long long last = m_answeredAt.load();
    return NoDeviceError(ProbeRead(fd, last >= 0 ? last : 0, ProbeWait(deadline)));
}

bool CDescriptorDevice::AnswersSomewhere(int fd, long long offset, long long bytes,
                                         std::chrono::steady_clock::time_point deadline) {
    const long long size = static_cast<long long>(m_totalSectors) * m_sectorSize;
    const long long end = std::max(0LL, size - 1);
    std::vector<long long> places;
    if (const long long last = m_answeredAt.load(); last >= 0)
        places.push_back(last);
    places.push_back(offset);
    places.push_back(std::min(end, offset + bytes - 1));
    // A few blocks spread over the device: a weak first block, a bad last
    // one and a bad stretch leave the rest answering.
    for (int i = 1; i < 8; ++i)
        places.push_back(size / 8 * i);
    places.push_back(0);
    places.push_back(end);
    for (std::size_t i = 0; i < places.size(); ++i) {
        // Once the silence allowed has passed, one probe more asks.
        if (i > 0 && std::chrono::steady_clock::now() >= deadline)
            return false;
        if (ProbeRead(fd, std::clamp(places[i], 0LL, end), ProbeWait(deadline)) == 0) {
            m_answeredAt = places[i];
            return true;
        }
    }
    return false;
}

CDescriptorDevice::Failure CDescriptorDevice::JudgeFailure(int fd, int openError, long long offset, long long bytes,
                                                           std::chrono::steady_clock::time_point began) {
    {
        std::lock_guard l(m_useLock);
        // An image file is read up to where it ends, however it was cut:
        // only a block device goes away.
        if (!m_identity.known || !m_identity.block)
            return Failure::Bad;
    }
    // Past the end the device was opened with, a read fails on any device:
    // it says nothing of this one.
    if (fd >= 0 && PastEnd(offset, bytes))
        return Failure::Bad;
    const unsigned long long answersBefore = m_answers.load();
    std::unique_lock judge(m_judgeLock, std::try_to_lock);
    const bool waited = !judge.owns_lock();
    if (waited)
        judge.lock();
    if (m_gone.load())
        return Failure::Gone;
    // The silence counts from the read's start: a read the device held
    // unanswered counts as much as one it failed.
    const long long set = g_silenceLimitMs.load();
    const auto limit = set > 0 ? std::chrono::milliseconds(set) : kSilenceLimit;
    const auto deadline = began + limit;
    unsigned long long shrunkTo = 0;
    if (SystemSaysGone(fd, openError, &shrunkTo, deadline)) {
        MarkGone(shrunkTo);
        return Failure::Gone;
    }
    if (fd < 0)
        return Failure::Bad;
    // Another read answered while this one waited to be judged: the device
    // answers, and this range is worth one more read.
    if (waited && m_answers.load() != answersBefore)
        return Failure::AnswersAgain;
    if (AnswersSomewhere(fd, offset, bytes, deadline))
        return Failure::Bad;
    // It answers nowhere: a disk resetting, a bus re-enumerating, or a device
    // that died. It is asked again, a little less often each time, until it
    // answers, the system says it is gone, or the silence lasts too long.
    auto pause = std::chrono::milliseconds(100);
    m_waitingForAnswer = true;
    struct Waited {
        std::atomic<bool>& flag;
        ~Waited() { flag = false; }
    } waitedFor{m_waitingForAnswer};
    for (;;) {
        // A reader that gave its reads up (a scan stopped) waits no more; the
        // device stays as it was found.
        if (asyncread::GivenUp())
            return Failure::Bad;
        if (std::chrono::steady_clock::now() >= deadline) {
            MarkGone(0);
            return Failure::Gone;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(1000));
        if (SystemSaysGone(fd, 0, &shrunkTo, deadline)) {
            MarkGone(shrunkTo);
            return Failure::Gone;
        }
        if (m_answers.load() != answersBefore || AnswersSomewhere(fd, offset, bytes, deadline))
            return Failure::AnswersAgain;
    }
}

bool CDescriptorDevice::ReadDirectOnce(int fd, void* memory, long long offset, long long bytes) {
    constexpr long long kAlign = 4096;
    const int direct = DirectDescriptor(fd);
    if (direct < 0 || m_directRefused || bytes <= 0)
        return false;
    const long long first = offset / kAlign * kAlign;
    const long long end = (offset + bytes + kAlign - 1) / kAlign * kAlign;
    if (end - first > kAsyncReadPiece)
        return false; // a long read that failed is not made again
    try {
        asyncread::Buffer aligned;
        aligned.Reserve(static_cast<std::size_t>(end - first));
        if (asyncread::ReadInto(aligned, direct, first, end - first) <= 0)
            return false;
        std::memcpy(memory, aligned.data() + (offset - first), static_cast<std::size_t>(bytes));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool CDescriptorDevice::ReadHeld(ReadTarget to, int fd, long long offset, long long bytes) {
    if (to.owned) {
        // Whole blocks read into a buffer of their own go around the page
        // cache: a scan reads each sector once, and passing a disk's worth of
        // data through the cache costs more than reading it. Direct I/O takes
        // offsets and lengths in whole device blocks (4096 bytes covers every
        // common device); a descriptor that refuses it anyway (EINVAL) is not
        // used again, and the read is made through the cache.
        constexpr long long kDirectAlign = 4096;
        const int direct = offset % kDirectAlign == 0 && bytes % kDirectAlign == 0 ? DirectDescriptor(fd) : -1;
        int error = 0;
        if (direct >= 0) {
            if (asyncread::ReadInto(*to.owned, direct, offset, bytes, &error) > 0)
                return true;
            if (error == EINVAL)
                m_directRefused = true; // kept open until closed: another read may be using it
        }
        // A read that failed for any other reason is not made twice: a bad
        // stretch of a failing disk can take the whole time-out.
        return (direct < 0 || error == EINVAL) && asyncread::ReadInto(*to.owned, fd, offset, bytes) > 0;
    }
    return VXReadAsyncData(to.memory, fd, offset, bytes) > 0;
}

int CBlockFileDevice::Open(char* path) {
    if (const int err = OpenReadOnly(path)) {
        std::printf("open failed:%d,%s\n", err, std::strerror(err));
        // An ordinary user gets EACCES on a disk node; both mean "not allowed".
        if (err == EPERM || err == EACCES)
            m_permitted = 0;
        return 0;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        m_sectorSize = 512;
        m_totalSectors = static_cast<unsigned long long>(st.st_size) / 512;
        return 1;
    }
    int blockSize = 0;
    m_sectorSize = (::ioctl(m_fd, BLKSSZGET, &blockSize) == 0 && blockSize > 0) ? static_cast<unsigned>(blockSize) : 512;
    // BLKGETSIZE counts 512-byte units whatever the sector size; the byte size
    // divided by the sector size is the device's own count.
    unsigned long long bytes = 0;
    m_totalSectors = ::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0 ? bytes / m_sectorSize : 0;
    return 1;
}

int CBlockFileDevice::ReOpen() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        const int err = OpenAgain();
        if (err == 0)
            return 1;
        if (err == EBUSY)
            return 0;
    }
    return 0;
}

void CBlockFileDevice::TakeGeometry(long long sectorSize, long long totalSectors) {
    m_sectorSize = SaneSectorSize(sectorSize, m_sectorSize);
    if (totalSectors >= 0)
        m_totalSectors = static_cast<unsigned long long>(totalSectors);
}

int CBlockFileDevice::Read(ReadTarget to, long long firstSector, long long count) {
    m_lastError = 0;
    return ReadBytes(to, firstSector, count, 0);
}

void CDiskDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    if (auto* disk = dynamic_cast<IDiskDeviceData*>(data))
        if (CCollectDiskDeviceInfoStruct* info = disk->GetDiskInfo())
            TakeGeometry(info->sectorSize, info->totalSectors);
}

CCollectDiskDeviceInfoStruct* CDiskDevice::GetDiskInfo() {
    auto* disk = dynamic_cast<IDiskDeviceData*>(m_data.get());
    CCollectDiskDeviceInfoStruct* info = disk ? disk->GetDiskInfo() : nullptr;
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

CDiskDevice::CDiskDevice(const char* path) : CBlockFileDevice(path, kSiteDisk) {}

CVolumeDevice::CVolumeDevice(const char* path) : CBlockFileDevice(path, kSiteVolume) {
    // The centre must exist before the first failed read can be announced.
    CMessageCenter::Instance();
}

CVolumeDevice::~CVolumeDevice() { CMessageCenter::Instance().UnregisterNotifyCenter(kVolumeReceiverId); }

int CVolumeDevice::Read(ReadTarget to, long long firstSector, long long count) {
    m_lastError = 0;
    if (firstSector >= 0 && static_cast<unsigned long long>(firstSector) >= m_totalSectors) {
        m_lastError = DeviceResult(m_site + kRead, device_error::kBadArgument);
        return 0;
    }
    if (ReadBytes(to, firstSector, count, 0))
        return 1;
    if (device_error::kOpenOrRead == ResultError(m_lastError.load()))
        CMessageCenter::Instance().PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
    return 0;
}

void CVolumeDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    if (auto* volume = dynamic_cast<IVolumeDeviceData*>(data))
        if (CCollectedVolumeDeviceInfoStruct* info = volume->GetVolumeInfo())
            TakeGeometry(info->sectorSize, info->totalSectors);
}

CCollectedVolumeDeviceInfoStruct* CVolumeDevice::GetVolumeInfo() {
    auto* volume = dynamic_cast<IVolumeDeviceData*>(m_data.get());
    CCollectedVolumeDeviceInfoStruct* info = volume ? volume->GetVolumeInfo() : nullptr;
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

IStorageDevice* CreateDiskDevice(const char* path) { return new CDiskDevice(path); }

IStorageDevice* CreateVolumeDevice(const char* path) { return new CVolumeDevice(path); }
