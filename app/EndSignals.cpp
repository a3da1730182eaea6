#include "app/EndSignals.h"

#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace salvor::app {

namespace {
int gPipe[2] = {-1, -1};

void onSignal(int number) {
    // Async-signal-safe only: one byte into the pipe, errno kept.
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(gPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

void routeEndSignals(QObject* context, std::function<void(int)> handler) {
    if (gPipe[0] < 0 && ::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("signal pipe");
        return;
    }
    auto* notifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler = std::move(handler)] {
        unsigned char bytes[16];
        ssize_t n = 0;
        while ((n = ::read(gPipe[0], bytes, sizeof bytes)) > 0)
            for (ssize_t i = 0; i < n; ++i) handler(bytes[i]);
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(number, &sa, nullptr);
}

void endBySignal(int number) {
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

} // namespace salvor::app
