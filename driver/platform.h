// What the driver takes from the platform beyond the serial port.
#pragma once

#include "log/logger.h"

namespace notavero {

// The log file: the environment variable NOTAVERO_LOG when it is set and not
// empty, else the platform's fixed path.  It is always a path: LogInit takes
// it as it stands, however short (never as an extension of the executable).
LogPath LogFilePath();

}  // namespace notavero
