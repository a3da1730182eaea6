#include "engine/utility/CatchExeception.h"

#include "engine/utility/FileUtils.h"
#include "engine/utility/Locks.h"
#include "engine/utility/TimeUtils.h"

#include <execinfo.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Never destroyed: a thread may log while the process exits.
SimpleCs& LogLock() {
    static SimpleCs* cs = new SimpleCs;
    return *cs;
}

std::string ProcessName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    if (comm && std::getline(comm, name) && !name.empty())
        return name;
    return "salvor";
}

void RaiseLimit(int resource) {
    rlimit lim{};
    if (getrlimit(resource, &lim) != 0)
        return;
    lim.rlim_cur = RLIM_INFINITY;
    lim.rlim_max = RLIM_INFINITY;
    if (setrlimit(resource, &lim) != 0 && getrlimit(resource, &lim) == 0) {
        // Unprivileged: the hard limit is as far as we may go.
        lim.rlim_cur = lim.rlim_max;
        setrlimit(resource, &lim);
    }
}

} // namespace

const char* CatchExeception::GetWorkPath() {
    static char path[1024] = {};
    static std::once_flag once;
    std::call_once(once, [] { std::snprintf(path, sizeof path, "%s", GetAppWorkPath()); });
    return path;
}

int CatchExeception::WriteLog(const char* format, ...) {
    char line[kLineSize] = {};
    _SYSTEMTIME now;
    GetLocalTime(&now);
    int head = std::snprintf(line, sizeof line, "%02d:%02d:%02d ", now.wHour, now.wMinute, now.wSecond);
    if (head < 0)
        head = 0;
    if (format) {
        va_list args;
        va_start(args, format);
        // The message is cut at kMessageLimit bytes; vsnprintf's answer is
        // the untruncated length, so the written length is taken from the
        // buffer instead.
        const std::size_t room = std::min<std::size_t>(kMessageLimit + 1, sizeof line - static_cast<std::size_t>(head));
        std::vsnprintf(line + head, room, format, args);
        va_end(args);
    }
    const std::size_t length = std::strlen(line);

    SimpleLock lock(&LogLock(), "WriteLog");
    std::fwrite(line, 1, length, stdout);
    std::fflush(stdout);
    std::string file = std::string(GetWorkPath()) + "/recovery.log";
    if (FILE* f = std::fopen(file.c_str(), "a+")) {
        if (length > 0 && std::fwrite(line, 1, length, f) == 0)
            std::printf("%s failed with %s\n", "WriteLog", std::strerror(errno));
        std::fclose(f);
    }
    return static_cast<int>(length);
}

CatchExeception::CatchExeception() {
    RaiseLimit(RLIMIT_CORE);
    RaiseLimit(RLIMIT_NOFILE);
    WriteLog("process[%s:%d] started\n", ProcessName().c_str(), static_cast<int>(getpid()));
}

CatchExeception* CatchExeception::Instance() {
    static CatchExeception* instance = new CatchExeception;
    return instance;
}

void CatchExeception::Install() {
    for (int sig : {SIGILL, SIGABRT, SIGBUS, SIGSEGV})
        std::signal(sig, &CatchExeception::SignalHandle);
}

void CatchExeception::SignalHandle(int signal) {
    for (int sig : {SIGILL, SIGABRT, SIGBUS, SIGSEGV})
        std::signal(sig, SIG_DFL);
    void* frames[128];
    int n = backtrace(frames, 128);
    // backtrace_symbols_fd writes one frame a line without allocating.
    backtrace_symbols_fd(frames, n, STDOUT_FILENO);
    std::raise(signal);
}
