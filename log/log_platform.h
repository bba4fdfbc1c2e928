// What the log needs from the operating system beyond the C++ library.
#pragma once

#include <string>

#include "log/logger_testing.h"

namespace notavero::log_platform {

// Full path of the host process's executable; empty when unknown.
std::string ExecutablePath();

// The local time now, to the millisecond.
LogLocalTime LocalNow();

// The character between hours, minutes and seconds.
char TimeSeparator();

// The operating system's file layer.
LogFileLayer& SystemFiles();

}  // namespace notavero::log_platform
