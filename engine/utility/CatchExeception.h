#pragma once
// The program's log: each line goes to standard output and is appended to
// recovery.log in the work folder.

class CatchExeception {
public:
    // Writes "HH:MM:SS " and the formatted message (cut to 2000 bytes) as one
    // line; lines of different threads never interleave. Answers the length of
    // the line as written.
    static int WriteLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

    // The work folder (GetAppWorkPath), copied once.
    static const char* GetWorkPath();

    // The process-wide logger; making it raises the core and open-file limits
    // and logs the process's name and id.
    static CatchExeception* Instance();
    // Installs SignalHandle for SIGILL, SIGABRT, SIGBUS and SIGSEGV.
    static void Install();
    static void SignalHandle(int signal);

    static constexpr int kLineSize = 2048;
    static constexpr int kMessageLimit = 2000;

private:
    CatchExeception();
};
