#include "engine/utility/AsyncRead.h"

#include "engine/utility/Locks.h"

#include <aio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <new>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#include <thread>

// ThreadSanitizer cannot see the helper threads glibc starts for POSIX AIO
// (libc creates them without going through the intercepted pthread_create),
// and one of them starting another crashes the sanitizer's allocator. In a
// ThreadSanitizer build each request is read by a thread of our own instead:
// a request still running is, as with the system's, left to end on its own.
namespace tsanaio {

int Read(aiocb* cb) {
    __atomic_store_n(&cb->__error_code, EINPROGRESS, __ATOMIC_RELEASE);
    std::thread([cb] {
        void* to = const_cast<void*>(cb->aio_buf);
        ssize_t r = ::pread(cb->aio_fildes, to, cb->aio_nbytes, cb->aio_offset);
        if (r < 0 && errno == ESPIPE) // a pipe, read as the system's requests read one
            r = ::read(cb->aio_fildes, to, cb->aio_nbytes);
        const int error = r < 0 ? errno : 0;
        cb->__return_value = r;
        __atomic_store_n(&cb->__error_code, error, __ATOMIC_RELEASE);
    }).detach();
    return 0;
}
int Error(const aiocb* cb) { return __atomic_load_n(&cb->__error_code, __ATOMIC_ACQUIRE); }
ssize_t Return(aiocb* cb) { return Error(cb) == EINPROGRESS ? -1 : cb->__return_value; }
int Suspend(const aiocb* const list[], int, const timespec* timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout->tv_sec) +
                          std::chrono::nanoseconds(timeout->tv_nsec);
    while (Error(list[0]) == EINPROGRESS) {
        if (std::chrono::steady_clock::now() >= deadline) {
            errno = EAGAIN;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 0;
}
int Cancel(int, aiocb* cb) { return Error(cb) == EINPROGRESS ? AIO_NOTCANCELED : AIO_ALLDONE; }

} // namespace tsanaio
#define aio_read tsanaio::Read
#define aio_error tsanaio::Error
#define aio_return tsanaio::Return
#define aio_suspend tsanaio::Suspend
#define aio_cancel tsanaio::Cancel
#endif

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

} // namespace

namespace asyncread {

// One read request: its control block and the buffer the system writes into.
// Both must stay alive for as long as the system may still write.
struct Transfer {
    aiocb cb{};
    std::unique_ptr<unsigned char, FreeDeleter> data;
    std::size_t capacity = 0;
};

void TransferDeleter::operator()(Transfer* t) const { delete t; }

} // namespace asyncread

