// What the driver takes from the platform beyond the serial port.
#pragma once

#include <string>

namespace notavero {

// The log file: the environment variable NOTAVERO_LOG when it is set and not
// empty, else the platform's fixed path.
std::string LogFilePath();

}  // namespace notavero
