#include "platform/MediaEvents.h"

#include <QSocketNotifier>

#include <libudev.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace salvor::platform {

namespace {

std::int64_t ReadSize(const std::string& sysRoot, const std::string& name) {
    std::ifstream in(sysRoot + "/class/block/" + name + "/size");
    long long v = -1;
    return in >> v && v >= 0 ? v : -1;
}

class UdevSource final : public IMediaEventSource {
public:
    ~UdevSource() override {
        m_notifier.reset();
        if (m_monitor) udev_monitor_unref(m_monitor);
        if (m_udev) udev_unref(m_udev);
    }
    bool start(MediaEventHandler handler) override {
        m_udev = udev_new();
        if (!m_udev) return false;
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", nullptr) < 0 ||
            udev_monitor_enable_receiving(m_monitor) < 0)
            return false;
        const int fd = udev_monitor_get_fd(m_monitor);
        if (fd < 0) return false;
        m_handler = std::move(handler);
        m_notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Receive(); });
        return true;
    }

private:
    void Receive() {
        // Every queued device, so that a burst needs one wake-up.
        while (udev_device* dev = udev_monitor_receive_device(m_monitor)) {
            MediaEvent e;
            const char* action = udev_device_get_action(dev);
            const char* name = udev_device_get_sysname(dev);
            e.action = action ? action : "";
            e.kernelName = name ? name : "";
            if (e.action != "remove")
                if (const char* size = udev_device_get_sysattr_value(dev, "size")) e.size512 = std::atoll(size);
            if (const char* seq = udev_device_get_property_value(dev, "DISKSEQ")) e.diskSeq = std::strtoull(seq, nullptr, 10);
            udev_device_unref(dev);
            if (!e.kernelName.empty()) m_handler(e);
        }
    }

    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    MediaEventHandler m_handler;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

class KernelSource final : public IMediaEventSource {
public:
    ~KernelSource() override {
        m_notifier.reset();
        if (m_fd >= 0) ::close(m_fd);
    }
    bool start(MediaEventHandler handler) override {
        m_fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
        if (m_fd < 0) return false;
        sockaddr_nl addr{};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1; // the kernel's own messages
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
        m_handler = std::move(handler);
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { Receive(); });
        return true;
    }

private:
    void Receive() {
        char buffer[8192];
        for (;;) {
            sockaddr_nl from{};
            iovec io{buffer, sizeof buffer};
            msghdr msg{};
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            const ssize_t n = ::recvmsg(m_fd, &msg, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            // Only the kernel speaks on this group; anything else is not believed.
            if (from.nl_pid != 0 || (msg.msg_flags & MSG_TRUNC)) continue;
            MediaEvent e;
            if (parseKernelUevent(buffer, static_cast<std::size_t>(n), e)) m_handler(e);
        }
    }

    int m_fd = -1;
    MediaEventHandler m_handler;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

} // namespace

bool parseKernelUevent(const char* data, std::size_t size, MediaEvent& out, const std::string& sysRoot) {
    if (!data || size == 0) return false;
    const std::string text(data, size);
    std::string action, subsystem, name;
    std::uint64_t seq = 0;
    std::size_t pos = text.find('\0');
    if (pos == std::string::npos || text.find('@') >= pos) return false; // "action@devpath" leads
    while (++pos < text.size()) {
        const std::size_t end = std::min(text.find('\0', pos), text.size());
        const std::string field = text.substr(pos, end - pos);
        if (field.rfind("ACTION=", 0) == 0) action = field.substr(7);
        else if (field.rfind("SUBSYSTEM=", 0) == 0) subsystem = field.substr(10);
        else if (field.rfind("DEVNAME=", 0) == 0) name = field.substr(8);
        else if (field.rfind("DISKSEQ=", 0) == 0) seq = std::strtoull(field.c_str() + 8, nullptr, 10);
        pos = end;
    }
    // DEVNAME is relative to /dev ("sdb1"); a name with a folder is not ours.
    if (subsystem != "block" || action.empty() || name.empty() || name.find('/') != std::string::npos || name == ".." ||
        name == ".")
        return false;
    out.action = action;
    out.kernelName = name;
    out.size512 = action == "remove" ? -1 : ReadSize(sysRoot, name);
    out.diskSeq = seq;
    return true;
}

namespace {
// udev when its daemon runs (it announces itself by its control socket;
// without it the udev group of the netlink socket stays silent), else the
// kernel's messages.
class SystemSource final : public IMediaEventSource {
public:
    bool start(MediaEventHandler handler) override {
        if (::access("/run/udev/control", F_OK) == 0) {
            m_source = std::make_unique<UdevSource>();
            if (m_source->start(handler)) return true;
        }
        m_source = std::make_unique<KernelSource>();
        if (m_source->start(std::move(handler))) return true;
        m_source.reset();
        return false;
    }

private:
    std::unique_ptr<IMediaEventSource> m_source;
};
} // namespace

std::unique_ptr<IMediaEventSource> createSystemMediaEventSource() { return std::make_unique<SystemSource>(); }

} // namespace salvor::platform