namespace {

using asyncread::Transfer;
using TransferPtr = std::unique_ptr<Transfer, asyncread::TransferDeleter>;

// Idle transfer buffers kept for the next reads.
constexpr std::size_t kKeptTransfers = 4;

struct AsyncState {
    mutex_locker lock; // guards the lists and the settings, never held while reading
    std::vector<TransferPtr> idle;
    std::list<TransferPtr> retired;
    std::function<bool(long long, long long)> faultHook;
    std::chrono::milliseconds timeout{30000};
    // Descriptors closed by their owner while a retired request still reads
    // them: kept open (so their number is not given to another file) until
    // the last such request ends.
    std::vector<int> closeLater;
};

// Never destroyed: a retired request may finish while the process exits.
AsyncState& State() {
    static AsyncState* state = new AsyncState;
    return *state;
}

// A transfer holding at least `bytes`, or null when the memory cannot be had.
TransferPtr NewTransfer(std::size_t bytes) {
    TransferPtr t(new Transfer);
    if (bytes > SIZE_MAX - 4095)
        return nullptr;
    const std::size_t size = (std::max<std::size_t>(bytes, 1) + 4095) / 4096 * 4096;
    void* p = nullptr;
    // Page-aligned, so the buffer also suits descriptors opened for direct I/O.
    if (posix_memalign(&p, 4096, size) != 0)
        return nullptr;
    t->data.reset(static_cast<unsigned char*>(p));
    t->capacity = size;
    return t;
}

bool RetiredReads(const AsyncState& s, int fd) {
    return std::any_of(s.retired.begin(), s.retired.end(), [fd](const TransferPtr& t) { return t->cb.aio_fildes == fd; });
}

std::size_t ReapLocked(AsyncState& s) {
    for (auto it = s.retired.begin(); it != s.retired.end();) {
        if (aio_error(&(*it)->cb) != EINPROGRESS) {
            aio_return(&(*it)->cb);
            it = s.retired.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = s.closeLater.begin(); it != s.closeLater.end();) {
        if (!RetiredReads(s, *it)) {
            ::close(*it);
            it = s.closeLater.erase(it);
        } else {
            ++it;
        }
    }
    return s.retired.size();
}

// The flag of the innermost give-up scope of this thread, or null.
thread_local const std::atomic<bool>* t_giveUp = nullptr;

// How often a wait under a give-up scope looks at its flag.
constexpr std::chrono::milliseconds kGiveUpLook{20};

enum class Wait { Done, Failed };

// Waits for the request up to the time-out, or until this thread's reads are
// given up; EINTR does not end the wait early.
Wait WaitFor(aiocb* cb, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const aiocb* list[1] = {cb};
    for (;;) {
        int err = aio_error(cb);
        if (err != EINPROGRESS)
            return Wait::Done;
        if (asyncread::GivenUp())
            return Wait::Failed;
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return Wait::Failed;
        if (t_giveUp)
            left = std::min<std::chrono::nanoseconds>(left, kGiveUpLook);
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (aio_suspend(list, 1, &ts) != 0 && errno != EINTR && errno != EAGAIN)
            return Wait::Failed;
    }
}

// Reads `length` bytes at `offset` of fd into the transfer's memory from
// `at` on, a step at a time; after each step, `copyOut` (when given) is told
// how many bytes are read so far while the next step is being read. Answers
// the bytes read (short only when the end of the file came first), or -1 on
// failure with the system's error in `error` (ETIMEDOUT for a time-out, 0 for
// nothing left before the end of the file). A request still running after
// the time-out keeps its transfer, which is retired: the caller gets a fresh
// one holding the first `at` bytes of the old (or null when no memory could
// be had).
long long ReadRange(AsyncState& s, TransferPtr& transfer, std::chrono::milliseconds timeout, int fd, std::size_t at,
                    long long offset, long long length, long long step,
                    const std::function<void(long long)>& copyOut, int& error) {
    Transfer& t = *transfer;
    error = 0;
    // The time-out is the piece's, not each step's: a device that answers
    // nothing costs one time-out per piece.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    auto submit = [&](long long from, long long to) {
        std::memset(&t.cb, 0, sizeof t.cb);
        t.cb.aio_fildes = fd;
        t.cb.aio_offset = static_cast<off_t>(offset + from);
        t.cb.aio_buf = t.data.get() + at + from;
        t.cb.aio_nbytes = static_cast<std::size_t>(to - from);
        t.cb.aio_sigevent.sigev_notify = SIGEV_NONE;
        if (aio_read(&t.cb) == 0)
            return true;
        error = errno;
        return false;
    };
    long long got = 0; // read so far
    long long want = std::min(step, length);
    if (!submit(0, want))
        return -1;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (WaitFor(&t.cb, std::max(left, std::chrono::milliseconds(0))) != Wait::Done) {
            error = asyncread::GivenUp() ? ECANCELED : ETIMEDOUT;
            if (aio_cancel(fd, &t.cb) == AIO_CANCELED) {
                aio_return(&t.cb);
            } else {
                // Still running (or its state unknown): the late read may yet
                // write into this buffer and control block, so neither is
                // used again until the system is done with them. The bytes
                // before `at` were read by requests that have ended.
                TransferPtr fresh = NewTransfer(t.capacity);
                if (fresh && at > 0)
                    std::memcpy(fresh->data.get(), t.data.get(), at);
                {
                    autolocker<mutex_locker> guard(s.lock);
                    s.retired.push_back(std::move(transfer));
                }
                transfer = std::move(fresh);
            }
            return -1;
        }
        const int status = aio_error(&t.cb);
        const ssize_t r = aio_return(&t.cb);
        if (r < 0) {
            error = status > 0 ? status : EIO;
            return -1;
        }
        if (r > 0)
            got += r;
        if (r > 0 && got < want) { // a short answer in the middle is not the end
            if (!submit(got, want))
                return -1;
            continue;
        }
        const bool more = r > 0 && got < length;
        if (more) {
            want = std::min(got + step, length);
            if (!submit(got, want))
                return -1;
        }
        if (copyOut)
            copyOut(got);
        if (!more)
            return got > 0 ? got : -1; // at the end of the file only a partial piece counts
    }
}

