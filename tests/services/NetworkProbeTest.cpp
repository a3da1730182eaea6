// The network probe against loopback servers only: one that answers, one that
// accepts and stays silent, and a port nobody listens on.
#include "services/PublicUtilities.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A listening loopback socket on a free port; with `answer` it answers one
// request.
class LoopbackServer {
public:
    explicit LoopbackServer(bool answer) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
        EXPECT_EQ(::listen(m_fd, 4), 0);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        url = QString("http://127.0.0.1:%1/probe").arg(ntohs(addr.sin_port));
        if (answer)
            m_thread = std::thread([this] {
                const int c = ::accept(m_fd, nullptr, nullptr);
                if (c < 0) return;
                char buf[1024];
                (void)::recv(c, buf, sizeof buf, 0);
                const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
                (void)::send(c, reply, sizeof reply - 1, MSG_NOSIGNAL);
                ::close(c);
            });
    }
    ~LoopbackServer() {
        if (m_thread.joinable()) m_thread.join();
        ::close(m_fd);
    }
    QString url;

private:
    int m_fd = -1;
    std::thread m_thread;
};

// Probes `url` and answers whether the network counted as usable and how long it took.
std::pair<bool, Clock::duration> Probe(const QString& url) {
    VXPublicUtilities::setNetworkProbeAddress(url);
    const auto start = Clock::now();
    const bool usable = VXPublicUtilities::isCanBeUseNetWork(); // at most 5 s
    VXPublicUtilities::setNetworkProbeAddress(QString());
    return {usable, Clock::now() - start};
}

TEST(NetworkProbe, AnsweringServerIsYes) {
    LoopbackServer server(true);
    EXPECT_TRUE(Probe(server.url).first);
}

TEST(NetworkProbe, SilentServerIsNoAfterTheLimit) {
    LoopbackServer server(false); // the kernel completes the connection; nobody answers
    const auto [usable, took] = Probe(server.url);
    EXPECT_FALSE(usable);
    EXPECT_GE(took, 4900ms);
    EXPECT_LT(took, 7000ms);
}

TEST(NetworkProbe, RefusedOrUnusableAddressesAreNoAtOnce) {
    const QString refused = LoopbackServer(false).url; // closed again: nobody listens
    for (const QString& url : {refused, QString("ftp://127.0.0.1/"), QString("not a url")}) {
        const auto [usable, took] = Probe(url);
        EXPECT_FALSE(usable) << url.toStdString();
        EXPECT_LT(took, 1s) << url.toStdString();
    }
}

} // namespace
