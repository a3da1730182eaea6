#pragma once
// The writer's short log lines: an operation name and a fixed site number.
#include "engine/utility/CatchExeception.h"

inline void WriterLogSite(const char* operation, int site) {
    CatchExeception::WriteLog("%s %d\r\n", operation, site);
}