struct ReadSettings {
    bool hooked;
    std::chrono::milliseconds timeout;
};

// Frees retired transfers the system is done with and answers the settings a
// read runs with; when `idle` is given, also takes a kept transfer of at
// least `bytes` into it (when there is one).
ReadSettings BeginRead(AsyncState& s, std::size_t bytes, TransferPtr* idle) {
    autolocker<mutex_locker> guard(s.lock);
    if (!s.retired.empty() || !s.closeLater.empty())
        ReapLocked(s);
    if (idle)
        for (auto it = s.idle.begin(); it != s.idle.end(); ++it)
            if ((*it)->capacity >= bytes) {
                *idle = std::move(*it);
                s.idle.erase(it);
                break;
            }
    return {static_cast<bool>(s.faultHook), s.timeout};
}

// Whether the tests' fault hook fails the piece; asked under the lock, one
// read at a time.
bool FaultHookFails(AsyncState& s, bool hooked, long long offset, long long length) {
    if (!hooked)
        return false;
    autolocker<mutex_locker> guard(s.lock);
    return s.faultHook && s.faultHook(offset, length);
}

} // namespace

long long VXReadAsyncData(void* buffer, int descriptor, long long byteOffset, long long byteCount) {
    if (!buffer || descriptor < 0 || byteOffset < 0 || byteCount <= 0)
        return 0;
    if (byteOffset > LLONG_MAX - byteCount)
        return 0;
    AsyncState& s = State();
    // Each read has a transfer of its own, so reads of several threads (the
    // read-ahead and the searchers) never wait for each other.
    const long long largest = std::min(kAsyncReadPiece, byteCount);
    TransferPtr transfer;
    const auto [hooked, timeout] = BeginRead(s, static_cast<std::size_t>(largest), &transfer);
    if (!transfer)
        transfer = NewTransfer(static_cast<std::size_t>(largest));
    if (!transfer)
        return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    // The system writes only into the transfer buffer; what it has read is
    // copied out while it reads on (two megabytes at a time: below that the
    // hand-over to the system's helper thread costs more than the copy it
    // hides).
    constexpr long long kStep = 1 << 21;
    bool ok = true;
    for (long long done = 0; done < byteCount;) {
        const long long piece = std::min(kAsyncReadPiece, byteCount - done);
        long long got = -1;
        // Given up, no piece is asked of the system any more.
        if (!asyncread::GivenUp() && !FaultHookFails(s, hooked, byteOffset + done, piece) && transfer) {
            long long copied = 0;
            unsigned char* to = out + done;
            int error = 0;
            got = ReadRange(
                s, transfer, timeout, descriptor, 0, byteOffset + done, piece, kStep,
                [&](long long upTo) {
                    std::memcpy(to + copied, transfer->data.get() + copied, static_cast<std::size_t>(upTo - copied));
                    copied = upTo;
                },
                error);
        }
        if (got < 0) {
            ok = false;
            got = 0;
            if (!transfer)
                transfer = NewTransfer(static_cast<std::size_t>(largest));
        }
        // A failed piece, or the part past the end of the file, reads as zeros.
        std::memset(out + done + got, 0, static_cast<std::size_t>(piece - got));
        done += piece;
    }
    if (transfer) {
        autolocker<mutex_locker> guard(s.lock);
        if (s.idle.size() < kKeptTransfers)
            s.idle.push_back(std::move(transfer));
    }
    return ok ? byteCount : 0;
}

