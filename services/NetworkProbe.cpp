#include "services/NetworkProbe.h"

#include "platform/Threads.h"

#include <QUrl>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

struct ProbeState {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool answered = false;
};

int MillisLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 60000)) : 0;
}

// Waits for events on fd until the deadline; false on time-out or error.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int left = MillisLeft(deadline);
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, left);
        if (n > 0) return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (n == 0) return false;
        if (errno != EINTR) return false;
    }
}

bool AskOne(const addrinfo* ai, const std::string& request, Clock::time_point deadline) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) return false;
        if (!WaitFor(fd, POLLOUT, deadline)) return false;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
    }
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, deadline)) return false;
        } else {
            return false;
        }
    }
    for (;;) {
        if (!WaitFor(fd, POLLIN, deadline)) return false;
        char byte[256];
        const ssize_t n = ::recv(fd, byte, sizeof byte, 0);
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EAGAIN && errno != EINTR) return false;
    }
}

bool Ask(const std::string& host, const std::string& port, const std::string& request,
         Clock::time_point deadline) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0 || !list) return false;
    bool answered = false;
    for (const addrinfo* ai = list; ai && !answered && MillisLeft(deadline) > 0; ai = ai->ai_next)
        answered = AskOne(ai, request, deadline);
    ::freeaddrinfo(list);
    return answered;
}

} // namespace

bool ProbeHttpAnswers(const QString& url, std::chrono::milliseconds limit) {
    const QUrl parsed(url);
    if (!parsed.isValid() || parsed.scheme() != QLatin1String("http") || parsed.host().isEmpty()) return false;
    const std::string host = parsed.host().toStdString();
    const std::string port = std::to_string(parsed.port(80));
    std::string path = parsed.path(QUrl::FullyEncoded).toStdString();
    // Built a character at a time: GCC 12 at -O3 takes path = "/" and
    // "?" + string for overlapping copies and warns.
    if (path.empty()) path.push_back('/');
    if (parsed.hasQuery()) {
        path.push_back('?');
        path += parsed.query(QUrl::FullyEncoded).toStdString();
    }
    // The cache headers ask every proxy on the way for a fresh answer.
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: " + host +
                                "\r\nCache-Control: no-cache\r\nPragma: no-cache\r\nConnection: close\r\n\r\n";

    const Clock::time_point deadline = Clock::now() + limit;
    auto state = std::make_shared<ProbeState>();
    const bool started = salvor::platform::startDetachedThread(
        [state, host, port, request, deadline] {
            const bool answered = Ask(host, port, request, deadline);
            std::lock_guard<std::mutex> lock(state->mutex);
            state->answered = answered;
            state->finished = true;
            state->done.notify_all();
        },
        0, "salvor-probe");
    if (!started) return false;
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait_until(lock, deadline, [&] { return state->finished; });
    return state->finished && state->answered;
}
