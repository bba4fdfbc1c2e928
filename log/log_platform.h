// What the log needs from the operating system beyond the C++ library.
#pragma once

#include <string>

#include "common/cp1251.h"
#include "log/logger_testing.h"

namespace notavero::log_platform {

// Why a path that exists but is neither a regular file nor a character
// device (a FIFO, a socket, a pipe) is not opened: a write there could wait
// for a reader for ever.
inline constexpr auto kNotAFile = Cp1251(u8"не обычный файл и не символьное устройство");

// Full path of the host process's executable; empty when unknown.
std::string ExecutablePath();

// The local time now, to the millisecond.
LogLocalTime LocalNow();

// The character between hours, minutes and seconds.
char TimeSeparator();

// The operating system's file layer.
LogFileLayer& SystemFiles();

}  // namespace notavero::log_platform
