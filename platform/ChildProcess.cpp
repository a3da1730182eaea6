#include "platform/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace salvor::platform {

namespace {

struct Pipe {
    int read = -1, write = -1;
    ~Pipe() {
        if (read >= 0) ::close(read);
        if (write >= 0) ::close(write);
    }
};

// Reaps pid, retrying an interrupted wait.
int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

} // namespace

ChildResult runChildWithDeadline(const std::vector<std::string>& argv, std::chrono::milliseconds deadline,
                                 std::size_t maxOutput) {
    ChildResult result;
    if (argv.empty()) return result;
    Pipe out;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    out.read = fds[0];
    out.write = fds[1];

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Devices and files this process holds open are none of the helper's business.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A group of its own, so that the kill at the deadline reaches whatever it started.
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) return result;
    result.started = true;
    ::close(out.write);
    out.write = -1;

    const auto end = std::chrono::steady_clock::now() + deadline;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd p{out.read, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        if (ready == 0) continue; // the deadline is checked above
        const ssize_t n = ::read(out.read, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // the helper closed its output (or ended)
        if (result.output.size() + static_cast<std::size_t>(n) > maxOutput) {
            result.truncated = true;
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    // Output closed but the program lingers: it gets the rest of its time.
    // Its end is noticed without reaping it, so that its pid, and with it
    // the group's id, cannot be reused before the group is killed.
    while (!result.timedOut && !result.truncated) {
        siginfo_t info{};
        const int r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        if (r == 0 && info.si_pid == pid) break;
        if (r < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= end) {
            result.timedOut = true;
            break;
        }
        ::usleep(2000);
    }
    // Whatever it started goes with it.
    ::kill(-pid, SIGKILL);
    const int status = waitFor(pid);
    result.exitedZero = !result.timedOut && !result.truncated && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

} // namespace salvor::platform
