// The network probe against loopback servers only: one that answers, one that
// accepts and stays silent, and a port nobody listens on.
#include "services/PublicUtilities.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A listening loopback socket on a free port.
class LoopbackServer {
public:
    LoopbackServer() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(m_fd, 4), 0);
        socklen_t len = sizeof addr;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
    }
    ~LoopbackServer() {
        if (m_thread.joinable()) m_thread.join();
        if (m_fd >= 0) ::close(m_fd);
    }
    // Accepts one request and answers it.
    void AnswerOnce() {
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
    void Close() {
        ::close(m_fd);
        m_fd = -1;
    }
    QString Url() const { return QString("http://127.0.0.1:%1/probe").arg(m_port); }

private:
    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
};

class NetworkProbe : public testing::Test {
protected:
    void TearDown() override { VXPublicUtilities::setNetworkProbeAddress(QString()); }
};

TEST_F(NetworkProbe, AnsweringServerIsYes) {
    LoopbackServer server;
    server.AnswerOnce();
    VXPublicUtilities::setNetworkProbeAddress(server.Url());
    EXPECT_TRUE(VXPublicUtilities::isCanBeUseNetWork());
}

TEST_F(NetworkProbe, SilentServerIsNoAfterTheLimit) {
    LoopbackServer server; // the kernel completes the connection; nobody answers
    VXPublicUtilities::setNetworkProbeAddress(server.Url());
    const auto start = Clock::now();
    EXPECT_FALSE(VXPublicUtilities::isCanBeUseNetWork());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(4900));
    EXPECT_LT(took, std::chrono::milliseconds(7000));
}

TEST_F(NetworkProbe, RefusedConnectionIsNoAtOnce) {
    QString url;
    {
        LoopbackServer server;
        url = server.Url();
        server.Close();
    }
    VXPublicUtilities::setNetworkProbeAddress(url);
    const auto start = Clock::now();
    EXPECT_FALSE(VXPublicUtilities::isCanBeUseNetWork());
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(NetworkProbe, OnlyPlainHttpAddresses) {
    VXPublicUtilities::setNetworkProbeAddress("ftp://127.0.0.1/");
    EXPECT_FALSE(VXPublicUtilities::isCanBeUseNetWork(std::chrono::milliseconds(100)));
    VXPublicUtilities::setNetworkProbeAddress("not a url");
    EXPECT_FALSE(VXPublicUtilities::isCanBeUseNetWork(std::chrono::milliseconds(100)));
}

} // namespace
