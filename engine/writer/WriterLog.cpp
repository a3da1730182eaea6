#include "engine/writer/WriterLog.h"

#include <cstdarg>
#include <cstdio>

void WriterLogSite(const char* operation, int site) { WriterLogLine("%s %d\r\n", operation, site); }

void WriterLogLine(const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stdout);
}