namespace asyncread {

void Buffer::Reserve(std::size_t bytes) {
    if (m_transfer && m_transfer->capacity >= bytes)
        return;
    m_transfer = NewTransfer(bytes);
    if (!m_transfer)
        throw std::bad_alloc();
}

unsigned char* Buffer::data() { return m_transfer ? m_transfer->data.get() : nullptr; }

const unsigned char* Buffer::data() const { return m_transfer ? m_transfer->data.get() : nullptr; }

std::size_t Buffer::capacity() const { return m_transfer ? m_transfer->capacity : 0; }

long long ReadIntoBuffer(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount, int* error,
                         std::chrono::milliseconds wait, bool useHook);

long long ReadInto(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount, int* error,
                   std::chrono::milliseconds wait) {
    return ReadIntoBuffer(buffer, descriptor, byteOffset, byteCount, error, wait, true);
}

long long ProbeInto(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount, int* error,
                    std::chrono::milliseconds wait) {
    return ReadIntoBuffer(buffer, descriptor, byteOffset, byteCount, error, wait, false);
}

long long ReadIntoBuffer(Buffer& buffer, int descriptor, long long byteOffset, long long byteCount, int* error,
                         std::chrono::milliseconds wait, bool useHook) {
    int firstError = 0;
    if (error)
        *error = 0;
    if (descriptor < 0 || byteOffset < 0 || byteCount <= 0 || byteOffset > LLONG_MAX - byteCount ||
        buffer.capacity() < static_cast<unsigned long long>(byteCount)) {
        if (error)
            *error = EINVAL;
        return 0;
    }
    AsyncState& s = State();
    auto [hooked, routineTimeout] = BeginRead(s, 0, nullptr);
    hooked = hooked && useHook;
    const auto timeout = wait > std::chrono::milliseconds(0) ? wait : routineTimeout;
    bool ok = true;
    for (long long done = 0; done < byteCount;) {
        const long long piece = std::min(kAsyncReadPiece, byteCount - done);
        long long got = -1;
        int pieceError = EIO; // the fault hook's failure
        if (asyncread::GivenUp())
            pieceError = ECANCELED;
        else if (!FaultHookFails(s, hooked, byteOffset + done, piece)) {
            // One request per piece: with no copy to overlap, steps would
            // only add hand-overs.
            got = ReadRange(s, buffer.m_transfer, timeout, descriptor, static_cast<std::size_t>(done),
                            byteOffset + done, piece, piece, nullptr, pieceError);
            if (!buffer.m_transfer)
                throw std::bad_alloc(); // no memory for the retired buffer's successor
        }
        if (got < 0) {
            ok = false;
            got = 0;
            if (!firstError)
                firstError = pieceError ? pieceError : EIO;
        }
        std::memset(buffer.data() + done + got, 0, static_cast<std::size_t>(piece - got));
        done += piece;
    }
    if (error)
        *error = firstError;
    return ok ? byteCount : 0;
}

GiveUpScope::GiveUpScope(const std::atomic<bool>* flag) : m_outer(t_giveUp) { t_giveUp = flag; }

GiveUpScope::~GiveUpScope() { t_giveUp = m_outer; }

bool GivenUp() { return t_giveUp && t_giveUp->load(std::memory_order_acquire); }

void SetFaultHook(std::function<bool(long long, long long)> hook) {
    AsyncState& s = State();
    autolocker<mutex_locker> guard(s.lock);
    s.faultHook = std::move(hook);
}

void SetTimeout(std::chrono::milliseconds timeout) {
    AsyncState& s = State();
    autolocker<mutex_locker> guard(s.lock);
    s.timeout = timeout;
}

std::size_t RetiredCount() {
    AsyncState& s = State();
    autolocker<mutex_locker> guard(s.lock);
    return s.retired.size();
}

std::size_t ReapRetired() {
    AsyncState& s = State();
    autolocker<mutex_locker> guard(s.lock);
    return ReapLocked(s);
}

void CloseWhenDone(int descriptor) {
    if (descriptor < 0)
        return;
    AsyncState& s = State();
    autolocker<mutex_locker> guard(s.lock);
    ReapLocked(s);
    if (RetiredReads(s, descriptor))
        s.closeLater.push_back(descriptor);
    else
        ::close(descriptor);
}

std::size_t DescriptorsLeftOpen() {
    AsyncState& s = State();
    autolocker<mutex_locker> guard(s.lock);
    ReapLocked(s);
    return s.closeLater.size();
}

} // namespace asyncread
