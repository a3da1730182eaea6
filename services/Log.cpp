#include "services/Log.h"

#include "engine/utility/CatchExeception.h"

#include <cstdarg>
#include <cstdio>

namespace salvor::services {

void writeLog(const char* format, ...) {
    char message[CatchExeception::kLineSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    CatchExeception::WriteLog("%s", message);
}

} // namespace salvor::services
