#include "engine/utility/EndSignals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {
int g_pipe[2] = {-1, -1};
std::atomic<int> g_received{0};

void OnEndSignal(int number) {
    // Async-signal-safe only: the number kept, one byte into the pipe, errno kept.
    const int saved = errno;
    int none = 0;
    g_received.compare_exchange_strong(none, number);
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}
} // namespace

void CatchEndSignals() {
    static const bool installed = [] {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            std::perror("signal pipe");
            g_pipe[0] = g_pipe[1] = -1;
        }
        struct sigaction sa {};
        sa.sa_handler = OnEndSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        for (const int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &sa, nullptr);
        return true;
    }();
    (void)installed;
}

int EndSignalsReadFd() { return g_pipe[0]; }

int ReceivedEndSignal() { return g_received.load(); }

void EndBySignal(int number) {
    std::fflush(nullptr);
    struct sigaction dflt {};
    dflt.sa_handler = SIG_DFL;
    sigemptyset(&dflt.sa_mask);
    ::sigaction(number, &dflt, nullptr);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, number);
    ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
    ::raise(number);
    ::_exit(128 + number); // not reached: the default action ends the process
}
