#pragma once
// The writer's log lines: an operation name and a fixed site number, or a
// formatted failure line.

// "<operation> <site>"
void WriterLogSite(const char* operation, int site);
// printf-style line written as it is.
void WriterLogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
