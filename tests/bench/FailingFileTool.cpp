// A failing disk for the shell tests: serves the bytes of BACKING over the
// existing file TARGET (FUSE), reads touching a bad range failing with EIO,
// every read while the file SILENT exists, and holds every read unanswered
// while the file HOLD exists (answered once it goes), or with --hold-only
// only those that touch OFFSET:LENGTH. Prints "ready" once it stands and
// serves until SIGTERM or SIGINT.
// Usage: failing_file TARGET BACKING [--bad OFFSET:LENGTH]... [--silent FILE] [--hold FILE [--hold-only OFFSET:LENGTH]]
#include "tests/support/FailingFile.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: failing_file TARGET BACKING [--bad OFFSET:LENGTH]... [--silent FILE] [--hold FILE "
                             "[--hold-only OFFSET:LENGTH]]\n");
        return 2;
    }
    std::vector<salvor::test::FailingFile::Range> bad;
    std::optional<salvor::test::FailingFile::Range> holdOnly;
    std::string silent, hold;
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        const bool range = value.find(':') != std::string::npos;
        const salvor::test::FailingFile::Range r{
            std::strtoull(value.c_str(), nullptr, 0),
            range ? std::strtoull(value.c_str() + value.find(':') + 1, nullptr, 0) : 0};
        if (option == "--bad" && range)
            bad.push_back(r);
        else if (option == "--hold-only" && range)
            holdOnly = r;
        else if (option == "--silent")
            silent = value;
        else if (option == "--hold")
            hold = value;
        else {
            std::fprintf(stderr, "failing_file: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // the server thread inherits it
    salvor::test::FailingFile file(argv[1], argv[2], bad, silent, hold);
    if (!file.ready()) {
        std::fprintf(stderr, "failing_file: %s\n", file.why().c_str());
        return 1;
    }
    if (holdOnly)
        file.HoldOnly(*holdOnly);
    std::printf("ready\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}
