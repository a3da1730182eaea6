#pragma once
// A file that opens but whose every read fails with a chosen error, as the
// attribute of a device that went between the open and the read answers
// ENODEV; or a failing disk: the bytes of a backing image with EIO on chosen
// ranges, and on every read while a flag file exists (a bus reset, a disk
// that stopped answering), and none answered while another flag file exists
// (a read that does not return: a hung bus, a stopped FUSE server). A FUSE file system of one regular file mounted
// over an existing file, served by a thread of the test over /dev/fuse (no
// libfuse). Needs root and /dev/fuse; ready() says whether it stands.
#include <fcntl.h>
#include <linux/fuse.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace salvor::test {

class FailingFile {
public:
    struct Range {
        std::uint64_t offset, length;
    };

    FailingFile(std::string path, int error, std::uint64_t size = 64) : path_(std::move(path)), error_(error), size_(size) {
        Mount();
    }
    // The bytes of backing, reads touching a bad range failing with EIO,
    // every read failing while silentFlag names a file that exists, and every
    // read held unanswered while holdFlag does (answered once it goes).
    FailingFile(std::string path, const std::string& backing, std::vector<Range> bad, std::string silentFlag = {},
                std::string holdFlag = {})
        : path_(std::move(path)), error_(EIO), bad_(std::move(bad)), silentFlag_(std::move(silentFlag)),
          holdFlag_(std::move(holdFlag)) {
        backing_ = ::open(backing.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (backing_ < 0 || ::fstat(backing_, &st) != 0) {
            why_ = "cannot open " + backing + ": " + std::strerror(errno);
            return;
        }
        size_ = static_cast<std::uint64_t>(st.st_size);
        Mount();
    }

private:
    void Mount() {
        fd_ = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd_ < 0) {
            why_ = "cannot open /dev/fuse: " + std::string(std::strerror(errno));
            return;
        }
        const std::string options = "fd=" + std::to_string(fd_) + ",rootmode=100444,user_id=0,group_id=0";
        if (::mount("salvor-failing", path_.c_str(), "fuse", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            why_ = "cannot mount FUSE over " + path_ + ": " + std::strerror(errno);
            ::close(fd_);
            fd_ = -1;
            return;
        }
        server_ = std::thread([this] { Serve(); });
        mounted_ = true;
        struct stat st {};
        if (::stat(path_.c_str(), &st) == 0) connection_ = "/sys/fs/fuse/connections/" + std::to_string(minor(st.st_dev));
    }

public:
    ~FailingFile() {
        if (mounted_) {
            // Unmounted, the connection ends and the server's read fails; an
            // abort ends it too while something still holds the file.
            ::umount2(path_.c_str(), MNT_DETACH);
            if (const int abort = ::open((connection_ + "/abort").c_str(), O_WRONLY | O_CLOEXEC); abort >= 0) {
                (void)!::write(abort, "1", 1);
                ::close(abort);
            }
        }
        // Where the connection cannot be aborted (no fusectl) and something
        // still holds the file, the server leaves by itself; closing its
        // descriptor then ends the connection.
        stop_ = true;
        if (server_.joinable()) server_.join();
        if (fd_ >= 0) ::close(fd_);
        if (backing_ >= 0) ::close(backing_);
    }
    FailingFile(const FailingFile&) = delete;
    FailingFile& operator=(const FailingFile&) = delete;

    bool ready() const { return mounted_; }
    const std::string& why() const { return why_; }
    // While the hold flag exists, only reads that touch [offset, offset +
    // length) are held (every read until this is set): a disk that hangs
    // from there on, and answers elsewhere.
    void HoldOnly(Range r) {
        holdFrom_ = r.offset;
        holdTo_ = r.offset + r.length;
    }
    // Reads held so far.
    int HeldReads() const { return heldReads_.load(); }

private:
    void Reply(const fuse_in_header& in, int error, const void* body = nullptr, std::size_t size = 0) {
        std::vector<char> out(sizeof(fuse_out_header) + size);
        fuse_out_header head{};
        head.len = static_cast<std::uint32_t>(out.size());
        head.error = -error;
        head.unique = in.unique;
        std::memcpy(out.data(), &head, sizeof head);
        if (size) std::memcpy(out.data() + sizeof head, body, size);
        (void)!::write(fd_, out.data(), out.size());
    }

    struct Held {
        fuse_in_header in;
        std::uint64_t offset;
        std::uint32_t size;
    };
    bool Holding() const { return !holdFlag_.empty() && ::access(holdFlag_.c_str(), F_OK) == 0; }

    void Read(const fuse_in_header& in, std::uint64_t offset, std::uint32_t size) {
        if (Holding() && offset + size > holdFrom_.load() && offset < holdTo_.load()) {
            held_.push_back({in, offset, size});
            ++heldReads_;
            return;
        }
        if (backing_ < 0 || (!silentFlag_.empty() && ::access(silentFlag_.c_str(), F_OK) == 0)) {
            Reply(in, error_);
            return;
        }
        for (const Range& r : bad_)
            if (offset < r.offset + r.length && r.offset < offset + size) {
                Reply(in, error_);
                return;
            }
        std::vector<char> bytes(size);
        const ssize_t got = ::pread(backing_, bytes.data(), size, static_cast<off_t>(offset));
        if (got < 0)
            Reply(in, errno);
        else
            Reply(in, 0, bytes.data(), static_cast<std::size_t>(got));
    }

    void Serve() {
        std::vector<char> buffer(1 << 18);
        for (;;) {
            if (stop_.load()) return;
            if (!held_.empty()) {
                // Held reads are answered once the flag goes.
                pollfd p{fd_, POLLIN, 0};
                if (::poll(&p, 1, 20) == 0) {
                    if (!Holding()) {
                        std::vector<Held> now;
                        now.swap(held_);
                        for (const Held& h : now) Read(h.in, h.offset, h.size);
                    }
                    continue;
                }
            }
            if (pollfd p{fd_, POLLIN, 0}; ::poll(&p, 1, 100) == 0)
                continue;
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n < 0 && (errno == EINTR || errno == ENOENT)) continue; // an interrupted request
            if (n < static_cast<ssize_t>(sizeof(fuse_in_header))) return; // unmounted
            fuse_in_header in;
            std::memcpy(&in, buffer.data(), sizeof in);
            const char* arg = buffer.data() + sizeof in;
            switch (in.opcode) {
            case FUSE_INIT: {
                fuse_init_in init;
                std::memcpy(&init, arg, std::min(sizeof init, std::size_t(n) - sizeof in));
                fuse_init_out out{};
                out.major = FUSE_KERNEL_VERSION;
                out.minor = std::min<std::uint32_t>(init.minor, FUSE_KERNEL_MINOR_VERSION);
                out.max_readahead = init.max_readahead;
                out.max_write = 4096;
                // A loop device reading with direct I/O sends its reads
                // without waiting for each (as a disk queues commands): a
                // read held in one place leaves the others answered.
                out.flags = init.flags & FUSE_ASYNC_DIO;
                out.max_background = 16;
                out.congestion_threshold = 12;
                out.time_gran = 1;
                Reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_GETATTR: {
                fuse_attr_out out{};
                out.attr.ino = 1;
                out.attr.mode = S_IFREG | 0444;
                out.attr.nlink = 1;
                out.attr.size = size_;
                out.attr.blksize = 4096;
                Reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_OPEN: {
                fuse_open_out out{};
                out.fh = 1;
                out.open_flags = FOPEN_DIRECT_IO; // every read reaches this server
                Reply(in, 0, &out, sizeof out);
                break;
            }
            case FUSE_READ: {
                fuse_read_in read;
                std::memcpy(&read, arg, std::min(sizeof read, std::size_t(n) - sizeof in));
                Read(in, read.offset, read.size);
                break;
            }
            case FUSE_FLUSH:
            case FUSE_RELEASE:
            case FUSE_DESTROY: Reply(in, 0); break;
            case FUSE_FORGET:
            case FUSE_BATCH_FORGET:
            case FUSE_INTERRUPT: break; // answered by no reply
            default: Reply(in, ENOSYS);
            }
        }
    }

    std::string path_;
    int error_;
    std::uint64_t size_ = 0;
    int backing_ = -1;
    std::vector<Range> bad_;
    std::string silentFlag_;
    std::string holdFlag_;
    std::vector<Held> held_;
    std::atomic<std::uint64_t> holdFrom_{0}, holdTo_{UINT64_MAX};
    std::atomic<int> heldReads_{0};
    std::atomic<bool> stop_{false};
    int fd_ = -1;
    bool mounted_ = false;
    std::string why_, connection_;
    std::thread server_;
};

} // namespace salvor::test
