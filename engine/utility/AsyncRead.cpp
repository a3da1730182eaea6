#include "engine/utility/AsyncRead.h"

#include "engine/utility/Locks.h"

#include <aio.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// One read request: its control block and the buffer the system writes into.
// Both must stay alive for as long as the system may still write.
struct Transfer {
    aiocb cb{};
    std::unique_ptr<unsigned char, FreeDeleter> data;
    std::size_t capacity = 0;
};

// Idle transfer buffers kept for the next reads.
constexpr std::size_t kKeptTransfers = 4;

struct AsyncState {
    mutex_locker lock; // guards the lists and the settings, never held while reading
    std::vector<std::unique_ptr<Transfer>> idle;
    std::list<std::unique_ptr<Transfer>> retired;
    std::function<bool(long long, long long)> faultHook;
    std::chrono::milliseconds timeout{30000};
};

// Never destroyed: a retired request may finish while the process exits.
AsyncState& State() {
    static AsyncState* state = new AsyncState;
    return *state;
}

// A transfer holding at least `bytes` (at most one piece).
std::unique_ptr<Transfer> NewTransfer(long long bytes) {
    auto t = std::make_unique<Transfer>();
    const std::size_t size = (static_cast<std::size_t>(std::min(bytes, kAsyncReadPiece)) + 4095) / 4096 * 4096;
    void* p = nullptr;
    // Page-aligned, so the buffer also suits descriptors opened for direct I/O.
    if (posix_memalign(&p, 4096, size) != 0)
        return nullptr;
    t->data.reset(static_cast<unsigned char*>(p));
    t->capacity = size;
    return t;
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
    return s.retired.size();
}

enum class Wait { Done, Failed };

// Waits for the request up to the time-out; EINTR does not end the wait early.
Wait WaitFor(aiocb* cb, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const aiocb* list[1] = {cb};
    for (;;) {
        int err = aio_error(cb);
        if (err != EINPROGRESS)
            return Wait::Done;
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds::zero())
            return Wait::Failed;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (aio_suspend(list, 1, &ts) != 0 && errno != EINTR && errno != EAGAIN)
            return Wait::Failed;
    }
}

// Reads one piece through the transfer buffer into out: answers the bytes
// read (the piece is complete unless the end of the file came first), or -1
// on failure. The system writes only into the transfer buffer; the piece is
// asked for a step at a time, and each step read is copied out while the
// next one is read (two megabytes at a time: below that the hand-over to the
// system's helper thread costs more than the copy it hides). A request still running after the time-out keeps its
// transfer, which is retired; the caller gets a new one (or none).
long long ReadPiece(AsyncState& s, std::unique_ptr<Transfer>& transfer, std::chrono::milliseconds timeout, int fd,
                    long long offset, long long length, unsigned char* out) {
    constexpr long long kStep = 1 << 21;
    Transfer& t = *transfer;
    auto submit = [&](long long from, long long to) {
        std::memset(&t.cb, 0, sizeof t.cb);
        t.cb.aio_fildes = fd;
        t.cb.aio_offset = static_cast<off_t>(offset + from);
        t.cb.aio_buf = t.data.get() + from;
        t.cb.aio_nbytes = static_cast<std::size_t>(to - from);
        t.cb.aio_sigevent.sigev_notify = SIGEV_NONE;
        return aio_read(&t.cb) == 0;
    };
    long long got = 0;    // read into the transfer buffer
    long long copied = 0; // of it, copied out
    long long want = std::min(kStep, length);
    if (!submit(0, want))
        return -1;
    for (;;) {
        if (WaitFor(&t.cb, timeout) != Wait::Done) {
            if (aio_cancel(fd, &t.cb) == AIO_CANCELED) {
                aio_return(&t.cb);
            } else {
                // Still running (or its state unknown): the late read may yet
                // write into this buffer and control block, so neither is
                // used again until the system is done with them.
                const std::size_t size = t.capacity;
                {
                    autolocker<mutex_locker> guard(s.lock);
                    s.retired.push_back(std::move(transfer));
                }
                transfer = NewTransfer(static_cast<long long>(size));
            }
            return -1;
        }
        const ssize_t r = aio_return(&t.cb);
        if (r < 0)
            return -1;
        if (r > 0)
            got += r;
        if (r > 0 && got < want) { // a short answer in the middle is not the end
            if (!submit(got, want))
                return -1;
            continue;
        }
        const bool more = r > 0 && got < length;
        if (more) {
            want = std::min(got + kStep, length);
            if (!submit(got, want))
                return -1;
        }
        std::memcpy(out + copied, t.data.get() + copied, static_cast<std::size_t>(got - copied));
        copied = got;
        if (!more)
            return got > 0 ? got : -1; // at the end of the file only a partial piece counts
    }
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
    std::unique_ptr<Transfer> transfer;
    bool hooked = false;
    std::chrono::milliseconds timeout{};
    {
        autolocker<mutex_locker> guard(s.lock);
        if (!s.retired.empty())
            ReapLocked(s);
        hooked = static_cast<bool>(s.faultHook);
        timeout = s.timeout;
        for (auto it = s.idle.begin(); it != s.idle.end(); ++it)
            if ((*it)->capacity >= static_cast<std::size_t>(largest)) {
                transfer = std::move(*it);
                s.idle.erase(it);
                break;
            }
    }
    if (!transfer)
        transfer = NewTransfer(largest);
    if (!transfer)
        return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    bool ok = true;
    for (long long done = 0; done < byteCount;) {
        const long long piece = std::min(kAsyncReadPiece, byteCount - done);
        long long got = -1;
        // The tests' fault hook is asked under the lock, one read at a time.
        bool fault = false;
        if (hooked) {
            autolocker<mutex_locker> guard(s.lock);
            fault = s.faultHook && s.faultHook(byteOffset + done, piece);
        }
        if (!fault && transfer)
            got = ReadPiece(s, transfer, timeout, descriptor, byteOffset + done, piece, out + done);
        if (got < 0) {
            ok = false;
            got = 0;
            if (!transfer)
                transfer = NewTransfer(largest);
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

} // namespace asyncread
